// Client of the certificate operator's request service: upload a PKCS#10 request,
// ask the state of earlier requests, fetch a server nonce and download an issued
// certificate. Every operation is one blocking exchange over verified HTTPS and
// throws std::runtime_error (a CVarnockError once the exchange was tried) whose
// text holds the earlier faults of the process and then the failed call's own.
#pragma once

#include <sorvit/AutoArray.h>

#include <cstddef>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#define VARNOCK_API __attribute__((visibility("default")))

// What an operation that reached the exchange throws. what() is the client's error
// text: the fault texts of the process's earlier failed calls (oldest first, within
// a bound) followed by this call's; ThisFault() is this call's alone. The kind lets
// a caller tell the user whether the service was reached and what it said.
class VARNOCK_API CVarnockError : public std::runtime_error {
public:
    enum TKind {
        ekTransport,   // no answer of the service: connection, TLS, HTTP, or bytes that are no answer
        ekFault,       // the service answered with a SOAP fault: it refused the call
        ekNoResult,    // the answer lacks its result, or the result is empty
        ekBadAnswer    // the answer's result cannot be read, or is a state this client does not know
    };
    CVarnockError(TKind eKind, const std::string& sAllFaults, const std::string& sThisFault)
        : std::runtime_error(sAllFaults), m_eKind(eKind), m_sThisFault(sThisFault)
    {
    }
    TKind Kind() const { return m_eKind; }
    const std::string& ThisFault() const { return m_sThisFault; }

private:
    TKind m_eKind;
    std::string m_sThisFault;
};

class VARNOCK_API CVarnockSingleton {
public:
    // The numbers are those of the service's enumerations.
    enum TRequestStatus { rsUnknown = 0, rsApproved = 1, rsPending = 2, rsDeleted = 3 };
    enum TUploadStatus { usAccepted = 0, usMalformed = 1, usRejected = 2 };

    // The one instance of the process, made on first use (safe against
    // concurrent first calls). The operations themselves are not re-entrant.
    static CVarnockSingleton& instance();

    // Bound of the error text that the failures of a process accumulate.
    static constexpr size_t kMaxErrorText = 64 * 1024;

    // PEM file of the CA certificates that the service's server certificate must
    // chain to. Kept for all later calls; returns the instance for chaining.
    CVarnockSingleton& trustedCerts(const char* pszTrustedCertsPEM);
    // The service's https URL (path /axis2/services/RequestService on the
    // operator's host). Kept for all later calls.
    CVarnockSingleton& endpointURL(const char* pszURL);

    // Sends the DER request under the policy; the endpoint must have been set. An
    // answer with an upload state outside the three throws CVarnockError
    // (ekBadAnswer) naming the number: the service may have filed the request.
    TUploadStatus uploadCertRequest(const unsigned char* pbData, size_t cbData, const char* pszPolicyID);

    // Stores the state of every record of the answer under the record's key digest
    // (inserting or overwriting); other entries of mapStatus are kept. Records
    // without a digest are left out. A state number outside the four is stored as
    // rsUnknown.
    void retrieveRequestStatusInfo(const std::vector<std::string>& lstKeyIDs,
                                   std::map<std::string, TRequestStatus>& mapStatus);
    // The same; when pmapUnknownStates is given, the records with a state number
    // outside the four are also entered there with the number the service sent.
    // A separate overload, so that the two-argument form callers link against stays.
    void retrieveRequestStatusInfo(const std::vector<std::string>& lstKeyIDs,
                                   std::map<std::string, TRequestStatus>& mapStatus,
                                   std::map<std::string, long>* pmapUnknownStates);

    // The server nonce for the key (at least one byte) replaces what aptrNonce held.
    void downloadNonce(const char* pszKeyID, TByteArrayAutoPtr& aptrNonce);

    // Proof of possession: aptrSignature is the key's signature over the SHA-1 of
    // the server nonce followed by the client nonce; pszAlgOID the dotted OID of
    // the signature algorithm. The certificate (at least one byte) replaces what
    // aptrCertificate held.
    void downloadCertificate(const TByteArrayAutoPtr& aptrServerNonce, const TByteArrayAutoPtr& aptrClientNonce,
                             const TByteArrayAutoPtr& aptrSignature, const char* pszAlgOID,
                             TByteArrayAutoPtr& aptrCertificate);

    CVarnockSingleton(const CVarnockSingleton&) = delete;
    CVarnockSingleton& operator=(const CVarnockSingleton&) = delete;

private:
    CVarnockSingleton();
    ~CVarnockSingleton();

    // Appends sText to the error text and throws it.
    [[noreturn]] void Fail(CVarnockError::TKind eKind, const std::string& sText);
    // The kind of the proxy's failed exchange with this error code of the engine.
    [[noreturn]] void FailExchange(int nError, const std::string& sFaultText);

    std::string m_sTrustedCertsPEM;
    std::string m_sEndpointURL;
    // The fault texts of the failed calls, oldest first; only the newest
    // kMaxErrorText bytes' worth of whole texts are kept (the newest always is).
    std::stringstream m_ssErrors;
    std::vector<size_t> m_lstErrorLengths;
};
