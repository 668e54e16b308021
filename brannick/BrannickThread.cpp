#include "BrannickThread.h"

#include <cassert>
#include <cstdio>
#include <exception>

#include "PKCS11Token.h"

CBrannickThread::CBrannickThread(CPKCS11Token* pToken, const char* pszSOPIN, const char* pszLabel)
    : QThread(nullptr), m_pToken(pToken), m_sSOPIN(pszSOPIN), m_sLabel(pszLabel ? pszLabel : ""), m_bResult(false)
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
    // Straight to standard error: Qt's debug channel sets up its text codec on first use,
    // which costs a tenth of the tool's whole run.
    fputs("CBrannickThread::run\n", stderr);
    // Without an error sink the layer throws; nothing may leave a thread's run.
    try {
        m_bResult = m_pToken->InitializeToken(m_sSOPIN.c_str(), m_sLabel.c_str());
    } catch (const std::exception& e) {
        fprintf(stderr, "CBrannickThread::run: %s\n", e.what());
        m_bResult = false;
    } catch (...) {
        m_bResult = false;
    }
}

