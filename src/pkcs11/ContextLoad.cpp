#include "ContextLoad.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "PKCS11Context.h"
#include "Pkcs11Log.h"

namespace {

std::atomic<unsigned long> g_nTimeout(30000);

// Module files whose load was given up on and has not returned yet.
std::mutex g_pendingMutex;
std::multiset<std::string>* g_pPending = nullptr;   // never destroyed: its threads may outlive statics
// The contexts of those loads that answered after all, under g_pendingMutex; kept to the end.
std::vector<CPKCS11Context*>* g_pLeftBehind = nullptr;

} // namespace

// What the load's thread and its caller share. Whoever comes last decides about the context: the
// caller takes it, or the thread frees it when the caller gave up before the end.
struct TContextLoadState
{
    std::mutex mutex;
    bool bEnded = false;
    bool bGivenUp = false;
    bool bTaken = false;
    CPKCS11Context* pContext = nullptr;
    std::exception_ptr failure;
    std::function<void()> onEnded;
    std::string sModule;
};

CContextLoad::CContextLoad(const std::string& sModule, const std::string& sDescription, CTSYException* pErrorSink,
                           std::function<void()> onEnded)
    : m_state(std::make_shared<TContextLoadState>())
{
    m_state->onEnded = std::move(onEnded);
    m_state->sModule = sModule;
    std::shared_ptr<TContextLoadState> state = m_state;
    std::thread([state, sDescription, pErrorSink] {
        CPKCS11Context* pContext = nullptr;
        std::exception_ptr failure;
        try {
            pContext = new CPKCS11Context(state->sModule.c_str(), sDescription.c_str(), pErrorSink);
        } catch (...) {
            failure = std::current_exception();
        }
        std::unique_lock<std::mutex> lock(state->mutex);
        state->bEnded = true;
        if (!state->bGivenUp) {
            state->pContext = pContext;
            state->failure = failure;
            state->onEnded();
            return;
        }
        lock.unlock();
        qCDebug(lcPkcs11) << "A module given up on answered at last:" << state->sModule.c_str();
        std::lock_guard<std::mutex> pending(g_pendingMutex);
        g_pPending->erase(g_pPending->find(state->sModule));
        // Nobody waits for it any more. It is left as it is, never finalised: the module may reach
        // a library another provider works with (a wrapper), whose sessions a C_Finalize would end.
        if (pContext) {
            if (!g_pLeftBehind)
                g_pLeftBehind = new std::vector<CPKCS11Context*>;
            g_pLeftBehind->push_back(pContext);
        }
    }).detach();
}

CContextLoad::~CContextLoad()
{
    GiveUp();
}

bool CContextLoad::HasEnded() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->bEnded;
}

CPKCS11Context* CContextLoad::Take()
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (!m_state->bEnded || m_state->bTaken || m_state->bGivenUp)
        return nullptr;
    m_state->bTaken = true;
    if (m_state->failure)
        std::rethrow_exception(m_state->failure);
    CPKCS11Context* pContext = m_state->pContext;
    m_state->pContext = nullptr;
    return pContext;
}

void CContextLoad::GiveUp()
{
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (m_state->bTaken || m_state->bGivenUp)
        return;
    m_state->bGivenUp = true;
    if (m_state->bEnded) {
        CPKCS11Context* pContext = m_state->pContext;
        m_state->pContext = nullptr;
        lock.unlock();
        delete pContext;
        return;
    }
    {
        // Noted before the thread can see that it was given up, so it finds the note to take back.
        std::lock_guard<std::mutex> pending(g_pendingMutex);
        if (!g_pPending)
            g_pPending = new std::multiset<std::string>;
        g_pPending->insert(m_state->sModule);
    }
    lock.unlock();
    qCWarning(lcPkcs11) << "Warning: the module" << m_state->sModule.c_str()
                        << "did not finish its initialisation in time; its load is left behind.";
}

bool CContextLoad::IsPending(const std::string& sModule)
{
    std::lock_guard<std::mutex> lock(g_pendingMutex);
    return g_pPending && g_pPending->count(sModule) != 0;
}

unsigned long CContextLoad::GetTimeout()
{
    return g_nTimeout.load();
}

void CContextLoad::SetTimeout(unsigned long nMilliseconds)
{
    g_nTimeout.store(nMilliseconds);
}
