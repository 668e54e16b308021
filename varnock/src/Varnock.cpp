#include <varnock/Varnock.h>

#include "ServiceProxy.h"
#include "VarnockAssert.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

using varnock::CServiceProxy;

namespace {

// A base64 value that points at the caller's bytes; nothing is copied.
std::unique_ptr<xsd__base64Binary> BorrowBytes(const unsigned char* pb, size_t cb)
{
    if (cb > static_cast<size_t>(INT_MAX))
        throw std::runtime_error("The data is too large for the request service (" + std::to_string(cb) + " bytes).");
    std::unique_ptr<xsd__base64Binary> p(new xsd__base64Binary());
    p->__ptr = const_cast<unsigned char*>(pb);
    p->__size = static_cast<int>(cb);
    return p;
}

// Copies a received base64 result into the caller's holder. Empty when done, else
// why the answer holds no result: an absent or empty value is not one. The engine
// reads a value whose text is not base64 as an absent one.
std::string TakeBytes(const xsd__base64Binary* pValue, const char* pszResult, TByteArrayAutoPtr& aptrResult)
{
    if (!pValue)
        return std::string("The request service's answer has no ") + pszResult + " (missing, or not valid base64).";
    if (!pValue->__ptr || pValue->__size <= 0)
        return std::string("The request service's answer has an empty ") + pszResult + ".";
    const size_t n = static_cast<size_t>(pValue->__size);
    unsigned char* pb = new unsigned char[n];
    std::memcpy(pb, pValue->__ptr, n);
    aptrResult.reset(pb, n);
    return std::string();
}

// The number a received enumeration holds. The reader takes any number the service
// sends, also one outside the enumeration's own values, so it is read as bytes.
template <class TEnum>
long EnumNumber(const TEnum& value)
{
    static_assert(sizeof(TEnum) == sizeof(int32_t), "the wire enumerations are 32-bit");
    int32_t n = 0;
    std::memcpy(&n, &value, sizeof n);
    return n;
}

} // namespace

CVarnockSingleton& CVarnockSingleton::instance()
{
    static CVarnockSingleton s_instance;
    return s_instance;
}

CVarnockSingleton::CVarnockSingleton()
    : m_ssErrors(std::ios::in | std::ios::out)
{
    soap_ssl_init();
}

CVarnockSingleton::~CVarnockSingleton() = default;

CVarnockSingleton& CVarnockSingleton::trustedCerts(const char* pszTrustedCertsPEM)
{
    VARNOCK_ASSERT(pszTrustedCertsPEM, "Varnock", 18);
    m_sTrustedCertsPEM = pszTrustedCertsPEM;
    return *this;
}

CVarnockSingleton& CVarnockSingleton::endpointURL(const char* pszURL)
{
    VARNOCK_ASSERT(pszURL, "Varnock", 25);
    m_sEndpointURL = pszURL;
    return *this;
}

void CVarnockSingleton::Fail(CVarnockError::TKind eKind, const std::string& sText)
{
    std::string sEntry = sText;
    if (sEntry.empty() || sEntry.back() != '\n')
        sEntry += '\n';
    m_ssErrors.seekp(0, std::ios::end);
    m_ssErrors << sEntry;
    m_lstErrorLengths.push_back(sEntry.size());
    // A long-running program keeps the newest texts only, dropping whole old ones.
    size_t nTotal = 0;
    for (size_t n : m_lstErrorLengths)
        nTotal += n;
    size_t nDrop = 0, nDropped = 0;
    while (nTotal - nDropped > kMaxErrorText && nDrop + 1 < m_lstErrorLengths.size())
        nDropped += m_lstErrorLengths[nDrop++];
    if (nDrop) {
        const std::string sKept = m_ssErrors.str().substr(nDropped);
        m_ssErrors.str(sKept);
        m_ssErrors.clear();
        m_lstErrorLengths.erase(m_lstErrorLengths.begin(), m_lstErrorLengths.begin() + static_cast<long>(nDrop));
    }
    throw CVarnockError(eKind, m_ssErrors.str(), sEntry);
}

void CVarnockSingleton::FailExchange(int nError, const std::string& sFaultText)
{
    // A fault whose code is Sender or Receiver came from the service; an answer whose
    // values cannot be read was the service's too. The others are the engine's own
    // (versions, headers) or the way there.
    CVarnockError::TKind eKind = CVarnockError::ekTransport;
    if (nError == SOAP_CLI_FAULT || nError == SOAP_SVR_FAULT || nError == SOAP_FAULT)
        eKind = CVarnockError::ekFault;
    else if (nError == SOAP_TYPE || nError == SOAP_EMPTY)
        eKind = CVarnockError::ekBadAnswer;
    else if (nError == SOAP_OCCURS)
        eKind = CVarnockError::ekNoResult;
    Fail(eKind, sFaultText);
}

CVarnockSingleton::TUploadStatus CVarnockSingleton::uploadCertRequest(const unsigned char* pbData, size_t cbData,
                                                                      const char* pszPolicyID)
{
    VARNOCK_ASSERT(pbData, "Varnock", 32);
    VARNOCK_ASSERT(cbData, "Varnock", 33);
    VARNOCK_ASSERT(pszPolicyID, "Varnock", 34);
    VARNOCK_ASSERT(!m_sEndpointURL.empty(), "Varnock", 35);

    CServiceProxy proxy(m_sEndpointURL.c_str(), m_sTrustedCertsPEM.c_str());
    std::string strPolicyRequired(pszPolicyID);
    std::unique_ptr<xsd__base64Binary> arrbRequest = BorrowBytes(pbData, cbData);

    _ns1__UploadCertificateRequest request;
    request.arrbRequest = arrbRequest.get();
    request.strPolicyRequired = &strPolicyRequired;
    _ns1__UploadCertificateRequestResponse response;

    if (const int nError = proxy.UploadCertificateRequest(&request, &response))
        FailExchange(nError, proxy.FaultText());

    // A missing state fails the exchange (the binding requires it) and an empty
    // one does not read: neither is taken as an acceptance.
    const long nState = EnumNumber(response.UploadCertificateRequestResult);
    switch (nState) {
    case 0:
        return usAccepted;
    case 1:
        return usMalformed;
    case 2:
        return usRejected;
    default:
        Fail(CVarnockError::ekBadAnswer,
             "The request service answered with an upload state that this client does not know: " +
                 std::to_string(nState) + ".");
    }
}

void CVarnockSingleton::retrieveRequestStatusInfo(const std::vector<std::string>& lstKeyIDs,
                                                  std::map<std::string, TRequestStatus>& mapStatus)
{
    retrieveRequestStatusInfo(lstKeyIDs, mapStatus, nullptr);
}

void CVarnockSingleton::retrieveRequestStatusInfo(const std::vector<std::string>& lstKeyIDs,
                                                  std::map<std::string, TRequestStatus>& mapStatus,
                                                  std::map<std::string, long>* pmapUnknownStates)
{
    VARNOCK_ASSERT(!lstKeyIDs.empty(), "Varnock", 71);

    std::unique_ptr<ns1__ArrayOfString> strKeyIDs(new ns1__ArrayOfString());
    strKeyIDs->string = lstKeyIDs;
    _ns1__RetrieveRequestStatusInfo request;
    request.strKeyIDs = strKeyIDs.get();
    _ns1__RetrieveRequestStatusInfoResponse response;

    CServiceProxy proxy(m_sEndpointURL.c_str(), m_sTrustedCertsPEM.c_str());
    if (const int nError = proxy.RetrieveRequestStatusInfo(&request, &response))
        FailExchange(nError, proxy.FaultText());

    const ns1__ArrayOfSRequestStatusInfo* pList = response.RetrieveRequestStatusInfoResult;
    if (!pList)
        Fail(CVarnockError::ekNoResult, "The request service's answer has no RetrieveRequestStatusInfoResult element.");

    for (size_t i = 0; i < pList->SRequestStatusInfo.size(); ++i) {
        const ns1__SRequestStatusInfo* pRecord = pList->SRequestStatusInfo.at(i);
        if (!pRecord || !pRecord->strKeyDigest)
            continue;
        const long nState = EnumNumber(pRecord->statusReq);
        TRequestStatus eState = rsUnknown;
        if (nState == rsApproved || nState == rsPending || nState == rsDeleted)
            eState = static_cast<TRequestStatus>(nState);
        mapStatus[*pRecord->strKeyDigest] = eState;
        if (pmapUnknownStates && nState != rsUnknown && eState == rsUnknown)
            (*pmapUnknownStates)[*pRecord->strKeyDigest] = nState;
    }
}

void CVarnockSingleton::downloadNonce(const char* pszKeyID, TByteArrayAutoPtr& aptrNonce)
{
    VARNOCK_ASSERT(pszKeyID, "Varnock", 107);

    std::string strKeyID(pszKeyID);
    _ns1__DownloadServerNonce request;
    request.strKeyID = &strKeyID;
    _ns1__DownloadServerNonceResponse response;

    CServiceProxy proxy(m_sEndpointURL.c_str(), m_sTrustedCertsPEM.c_str());
    if (const int nError = proxy.DownloadServerNonce(&request, &response))
        FailExchange(nError, proxy.FaultText());
    const std::string sMissing = TakeBytes(response.DownloadServerNonceResult, "DownloadServerNonceResult", aptrNonce);
    if (!sMissing.empty())
        Fail(CVarnockError::ekNoResult, sMissing);
}

void CVarnockSingleton::downloadCertificate(const TByteArrayAutoPtr& aptrServerNonce,
                                            const TByteArrayAutoPtr& aptrClientNonce,
                                            const TByteArrayAutoPtr& aptrSignature, const char* pszAlgOID,
                                            TByteArrayAutoPtr& aptrCertificate)
{
    VARNOCK_ASSERT(aptrServerNonce.size(), "Varnock", 128);
    VARNOCK_ASSERT(aptrClientNonce.size(), "Varnock", 129);
    VARNOCK_ASSERT(aptrSignature.size(), "Varnock", 130);
    VARNOCK_ASSERT(pszAlgOID, "Varnock", 131);

    std::unique_ptr<xsd__base64Binary> bstrServerNonce = BorrowBytes(aptrServerNonce.get(), aptrServerNonce.size());
    std::unique_ptr<xsd__base64Binary> bstrClientNonce = BorrowBytes(aptrClientNonce.get(), aptrClientNonce.size());
    std::unique_ptr<xsd__base64Binary> bstrSignature = BorrowBytes(aptrSignature.get(), aptrSignature.size());
    std::string strAlgorithmIdentifier(pszAlgOID);

    ns1__POPToken token;
    token.bstrServerNonce = bstrServerNonce.get();
    token.bstrClientNonce = bstrClientNonce.get();
    token.strAlgorithmIdentifier = &strAlgorithmIdentifier;
    token.bstrSignature = bstrSignature.get();
    _ns1__DownloadCertificate request;
    request.tokenAuth = &token;
    _ns1__DownloadCertificateResponse response;

    CServiceProxy proxy(m_sEndpointURL.c_str(), m_sTrustedCertsPEM.c_str());
    if (const int nError = proxy.DownloadCertificate(&request, &response))
        FailExchange(nError, proxy.FaultText());
    const std::string sMissing = TakeBytes(response.DownloadCertificateResult, "DownloadCertificateResult", aptrCertificate);
    if (!sMissing.empty())
        Fail(CVarnockError::ekNoResult, sMissing);
}
