#include "SlotEventThread.h"

#include <algorithm>
#include <cassert>
#include <chrono>

#include "PKCS11Context.h"
#include "Pkcs11Log.h"

namespace {

// A restart of the service behind a module (pcscd) takes a few seconds; half a minute of
// failures in a row is no restart.
std::atomic<unsigned long> g_nFirstPause(250);
std::atomic<unsigned long> g_nLongestPause(8000);
std::atomic<unsigned> g_nAttempts(10);

} // namespace

CSlotEventThread::CSlotEventThread(CPKCS11Context* pContext)
    : QThread(nullptr),
      m_pContext(pContext),
      m_pFunctionList(nullptr),
      m_nContextGeneration(0),
      m_hLibrary(nullptr),
      m_bStopRequested(false)
{
    assert(pContext);
    qRegisterMetaType<CPKCS11Context*>("CPKCS11Context*");
    m_pFunctionList = pContext->GetFunctionList();
    m_nContextGeneration = pContext->GetGeneration();
    // Held until run() has left the module, so the library cannot be unloaded under the thread.
    m_hLibrary = pContext->AcquireLibraryReference();
}

CSlotEventThread::~CSlotEventThread()
{
    // Only reached for a thread that has ended or never started.
    wait();
    CPKCS11Context::ReleaseLibraryReference(m_hLibrary);
}

void CSlotEventThread::run()
{
    WaitForEvents();
    // Out of the module for good: its code no longer needs to stay mapped for this thread (this
    // lets a module that a stuck thread kept loaded go once that thread finally returns).
    CPKCS11Context::ReleaseLibraryReference(m_hLibrary);
    m_hLibrary = nullptr;
}

long long CSlotEventThread::GetWaitingMs() const
{
    const long long nStarted = m_nWaitStarted.load();
    if (nStarted < 0)
        return -1;
    const auto started = std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(nStarted));
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
}

void CSlotEventThread::RequestStop()
{
    {
        std::lock_guard<std::mutex> lock(m_pauseMutex);
        m_bStopRequested.store(true);
    }
    m_pauseEnded.notify_all();
}

bool CSlotEventThread::Pause(unsigned long nMilliseconds)
{
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    return !m_pauseEnded.wait_for(lock, std::chrono::milliseconds(nMilliseconds),
                                  [this] { return m_bStopRequested.load(); });
}

void CSlotEventThread::SetRetryPolicy(unsigned long nFirstPauseMs, unsigned long nLongestPauseMs, unsigned nAttempts)
{
    g_nFirstPause.store(nFirstPauseMs);
    g_nLongestPause.store(std::max(nFirstPauseMs, nLongestPauseMs));
    g_nAttempts.store(std::max(1u, nAttempts));
}

unsigned long CSlotEventThread::GetFirstRetryPause()
{
    return g_nFirstPause.load();
}

unsigned long CSlotEventThread::GetLongestRetryPause()
{
    return g_nLongestPause.load();
}

unsigned CSlotEventThread::GetRetryAttempts()
{
    return g_nAttempts.load();
}

void CSlotEventThread::WaitForEvents()
{
    if (!m_hLibrary || !m_pFunctionList) {
        // Without its own reference the thread could be left inside an unloaded library.
        qCWarning(lcPkcs11) << "No slot events: the module could not be referenced for the slot-event thread";
        return;
    }
    const unsigned long nFirstPause = g_nFirstPause.load();
    const unsigned long nLongestPause = g_nLongestPause.load();
    const unsigned nAttempts = g_nAttempts.load();
    unsigned nFailures = 0;
    unsigned long nPause = nFirstPause;
    // A thread stopped before it got into the wait does not go in: a module that another context
    // keeps initialised would hold it there.
    while (!m_bStopRequested.load()) {
        CK_SLOT_ID nSlotID = 0;
        const auto started = std::chrono::steady_clock::now();
        m_nWaitStarted.store(started.time_since_epoch().count());
        CK_RV rv = m_pFunctionList->C_WaitForSlotEvent(0, &nSlotID, nullptr);
        m_nWaitStarted.store(-1);
        // Once the provider is going away no signal may name its context any more.
        if (m_bStopRequested.load())
            break;
        const auto waited = std::chrono::steady_clock::now() - started;
        if (rv == CKR_OK || waited >= std::chrono::seconds(1))
            m_bFollowed.store(true);
        if (rv == CKR_OK) {
            if (nFailures > 0) {
                qCDebug(lcPkcs11) << ">C_WaitForSlotEvent answers again after" << nFailures << "failures";
                nFailures = 0;
                nPause = nFirstPause;
                emit SlotEventsResumed(m_pContext);
            } else {
                emit SlotEvent(static_cast<ulong>(nSlotID), m_pContext);
            }
            continue;
        }
        qCDebug(lcPkcs11) << ">C_WaitForSlotEvent was unblocked";
        if (rv == CKR_FUNCTION_NOT_SUPPORTED || rv == CKR_NO_EVENT) {
            emit SlotEventsNotSupported(m_pContext);
            break;
        }
        // The module was finalised: there is nothing left to wait on.
        if (rv == CKR_CRYPTOKI_NOT_INITIALIZED)
            break;
        // A wait that had blocked for a good while before it failed: the module had been
        // answering until then, so this failure is the first of a new row.
        if (waited > std::chrono::milliseconds(nLongestPause)) {
            nFailures = 0;
            nPause = nFirstPause;
        }
        if (++nFailures >= nAttempts) {
            // The receiver tells the user and logs the module's answer.
            qCDebug(lcPkcs11).nospace() << "C_WaitForSlotEvent failed " << nFailures << " times in a row (0x"
                                        << QByteArray::number(qulonglong(rv), 16).constData()
                                        << "): card changes are no longer followed";
            emit SlotEventsStopped(static_cast<ulong>(rv), m_pContext);
            break;
        }
        if (m_bFollowed.load())
            emit SlotEventsFailing(m_pContext);
        qCDebug(lcPkcs11).nospace() << ">C_WaitForSlotEvent failed (0x"
                                    << QByteArray::number(qulonglong(rv), 16).constData() << "); waiting again in "
                                    << nPause << " ms";
        if (!Pause(nPause))
            break;
        nPause = std::min(nLongestPause, nPause * 2);
    }
}
