#include "TextPrinter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include <QAbstractTextDocumentLayout>
#include <QDate>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QTextDocument>
#include <QTextFrame>
#include <QWidget>

namespace {

// Inches per millimetre, as the layout has always used it.
const double kInchesPerMm = 0.039370147;

double MmToX(double mm, const QPaintDevice* device)
{
    return mm * kInchesPerMm * device->logicalDpiX();
}

double MmToY(double mm, const QPaintDevice* device)
{
    return mm * kInchesPerMm * device->logicalDpiY();
}

// Whether a painter on printer has somewhere to go. Without a printer set up, native output
// silently stays PDF with no file, and a painter started on it fails with a warning on stderr.
bool CanPrint(const QPrinter& printer)
{
    if (!printer.isValid())
        return false;
    if (printer.outputFormat() == QPrinter::PdfFormat)
        return !printer.outputFileName().isEmpty();
    return !printer.printerName().isEmpty();
}

double OnePoint(const QPaintDevice* device)
{
    return device->logicalDpiY() / 72.0;
}

} // namespace

TextPrinter::TextPrinter(QObject* parent)
    : QObject(parent),
      m_pParentWidget(qobject_cast<QWidget*>(parent)),
      m_pPrinter(new QPrinter(QPrinter::HighResolution)),
      m_pTempDocument(nullptr),
      m_dLeftMargin(15.0), m_dRightMargin(15.0), m_dTopMargin(15.0), m_dBottomMargin(15.0),
      m_dSpacing(5.0),
      m_dHeaderSize(0.0), m_dHeaderRule(0.5),
      m_dFooterSize(0.0), m_dFooterRule(0.5),
      m_bAntialiasing(true), m_bTextAntialiasing(true), m_bSmoothPixmapTransform(true),
      m_bUsePrintDialog(true)
{
    m_pPrinter->setFullPage(true);
    m_pPrinter->setPageOrientation(QPageLayout::Portrait);
    m_pPrinter->setPageSize(QPageSize(QPageSize::A4));
}

TextPrinter::~TextPrinter()
{
    delete m_pTempDocument;
    delete m_pPrinter;
}

QRectF TextPrinter::PaperPixels() const
{
    return m_pPrinter->paperRect(QPrinter::DevicePixel);
}

// The limits compare millimetres with device pixels, as they always have: at printer resolution
// they only keep out values that make no sense at all.
void TextPrinter::setLeftMargin(double margin)
{
    m_dLeftMargin = margin > 0 && margin < static_cast<int>(PaperPixels().width()) / 2 ? margin : 0;
}

void TextPrinter::setRightMargin(double margin)
{
    m_dRightMargin = margin > 0 && margin < static_cast<int>(PaperPixels().width()) / 2 ? margin : 0;
}

void TextPrinter::setTopMargin(double margin)
{
    m_dTopMargin = margin > 0 && margin < static_cast<int>(PaperPixels().height()) / 4 ? margin : 0;
}

void TextPrinter::setBottomMargin(double margin)
{
    m_dBottomMargin = margin > 0 && margin < static_cast<int>(PaperPixels().height()) / 4 ? margin : 0;
}

void TextPrinter::setMargins(double margin)
{
    const QRectF paper = PaperPixels();
    const bool ok = margin > 0 && margin < static_cast<int>(paper.height()) / 2 &&
                    margin < static_cast<int>(paper.width()) / 2;
    m_dLeftMargin = m_dRightMargin = m_dTopMargin = m_dBottomMargin = ok ? margin : 0;
}

void TextPrinter::setSpacing(double spacing)
{
    m_dSpacing = spacing > 0 && spacing <= static_cast<int>(PaperPixels().height()) / 8 ? spacing : 0;
}

void TextPrinter::setHeaderSize(double size)
{
    m_dHeaderSize = size > 0 && size <= static_cast<int>(PaperPixels().height()) / 8 ? size : 0;
}

void TextPrinter::setFooterSize(double size)
{
    m_dFooterSize = size > 0 && size <= static_cast<int>(PaperPixels().height()) / 8 ? size : 0;
}

void TextPrinter::setHeaderRule(double rule)
{
    m_dHeaderRule = rule > 0 ? rule : 0;
}

void TextPrinter::setFooterRule(double rule)
{
    m_dFooterRule = rule > 0 ? rule : 0;
}

QPageLayout::Orientation TextPrinter::orientation() const
{
    return m_pPrinter->pageLayout().orientation();
}

void TextPrinter::setOrientation(QPageLayout::Orientation orientation)
{
    m_pPrinter->setPageOrientation(orientation);
}

QPageSize TextPrinter::pageSize() const
{
    return m_pPrinter->pageLayout().pageSize();
}

void TextPrinter::setPageSize(const QPageSize& size)
{
    m_pPrinter->setPageSize(size);
}

void TextPrinter::addResource(const QUrl& name, const QVariant& resource)
{
    m_resources.insert(name, resource);
}

TextPrinter::TResult TextPrinter::printDocument(const QTextDocument* document, const QString& caption)
{
    if (!document)
        return Failed;
    m_pPrinter->setOutputFormat(QPrinter::NativeFormat);
    m_pPrinter->setOutputFileName(QString());
    if (m_bUsePrintDialog) {
        QPrintDialog dialog(m_pPrinter, m_pParentWidget);
        dialog.setWindowTitle(caption.isEmpty() ? tr("Print Document") : caption);
        if (dialog.exec() == QDialog::Rejected)
            return Cancelled;
    }
    if (!CanPrint(*m_pPrinter))
        return Failed;
    return PrintClone(document);
}

TextPrinter::TResult TextPrinter::exportToPdf(const QTextDocument* document, const QString& caption,
                                              const QString& fileName)
{
    if (!document)
        return Failed;
    QString name = fileName;
    if (name.isEmpty() || !QFileInfo::exists(name)) {
        name = QFileDialog::getSaveFileName(m_pParentWidget, caption.isEmpty() ? tr("Export PDF") : caption, fileName,
                                            QStringLiteral("*.pdf"));
        if (name.isEmpty())
            return Cancelled;
        if (QFileInfo(name).suffix().isEmpty())
            name += QStringLiteral(".pdf");
    }
    return writePdf(document, name);
}

TextPrinter::TResult TextPrinter::writePdf(const QTextDocument* document, const QString& fileName)
{
    if (!document || fileName.isEmpty())
        return Failed;
    // The file is made (or cut back) owner-only before anything goes into it; the PDF writer
    // opens it again and keeps the mode.
    const QByteArray path = QFile::encodeName(fileName);
    const int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return Failed;
    const bool bPrivate = fchmod(fd, 0600) == 0;
    close(fd);
    if (!bPrivate)
        return Failed;
    m_pPrinter->setOutputFormat(QPrinter::PdfFormat);
    m_pPrinter->setOutputFileName(fileName);
    return PrintClone(document);
}

void TextPrinter::showPreview(const QTextDocument* document, const QString& caption)
{
    if (!document)
        return;
    std::unique_ptr<QTextDocument> pClone(document->clone());
    m_pTempDocument = pClone.get();
    QPrintPreviewDialog dialog(m_pPrinter, m_pParentWidget);
    dialog.setWindowTitle(caption.isEmpty() ? tr("Print Preview") : caption);
    connect(&dialog, &QPrintPreviewDialog::paintRequested, this, &TextPrinter::print);
    dialog.exec();
    m_pTempDocument = nullptr;
}

TextPrinter::TResult TextPrinter::PrintClone(const QTextDocument* document)
{
    std::unique_ptr<QTextDocument> pClone(document->clone());
    m_pTempDocument = pClone.get();
    const bool ok = PrintPages(m_pPrinter);
    m_pTempDocument = nullptr;
    return ok ? Done : Failed;
}

void TextPrinter::print(QPrinter* printer)
{
    PrintPages(printer);
}

bool TextPrinter::PrintPages(QPrinter* printer)
{
    if (!printer || !m_pTempDocument)
        return false;

    m_pTempDocument->setUseDesignMetrics(true);
    m_pTempDocument->documentLayout()->setPaintDevice(printer);
    m_pTempDocument->setPageSize(ContentRect(printer).size());
    QTextFrameFormat frame = m_pTempDocument->rootFrame()->frameFormat();
    frame.setMargin(0);
    m_pTempDocument->rootFrame()->setFrameFormat(frame);

    // A printer that makes the copies itself is asked for one.
    const int copies = printer->supportsMultipleCopies() ? 1 : printer->copyCount();
    const int documentCopies = printer->collateCopies() ? 1 : copies;
    const int pageCopies = printer->collateCopies() ? copies : 1;

    int first = printer->fromPage();
    int last = printer->toPage();
    if (first == 0 && last == 0) {
        first = 1;
        last = m_pTempDocument->pageCount();
    }
    const bool bAscending = printer->pageOrder() != QPrinter::LastPageFirst;
    if (!bAscending)
        std::swap(first, last);

    QPainter painter;
    if (!painter.begin(printer))
        return false;
    painter.setRenderHint(QPainter::Antialiasing, m_bAntialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing, m_bTextAntialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, m_bSmoothPixmapTransform);

    for (int dc = 0; dc < documentCopies; ++dc) {
        for (int page = first; bAscending ? page <= last : page >= last; page += bAscending ? 1 : -1) {
            for (int pc = 0; pc < pageCopies; ++pc) {
                if (printer->printerState() == QPrinter::Aborted || printer->printerState() == QPrinter::Error) {
                    painter.end();
                    return false;
                }
                PaintPage(&painter, page);
                if (pc < pageCopies - 1)
                    printer->newPage();
            }
            if (page != last)
                printer->newPage();
        }
        if (dc < documentCopies - 1)
            printer->newPage();
    }
    const bool ok = painter.end();
    return ok && printer->printerState() != QPrinter::Error && printer->printerState() != QPrinter::Aborted;
}

QRectF TextPrinter::PaperRect(QPaintDevice* device) const
{
    QRectF rect = PaperPixels();
    rect.setWidth(rect.width() * device->logicalDpiX() / m_pPrinter->logicalDpiX());
    rect.setHeight(rect.height() * device->logicalDpiY() / m_pPrinter->logicalDpiY());
    return rect;
}

QRectF TextPrinter::HeaderRect(QPaintDevice* device) const
{
    QRectF rect = PaperRect(device);
    rect.setLeft(rect.left() + MmToX(m_dLeftMargin, device));
    rect.setRight(rect.right() - MmToX(m_dRightMargin, device));
    rect.setTop(rect.top() + MmToY(m_dTopMargin, device));
    rect.setHeight(MmToY(m_dHeaderSize, device));
    return rect;
}

QRectF TextPrinter::FooterRect(QPaintDevice* device) const
{
    QRectF rect = PaperRect(device);
    rect.setLeft(rect.left() + MmToX(m_dLeftMargin, device));
    rect.setRight(rect.right() - MmToX(m_dRightMargin, device));
    rect.setBottom(rect.bottom() - MmToY(m_dBottomMargin, device));
    rect.setTop(rect.bottom() - MmToY(m_dFooterSize, device));
    return rect;
}

QRectF TextPrinter::ContentRect(QPaintDevice* device) const
{
    QRectF rect = PaperRect(device);
    rect.setLeft(rect.left() + MmToX(m_dLeftMargin, device));
    rect.setRight(rect.right() - MmToX(m_dRightMargin, device));
    rect.setTop(rect.top() + MmToY(m_dTopMargin, device));
    rect.setBottom(rect.bottom() - MmToY(m_dBottomMargin, device));
    if (m_dHeaderSize > 0)
        rect.setTop(rect.top() + MmToY(m_dHeaderSize + m_dSpacing, device));
    if (m_dFooterSize > 0)
        rect.setBottom(rect.bottom() - MmToY(m_dFooterSize + m_dSpacing, device));
    return rect;
}

void TextPrinter::PaintBand(QPainter* painter, const QString& html, const QRectF& rect, bool alignBottom, int page)
{
    QString text = html;
    text.replace(QLatin1String("&page;"), QString::number(page));
    const QDate today = QDate::currentDate();
    text.replace(QLatin1String("&date;"), m_qsDateFormat.isEmpty() ? today.toString() : today.toString(m_qsDateFormat));

    QTextDocument band;
    band.setUseDesignMetrics(true);
    for (auto it = m_resources.constBegin(); it != m_resources.constEnd(); ++it)
        band.addResource(QTextDocument::ImageResource, it.key(), it.value());
    band.setHtml(text);
    band.documentLayout()->setPaintDevice(painter->device());
    band.setTextWidth(rect.width());
    const double height = band.documentLayout()->documentSize().height();

    painter->save();
    // A header sits on its bottom edge, a footer hangs from its top edge.
    const double top = alignBottom ? rect.top() + rect.height() - height : rect.top();
    painter->translate(rect.left(), top);
    band.drawContents(painter, QRectF(0, 0, rect.width(), alignBottom ? height : std::min(height, rect.height())));
    painter->restore();
}

void TextPrinter::PaintPage(QPainter* painter, int page)
{
    QPaintDevice* device = painter->device();
    const double point = OnePoint(device);

    if (m_dHeaderSize > 0) {
        const QRectF rect = HeaderRect(device);
        if (m_dHeaderRule > 0) {
            const double width = m_dHeaderRule * point;
            painter->save();
            painter->setPen(QPen(Qt::black, width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
            const double y = rect.bottom() + point + width / 2;
            painter->drawLine(QPointF(rect.left(), y), QPointF(rect.right(), y));
            painter->restore();
        }
        PaintBand(painter, m_qsHeaderText, rect, true, page);
    }

    if (m_dFooterSize > 0) {
        const QRectF rect = FooterRect(device);
        if (m_dFooterRule > 0) {
            const double width = m_dFooterRule * point;
            painter->save();
            painter->setPen(QPen(Qt::black, width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin));
            const double y = rect.top() - point - width / 2;
            painter->drawLine(QPointF(rect.left(), y), QPointF(rect.right(), y));
            painter->restore();
        }
        PaintBand(painter, m_qsFooterText, rect, false, page);
    }

    const QRectF content = ContentRect(device);
    const double bandTop = (page - 1) * content.height();
    painter->save();
    painter->translate(content.left(), content.top() - bandTop);
    m_pTempDocument->drawContents(painter, QRectF(0, bandTop, content.width(), content.height()));
    painter->restore();
}
