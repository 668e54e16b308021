#include "TSYException.h"

#include "Pkcs11Log.h"

CTSYException::CTSYException() : m_nCode(0), m_nFlag(0) {}

CTSYException::CTSYException(const char* pszMessage, unsigned long nCode, uint32_t nFlag)
    : m_sMessage(pszMessage ? pszMessage : ""), m_nCode(nCode), m_nFlag(nFlag)
{
}

CTSYException::~CTSYException() noexcept = default;

const char* CTSYException::what() const noexcept
{
    return m_sMessage.c_str();
}

const char* CTSYException::GetMessage() const
{
    return m_sMessage.empty() ? nullptr : m_sMessage.c_str();
}

void CTSYException::SetMessage(const char* pszMessage)
{
    if (pszMessage)
        m_sMessage = pszMessage;
}

void CTSYException::Reset()
{
    m_sMessage.clear();
    m_nCode = 0;
    m_nFlag = 0;
}

void CErrorHandler::SetError(const char* pszMessage, unsigned long nCode, uint32_t nFlag)
{
    qCDebug(lcPkcs11) << "Error: " << (pszMessage ? pszMessage : "") << " Code:" << nCode << "\n";
    if (!m_pErrorSink)
        throw CTSYException(pszMessage, nCode, nFlag);
    m_pErrorSink->SetCode(nCode);
    m_pErrorSink->SetMessage(pszMessage);
    m_pErrorSink->SetFlag(nFlag);
}
