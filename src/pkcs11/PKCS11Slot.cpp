#include "PKCS11Slot.h"

#include <cassert>
#include <cstring>

#include <QObject>

#include "FieldList.h"
#include "Pkcs11Log.h"
#include "PKCS11Token.h"

CPKCS11Slot::CPKCS11Slot(CK_SLOT_ID nSlotID, CK_FUNCTION_LIST_PTR pFunctionList, CTSYException* pErrorSink)
    : CPKCS11Base(pFunctionList, nullptr, pErrorSink),
      m_nSlotID(nSlotID),
      m_bTokenPresent(false),
      m_bTokenRecognized(true),
      m_nMechanismCount(0),
      m_pMechanisms(nullptr),
      m_pToken(nullptr),
      m_bCloseAllSessions(true),
      m_bTokenInfoRead(false)
{
    memset(&m_tokenInfo, 0, sizeof(m_tokenInfo));
    m_eObjectType = CryptokiSlot;
    Refresh();
}

CPKCS11Slot::~CPKCS11Slot()
{
    FreeToken();
    if (m_bCloseAllSessions)
        m_pFunctionList->C_CloseAllSessions(m_nSlotID);
    FreeMechanisms();
}

void CPKCS11Slot::FreeMechanisms()
{
    delete[] m_pMechanisms;
    m_pMechanisms = nullptr;
    m_nMechanismCount = 0;
}

CPKCS11Slot::TTokenCheck CPKCS11Slot::RecheckToken()
{
    if (!m_pToken || !m_bTokenPresent || !m_bTokenRecognized || m_pToken->GetSession() == 0)
        return TokenReplaced;
    CK_SLOT_INFO slotInfo;
    memset(&slotInfo, 0, sizeof(slotInfo));
    if (m_pFunctionList->C_GetSlotInfo(m_nSlotID, &slotInfo) != CKR_OK || !(slotInfo.flags & CKF_TOKEN_PRESENT))
        return TokenReplaced;
    // A card taken out takes its sessions with it: a session still open says it is the card read.
    CK_SESSION_INFO session;
    memset(&session, 0, sizeof(session));
    const CK_RV rv = m_pFunctionList->C_GetSessionInfo(m_pToken->GetSession(), &session);
    const bool bSessionAnswered = rv == CKR_OK;
    if (bSessionAnswered ? session.slotID != m_nSlotID : rv != CKR_FUNCTION_NOT_SUPPORTED)
        return TokenReplaced;
    CK_TOKEN_INFO now;
    memset(&now, 0, sizeof(now));
    if (m_pFunctionList->C_GetTokenInfo(m_nSlotID, &now) != CKR_OK)
        return TokenReplaced;
    const CK_TOKEN_INFO& read = m_pToken->GetTokenInfo();
    // Without the session's word the card's own texts tell (the label is the person's to change).
    if (!bSessionAnswered && (memcmp(now.manufacturerID, read.manufacturerID, sizeof(now.manufacturerID)) != 0 ||
                         memcmp(now.model, read.model, sizeof(now.model)) != 0 ||
                         memcmp(now.serialNumber, read.serialNumber, sizeof(now.serialNumber)) != 0))
        return TokenReplaced;
    const bool bChanged = now.flags != read.flags || memcmp(now.label, read.label, sizeof(now.label)) != 0;
    m_pToken->TakeTokenInfo(now);
    return bChanged ? TokenInfoChanged : TokenUnchanged;
}

bool CPKCS11Slot::DiffersFromModule() const
{
    CK_SLOT_INFO slotInfo;
    memset(&slotInfo, 0, sizeof(slotInfo));
    if (m_pFunctionList->C_GetSlotInfo(m_nSlotID, &slotInfo) != CKR_OK)
        return false;
    const bool bPresent = (slotInfo.flags & CKF_TOKEN_PRESENT) != 0;
    if (bPresent != m_bTokenPresent)
        return true;
    if (!bPresent)
        return false;
    CK_TOKEN_INFO now;
    memset(&now, 0, sizeof(now));
    const CK_RV rv = m_pFunctionList->C_GetTokenInfo(m_nSlotID, &now);
    if (rv != CKR_OK)
        return rv == CKR_TOKEN_NOT_RECOGNIZED ? m_bTokenRecognized : rv == CKR_TOKEN_NOT_PRESENT;
    if (!m_bTokenRecognized)
        return true;
    // The card's own texts as the last refresh read them (the token object may have newer
    // flags or label, the same card all the same).
    return memcmp(now.manufacturerID, m_tokenInfo.manufacturerID, sizeof(now.manufacturerID)) != 0 ||
           memcmp(now.model, m_tokenInfo.model, sizeof(now.model)) != 0 ||
           memcmp(now.serialNumber, m_tokenInfo.serialNumber, sizeof(now.serialNumber)) != 0;
}

void CPKCS11Slot::Refresh()
{
    m_bTokenRecognized = true;
    m_bTokenInfoRead = false;
    FreeToken();
    FreeMechanisms();

    CK_SLOT_INFO info;
    memset(&info, 0, sizeof(info));
    if (m_pFunctionList->C_GetSlotInfo(m_nSlotID, &info) == CKR_OK) {
        const char* pszDescription = reinterpret_cast<const char*>(info.slotDescription);
        const char* pszManufacturer = reinterpret_cast<const char*>(info.manufacturerID);
        m_sDescription.assign(pszDescription, GetTrimmedLength(pszDescription, sizeof(info.slotDescription)));
        m_sManufacturer.assign(pszManufacturer, GetTrimmedLength(pszManufacturer, sizeof(info.manufacturerID)));
    } else {
        memset(&info, 0, sizeof(info));
    }

    m_bTokenPresent = (info.flags & CKF_TOKEN_PRESENT) != 0;
    if (!m_bTokenPresent)
        return;

    CK_ULONG nCount = 0;
    if (m_pFunctionList->C_GetMechanismList(m_nSlotID, nullptr, &nCount) == CKR_OK && nCount > 0) {
        // A failed second call (or a list that grew meanwhile, or a count no allocation can hold)
        // leaves the list empty; a module that claims more entries than the array holds is held
        // to the array.
        CK_MECHANISM_TYPE* pList = NewArrayOrNull<CK_MECHANISM_TYPE>(nCount);
        CK_ULONG nFilled = nCount;
        if (pList && m_pFunctionList->C_GetMechanismList(m_nSlotID, pList, &nFilled) == CKR_OK) {
            m_pMechanisms = pList;
            m_nMechanismCount = nFilled < nCount ? nFilled : nCount;
        } else {
            delete[] pList;
        }
    }

    // Kept for the token object, which would otherwise ask again (on some cards a command each).
    memset(&m_tokenInfo, 0, sizeof(m_tokenInfo));
    if (m_pFunctionList->C_GetTokenInfo(m_nSlotID, &m_tokenInfo) != CKR_OK)
        m_bTokenRecognized = false;
    else
        m_bTokenInfoRead = true;
}

bool CPKCS11Slot::IsMechanismSupported(CK_MECHANISM_TYPE nMechanism) const
{
    for (CK_ULONG i = 0; i < m_nMechanismCount; ++i) {
        if (m_pMechanisms[i] == nMechanism)
            return true;
    }
    return false;
}

CK_MECHANISM_TYPE CPKCS11Slot::GetMechanism(unsigned long nIndex) const
{
    if (nIndex >= m_nMechanismCount)
        return 0;
    return m_pMechanisms[nIndex];
}

bool CPKCS11Slot::GetMechanismInfo(CK_MECHANISM_TYPE nMechanism, CK_ULONG* pnMinKeySize, CK_ULONG* pnMaxKeySize)
{
    if (!pnMinKeySize || !pnMaxKeySize)
        return false;
    CK_MECHANISM_INFO info;
    memset(&info, 0, sizeof(info));
    CK_RV rv = m_pFunctionList->C_GetMechanismInfo(m_nSlotID, nMechanism, &info);
    if (rv != CKR_OK) {
        SetError("C_GetMechanismInfo failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    *pnMinKeySize = info.ulMinKeySize;
    *pnMaxKeySize = info.ulMaxKeySize;
    return true;
}

CPKCS11Token* CPKCS11Slot::GetToken()
{
    if (!m_pToken) {
        // The information of the last refresh serves the first token object built after it.
        m_pToken = new CPKCS11Token(m_pFunctionList, this, m_pErrorSink, m_bTokenInfoRead ? &m_tokenInfo : nullptr);
        m_bTokenInfoRead = false;
    }
    return m_pToken;
}

void CPKCS11Slot::ForgetSessions()
{
    m_bCloseAllSessions = false;
    if (m_pToken)
        m_pToken->ForgetSession();
}

void CPKCS11Slot::FreeToken()
{
    delete m_pToken;
    m_pToken = nullptr;
}

void CPKCS11Slot::PopulateFields(CFieldList* pFields)
{
    assert(pFields);
    qCDebug(lcPkcs11) << "CPKCS11Slot::PopulateFields";
    (*pFields)[QObject::tr("Description")] = Pkcs11Text(m_sDescription.c_str());
    (*pFields)[QObject::tr("Manufacturer")] =
        m_sManufacturer.empty() ? QObject::tr("N/A") : Pkcs11Text(m_sManufacturer.c_str());
    QString qsStatus;
    if (!m_bTokenPresent)
        qsStatus = QObject::tr("The reader is empty.");
    else if (m_bTokenRecognized)
        qsStatus = QObject::tr("Token present.");
    else
        qsStatus = QObject::tr("Unrecognized token present.");
    (*pFields)[QObject::tr("Status")] = qsStatus;
}
