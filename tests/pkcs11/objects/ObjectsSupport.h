// Support for the token-object tests: SoftHSM2 loaded once per process, token
// lookup, and a copy of the module's function list whose calls can be made to
// fail or be counted.
#pragma once

#include <pkcs11.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "Fixture.h"

namespace objtest {

// The SoftHSM2 module, initialised for the token store the caller set up
// (SOFTHSM2_CONF) and finalised by Unload, so a suite sees the tokens it made.
class Module {
public:
    static CK_FUNCTION_LIST_PTR Load();
    static void Unload();
    static CK_FUNCTION_LIST_PTR Functions();
    // Slot of the initialised token with this label; (CK_SLOT_ID)-1 when none.
    static CK_SLOT_ID FindSlot(const std::string& label);
};

// Faults and counts for the function list returned by FaultyFunctions().
struct Faults {
    // C_GetAttributeValue fails with getAttributeRv for this handle (0: none), only
    // for attribute getAttributeType when that is not (CK_ULONG)-1.
    CK_OBJECT_HANDLE getAttributeHandle = 0;
    CK_ATTRIBUTE_TYPE getAttributeType = (CK_ATTRIBUTE_TYPE)-1;
    CK_RV getAttributeRv = CKR_DEVICE_ERROR;
    // C_GetAttributeValue fails with getAttributeRv for every object of this class.
    CK_OBJECT_CLASS getAttributeClass = (CK_OBJECT_CLASS)-1;
    CK_RV destroyRv = CKR_OK;         // C_DestroyObject answers this instead of working
    CK_OBJECT_HANDLE destroyHandle = 0;  // ... only for this handle (0: for every one)
    CK_RV createRv = CKR_OK;          // C_CreateObject answers this instead of working
    int createRvTimes = -1;           // ... for that many calls (-1: for every one)
    CK_RV generateRandomRv = CKR_OK;  // C_GenerateRandom answers this
    // C_Sign / C_Digest: the first data call (with a buffer) reports this length
    // as too small when not 0, as a module that grows its result would.
    CK_ULONG growLength = 0;
    // C_Sign: a successful data call reports this many bytes fewer than it wrote.
    CK_ULONG signShortBy = 0;
    std::map<std::string, int> calls;  // function name -> number of calls
    // Attribute types of the last C_GenerateKeyPair templates, in order.
    std::vector<CK_ATTRIBUTE_TYPE> publicTemplate, privateTemplate;
    void Reset() { *this = Faults(); }
};
Faults& CurrentFaults();
CK_FUNCTION_LIST_PTR FaultyFunctions();

// A token store made for one suite: one token, user PIN "1234", SO PIN "12345678".
struct Store {
    explicit Store(const std::string& name);
    std::string dir;
    fixture::SoftHsm hsm;
    std::string label;
};

// Creates a token certificate object through PKCS#11 (for contents that the tools
// do not write: no label, empty ID, a value that is no certificate). A null id or
// label leaves the attribute out. Returns the handle, 0 on failure.
CK_OBJECT_HANDLE CreateCertificateObject(CK_SESSION_HANDLE session, const std::vector<unsigned char>& value,
                                         const std::vector<unsigned char>* id, const std::string* label);

// Self-signed certificate for the key in keyPem (PEM), made with OpenSSL so that
// the validity can be set to the second. subject: "/C=DE/O=Org/CN=Name".
std::vector<unsigned char> MakeCertificate(const std::string& keyPem, const std::string& subject, long serial,
                                           time_t notBefore, time_t notAfter);

// OpenSSL checks of what the token made. publicDer: SubjectPublicKeyInfo DER.
// RSA: PKCS#1 v1.5 over the DigestInfo of digestName ("SHA1", "SHA256").
bool OpenSslVerifyRsa(const std::string& publicDer, const std::string& digestName, const std::vector<unsigned char>& hash,
                      const std::vector<unsigned char>& signature);
// DSA: the signature is a DER Dss-Sig-Value over the hash.
bool OpenSslVerifyDsa(const std::string& publicDer, const std::vector<unsigned char>& hash,
                      const std::vector<unsigned char>& signature);
std::vector<unsigned char> OpenSslDigest(const std::string& digestName, const std::vector<unsigned char>& data);

} // namespace objtest
