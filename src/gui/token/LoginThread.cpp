#include "LoginThread.h"

#include <pkcs11.h>

QLoginThread::QLoginThread(CPKCS11Token* pToken, TUserType eUserType, QObject* parent)
    : QThread(parent), m_pToken(pToken), m_eUserType(eUserType), m_bResult(false)
{
}

QLoginThread::~QLoginThread()
{
    // Destroying a running QThread aborts the process.
    wait();
}

void QLoginThread::run()
{
    if (!m_pToken)
        return;
    try {
        // A null PIN lets the module take it from the device.
        m_bResult = m_pToken->Login(nullptr, m_eUserType);
    } catch (const CTSYException& e) {
        // A token without a sink throws; the window reads the sink, so the error goes there.
        if (CTSYException* pSink = m_pToken->GetErrorSink()) {
            pSink->SetMessage(e.GetMessage() ? e.GetMessage() : "Login failed");
            pSink->SetCode(e.GetCode());
            pSink->SetFlag(e.GetFlag());
        }
        m_bResult = false;
    } catch (...) {
        if (CTSYException* pSink = m_pToken->GetErrorSink()) {
            pSink->SetMessage("Login failed");
            pSink->SetCode(CKR_GENERAL_ERROR);
            pSink->SetFlag(TSY_KIND_PKCS11);
        }
        m_bResult = false;
    }
}
