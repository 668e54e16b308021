#pragma once

#include <QObject>
#include <QStyledItemDelegate>

class QTreeWidget;
class QTreeWidgetItem;

// Keeps every name and value of the information pane readable at any width: the names take at
// most part of the width, the values the rest, and a text longer than its cell wraps (at a word
// boundary where there is one, else anywhere: a serial number or "Encryption,Verification"). A
// row with a name and no value (a notice) spans both columns. Nothing is cut or elided, and the
// pane never scrolls sideways.
class CInfoPane : public QObject
{
    Q_OBJECT
public:
    // Sets pane up and follows its size; pane owns what this makes.
    explicit CInfoPane(QTreeWidget* pane);

    // After the rows changed: spans the notices and sizes the columns.
    void RowsChanged();

    // The width a cell's text may take before it wraps.
    int TextWidth(const QTreeWidgetItem* row, int column) const;
    // Lines of text as the pane draws them in that width (word boundaries first).
    static QSize WrappedSize(const QString& text, const QFont& font, int width);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int AvailableWidth() const;
    int TextMargin() const;
    void FitColumns();

    QTreeWidget* m_pPane;
    int m_nLaidOutWidth;
};

// Draws and measures the pane's cells wrapped to the widths CInfoPane gives.
class CInfoPaneDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    CInfoPaneDelegate(CInfoPane* pane, QTreeWidget* view);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    // The size of the cell's text on one line, with the style's padding.
    QSize OneLineHint(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    CInfoPane* m_pPane;
    QTreeWidget* m_pView;
};
