#include "MyToolBar.h"

#include <QActionEvent>
#include <QChildEvent>
#include <QLayout>
#include <QTimer>
#include <QStyleOptionToolButton>
#include <QToolButton>

#include <algorithm>

QMyToolBar::QMyToolBar(QWidget* parent)
    : QToolBar(parent), m_nMaxWidth(-1), m_nMaxHeight(-1), m_pLabelStyle(nullptr), m_bFitting(false),
      m_bFitScheduled(false)
{
}

void QMyToolBar::SetTwoLineLabels(bool on)
{
    if (on == (m_pLabelStyle != nullptr))
        return;
    QStyle* previous = m_pLabelStyle;
    m_pLabelStyle = on ? new CTwoLineLabelStyle : nullptr;
    if (m_pLabelStyle)
        m_pLabelStyle->setParent(this);
    for (QToolButton* button : findChildren<QToolButton*>(QString(), Qt::FindDirectChildrenOnly))
        button->setStyle(m_pLabelStyle);
    delete previous;
    ScheduleFit();
}

void QMyToolBar::actionEvent(QActionEvent* event)
{
    QToolBar::actionEvent(event);
    NameButtons();
    ScheduleFit();
}

void QMyToolBar::NameButtons()
{
    // Buttons that read the same ("Test" for a token, a key and a certificate) are named for a
    // screen reader by their tool tips, which tell them apart; the others keep their text.
    const QList<QAction*> all = actions();
    for (QAction* action : all) {
        QWidget* button = widgetForAction(action);
        if (!button || action->isSeparator())
            continue;
        const bool shared = std::any_of(all.begin(), all.end(), [action](const QAction* other) {
            return other != action && !other->isSeparator() && other->iconText() == action->iconText();
        });
        button->setAccessibleName(shared ? action->toolTip() : QString());
    }
}

void QMyToolBar::ScheduleFit()
{
    if (!m_pLabelStyle || m_bFitScheduled)
        return;
    m_bFitScheduled = true;
    QTimer::singleShot(0, this, &QMyToolBar::FitLabels);
}

void QMyToolBar::FitLabels()
{
    m_bFitScheduled = false;
    if (!m_pLabelStyle || orientation() != Qt::Horizontal || m_bFitting)
        return;
    // Only the width and the labels that show decide; an action turning grey changes nothing.
    QString key = QString::number(width());
    for (QAction* action : actions())
        if (action->isVisible())
            key += QLatin1Char('|') + action->iconText();
    if (key == m_qsFitKey)
        return;
    m_qsFitKey = key;
    // Labels under the icons where they all fit; else icons only (the tool tips name them), so
    // that no action goes behind the overflow arrow.
    m_bFitting = true;
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    if (layout())
        layout()->invalidate();
    if (sizeHint().width() > width())
        setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_bFitting = false;
}

void QMyToolBar::childEvent(QChildEvent* event)
{
    QToolBar::childEvent(event);
    if (event->type() == QEvent::ChildAdded && m_pLabelStyle)
        if (QToolButton* button = qobject_cast<QToolButton*>(event->child()))
            button->setStyle(m_pLabelStyle);
}

void QMyToolBar::resizeEvent(QResizeEvent*)
{
    if (!m_bFitting)
        ScheduleFit();
    // The largest sizes only grow, so buttons never shrink back while the bar lives.
    const QList<QToolButton*> buttons = findChildren<QToolButton*>();
    for (QToolButton* button : buttons) {
        if (button->width() > m_nMaxWidth)
            m_nMaxWidth = button->width();
        if (button->height() > m_nMaxHeight)
            m_nMaxHeight = button->height();
    }
    for (QToolButton* button : buttons) {
        if (orientation() == Qt::Horizontal)
            button->setMinimumSize(0, m_nMaxHeight);
        else
            button->setMinimumSize(m_nMaxWidth, 0);
    }
}

namespace {
const QString kSpace = QStringLiteral(" ");
} // namespace

CTwoLineLabelStyle::CTwoLineLabelStyle() : QProxyStyle(nullptr) {}

QString CTwoLineLabelStyle::Label(const QString& text, const QFontMetrics& metrics, int iconWidth)
{
    // Up to three icons wide, one line reads best.
    if (!text.contains(QLatin1Char(' ')) || text.contains(QLatin1Char('\n')) ||
        metrics.horizontalAdvance(text) <= 3 * iconWidth)
        return text;
    QString best = text;
    int bestWidth = metrics.horizontalAdvance(text);
    for (int at = text.indexOf(kSpace); at >= 0; at = text.indexOf(kSpace, at + 1)) {
        const QString first = text.left(at).trimmed();
        const QString second = text.mid(at + 1).trimmed();
        if (first.isEmpty() || second.isEmpty())
            continue;
        const int width = std::max(metrics.horizontalAdvance(first), metrics.horizontalAdvance(second));
        if (width < bestWidth) {
            bestWidth = width;
            best = first + QLatin1Char('\n') + second;
        }
    }
    return best;
}

QSize CTwoLineLabelStyle::sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contentsSize,
                                           const QWidget* widget) const
{
    const QStyleOptionToolButton* button = qstyleoption_cast<const QStyleOptionToolButton*>(option);
    if (type != CT_ToolButton || !button || button->toolButtonStyle != Qt::ToolButtonTextUnderIcon)
        return QProxyStyle::sizeFromContents(type, option, contentsSize, widget);
    const QFontMetrics& metrics = button->fontMetrics;
    const QString label = Label(button->text, metrics, button->iconSize.width());
    // The button measured its text on one line with a space on either side: the same sums with
    // the lines as drawn and half a space on either side, which the frame's margin makes enough.
    const int space = metrics.horizontalAdvance(QLatin1Char(' '));
    const QSize one = metrics.size(Qt::TextShowMnemonic, button->text);
    const QSize drawn = metrics.size(Qt::TextShowMnemonic, label);
    const int extra = std::max(0, contentsSize.width() - std::max(button->iconSize.width(), one.width() + 2 * space));
    const QSize size(std::max(button->iconSize.width(), drawn.width() + space) + extra,
                     contentsSize.height() + drawn.height() - one.height());
    return QProxyStyle::sizeFromContents(type, option, size, widget);
}

void CTwoLineLabelStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex* option,
                                            QPainter* painter, const QWidget* widget) const
{
    const QStyleOptionToolButton* button = qstyleoption_cast<const QStyleOptionToolButton*>(option);
    if (control != CC_ToolButton || !button || button->toolButtonStyle != Qt::ToolButtonTextUnderIcon)
        return QProxyStyle::drawComplexControl(control, option, painter, widget);
    QStyleOptionToolButton twoLines = *button;
    twoLines.text = Label(button->text, button->fontMetrics, button->iconSize.width());
    QProxyStyle::drawComplexControl(control, &twoLines, painter, widget);
}
