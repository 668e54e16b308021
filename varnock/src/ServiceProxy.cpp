#include "ServiceProxy.h"

#include "VarnockAssert.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <pthread.h>
#include <sstream>
#include <stdexcept>
#include <vector>

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

// The platform's CA certificates (OpenSSL's default file and folder, which
// SSL_CERT_FILE and SSL_CERT_DIR name), read once per process: the engine's own
// default paths would read them anew for every call.
class CPlatformCertificates {
public:
    CPlatformCertificates()
    {
        X509_STORE* pStore = X509_STORE_new();
        const char* pszFile = std::getenv(X509_get_default_cert_file_env());
        X509_STORE_load_file(pStore, pszFile ? pszFile : X509_get_default_cert_file());
        const char* pszDir = std::getenv(X509_get_default_cert_dir_env());
        const std::string sDir = pszDir ? pszDir : X509_get_default_cert_dir();
        if (DIR* pDir = opendir(sDir.c_str())) {
            while (const dirent* pEntry = readdir(pDir)) {
                if (pEntry->d_name[0] != '.')
                    X509_STORE_load_file(pStore, (sDir + "/" + pEntry->d_name).c_str());
            }
            closedir(pDir);
        }
        STACK_OF(X509_OBJECT)* pObjects = X509_STORE_get0_objects(pStore);
        for (int i = 0; i < sk_X509_OBJECT_num(pObjects); ++i) {
            X509* pCert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(pObjects, i));
            if (pCert && X509_up_ref(pCert) == 1)
                m_certs.push_back(pCert);
        }
        X509_STORE_free(pStore);
        ERR_clear_error(); // files of the folder that are no certificates
    }
    ~CPlatformCertificates()
    {
        for (X509* pCert : m_certs)
            X509_free(pCert);
    }
    CPlatformCertificates(const CPlatformCertificates&) = delete;
    CPlatformCertificates& operator=(const CPlatformCertificates&) = delete;

    void AddTo(X509_STORE* pStore) const
    {
        for (X509* pCert : m_certs)
            X509_STORE_add_cert(pStore, pCert); // a certificate also in the file is kept once
        ERR_clear_error();
    }

private:
    std::vector<X509*> m_certs;
};

const CPlatformCertificates& PlatformCertificates()
{
    static const CPlatformCertificates s_certs;
    return s_certs;
}

} // namespace

// The engine writes the SOAP action into the Content-Type as well, the encodings
// without a blank, and a line end after the envelope that it counts in the length;
// the service's request has none of them.
int CServiceProxy::PostHeader(struct soap* pSoap, const char* pszKey, const char* pszValue)
{
    CServiceProxy* pProxy = static_cast<CServiceProxy*>(pSoap);
    std::string sValue;
    if (pszKey && pszValue && std::strcmp(pszKey, "Content-Type") == 0) {
        sValue = pszValue;
        const size_t nAction = sValue.find("; action=");
        if (nAction != std::string::npos)
            sValue.erase(nAction);
        pszValue = sValue.c_str();
    } else if (pszKey && std::strcmp(pszKey, "Accept-Encoding") == 0) {
        pszValue = "gzip, deflate";
    } else if (pszKey && pszValue && std::strcmp(pszKey, "Content-Length") == 0) {
        char* pEnd = nullptr;
        const unsigned long long nLength = std::strtoull(pszValue, &pEnd, 10);
        if (pEnd && *pEnd == '\0' && nLength >= 2) {
            pProxy->m_nBodyLeft = nLength - 2;
            pProxy->m_bTrimBody = true;
            sValue = std::to_string(pProxy->m_nBodyLeft);
            pszValue = sValue.c_str();
        }
    }
    return pProxy->m_fEnginePostHeader(pSoap, pszKey, pszValue);
}

// Passes the head whole and of the body only the length the head announced: what
// is left is the engine's line end after the envelope.
int CServiceProxy::Send(struct soap* pSoap, const char* pData, size_t nData)
{
    CServiceProxy* pProxy = static_cast<CServiceProxy*>(pSoap);
    pProxy->m_bSent = true;
    pProxy->m_tLastSend = std::chrono::steady_clock::now();
    if (!pProxy->m_bTrimBody)
        return pProxy->m_fEngineSend(pSoap, pData, nData);
    size_t nHead = 0;
    while (!pProxy->m_bHeadSent && nHead < nData) {
        pProxy->m_sHeadEnd = (pProxy->m_sHeadEnd + pData[nHead++]);
        if (pProxy->m_sHeadEnd.size() > 4)
            pProxy->m_sHeadEnd.erase(0, 1);
        pProxy->m_bHeadSent = pProxy->m_sHeadEnd == "\r\n\r\n";
    }
    size_t nBody = nData - nHead;
    if (nBody > pProxy->m_nBodyLeft)
        nBody = static_cast<size_t>(pProxy->m_nBodyLeft);
    pProxy->m_nBodyLeft -= nBody;
    if (nHead + nBody == 0)
        return SOAP_OK;
    return pProxy->m_fEngineSend(pSoap, pData, nHead + nBody);
}

size_t CServiceProxy::Receive(struct soap* pSoap, char* pData, size_t nData)
{
    CServiceProxy* pProxy = static_cast<CServiceProxy*>(pSoap);
    const size_t nRead = pProxy->m_fEngineReceive(pSoap, pData, nData);
    if (nRead > 0)
        pProxy->m_tLastInput = std::chrono::steady_clock::now();
    return nRead;
}

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

    m_fEnginePostHeader = fposthdr;
    fposthdr = PostHeader;
    m_fEngineSend = fsend;
    fsend = Send;
    m_fEngineReceive = frecv;
    frecv = Receive;

    VARNOCK_ASSERT(pchTrustedCertsPEM, "soapRequestServiceSoapProxy", 27);
    // Trusted: the CAs of the file and those of the platform's store. The engine is
    // kept from reading the store itself, which it would do for every call; the
    // copy read once is added instead. An empty path is refused: the caller meant a file.
    const bool bContext =
        *pchTrustedCertsPEM != '\0' &&
        soap_ssl_client_context(this, SOAP_SSL_REQUIRE_SERVER_AUTHENTICATION | SOAP_SSL_NO_DEFAULT_CA_PATH, nullptr,
                                nullptr, pchTrustedCertsPEM, nullptr, nullptr) == SOAP_OK;
    if (bContext && ctx)
        PlatformCertificates().AddTo(SSL_CTX_get_cert_store(ctx));
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
    m_bTrimBody = m_bHeadSent = m_bSent = false;
    m_tLastInput = std::chrono::steady_clock::time_point();
    m_sHeadEnd.clear();
    CHoldSigPipe hold;
    const auto tStart = std::chrono::steady_clock::now();
    const int nError = (this->*pOperation)(m_sEndpoint.c_str(), nullptr, pRequest, *pResponse);
    // A limit that ran out ends the call however far the answer had come: a half-read
    // answer fails as no input, as a tag mismatch or as a body without its element.
    if (nError != SOAP_OK && NameTimeLimit(tStart))
        return error;
    if (nError == SOAP_EOF || nError == SOAP_TCP_ERROR || nError == SOAP_SSL_ERROR)
        return error;
    // A root named Envelope in another namespace (SOAP 1.1's) is another version of
    // the protocol, which the engine reports as a mere tag mismatch.
    if (nError == SOAP_TAG_MISMATCH && level == 0) {
        const char* pszColon = std::strchr(tag, ':');
        if (std::strcmp(pszColon ? pszColon + 1 : tag, "Envelope") == 0) {
            if (fault)
                soap_default_SOAP_ENV__Fault(this, fault);
            error = SOAP_VERSIONMISMATCH;
            soap_set_fault(this);
            return error;
        }
    }
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

bool CServiceProxy::NameTimeLimit(std::chrono::steady_clock::time_point tStart)
{
    // The engine's own texts do not say that a wait ran out ("End of file or no input").
    // A failure that came when a limit was reached is taken as that limit: connecting
    // (with the TLS handshake) until the request goes out, then each receive (the wait
    // since the last bytes went out or came in) and the whole exchange.
    const auto tNow = std::chrono::steady_clock::now();
    auto reached = [tNow](std::chrono::steady_clock::time_point tFrom, int nLimit) {
        return nLimit > 0 && tNow - tFrom >= std::chrono::seconds(nLimit) - std::chrono::milliseconds(500);
    };
    int nLimit = 0;
    const char* pszWait = nullptr;
    if (!m_bSent && reached(tStart, connect_timeout)) {
        nLimit = connect_timeout;
        pszWait = "to a connection";
    } else if (m_bSent && reached(std::max(m_tLastSend, m_tLastInput), recv_timeout)) {
        nLimit = recv_timeout;
        pszWait = "to the request";
    } else if (m_bSent && reached(tStart, transfer_timeout)) {
        nLimit = transfer_timeout;
        pszWait = "with the whole answer";
    }
    if (!nLimit)
        return false;
    const int nError = error;
    const std::string sEngine = FaultText();
    const std::string sReason = std::string("The request service did not answer within ") + std::to_string(nLimit) +
                                " seconds (" + pszWait + ")";
    soap_set_version(this, 2);
    soap_set_receiver_error(this, soap_strdup(this, sReason.c_str()), soap_strdup(this, sEngine.c_str()), nError);
    return true;
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
