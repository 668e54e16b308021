#include "AutoSplash.h"

#include <cassert>

#include <QApplication>
#include <QPixmap>
#include <QSplashScreen>

CAutoSplash::CAutoSplash(const QString& pixmapPath, QWidget* anchor, bool keepScreenPosition)
{
    const QPixmap pixmap(pixmapPath);
    m_pSplash = new QSplashScreen(pixmap, Qt::WindowStaysOnTopHint);
    if (!keepScreenPosition) {
        assert(anchor);
        m_pSplash->move(anchor->pos() + QPoint((anchor->width() - m_pSplash->width()) / 2,
                                               (anchor->height() - m_pSplash->height()) / 2));
    }
    m_pSplash->show();
}

CAutoSplash::~CAutoSplash()
{
    m_pSplash->hide();
    delete m_pSplash;
}

void CAutoSplash::Show()
{
    m_pSplash->show();
}

void CAutoSplash::Hide()
{
    m_pSplash->hide();
}

void CAutoSplash::ShowMessage(const QString& text, int alignment, const QColor& color)
{
    m_pSplash->showMessage(text, alignment, color);
}
