// The generated request service proxy with this system's endpoint and TLS set-up:
// one object per call, holding the endpoint, verifying the server and bounding
// every wait on the network.
#pragma once

#include "soapRequestServiceSoapProxy.h"

#include <chrono>
#include <string>

namespace varnock {

// Default limits in seconds. A person waits for each exchange, and the download
// makes several in a row: a peer that stays silent longer has failed. The service
// answers within seconds.
constexpr int kConnectTimeout = 30;     // TCP connect and, in the engine, the TLS handshake too
constexpr int kSendReceiveTimeout = 30; // one send or receive on the socket
constexpr int kTransferTimeout = 60;    // the whole exchange after connecting

struct TTimeouts {
    int connect = kConnectTimeout;
    int sendReceive = kSendReceiveTimeout;
    int transfer = kTransferTimeout;
};

// The operations below hide the generated ones on purpose: those take an endpoint
// of their own and would pass by the endpoint check.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Woverloaded-virtual"
#endif
class CServiceProxy : public RequestServiceSoapProxy {
public:
    // Builds the TLS client context at once: the server's chain must lead to a
    // certificate of pchTrustedCertsPEM or of the platform's CA store (read once per
    // process), be valid now and name the endpoint's host. Throws std::runtime_error with the fault
    // text when the context cannot be built (no such file, no certificate in it).
    CServiceProxy(const char* pszEndpoint, const char* pchTrustedCertsPEM, const TTimeouts& timeouts = TTimeouts());
    ~CServiceProxy() override;

    CServiceProxy(const CServiceProxy&) = delete;
    CServiceProxy& operator=(const CServiceProxy&) = delete;

    // Each returns 0 on success, else the engine's error code with the fault kept.
    // An endpoint that is empty or not an https URL fails before any input or output.
    int UploadCertificateRequest(_ns1__UploadCertificateRequest* pRequest, _ns1__UploadCertificateRequestResponse* pResponse);
    int RetrieveRequestStatusInfo(_ns1__RetrieveRequestStatusInfo* pRequest,
                                  _ns1__RetrieveRequestStatusInfoResponse* pResponse);
    int DownloadServerNonce(_ns1__DownloadServerNonce* pRequest, _ns1__DownloadServerNonceResponse* pResponse);
    int DownloadCertificate(_ns1__DownloadCertificate* pRequest, _ns1__DownloadCertificateResponse* pResponse);

    // The fault text of the engine's current error (three lines), empty without one.
    std::string FaultText();

private:
    template <class TRequest, class TResponse>
    int Exchange(int (RequestServiceSoapProxy::*pOperation)(const char*, const char*, TRequest*, TResponse&),
                 TRequest* pRequest, TResponse* pResponse, const char* pszResponse);
    bool RefuseBadEndpoint();
    // Says in the fault that a failed exchange ran into a limit, and which; false when
    // it ended before any limit.
    bool NameTimeLimit(std::chrono::steady_clock::time_point tStart);
    static int PostHeader(struct soap* pSoap, const char* pszKey, const char* pszValue);
    static int Send(struct soap* pSoap, const char* pData, size_t nData);
    static size_t Receive(struct soap* pSoap, char* pData, size_t nData);

    // The engine's own writers, which ours pass the request on to.
    int (*m_fEnginePostHeader)(struct soap*, const char*, const char*) = nullptr;
    int (*m_fEngineSend)(struct soap*, const char*, size_t) = nullptr;
    size_t (*m_fEngineReceive)(struct soap*, char*, size_t) = nullptr;
    bool m_bTrimBody = false;        // this request's length was announced without the engine's line end
    bool m_bHeadSent = false;
    std::string m_sHeadEnd;          // the last bytes of the head sent so far
    unsigned long long m_nBodyLeft = 0;
    bool m_bSent = false; // bytes of the request went out: the wait is for the answer
    std::chrono::steady_clock::time_point m_tLastSend;
    std::chrono::steady_clock::time_point m_tLastInput; // the last bytes of the answer came

    std::string m_sEndpoint;
};
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

} // namespace varnock
