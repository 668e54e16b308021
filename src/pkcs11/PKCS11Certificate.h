#ifndef TSY_PKCS11_CERTIFICATE_H
#define TSY_PKCS11_CERTIFICATE_H

#include <ctime>
#include <string>

#include "PKCS11Object.h"

struct CL_CERTIFICATE;

// A certificate object on a token (CKO_CERTIFICATE), decoded once at construction.
class CPKCS11Certificate : public CPKCS11Object
{
public:
    // Reads ID, value and label and decodes the value. Throws CTSYException when the
    // attributes cannot be read; a value that does not decode is reported (with a
    // sink the object is then complete but undecoded). pRead: the attributes of
    // ReadRequests as the token's listing read them; what it lacks is read here.
    CPKCS11Certificate(CK_OBJECT_HANDLE hObject, CK_SESSION_HANDLE hSession, int nPrivateKeyIndex,
                       int nPublicKeyIndex, CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Token* pToken,
                       CTSYException* pErrorSink, const tsy::CAttributeValues* pRead = nullptr);
    void PopulateFields(CFieldList* pFields) override;
    ~CPKCS11Certificate() override;

    bool IsDecoded() const { return m_pCertificate != nullptr; }
    int GetPrivateKeyIndex() const { return m_nPrivateKeyIndex; }
    int GetPublicKeyIndex() const { return m_nPublicKeyIndex; }

    const CL_CERTIFICATE* GetRecord() const { return m_pCertificate; }
    const char* GetSerialNumber() const { return m_sSerialNumber.c_str(); }
    // UTF-8 with their length: a name's value may hold a NUL.
    const std::string& GetSubject() const { return m_sSubject; }
    const std::string& GetIssuer() const { return m_sIssuer; }
    const std::string& GetOrganization() const { return m_sOrganization; }
    time_t GetValidFrom() const { return m_tValidFrom; }
    time_t GetValidTo() const { return m_tValidTo; }

    // Every attribute a certificate object needs, for one call.
    static const tsy::TAttributeRequest* ReadRequests(size_t* pCount);

    // The name of a certificate's key for the user: "RSA", "DSA", "EC P-256", "EC P-384",
    // "EC P-521", "Ed25519", "Ed448", "RSA-PSS", or for an unnamed one "EC " and the curve's
    // dotted OID, or the algorithm's dotted OID.
    static std::string KeyAlgorithmName(const CL_CERTIFICATE& record);
    // Whether the record carries the RSA or DSA key that signing, verifying and installing need.
    static bool HasRsaOrDsaKey(const CL_CERTIFICATE& record);

    // The value of the first line of a name text (one attribute a line) that
    // starts with "O="; empty when there is none.
    static std::string OrganizationFromNameText(const std::string& sNameText);

private:
    void Decode();

    CL_CERTIFICATE* m_pCertificate;
    std::string m_sSerialNumber;
    std::string m_sIssuer;
    time_t m_tValidFrom;
    time_t m_tValidTo;
    std::string m_sSubject;
    std::string m_sOrganization;
    int m_nPrivateKeyIndex;
    int m_nPublicKeyIndex;
};

#endif
