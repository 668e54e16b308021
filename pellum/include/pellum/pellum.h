#ifndef PELLUM_PELLUM_H
#define PELLUM_PELLUM_H

// The flat certificate interface of libpellum. Every function but
// CL_FreeCertificate, CL_FreeBlob and CL_GetLastError returns true on success;
// on failure CL_GetLastError tells why. The last-error text is one text for the
// whole process, so the functions are called from one thread at a time.
// Everything the library hands out is freed with CL_FreeCertificate or
// CL_FreeBlob.

#include <sorvit/blob.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#if defined(__GNUC__) || defined(__clang__)
#define PELLUM_API __attribute__((visibility("default")))
#else
#define PELLUM_API
#endif

// Unsigned big-endian magnitudes, leading zero bytes removed.
struct CL_RSA_PUBLIC_KEY {
    _CPBLOB Modulus;
    _CPBLOB PublicExponent;
};

struct CL_DSA_PUBLIC_KEY {
    _CPBLOB P;
    _CPBLOB Q;
    _CPBLOB G;
    _CPBLOB Y;
};

struct CL_EXTENSION {
    std::string sOID;       // dotted extnId
    bool fCritical;
    _CPBLOB Value;          // the extension's own DER encoding (extnValue contents)
};

struct CL_CERTIFICATE {
    uint16_t wVersion;      // 1, 2 or 3
    _CPBLOB SerialNumber;   // INTEGER content octets as encoded
    _CPBLOB Issuer;         // the Name as the certificate holds it (buffer one byte longer than cbData)
    time_t tNotBefore;      // seconds since 1970, UTC; 0 when not a date, -1 before 1970
    time_t tNotAfter;
    _CPBLOB Subject;        // the Name as the certificate holds it, as Issuer
    CL_RSA_PUBLIC_KEY* pRSAKey;   // rsaEncryption keys only
    CL_DSA_PUBLIC_KEY* pDSAKey;   // DSA keys only
    uint32_t cExtension;
    CL_EXTENSION* rgExtension;  // null when the certificate has no extensions component
    // Added after the fields above, which keep their places. The key's algorithm, whatever
    // it is (dotted OID of subjectPublicKeyInfo.algorithm); for an id-ecPublicKey key the
    // named curve's dotted OID, empty when the parameters name no curve or for other keys.
    // A key of neither rsaEncryption nor DSA carries no key material in the record.
    std::string sKeyAlgorithm;
    std::string sKeyCurve;
};

struct TOIDValuePair {
    std::string sOID;
    std::string sValue;     // UTF-8
};

struct TPolicyInformation {
    std::string sPolicyOID;
    std::string sCPSURI;
    std::string sUserNotice;  // UTF-8
};

struct CL_DIGEST_INFO {
    std::string sAlgorithmOID;
    _CPBLOB Digest;
};

// CL_CertGetSimpleNameString flag: bit 0 set selects the issuer.
#define CL_NAME_ISSUER_FLAG 1

extern "C" {

PELLUM_API bool CL_DecodeCertificate(const _CPBLOB* blob, CL_CERTIFICATE** out);
PELLUM_API void CL_FreeCertificate(CL_CERTIFICATE* cert);
PELLUM_API void CL_FreeBlob(_CPBLOB* blob);
PELLUM_API const char* CL_GetLastError();

// Name text in UTF-8, most specific RDN first, attributes joined by attrSep and
// RDNs by rdnSep; values of the DirectoryString types and IA5String are read,
// attributes of other types left out. buf null asks for the size (NUL included)
// in *ioLen; a too small buffer gives false with the size in *ioLen; success
// leaves the size in *ioLen. A value may hold a NUL: the size, not the first NUL,
// ends the text.
PELLUM_API bool CL_CertNameToStr(const _CPBLOB* name, char* buf, uint32_t* ioLen, char attrSep, char rdnSep);
// The common name of the subject (flags 0) or issuer (CL_NAME_ISSUER_FLAG), with
// the sizes as CL_CertNameToStr gives them.
PELLUM_API bool CL_CertGetSimpleNameString(const CL_CERTIFICATE* cert, int flags, char* buf, uint32_t* ioLen);
// Appends the OID and value pairs of a DER Name, or of the directory names in
// a DER GeneralNames (names of other kinds are passed over).
PELLUM_API bool CL_DecodeCertName(const _CPBLOB* name, std::vector<TOIDValuePair>* pairs);

// oid "2.5.29.15": output uint32_t key usage flags. "1.2.840.10040.4.1": DER DSA
// signature -> _CPBLOB with 40 bytes r || s. "2.5.29.14": _CPBLOB key
// identifier. "2.5.29.32": std::vector<TPolicyInformation>, appended to.
PELLUM_API bool CL_DecodeObject(const char* oid, const _CPBLOB* input, void* output, uint32_t* size);
// oid "1.2.840.10040.4.1": input _CPBLOB of 40 bytes r || s -> DER DSA
// signature. "1.2.840.113549.1.1.1": input CL_DIGEST_INFO -> DER DigestInfo.
PELLUM_API bool CL_EncodeObject(const char* oid, const void* input, _CPBLOB* output);

// Present for callers that expect them; they do nothing.
PELLUM_API void initialize();
PELLUM_API void finalize();

}

#endif
