#include "BackgroundCall.h"

#include <exception>
#include <thread>

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QThread>
#include <QVariant>

namespace tessaly {

namespace {

// Drops what the user does meanwhile: the window keeps painting, but nothing starts.
class CInputBlocker : public QObject
{
public:
    CInputBlocker() { qApp->installEventFilter(this); }
    ~CInputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        switch (pEvent->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::ContextMenu:
            pEvent->ignore();
            return true;
        default:
            return false;
        }
    }
};

} // namespace

void RunWaitLoop(QEventLoop& loop, TUserInput input)
{
    QCoreApplication* pApp = QCoreApplication::instance();
    // Marks the wait on the application for whoever drives its dialogs from outside (the
    // tests): a modal dialog shown meanwhile is not waiting for an answer.
    const int nWaiting = pApp->property(kBackgroundCallsProperty).toInt();
    pApp->setProperty(kBackgroundCallsProperty, nWaiting + 1);
    // A close request still reaches the window, which defers it to the end of the operation.
    if (input == TUserInput::Dropped) {
        CInputBlocker blocker;
        loop.exec();
    } else {
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    pApp->setProperty(kBackgroundCallsProperty, nWaiting);
}

void RunInBackground(const std::function<void()>& work, TUserInput input)
{
    QCoreApplication* pApp = QCoreApplication::instance();
    if (!pApp || QThread::currentThread() != pApp->thread()) {
        work();
        return;
    }
    std::exception_ptr failure;
    QEventLoop loop;
    // A thread that is joined: once join returns its per-thread data (OpenSSL's, of the TLS
    // exchange) is gone too, which a QThread's wait does not promise.
    std::thread worker([&loop, &work, &failure] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued to the loop's thread: delivered only while the loop runs.
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    RunWaitLoop(loop, input);
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace tessaly
