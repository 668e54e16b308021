// Helpers of the enrolment tests: SoftHSM2 tokens reached through the PKCS#11 layer
// (with injectable failures), and OpenSSL's view of a request.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <pkcs11.h>

#include "Fixture.h"
#include "TSYException.h"

class CPKCS11AsymmetricKey;
class CPKCS11Context;
class CPKCS11Slot;
class CPKCS11Token;

namespace enroltest {

typedef std::vector<unsigned char> Bytes;

// Calls of the module that fail with CKR_DEVICE_ERROR while their flag is set, for
// a token opened with Failing (the others go through unchanged).
struct Faults {
    bool digestInit = false;
    bool signInit = false;
    bool getAttributeValue = false;
    bool generateKeyPair = false;
    bool generateRandom = false;
};
Faults& CurrentFaults();

// A SoftHSM2 store of its own with one initialised token (user PIN 1234), and that
// token opened through the layer with a read-write session, logged in and read.
class SoftHsmToken
{
public:
    SoftHsmToken(const std::string& storeName, const std::string& label);
    ~SoftHsmToken();

    fixture::SoftHsm& Hsm() { return *m_hsm; }
    const std::string& Dir() const { return m_dir; }
    const std::string& Label() const { return m_label; }
    CK_SLOT_ID SlotID() const { return m_slotID; }

    // Loads the module (once; the store must be filled by then) and opens the token.
    // With faulty, the token's calls go through a copy of the function list whose
    // calls can be made to fail (CurrentFaults).
    CPKCS11Token& Open(bool faulty = false);
    void Close();
    CTSYException& Sink() { return m_sink; }

    // The key object with this CKA_ID hex and class of the open token; null when none.
    CPKCS11AsymmetricKey* Key(const std::string& idHex, bool publicKey);
    // The public key's SubjectPublicKeyInfo DER as OpenSSL makes it from the token's
    // key attributes (RSA modulus and exponent, DSA p, q, g, y).
    Bytes PublicKeyInfoFromToken(CPKCS11AsymmetricKey& publicKey);

    // The certificate objects the open token's session sees now (the token's own
    // lists are not read again), and their removal.
    struct Certificate {
        Bytes id, value;
    };
    std::vector<Certificate> Certificates();
    void RemoveCertificates();

private:
    std::string m_dir;
    std::unique_ptr<fixture::SoftHsm> m_hsm;
    std::string m_label;
    CTSYException m_sink;
    std::unique_ptr<CPKCS11Context> m_context;
    std::unique_ptr<CPKCS11Slot> m_slot;
    CK_FUNCTION_LIST m_faulty;
    CK_SLOT_ID m_slotID = 0;
    CPKCS11Token* m_token = nullptr;
};

// Imports a key made with openssl ("rsa:1024", "dsa:1024", or "dsa2048-256" for the
// shipped 2048/256 parameters) under the ID and label; returns its files.
fixture::KeyFiles ImportKey(SoftHsmToken& token, const std::string& name, const std::string& alg,
                            const std::string& idHex, const std::string& label);

// OpenSSL's reading of a DER request.
struct RequestView {
    bool parsed = false;
    bool verified = false;
    Bytes publicKeyInfo;            // i2d_PUBKEY of the request's key
    std::string signatureAlgorithm; // dotted OID
    // The subject, one entry per attribute: RDN index, OID, universal tag and the
    // value's content bytes.
    struct Entry {
        int rdn;
        std::string oid;
        int tag;
        Bytes content;
    };
    std::vector<Entry> subject;
    Bytes subjectDer;
};
RequestView ReadRequest(const Bytes& der);
RequestView ReadRequest(const unsigned char* p, size_t n);

// `openssl req -inform DER -verify` and `openssl asn1parse -inform DER` of the request.
bool OpenSslVerifies(const std::string& dir, const Bytes& der, std::string* output = nullptr);
std::string OpenSslAsn1Parse(const std::string& dir, const Bytes& der);

Bytes Utf8(const std::string& s);
// Content bytes of a text in a string type: UTF-8, UCS-2 or UCS-4 big-endian, or Latin-1.
Bytes Ucs2(const std::u32string& s);
Bytes Ucs4(const std::u32string& s);

} // namespace enroltest
