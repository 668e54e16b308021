#include "AutoSplash.h"

#include <cassert>
#include <memory>

#include <QApplication>
#include <QEvent>
#include <QPixmap>
#include <QSet>
#include <QSplashScreen>
#include <QVector>

// Watches, while splashes are alive, for modal windows that open, and moves the splashes out of
// their way (see AutoSplash.h).
class CSplashesStepAside : public QObject
{
public:
    static CSplashesStepAside& Instance()
    {
        static CSplashesStepAside* s_pInstance = new CSplashesStepAside;
        return *s_pInstance;
    }

    void Add(CAutoSplash* pSplash)
    {
        if (m_splashes.isEmpty())
            qApp->installEventFilter(this);
        m_splashes.append(pSplash);
    }

    void Remove(CAutoSplash* pSplash)
    {
        m_splashes.removeAll(pSplash);
        if (!m_splashes.isEmpty())
            return;
        qApp->removeEventFilter(this);
        // Windows still open keep no arrow for splashes that are gone.
        m_windows.clear();
        m_pArrow.reset();
    }

    bool IsAside() const { return !m_windows.isEmpty(); }

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override
    {
        if (pEvent->type() == QEvent::Show) {
            QWidget* pWidget = qobject_cast<QWidget*>(pObject);
            if (pWidget && pWidget->isWindow() && pWidget->isModal() && !qobject_cast<QSplashScreen*>(pWidget) &&
                !m_windows.contains(pObject)) {
                if (m_windows.isEmpty()) {
                    for (CAutoSplash* pSplash : m_splashes)
                        pSplash->m_pSplash->hide();
                    m_pArrow.reset(new COverrideCursor(Qt::ArrowCursor));
                }
                m_windows.insert(pObject);
                connect(pObject, &QObject::destroyed, this, &CSplashesStepAside::WindowGone, Qt::UniqueConnection);
            }
        } else if (pEvent->type() == QEvent::Hide) {
            WindowGone(pObject);
        }
        return false;
    }

private:
    void WindowGone(QObject* pObject)
    {
        if (!m_windows.remove(pObject) || !m_windows.isEmpty())
            return;
        m_pArrow.reset();
        for (CAutoSplash* pSplash : m_splashes)
            if (pSplash->m_bWanted)
                pSplash->m_pSplash->show();
    }

    QVector<CAutoSplash*> m_splashes;
    // The modal windows open in front of the splashes.
    QSet<QObject*> m_windows;
    std::unique_ptr<COverrideCursor> m_pArrow;
};

CAutoSplash::CAutoSplash(const QString& pixmapPath, QWidget* anchor, bool keepScreenPosition) : m_bWanted(true)
{
    const QPixmap pixmap(pixmapPath);
    m_pSplash = new QSplashScreen(pixmap, Qt::WindowStaysOnTopHint);
    if (!keepScreenPosition) {
        assert(anchor);
        m_pSplash->move(anchor->pos() + QPoint((anchor->width() - m_pSplash->width()) / 2,
                                               (anchor->height() - m_pSplash->height()) / 2));
    }
    CSplashesStepAside::Instance().Add(this);
    if (!CSplashesStepAside::Instance().IsAside())
        m_pSplash->show();
}

CAutoSplash::~CAutoSplash()
{
    CSplashesStepAside::Instance().Remove(this);
    m_pSplash->hide();
    delete m_pSplash;
}

void CAutoSplash::Show()
{
    m_bWanted = true;
    if (!CSplashesStepAside::Instance().IsAside())
        m_pSplash->show();
}

void CAutoSplash::Hide()
{
    m_bWanted = false;
    m_pSplash->hide();
}

void CAutoSplash::ShowMessage(const QString& text, int alignment, const QColor& color)
{
    m_pSplash->showMessage(text, alignment, color);
}
