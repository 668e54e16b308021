#ifndef TSY_PKCS11_TOKEN_H
#define TSY_PKCS11_TOKEN_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "PKCS11Base.h"

class CPKCS11Slot;
// Token objects: forward declarations for the object members below.
class CPKCS11Object;
class CPKCS11Certificate;
class CPKCS11AsymmetricKey;
namespace tsy {
class CAttributeValues;
}
template <class T> class auto_array;
typedef auto_array<unsigned char> TByteArrayAutoPtr;

// The user of a login or PIN operation; Login passes CKU_SO or CKU_USER to the module. 0 is free
// for callers that let the user choose.
enum TUserType : uint32_t {
    SecurityOfficer = 1,
    NormalUser = 2
};

// The token in a slot: its information, one session at a time, login, PINs, initialisation,
// and its certificate and key objects.
class CPKCS11Token : public CPKCS11Base
{
public:
    // Reads the token information, or takes the one given (read by the slot just before); never
    // reports (a failed read leaves empty texts and false flags).
    CPKCS11Token(CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Slot* pSlot, CTSYException* pErrorSink,
                 const CK_TOKEN_INFO* pTokenInfo = nullptr);
    void PopulateFields(CFieldList* pFields) override;
    // Frees the objects and closes the session; does not log out.
    ~CPKCS11Token() override;

    CK_SLOT_ID GetSlotID() const { return m_nSlotID; }
    const char* GetManufacturer() const { return m_sManufacturer.c_str(); }
    const char* GetModel() const { return m_sModel.c_str(); }
    const char* GetLabel() const { return m_sLabel.c_str(); }
    const char* GetSerialNumber() const { return m_sSerialNumber.c_str(); }
    uint32_t GetMinPINLength() const { return m_nMinPINLength; }
    uint32_t GetMaxPINLength() const { return m_nMaxPINLength; }
    bool IsInitialized() const { return m_bInitialized; }
    bool IsUserPINLocked() const { return m_bUserPINLocked; }
    bool IsSOPINLocked() const { return m_bSOPINLocked; }
    bool HasProtectedAuthenticationPath() const { return m_bProtectedAuthenticationPath; }
    bool IsLoggedIn() const { return m_nLoginState != 0; }
    uint32_t GetLoggedInUser() const { return m_nLoginState; }
    CK_SESSION_HANDLE GetSession() const { return m_hSession; }
    const CK_TOKEN_INFO& GetTokenInfo() const { return m_tokenInfo; }

    // Reads the token information again (PIN flags, lengths, texts); the constructor's read.
    // False, with the earlier information kept, when the module refuses. Never reports.
    bool ReadTokenInfo();
    // Sets the texts, lengths and flags from token information read for this token.
    void TakeTokenInfo(const CK_TOKEN_INFO& info);

    bool OpenSession(bool bReadOnly);
    // The session the token allows: read-write, or read-only on a write-protected token (one that
    // reports CKF_WRITE_PROTECTED, or refuses a read-write session with CKR_TOKEN_WRITE_PROTECTED).
    bool OpenSessionAsAllowed();
    // Whether nothing may be written to the token: its flag, or a refused read-write session.
    bool IsWriteProtected() const { return m_bWriteProtected; }
    bool IsLoginRequired() const { return (m_tokenInfo.flags & CKF_LOGIN_REQUIRED) != 0; }
    // Whether anybody logs in to it: it asks for a login or has a user PIN. A store of trusted
    // certificates has neither, and everything on it is in view without a login.
    bool HasLogin() const { return (m_tokenInfo.flags & (CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED)) != 0; }
    void CloseSession();
    // Drops the session handle without closing it: the module was closed under this context and
    // the handle may now be another context's session.
    void ForgetSession();
    // A null PIN lets a token with a protected authentication path collect it on its own keypad.
    bool Login(const char* pszPIN, TUserType eUser);
    // Returns the module's answer; clears the login state whatever it is. Never reports. An
    // answer other than CKR_OK or CKR_USER_NOT_LOGGED_IN may leave the module's login in force:
    // the session is then closed (which ends it) and a new one opened in its place.
    CK_RV Logout();
    bool ChangePIN(const char* pszOldPIN, const char* pszNewPIN);
    bool InitPIN(const char* pszPIN);
    // The label is at most 32 bytes; a longer one is refused.
    bool InitializeToken(const char* pszSOPIN, const char* pszLabel);

    // ---------------------------------------------------------------------------------------
    // Token objects: enumeration, certificate and key objects, digest, signing, key generation
    // and certificate installation. Declared here, defined in the object sources of this folder.
    // FreeObjects is called by the destructor.
public:
    // Lists the certificates, the public keys and (with a user logged in) the private keys
    // through the current session, replacing the lists and objects of an earlier read.
    // Every object is listed, also several with one CKA_ID. True when anything was found.
    bool ReadObjects();
    // What the last ReadObjects could not list, one entry per class that had trouble: a
    // search that failed (the objects it gave before are listed), and objects skipped
    // because their CKA_ID could not be read.
    struct TListingProblem {
        CK_OBJECT_CLASS nClass;
        CK_RV rvSearch;            // CKR_OK, or the failing search call's answer
        const char* pszSearchCall; // that call, "C_FindObjectsInit" or "C_FindObjects"
        unsigned long nUnreadable; // objects skipped
        CK_RV rvUnreadable;        // the module's answer for the first of them
    };
    const std::vector<TListingProblem>& GetListingProblems() const { return m_listingProblems; }
    unsigned long GetCertificateCount() const { return (unsigned long)m_certificates.size(); }
    // Public keys first, then private keys, each in CKA_ID order.
    unsigned long GetAsymmetricKeyCount() const
    {
        return (unsigned long)(m_publicKeys.size() + m_privateKeys.size());
    }
    // Whether the key at this index is a public key (they come first).
    bool IsPublicKeyIndex(unsigned long nIndex) const { return nIndex < m_publicKeys.size(); }
    // Created on first use and owned by the token; null past the end of the list.
    CPKCS11Certificate* GetCertificate(unsigned long nIndex);
    CPKCS11AsymmetricKey* GetAsymmetricKey(unsigned long nIndex);
    void FreeObjects();
    void FreeCertificate(int nIndex);
    void FreeCertificate(CPKCS11Certificate* pCertificate);
    void FreeAsymmetricKey(int nIndex);
    void FreeAsymmetricKey(CPKCS11AsymmetricKey* pKey);

    bool Digest(CK_MECHANISM_TYPE nMechanism, unsigned char* pbData, uint32_t cbData, TByteArrayAutoPtr& digest);
    // Public exponent 3. The key objects handed out belong to the caller; both out
    // pointers may be null.
    bool GenerateRSAKeyPair(unsigned int nModulusBits, bool bOnToken, unsigned char* pbID, uint32_t cbID,
                            const char* pszLabel, CPKCS11AsymmetricKey** ppPublicKey,
                            CPKCS11AsymmetricKey** ppPrivateKey);
    // From the token, or from the system's generator when the token has none.
    bool GenerateRandom(unsigned long nSize, TByteArrayAutoPtr& random);
    // Stores a DER certificate beside the key pair whose public key it carries.
    // pKeyLabel, when given, gets the label of the key pair the certificate belongs to once it
    // is found (also when the installation then stops at a certificate the pair has already).
    bool InstallCertificate(unsigned char* pbCert, uint32_t cbCert, bool bReplace, std::string* pKeyLabel = nullptr);

    // Simple names of issuers already decoded on this token, by DER name.
    const std::string* FindIssuerName(const std::string& sIssuerDer) const;
    void RememberIssuerName(const std::string& sIssuerDer, const std::string& sName);

private:
    struct TAttributeValuesDeleter {
        void operator()(tsy::CAttributeValues* p) const;
    };
    // One listed object: its CKA_ID, its handle in the session it was listed through,
    // and every attribute its object needs as the listing read them (in one call),
    // for the first object built for it while session and login stay as they were.
    struct TListedObject {
        std::vector<unsigned char> id;
        CK_OBJECT_HANDLE hObject;
        std::unique_ptr<tsy::CAttributeValues, TAttributeValuesDeleter> pRead;
    };
    typedef std::vector<TListedObject> TObjectList;
    // Lists the objects of one class into list, in CKA_ID order.
    void ListObjects(CK_OBJECT_CLASS nClass, TObjectList& list);
    // Position of the object with this CKA_ID in the list, -1 when none.
    static int ListPosition(const TObjectList& list, const std::vector<unsigned char>& id);
    // The listed handle checked for the current session (private keys after a login
    // or logout always), 0 after reporting; bAsListed tells whether nothing changed
    // since the listing, so that what it read still holds.
    CK_OBJECT_HANDLE CurrentListedHandle(CK_OBJECT_CLASS nClass, const TListedObject& listed, bool* bAsListed);

    std::vector<TListingProblem> m_listingProblems;
    TObjectList m_certificates;  // CKA_ID order; of one ID in the order the module gave them
    TObjectList m_publicKeys;
    TObjectList m_privateKeys;
    std::map<int, CPKCS11Certificate*> m_mapCertificates;
    std::map<int, CPKCS11AsymmetricKey*> m_mapKeys;
    CK_SESSION_HANDLE m_hObjectsSession = 0;  // the session the lists were read through
    // Counts session and login changes: handles listed under another count may be stale.
    uint64_t m_nSessionGeneration = 0;
    uint64_t m_nObjectsGeneration = 0;  // the count when the lists were read
    std::map<std::string, std::string> m_mapIssuerNames;
    // ---------------------------------------------------------------------------------------

private:
    // C_OpenSession after closing the old session; the module's answer, nothing reported.
    CK_RV TryOpenSession(bool bReadOnly);

    CK_SLOT_ID m_nSlotID;
    CK_TOKEN_INFO m_tokenInfo;
    std::string m_sManufacturer;
    std::string m_sModel;
    std::string m_sLabel;
    std::string m_sSerialNumber;
    uint32_t m_nMinPINLength;
    uint32_t m_nMaxPINLength;
    bool m_bInitialized;
    bool m_bUserPINLocked;
    bool m_bSOPINLocked;
    bool m_bProtectedAuthenticationPath;
    uint32_t m_nLoginState;
    CK_SESSION_HANDLE m_hSession;
    bool m_bReadOnlySession;
    bool m_bWriteProtected = false;
};

#endif
