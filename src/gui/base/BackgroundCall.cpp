#include "BackgroundCall.h"

#include <exception>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QVariant>

namespace tessaly {

void RunInBackground(const std::function<void()>& work)
{
    QCoreApplication* pApp = QCoreApplication::instance();
    if (!pApp || QThread::currentThread() != pApp->thread()) {
        work();
        return;
    }
    std::exception_ptr failure;
    QEventLoop loop;
    QThread* pThread = QThread::create([&work, &failure] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    // Queued to this thread: the loop is left once the worker's function has returned.
    QObject::connect(pThread, &QThread::finished, &loop, &QEventLoop::quit, Qt::QueuedConnection);
    // Marks the wait on the application for whoever drives its dialogs from outside (the
    // tests): a modal dialog shown meanwhile is not waiting for an answer.
    const int nWaiting = pApp->property(kBackgroundCallsProperty).toInt();
    pApp->setProperty(kBackgroundCallsProperty, nWaiting + 1);
    pThread->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    pThread->wait();
    pApp->setProperty(kBackgroundCallsProperty, nWaiting);
    delete pThread;
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace tessaly
