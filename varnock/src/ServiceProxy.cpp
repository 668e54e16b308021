#include "ServiceProxy.h"

#include "VarnockAssert.h"

#include <cctype>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <sstream>
#include <stdexcept>

extern SOAP_NMAC struct Namespace namespaces[];

namespace varnock {
namespace {

// A peer that closes while TLS writes would raise SIGPIPE and end the calling
// program. The signal is held back for this thread during an exchange and a
// pending one is taken away afterwards; the program's own handling is untouched.
class CHoldSigPipe {
public:
    CHoldSigPipe()
    {
        sigemptyset(&m_set);
        sigaddset(&m_set, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        m_bWasPending = sigismember(&pending, SIGPIPE) == 1;
        m_bHeld = pthread_sigmask(SIG_BLOCK, &m_set, &m_old) == 0;
    }
    ~CHoldSigPipe()
    {
        if (!m_bHeld)
            return;
        if (!m_bWasPending) {
            const timespec zero{0, 0};
            while (sigtimedwait(&m_set, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }

private:
    sigset_t m_set, m_old;
    bool m_bWasPending = false;
    bool m_bHeld = false;
};

} // namespace

CServiceProxy::CServiceProxy(const char* pszEndpoint, const char* pchTrustedCertsPEM, const TTimeouts& timeouts)
    : RequestServiceSoapProxy(SOAP_IO_DEFAULT, SOAP_IO_DEFAULT)
{
    VARNOCK_ASSERT(pszEndpoint, "soapRequestServiceSoapProxy", 20);
    m_sEndpoint = pszEndpoint;
    // The generated table lacks the SOAP 1.2 port's namespace; ours has all seven.
    soap_set_namespaces(this, ::namespaces);
    connect_timeout = timeouts.connect;
    send_timeout = timeouts.sendReceive;
    recv_timeout = timeouts.sendReceive;
    transfer_timeout = timeouts.transfer;

    VARNOCK_ASSERT(pchTrustedCertsPEM, "soapRequestServiceSoapProxy", 27);
    // The file is the whole trust: without NO_DEFAULT_CA_PATH the engine adds every
    // CA of the platform's store (read anew for each call) to it. An empty path would
    // leave nothing to trust; the caller meant a file.
    const bool bContext =
        *pchTrustedCertsPEM != '\0' &&
        soap_ssl_client_context(this, SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH, nullptr,
                                nullptr, pchTrustedCertsPEM, nullptr, nullptr) == SOAP_OK;
    if (!bContext) {
        if (*pchTrustedCertsPEM == '\0')
            soap_set_sender_error(this, "No trusted-certificate file was given", nullptr, SOAP_SSL_ERROR);
        std::string sText = FaultText();
        destroy();
        throw std::runtime_error(sText);
    }
}

CServiceProxy::~CServiceProxy()
{
    destroy();
}

namespace {

// True for "https://" (any case) followed by a host.
bool IsAcceptedEndpoint(const std::string& sEndpoint)
{
    static const char kScheme[] = "https://";
    const size_t nScheme = sizeof kScheme - 1;
    if (sEndpoint.size() <= nScheme)
        return false;
    for (size_t i = 0; i < nScheme; ++i) {
        if (std::tolower(static_cast<unsigned char>(sEndpoint[i])) != kScheme[i])
            return false;
    }
    const char chHostStart = sEndpoint[nScheme];
    return chHostStart != '/' && chHostStart != ':' && chHostStart != '?' && chHostStart != '#';
}

} // namespace

bool CServiceProxy::RefuseBadEndpoint()
{
    if (IsAcceptedEndpoint(m_sEndpoint))
        return false;
    // The engine would otherwise talk over standard input and output (empty
    // endpoint) or send the request in clear text (http).
    soap_set_version(this, 2);
    const std::string sDetail = m_sEndpoint.empty() ? std::string("The endpoint URL is empty.")
                                                    : "The endpoint URL \"" + m_sEndpoint + "\" is not an https URL.";
    soap_set_sender_error(this, "The request service endpoint was refused", soap_strdup(this, sDetail.c_str()),
                          SOAP_SSL_ERROR);
    return true;
}

template <class TRequest, class TResponse>
int CServiceProxy::Exchange(int (RequestServiceSoapProxy::*pOperation)(const char*, const char*, TRequest*, TResponse&),
                            TRequest* pRequest, TResponse* pResponse, const char* pszResponse)
{
    if (RefuseBadEndpoint())
        return error;
    CHoldSigPipe hold;
    const int nError = (this->*pOperation)(m_sEndpoint.c_str(), nullptr, pRequest, *pResponse);
    // An HTTP success whose body is neither the answer nor a fault comes back as
    // the HTTP status, which reads like success ("Error 200: HTTP 200 OK").
    if (nError >= 200 && nError <= 299) {
        const std::string sReason = std::string("The service's answer holds neither ") + pszResponse +
                                    " nor a SOAP fault (HTTP status " + std::to_string(nError) + ")";
        soap_set_sender_error(this, soap_strdup(this, sReason.c_str()), nullptr, SOAP_NO_DATA);
        return error;
    }
    return nError;
}

int CServiceProxy::UploadCertificateRequest(_ns1__UploadCertificateRequest* pRequest,
                                            _ns1__UploadCertificateRequestResponse* pResponse)
{
    return Exchange(&RequestServiceSoapProxy::UploadCertificateRequest, pRequest, pResponse,
                    "UploadCertificateRequestResponse");
}

int CServiceProxy::RetrieveRequestStatusInfo(_ns1__RetrieveRequestStatusInfo* pRequest,
                                             _ns1__RetrieveRequestStatusInfoResponse* pResponse)
{
    return Exchange(&RequestServiceSoapProxy::RetrieveRequestStatusInfo, pRequest, pResponse,
                    "RetrieveRequestStatusInfoResponse");
}

int CServiceProxy::DownloadServerNonce(_ns1__DownloadServerNonce* pRequest, _ns1__DownloadServerNonceResponse* pResponse)
{
    return Exchange(&RequestServiceSoapProxy::DownloadServerNonce, pRequest, pResponse, "DownloadServerNonceResponse");
}

int CServiceProxy::DownloadCertificate(_ns1__DownloadCertificate* pRequest, _ns1__DownloadCertificateResponse* pResponse)
{
    return Exchange(&RequestServiceSoapProxy::DownloadCertificate, pRequest, pResponse, "DownloadCertificateResponse");
}

std::string CServiceProxy::FaultText()
{
    if (error == SOAP_OK)
        return std::string();
    std::ostringstream os;
    soap_stream_fault(os);
    return os.str();
}

} // namespace varnock
