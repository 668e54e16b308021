#include "pkcs11provider.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "PKCS11Context.h"
#include "Pkcs11Log.h"
#include "SlotEventThread.h"

namespace {

std::atomic<unsigned long> g_nThreadStopTimeout(5000);
std::atomic<unsigned long> g_nFinalizeTimeout(3000);

// Module files whose C_Finalize was given up on and has not returned yet.
std::mutex g_pendingMutex;
std::multiset<std::string>* g_pPending = nullptr;   // never destroyed: its threads may outlive statics

// One C_Finalize on a thread of its own. Whoever is last, the waiter or the thread, decides who
// deletes the context: the waiter when the call returned in time, else the thread once it has.
struct TFinalizeCall
{
    std::mutex mutex;
    std::condition_variable done;
    bool bReturned = false;
    bool bAbandoned = false;
    bool bFinalized = false;
};

// Finalises the context (its slots and C_Finalize) within the time limit. True when the call
// returned in time (*pbFinalized: whether C_Finalize ran); false when it is left running, and
// with it the context, which the thread deletes once the module answers.
bool FinalizeWithin(CPKCS11Context* pContext, unsigned long nTimeoutMs, bool* pbFinalized)
{
    auto call = std::make_shared<TFinalizeCall>();
    const std::string sModule = pContext->GetModuleName();
    std::thread caller([call, pContext, sModule] {
        const bool bFinalized = pContext->Finalize();
        std::unique_lock<std::mutex> lock(call->mutex);
        call->bReturned = true;
        call->bFinalized = bFinalized;
        call->done.notify_all();
        if (!call->bAbandoned)
            return;
        lock.unlock();
        delete pContext;
        std::lock_guard<std::mutex> pending(g_pendingMutex);
        g_pPending->erase(g_pPending->find(sModule));
    });

    std::unique_lock<std::mutex> lock(call->mutex);
    if (call->done.wait_for(lock, std::chrono::milliseconds(nTimeoutMs), [&] { return call->bReturned; })) {
        *pbFinalized = call->bFinalized;
        lock.unlock();
        // Its end is a moment away; joined, nothing of it (the module's per-thread data
        // included) is left when the caller goes on.
        caller.join();
        return true;
    }
    call->bAbandoned = true;
    caller.detach();
    std::lock_guard<std::mutex> pending(g_pendingMutex);
    if (!g_pPending)
        g_pPending = new std::multiset<std::string>;
    g_pPending->insert(sModule);
    return false;
}

// Threads that did not come back from the module. They keep the library loaded through their
// own reference; a running QThread must not be destroyed, so they are kept here until they
// have ended (a module shared with another context releases them when that one finalises).
std::mutex g_orphansMutex;
std::vector<CSlotEventThread*>* g_pOrphans = nullptr;

void KeepOrphan(CSlotEventThread* pThread)
{
    std::lock_guard<std::mutex> lock(g_orphansMutex);
    if (!g_pOrphans)
        g_pOrphans = new std::vector<CSlotEventThread*>;
    g_pOrphans->push_back(pThread);
}

// Deletes the kept threads that have ended since.
void ReapOrphans()
{
    std::lock_guard<std::mutex> lock(g_orphansMutex);
    if (!g_pOrphans)
        return;
    auto it = std::remove_if(g_pOrphans->begin(), g_pOrphans->end(), [](CSlotEventThread* pThread) {
        if (!pThread->isFinished())
            return false;
        delete pThread;
        return true;
    });
    g_pOrphans->erase(it, g_pOrphans->end());
}

} // namespace

CPKCS11Provider::CPKCS11Provider(CPKCS11Context* pContext, CSlotEventThread* pThread)
    : m_pContext(pContext), m_pContextThread(pThread), m_pTreeWidget(nullptr), m_bShutDown(false), m_bAnswered(true)
{
    assert(pContext);
    assert(pThread);
}

CPKCS11Provider::~CPKCS11Provider()
{
    Shutdown();
}

bool CPKCS11Provider::Shutdown()
{
    if (m_bShutDown)
        return m_bAnswered;
    m_bShutDown = true;
    // The context may be gone to another thread below; its description is kept for the lines.
    const std::string sDescription = m_pContext->GetDescription();
    qCDebug(lcPkcs11) << "\nFreeing provider " << sDescription.c_str();
    m_pContextThread->RequestStop();

    qCDebug(lcPkcs11) << "Deleting pContext...";
    // C_Finalize releases a thread blocked in C_WaitForSlotEvent; the library is unloaded only
    // after the thread has been given the chance to leave it.
    bool bFinalized = false;
    m_bAnswered = FinalizeWithin(m_pContext, g_nFinalizeTimeout.load(), &bFinalized);
    if (!m_bAnswered)
        qCWarning(lcPkcs11) << "Warning: the module of" << sDescription.c_str()
                   << "did not return from C_Finalize; it stays loaded.";

    qCDebug(lcPkcs11) << "Deleting pContextThread...";
    bool bEnded = true;
    if (m_pContextThread->isRunning()) {
        // A module shared with another context is not finalised yet, so nothing releases the
        // wait now: there is no point in waiting for it. Nor is there for a module that is
        // still inside C_Finalize.
        unsigned long nTimeout = bFinalized ? g_nThreadStopTimeout.load() : 0;
        bEnded = m_pContextThread->wait(nTimeout);
    }
    if (bEnded) {
        delete m_pContextThread;
    } else {
        qCWarning(lcPkcs11) << "Warning: the slot-event thread of" << sDescription.c_str()
                   << "did not return from the module; the module stays loaded.";
        KeepOrphan(m_pContextThread);
    }
    m_pContextThread = nullptr;

    // A context still inside C_Finalize belongs to the thread that called it.
    if (m_bAnswered)
        delete m_pContext;
    m_pContext = nullptr;
    m_mapSlots.clear();
    ReapOrphans();
    return m_bAnswered;
}

void CPKCS11Provider::StartThread()
{
    m_pContextThread->start(QThread::InheritPriority);
}

unsigned long CPKCS11Provider::GetThreadStopTimeout()
{
    return g_nThreadStopTimeout.load();
}

void CPKCS11Provider::SetThreadStopTimeout(unsigned long nMilliseconds)
{
    g_nThreadStopTimeout.store(nMilliseconds);
}

unsigned long CPKCS11Provider::GetFinalizeTimeout()
{
    return g_nFinalizeTimeout.load();
}

void CPKCS11Provider::SetFinalizeTimeout(unsigned long nMilliseconds)
{
    g_nFinalizeTimeout.store(nMilliseconds);
}

bool CPKCS11Provider::IsFinalizePending(const std::string& sModule)
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pPending && g_pPending->count(sModule) != 0;
}
