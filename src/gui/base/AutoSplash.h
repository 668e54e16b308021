#pragma once

#include <QColor>
#include <QString>

#include "OverrideCursor.h"

class QSplashScreen;
class QWidget;

// A splash screen with the wait cursor for exactly the life of one scope.
//
// A splash stays on top of every window, so while one is up, every modal dialog or message box
// that opens would sit under it, unseen, with the wait cursor over it. So whenever such a window
// opens, the splashes step aside and the normal arrow comes back; both return once the last of
// those windows has closed.
class CAutoSplash
{
public:
    // keepScreenPosition false centres the splash over anchor, which must then be a widget.
    CAutoSplash(const QString& pixmapPath, QWidget* anchor, bool keepScreenPosition);
    ~CAutoSplash();

    // Shown now, or once the windows in front of it have closed.
    void Show();
    void Hide();
    void ShowMessage(const QString& text, int alignment, const QColor& color);

    QSplashScreen* Splash() const { return m_pSplash; }

private:
    CAutoSplash(const CAutoSplash&) = delete;
    CAutoSplash& operator=(const CAutoSplash&) = delete;
    friend class CSplashesStepAside;

    COverrideCursor m_cursor;
    QSplashScreen* m_pSplash;
    // What the owner asked for; the splash may still be aside for a window in front of it.
    bool m_bWanted;
};
