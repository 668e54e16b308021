#include "pkcs11provider.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <mutex>
#include <vector>

#include "PKCS11Context.h"
#include "Pkcs11Log.h"
#include "SlotEventThread.h"

namespace {

std::atomic<unsigned long> g_nThreadStopTimeout(5000);

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
    : m_pContext(pContext), m_pContextThread(pThread), m_pTreeWidget(nullptr)
{
    assert(pContext);
    assert(pThread);
}

CPKCS11Provider::~CPKCS11Provider()
{
    qCDebug(lcPkcs11) << "\nFreeing provider " << m_pContext->GetDescription();
    m_pContextThread->RequestStop();

    qCDebug(lcPkcs11) << "Deleting pContext...";
    // C_Finalize releases a thread blocked in C_WaitForSlotEvent; the library is unloaded only
    // after the thread has been given the chance to leave it.
    bool bFinalized = m_pContext->Finalize();

    qCDebug(lcPkcs11) << "Deleting pContextThread...";
    bool bEnded = true;
    if (m_pContextThread->isRunning()) {
        // A module shared with another context is not finalised yet, so nothing releases the
        // wait now: there is no point in waiting for it.
        unsigned long nTimeout = bFinalized ? g_nThreadStopTimeout.load() : 0;
        bEnded = m_pContextThread->wait(nTimeout);
    }
    if (bEnded) {
        delete m_pContextThread;
    } else {
        qCWarning(lcPkcs11) << "Warning: the slot-event thread of" << m_pContext->GetDescription()
                   << "did not return from the module; the module stays loaded.";
        KeepOrphan(m_pContextThread);
    }
    m_pContextThread = nullptr;

    delete m_pContext;
    m_pContext = nullptr;
    m_mapSlots.clear();
    ReapOrphans();
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
