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
// At close nobody waits for a provider to come back: one shorter limit for all of them.
std::atomic<unsigned long> g_nCloseTimeout(1000);

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

} // namespace

// C_Finalize of one context on a thread of its own, started at construction. Wait joins the
// thread when the call returned by the deadline (finalised: whether C_Finalize ran), else leaves
// it running, and with it the context, which the thread deletes once the module answers.
class CFinalizeCall
{
public:
    explicit CFinalizeCall(CPKCS11Context* pContext) : m_call(std::make_shared<TFinalizeCall>())
    {
        auto call = m_call;
        const std::string sModule = pContext->GetModuleName();
        m_caller = std::thread([call, pContext, sModule] {
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
        m_sModule = sModule;
    }

    bool WaitUntil(std::chrono::steady_clock::time_point deadline, bool* pbFinalized)
    {
        std::unique_lock<std::mutex> lock(m_call->mutex);
        if (m_call->done.wait_until(lock, deadline, [this] { return m_call->bReturned; })) {
            *pbFinalized = m_call->bFinalized;
            lock.unlock();
            // Its end is a moment away; joined, nothing of it (the module's per-thread data
            // included) is left when the caller goes on.
            m_caller.join();
            return true;
        }
        m_call->bAbandoned = true;
        m_caller.detach();
        std::lock_guard<std::mutex> pending(g_pendingMutex);
        if (!g_pPending)
            g_pPending = new std::multiset<std::string>;
        g_pPending->insert(m_sModule);
        return false;
    }

private:
    std::shared_ptr<TFinalizeCall> m_call;
    std::thread m_caller;
    std::string m_sModule;
};

namespace {

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

// Providers left loaded at the end of the program, never finalised: kept reachable to the end.
std::mutex g_leftMutex;
std::vector<std::pair<CPKCS11Context*, CSlotEventThread*>>* g_pLeft = nullptr;

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
    : m_pContext(pContext),
      m_pContextThread(pThread),
      m_pTreeWidget(nullptr),
      m_bShutDown(false),
      m_bAnswered(true),
      m_pFinalize(nullptr)
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
    BeginShutdown();
    return EndShutdown(std::chrono::steady_clock::now() + std::chrono::milliseconds(g_nFinalizeTimeout.load()));
}

void CPKCS11Provider::ShutdownAll(const std::vector<CPKCS11Provider*>& providers)
{
    // One module after the other: a module and a wrapper of it (a tracing module listed beside
    // it) reach one library, which must never see C_CloseSession and C_Finalize from two threads
    // at once. A stuck module uses up the one limit; those after it are not finalised at all.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_nCloseTimeout.load());
    for (CPKCS11Provider* pProvider : providers) {
        if (std::chrono::steady_clock::now() < deadline)
            pProvider->EndShutdown(deadline);
        else
            pProvider->LeaveLoaded();
    }
}

void CPKCS11Provider::LeaveLoaded()
{
    if (m_bShutDown)
        return;
    m_bShutDown = true;
    m_bAnswered = false;
    qCWarning(lcPkcs11) << "Warning: the module of" << m_pContext->GetDescription()
                        << "was not finalised: the time for closing had passed; it stays loaded.";
    m_pContextThread->RequestStop();
    // Its slot-event thread may still wait in the module, and the context holds the module's
    // sessions: both stay as they are for the rest of the process.
    std::lock_guard<std::mutex> lock(g_leftMutex);
    if (!g_pLeft)
        g_pLeft = new std::vector<std::pair<CPKCS11Context*, CSlotEventThread*>>;
    g_pLeft->emplace_back(m_pContext, m_pContextThread);
    m_pContext = nullptr;
    m_pContextThread = nullptr;
    m_mapSlots.clear();
}

void CPKCS11Provider::BeginShutdown()
{
    if (m_bShutDown || m_pFinalize)
        return;
    qCDebug(lcPkcs11) << "\nFreeing provider " << m_pContext->GetDescription();
    m_pContextThread->RequestStop();
    qCDebug(lcPkcs11) << "Deleting pContext...";
    // C_Finalize releases a thread blocked in C_WaitForSlotEvent; the library is unloaded only
    // after the thread has been given the chance to leave it.
    m_pFinalize = new CFinalizeCall(m_pContext);
}

bool CPKCS11Provider::EndShutdown(std::chrono::steady_clock::time_point deadline)
{
    if (m_bShutDown)
        return m_bAnswered;
    BeginShutdown();
    m_bShutDown = true;
    // The context may be gone to another thread below; its description is kept for the lines.
    const std::string sDescription = m_pContext->GetDescription();
    bool bFinalized = false;
    m_bAnswered = m_pFinalize->WaitUntil(deadline, &bFinalized);
    delete m_pFinalize;
    m_pFinalize = nullptr;
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

unsigned long CPKCS11Provider::GetCloseTimeout()
{
    return g_nCloseTimeout.load();
}

void CPKCS11Provider::SetCloseTimeout(unsigned long nMilliseconds)
{
    g_nCloseTimeout.store(nMilliseconds);
}

bool CPKCS11Provider::IsFinalizePending(const std::string& sModule)
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pPending && g_pPending->count(sModule) != 0;
}
