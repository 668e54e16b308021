#include "BrannickThread.h"

#include <cassert>
#include <exception>
#include <thread>

#include "PKCS11Token.h"
#include "TSYException.h"

CBrannickThread::CBrannickThread(CPKCS11Token* pToken, const char* pszSOPIN, const char* pszLabel)
    : QThread(nullptr), m_pToken(pToken), m_sSOPIN(pszSOPIN), m_sLabel(pszLabel ? pszLabel : ""), m_bResult(false),
      m_nErrorCode(0)
{
    assert(m_pToken);
    assert(!m_sSOPIN.empty());
    assert(!m_sLabel.empty());
}

CBrannickThread::~CBrannickThread()
{
    // Destroying a running thread aborts the process; the caller waits or never destroys.
    assert(!isRunning());
}

void CBrannickThread::run()
{
    // The call runs on a thread of its own that is joined here: a QThread's end is signalled
    // before its thread has let go of its thread-local data, and a module (its crypto library)
    // keeps per-thread state there. Joined, that is gone when the main thread's wait returns.
    std::thread call([this] { Initialize(); });
    call.join();
}

void CBrannickThread::Initialize()
{
    // Without an error sink the layer throws; nothing may leave a thread's run. The main
    // thread reports the failure, with the module's answer.
    try {
        m_bResult = m_pToken->InitializeToken(m_sSOPIN.c_str(), m_sLabel.c_str());
    } catch (const CTSYException& e) {
        m_nErrorCode = e.GetFlag() == TSY_KIND_PKCS11 ? e.GetCode() : 0;
        m_bResult = false;
    } catch (...) {
        m_bResult = false;
    }
}
