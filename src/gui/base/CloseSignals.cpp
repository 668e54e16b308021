#include "CloseSignals.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include "GuiLog.h"

namespace {

const int kSignals[] = {SIGTERM, SIGHUP, SIGINT};
int g_pipe[2] = {-1, -1};

extern "C" void OnCloseSignal(int signalNumber)
{
    // Async-signal-safe: one write that never blocks (the pipe's write end does not wait).
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    ssize_t written = ::write(g_pipe[1], &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

CCloseSignals::CCloseSignals(QObject* parent) : QObject(parent)
{
    if (g_pipe[0] >= 0 || ::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcGui) << "Termination signals cannot be turned into a close";
        return;
    }
    m_pNotifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CCloseSignals::Read);
    struct sigaction action = {};
    action.sa_handler = OnCloseSignal;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals)
        sigaddset(&action.sa_mask, number);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
}

CCloseSignals::~CCloseSignals()
{
    if (!m_pNotifier)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int number : kSignals)
        ::sigaction(number, &action, nullptr);
    delete m_pNotifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void CCloseSignals::Read()
{
    unsigned char bytes[64];
    ssize_t got;
    while ((got = ::read(g_pipe[0], bytes, sizeof(bytes))) > 0 || (got < 0 && errno == EINTR)) {
        for (ssize_t i = 0; i < got; ++i) {
            qCDebug(lcGui) << "Signal" << int(bytes[i]) << "asks the window to close";
            emit CloseRequested(int(bytes[i]));
        }
    }
}
