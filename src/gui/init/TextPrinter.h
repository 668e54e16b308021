#pragma once

#include <QMap>
#include <QObject>
#include <QPageSize>
#include <QPrinter>
#include <QString>
#include <QUrl>
#include <QVariant>

class QPainter;
class QPaintDevice;
class QRectF;
class QTextDocument;
class QWidget;

// Prints a rich-text document, or writes it as PDF, page by page with an HTML header and footer
// on every page; "&page;" and "&date;" in them become the page number and today's date. Lengths
// are in millimetres, rule widths in points. A header or footer of size 0 takes no room.
//
// PDF files are written readable by their owner only: the one document printed here holds the
// new PINs of a card.
class TextPrinter : public QObject
{
    Q_OBJECT
public:
    enum TResult { Done, Cancelled, Failed };

    explicit TextPrinter(QObject* parent = nullptr);
    ~TextPrinter() override;

    double leftMargin() const { return m_dLeftMargin; }
    void setLeftMargin(double margin);
    double rightMargin() const { return m_dRightMargin; }
    void setRightMargin(double margin);
    double topMargin() const { return m_dTopMargin; }
    void setTopMargin(double margin);
    double bottomMargin() const { return m_dBottomMargin; }
    void setBottomMargin(double margin);
    void setMargins(double margin);
    double spacing() const { return m_dSpacing; }
    void setSpacing(double spacing);

    double headerSize() const { return m_dHeaderSize; }
    void setHeaderSize(double size);
    double headerRule() const { return m_dHeaderRule; }
    void setHeaderRule(double rule);
    const QString& headerText() const { return m_qsHeaderText; }
    void setHeaderText(const QString& text) { m_qsHeaderText = text; }
    double footerSize() const { return m_dFooterSize; }
    void setFooterSize(double size);
    double footerRule() const { return m_dFooterRule; }
    void setFooterRule(double rule);
    const QString& footerText() const { return m_qsFooterText; }
    void setFooterText(const QString& text) { m_qsFooterText = text; }
    const QString& dateFormat() const { return m_qsDateFormat; }
    void setDateFormat(const QString& format) { m_qsDateFormat = format; }

    bool antialiasing() const { return m_bAntialiasing; }
    void setAntialiasing(bool on) { m_bAntialiasing = on; }
    bool textAntialiasing() const { return m_bTextAntialiasing; }
    void setTextAntialiasing(bool on) { m_bTextAntialiasing = on; }
    bool smoothPixmapTransform() const { return m_bSmoothPixmapTransform; }
    void setSmoothPixmapTransform(bool on) { m_bSmoothPixmapTransform = on; }
    bool usePrintDialog() const { return m_bUsePrintDialog; }
    void setUsePrintDialog(bool on) { m_bUsePrintDialog = on; }

    QPageLayout::Orientation orientation() const;
    void setOrientation(QPageLayout::Orientation orientation);
    QPageSize pageSize() const;
    void setPageSize(const QPageSize& size);

    // An image or other resource that header and footer refer to by name.
    void addResource(const QUrl& name, const QVariant& resource);

    // On the native printer; with the print dialog on, the user may cancel.
    TResult printDocument(const QTextDocument* document, const QString& caption);
    // Into an existing file of that name, else into the file the user picks in a save dialog
    // (a name without suffix gets ".pdf").
    TResult exportToPdf(const QTextDocument* document, const QString& caption, const QString& fileName);
    // Into exactly this file, without asking.
    TResult writePdf(const QTextDocument* document, const QString& fileName);
    void showPreview(const QTextDocument* document, const QString& caption);

    // The printer's paper, for the setters' limits and the tests.
    QPrinter* printer() const { return m_pPrinter; }

public slots:
    // Prints the document being printed onto printer.
    void print(QPrinter* printer);

private:
    bool PrintPages(QPrinter* printer);
    TResult PrintClone(const QTextDocument* document);
    void PaintPage(QPainter* painter, int page);
    void PaintBand(QPainter* painter, const QString& html, const QRectF& rect, bool alignBottom, int page);
    QRectF PaperRect(QPaintDevice* device) const;
    QRectF HeaderRect(QPaintDevice* device) const;
    QRectF FooterRect(QPaintDevice* device) const;
    QRectF ContentRect(QPaintDevice* device) const;
    QRectF PaperPixels() const;

    QWidget* m_pParentWidget;
    QPrinter* m_pPrinter;
    QTextDocument* m_pTempDocument;
    double m_dLeftMargin, m_dRightMargin, m_dTopMargin, m_dBottomMargin;
    double m_dSpacing;
    double m_dHeaderSize, m_dHeaderRule;
    QString m_qsHeaderText;
    double m_dFooterSize, m_dFooterRule;
    QString m_qsFooterText;
    QString m_qsDateFormat;
    bool m_bAntialiasing, m_bTextAntialiasing, m_bSmoothPixmapTransform;
    bool m_bUsePrintDialog;
    QMap<QUrl, QVariant> m_resources;
};
