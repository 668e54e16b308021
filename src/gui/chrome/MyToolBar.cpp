#include "MyToolBar.h"

#include <QToolButton>

QMyToolBar::QMyToolBar(QWidget* parent)
    : QToolBar(parent), m_nMaxWidth(-1), m_nMaxHeight(-1)
{
}

void QMyToolBar::resizeEvent(QResizeEvent*)
{
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
