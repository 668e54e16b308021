#include "InfoPane.h"

#include <QEvent>
#include <QHeaderView>
#include <QPainter>
#include <QTextLayout>
#include <QTreeWidget>

#include <algorithm>
#include <cmath>

namespace {
// The names never take more than this part of the width, however long one is.
const int kNamePercent = 40;
// ... unless one word of a name needs more, up to this part.
const int kWordPercent = 60;
const int kUnbounded = 1 << 20;

// Lays the text out in layout as the pane shows it, wrapped at width, line under line; the
// size it takes.
QSizeF LayOutWrapped(QTextLayout& layout, const QString& text, const QFont& font, int width)
{
    QString laidOut = text;
    laidOut.replace(QLatin1Char('\n'), QChar::LineSeparator);
    layout.setText(laidOut);
    layout.setFont(font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    qreal height = 0;
    qreal widest = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, height));
        height += line.height();
        widest = std::max(widest, line.naturalTextWidth());
    }
    layout.endLayout();
    return QSizeF(widest, height);
}
} // namespace

CInfoPane::CInfoPane(QTreeWidget* pane) : QObject(pane), m_pPane(pane), m_nLaidOutWidth(-1)
{
    m_pPane->setWordWrap(true);
    m_pPane->setUniformRowHeights(false);
    m_pPane->setTextElideMode(Qt::ElideNone);
    m_pPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_pPane->header()->setStretchLastSection(true);
    m_pPane->setItemDelegate(new CInfoPaneDelegate(this, m_pPane));
    m_pPane->installEventFilter(this);
}

int CInfoPane::AvailableWidth() const
{
    // Room for the vertical scroll bar is always kept: a bar that comes and goes would change
    // the wrapping, and with it whether the bar is needed.
    return std::max(0, m_pPane->width() - 2 * m_pPane->frameWidth() -
                           m_pPane->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, m_pPane));
}

int CInfoPane::TextMargin() const
{
    return m_pPane->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_pPane) + 1;
}

int CInfoPane::TextWidth(const QTreeWidgetItem* row, int column) const
{
    const int margins = 2 * TextMargin();
    const bool spanned = row && row->isFirstColumnSpanned();
    if (spanned)
        return std::max(1, AvailableWidth() - margins);
    if (column == 0)
        return std::max(1, m_pPane->columnWidth(0) - margins);
    return std::max(1, AvailableWidth() - m_pPane->columnWidth(0) - margins);
}

QSize CInfoPane::WrappedSize(const QString& text, const QFont& font, int width)
{
    QTextLayout layout;
    const QSizeF size = LayOutWrapped(layout, text, font, width);
    return QSize(int(std::ceil(size.width())), int(std::ceil(size.height())));
}

void CInfoPane::RowsChanged()
{
    for (int i = 0; i < m_pPane->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = m_pPane->topLevelItem(i);
        row->setFirstColumnSpanned(row->text(1).isEmpty());
    }
    FitColumns();
}

void CInfoPane::FitColumns()
{
    m_nLaidOutWidth = AvailableWidth();
    int names = 0;
    int word = 0;
    for (int i = 0; i < m_pPane->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = m_pPane->topLevelItem(i);
        if (row->isFirstColumnSpanned())
            continue;
        // Measured as drawn: the font metrics' rounded advances can fall short of the layout.
        const QFont font = row->font(0).resolve(m_pPane->font());
        names = std::max(names, WrappedSize(row->text(0), font, kUnbounded).width() + 1);
        for (const QString& part : row->text(0).split(QLatin1Char(' '), Qt::SkipEmptyParts))
            word = std::max(word, WrappedSize(part, font, kUnbounded).width() + 1);
    }
    // A long name wraps between its words rather than inside one, while the values keep most of
    // the width.
    const int margins = 2 * TextMargin();
    const int width = std::max(std::min(names, m_nLaidOutWidth * kNamePercent / 100 - margins),
                               std::min(word, m_nLaidOutWidth * kWordPercent / 100 - margins));
    m_pPane->setColumnWidth(0, std::max(1, width + margins));
    // The row heights follow the new widths.
    m_pPane->doItemsLayout();
}

bool CInfoPane::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pPane && event->type() == QEvent::Resize && AvailableWidth() != m_nLaidOutWidth)
        FitColumns();
    return QObject::eventFilter(watched, event);
}

CInfoPaneDelegate::CInfoPaneDelegate(CInfoPane* pane, QTreeWidget* view)
    : QStyledItemDelegate(view), m_pPane(pane), m_pView(view)
{
}

namespace {
// The row of index: the pane has top-level rows only.
const QTreeWidgetItem* RowOf(const QTreeWidget* view, const QModelIndex& index)
{
    return index.parent().isValid() ? nullptr : view->topLevelItem(index.row());
}
} // namespace

QSize CInfoPaneDelegate::OneLineHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // The style would wrap to the option's rectangle, which is not the cell's here.
    QStyleOptionViewItem single = option;
    single.features &= ~QStyleOptionViewItem::WrapText;
    return QStyledItemDelegate::sizeHint(single, index);
}

void CInfoPaneDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString text = opt.text;
    opt.text.clear();
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : nullptr;
    if (!style)
        return QStyledItemDelegate::paint(painter, option, index);
    // Background, selection and focus as the style has them; the text wrapped on top.
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
    if (text.isEmpty())
        return;

    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect rect = opt.rect.adjusted(margin, 0, -margin, 0);
    QTextLayout layout;
    const qreal height = LayOutWrapped(layout, text, opt.font, rect.width()).height();

    const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (opt.state & QStyle::State_Active) ? QPalette::Active
                                                                             : QPalette::Inactive;
    painter->save();
    painter->setPen(opt.palette.color(group, (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText
                                                                                   : QPalette::Text));
    // One line sits in the middle as in any row; more lines start at the top, beside the first
    // line of the other column.
    const int oneLineHeight = OneLineHint(option, index).height();
    const qreal oneLine = std::max<qreal>(0, (oneLineHeight - QFontMetrics(opt.font).height()) / 2.0);
    const qreal top = rect.top() + std::max<qreal>(0, std::min<qreal>(oneLine, (rect.height() - height) / 2));
    layout.draw(painter, QPointF(rect.left(), top));
    painter->restore();
}

QSize CInfoPaneDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QSize base = OneLineHint(option, index);
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    if (opt.text.isEmpty())
        return base;
    const int width = m_pPane->TextWidth(RowOf(m_pView, index), index.column());
    const QSize text = CInfoPane::WrappedSize(opt.text, opt.font, width);
    const int padding = std::max(0, base.height() - QFontMetrics(opt.font).height());
    return QSize(std::min(base.width(), width), std::max(base.height(), text.height() + padding));
}
