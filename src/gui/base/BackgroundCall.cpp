#include "BackgroundCall.h"

#include <exception>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

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
    pThread->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    pThread->wait();
    delete pThread;
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace tessaly
