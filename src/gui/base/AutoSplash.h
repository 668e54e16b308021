#pragma once

#include <QColor>
#include <QString>

#include "OverrideCursor.h"

class QSplashScreen;
class QWidget;

// A splash screen with the wait cursor for exactly the life of one scope.
class CAutoSplash
{
public:
    // keepScreenPosition false centres the splash over anchor, which must then be a widget.
    CAutoSplash(const QString& pixmapPath, QWidget* anchor, bool keepScreenPosition);
    ~CAutoSplash();

    void Show();
    void Hide();
    void ShowMessage(const QString& text, int alignment, const QColor& color);

    QSplashScreen* Splash() const { return m_pSplash; }

private:
    CAutoSplash(const CAutoSplash&) = delete;
    CAutoSplash& operator=(const CAutoSplash&) = delete;

    COverrideCursor m_cursor;
    QSplashScreen* m_pSplash;
};
