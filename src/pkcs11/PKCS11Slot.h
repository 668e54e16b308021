#ifndef TSY_PKCS11_SLOT_H
#define TSY_PKCS11_SLOT_H

#include <string>

#include "PKCS11Base.h"

class CPKCS11Token;

// One slot (reader) of a module: its description, token state, mechanism list and its token object.
class CPKCS11Slot : public CPKCS11Base
{
public:
    CPKCS11Slot(CK_SLOT_ID nSlotID, CK_FUNCTION_LIST_PTR pFunctionList, CTSYException* pErrorSink);
    void PopulateFields(CFieldList* pFields) override;
    ~CPKCS11Slot() override;

    // Re-reads the slot; drops the cached token object. Never reports.
    void Refresh();
    // What RecheckToken found.
    enum TTokenCheck {
        TokenReplaced,     // none read before, without a session, gone, or another card: read it anew
        TokenUnchanged,    // the card read before, its information as it was
        TokenInfoChanged,  // the card read before, with other flags or another label
    };
    // Whether the token read before is still in the slot: present, and its session still open
    // (a card removed and put back has lost it), or, for a module without C_GetSessionInfo, the
    // same maker, model and serial number. When it is, its information is read once again (one
    // C_GetTokenInfo, which another program's use of the card may have changed: a PIN blocked)
    // and given to the token object. TokenReplaced too when that read fails. Never reports.
    TTokenCheck RecheckToken();
    // Whether the module now tells of another state than the last Refresh read: a token put in
    // or taken out, one recognised that was not (or the reverse), or another card (maker, model
    // or serial number). For a module whose slot events cannot be trusted. False when the module
    // does not answer. Never reports, changes nothing.
    bool DiffersFromModule() const;

    const char* GetDescription() const { return m_sDescription.c_str(); }
    const char* GetManufacturer() const { return m_sManufacturer.c_str(); }
    CK_SLOT_ID GetSlotID() const { return m_nSlotID; }
    bool IsTokenPresent() const { return m_bTokenPresent; }
    bool IsTokenRecognized() const { return m_bTokenRecognized; }

    bool IsMechanismSupported(CK_MECHANISM_TYPE nMechanism) const;
    CK_ULONG GetMechanismCount() const { return m_nMechanismCount; }
    // 0 for an index not below the count.
    CK_MECHANISM_TYPE GetMechanism(unsigned long nIndex) const;
    bool GetMechanismInfo(CK_MECHANISM_TYPE nMechanism, CK_ULONG* pnMinKeySize, CK_ULONG* pnMaxKeySize);

    // Created on first use, whether or not a token is present; owned by the slot.
    CPKCS11Token* GetToken();
    void FreeToken();

    // For a module that another context shares: the destructor then closes only this slot's own
    // session, not every session of the slot (those of the other context would die with it).
    void KeepOtherSessions() { m_bCloseAllSessions = false; }
    // For a module closed under this context (and perhaps initialised again by another): no
    // session is closed, the token's handle is dropped, for it may be another context's now.
    void ForgetSessions();

private:
    void FreeMechanisms();

    CK_SLOT_ID m_nSlotID;
    std::string m_sDescription;
    std::string m_sManufacturer;
    bool m_bTokenPresent;
    bool m_bTokenRecognized;
    CK_ULONG m_nMechanismCount;
    CK_MECHANISM_TYPE* m_pMechanisms;
    CPKCS11Token* m_pToken;
    bool m_bCloseAllSessions;
    CK_TOKEN_INFO m_tokenInfo;  // of the last refresh
    bool m_bTokenInfoRead;      // m_tokenInfo read and not yet given to a token object
};

#endif
