#ifndef TSY_PKCS11_ASYMMETRIC_KEY_H
#define TSY_PKCS11_ASYMMETRIC_KEY_H

#include "PKCS11Object.h"

namespace SNACC {
class AsnAny;
}

// Class and type of a key object.
enum TKeyFlags : unsigned long {
    KEY_TYPE_RSA = 0x01,
    KEY_TYPE_DSA = 0x02,
    KEY_TYPE_DH = 0x04,
    KEY_TYPE_KEA = 0x08,
    KEY_TYPE_EC = 0x10,
    KEY_CLASS_PUBLIC = 0x20,
    KEY_CLASS_PRIVATE = 0x40
};

// Uses the token permits for a key.
enum TKeyUsage : unsigned long {
    KEY_USAGE_ENCRYPT = 0x01,
    KEY_USAGE_VERIFY = 0x02,
    KEY_USAGE_VERIFY_RECOVER = 0x04,
    KEY_USAGE_WRAP = 0x08,
    KEY_USAGE_DECRYPT = 0x10,
    KEY_USAGE_SIGN = 0x20,
    KEY_USAGE_UNWRAP = 0x40
};

// A public or private key object on a token.
class CPKCS11AsymmetricKey : public CPKCS11Object
{
public:
    // nKeyClass: KEY_CLASS_PUBLIC or KEY_CLASS_PRIVATE, possibly with a type bit.
    // Throws CTSYException when ID or label cannot be read. pRead: the attributes of
    // ReadRequests as the token's listing read them; what it lacks is read here.
    CPKCS11AsymmetricKey(unsigned int nKeyClass, CK_OBJECT_HANDLE hObject, CK_SESSION_HANDLE hSession,
                         int nPairIndex, bool bHasCertificate, CK_FUNCTION_LIST_PTR pFunctionList,
                         CPKCS11Token* pToken, CTSYException* pErrorSink,
                         const tsy::CAttributeValues* pRead = nullptr);
    void PopulateFields(CFieldList* pFields) override;
    ~CPKCS11AsymmetricKey() override;

    unsigned long GetKeyFlags() const { return m_nKeyFlags; }
    unsigned long GetKeyUsage() const { return m_nKeyUsage; }
    CK_KEY_TYPE GetKeyType() const { return m_nKeyType; }
    unsigned long GetModulusBits() const { return m_nModulusBits; }
    int GetPairIndex() const { return m_nPairIndex; }
    bool HasCertificate() const { return m_bHasCertificate; }

    // Every attribute a public or private key object needs, for one call.
    static const tsy::TAttributeRequest* ReadRequests(bool bPublic, size_t* pCount);

    // Raw signature with CKM_RSA_PKCS (RSA) or CKM_DSA (DSA); private keys only.
    bool Sign(unsigned char* pbData, DWORD cbData, TByteArrayAutoPtr& signature);
    // 0 valid, 1 invalid signature, -1 error; public keys only.
    int Verify(unsigned char* pbData, DWORD cbData, unsigned char* pbSignature, DWORD cbSignature);
    // RSA: signs the DER DigestInfo of the hash. DSA: signs the hash and returns a DER Dss_Sig_Value.
    bool SignHash(unsigned char* pbHash, DWORD cbHash, const char* pszHashAlgID, TByteArrayAutoPtr& signature);
    int VerifyHash(unsigned char* pbHash, DWORD cbHash, const char* pszHashAlgID, unsigned char* pbSignature,
                   DWORD cbSignature);
    // RSA: DER RSAPublicKey. DSA: DER INTEGER y, and pasn1Params receives the Dss_Parms.
    // Another key type cannot be encoded: false, with the error reported.
    bool GetEncodedPublicKey(TByteArrayAutoPtr& encodedKey, SNACC::AsnAny* pasn1Params);

private:
    // CKM_RSA_PKCS for an RSA key, CKM_DSA for a DSA key, else 0.
    CK_MECHANISM_TYPE ChooseMechanism() const;
    // The key type the token holds for hKey now must match the mechanism: CKM_DSA
    // with an RSA key brings some modules down. False after reporting.
    bool ConfirmKeyType(CK_OBJECT_HANDLE hKey, CK_MECHANISM_TYPE mechanism);

    CK_KEY_TYPE m_nKeyType;
    unsigned long m_nKeyFlags;
    unsigned long m_nKeyUsage;
    unsigned long m_nModulusBits;
    int m_nPairIndex;
    bool m_bHasCertificate;
};

#endif
