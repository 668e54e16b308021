#include "PKCS11Token.h"

#include <cassert>
#include <cstring>

#include <QObject>

#include "FieldList.h"
#include "Pkcs11Log.h"
#include "PKCS11Slot.h"

namespace {

const size_t kLabelFieldSize = 32;

std::string Trimmed(const unsigned char* pText, size_t nWidth)
{
    const char* psz = reinterpret_cast<const char*>(pText);
    return std::string(psz, GetTrimmedLength(psz, static_cast<uint32_t>(nWidth)));
}

CK_ULONG Length(const char* psz)
{
    return psz ? static_cast<CK_ULONG>(strlen(psz)) : 0;
}

CK_UTF8CHAR_PTR Bytes(const char* psz)
{
    // The module takes PINs through non-const pointers but does not write them.
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(psz));
}

QString TextOrNA(const std::string& s)
{
    return s.empty() ? QObject::tr("N/A") : Pkcs11Text(s.c_str());
}

} // namespace

CPKCS11Token::CPKCS11Token(CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Slot* pSlot, CTSYException* pErrorSink,
                           const CK_TOKEN_INFO* pTokenInfo)
    : CPKCS11Base(pFunctionList, pSlot, pErrorSink),
      m_nSlotID(pSlot ? pSlot->GetSlotID() : 0),
      m_nMinPINLength(4),
      m_nMaxPINLength(10),
      m_bInitialized(false),
      m_bUserPINLocked(false),
      m_bSOPINLocked(false),
      m_bProtectedAuthenticationPath(false),
      m_nLoginState(0),
      m_hSession(0),
      m_bReadOnlySession(false)
{
    assert(pSlot);
    m_eObjectType = CryptokiToken;
    memset(&m_tokenInfo, 0, sizeof(m_tokenInfo));
    if (pTokenInfo)
        TakeTokenInfo(*pTokenInfo);
    else
        ReadTokenInfo();
}

bool CPKCS11Token::ReadTokenInfo()
{
    CK_TOKEN_INFO info;
    memset(&info, 0, sizeof(info));
    if (m_pFunctionList->C_GetTokenInfo(m_nSlotID, &info) != CKR_OK)
        return false;
    TakeTokenInfo(info);
    return true;
}

void CPKCS11Token::TakeTokenInfo(const CK_TOKEN_INFO& info)
{
    m_tokenInfo = info;
    m_sManufacturer = Trimmed(m_tokenInfo.manufacturerID, sizeof(m_tokenInfo.manufacturerID));
    m_sModel = Trimmed(m_tokenInfo.model, sizeof(m_tokenInfo.model));
    m_sLabel = Trimmed(m_tokenInfo.label, sizeof(m_tokenInfo.label));
    if (m_sLabel.empty())
        m_sLabel = "(no label)";
    m_sSerialNumber = Trimmed(m_tokenInfo.serialNumber, sizeof(m_tokenInfo.serialNumber));

    m_nMaxPINLength = m_tokenInfo.ulMaxPinLen == CK_UNAVAILABLE_INFORMATION
                          ? 10 : static_cast<uint32_t>(m_tokenInfo.ulMaxPinLen);
    m_nMinPINLength = m_tokenInfo.ulMinPinLen == CK_UNAVAILABLE_INFORMATION
                          ? 4 : static_cast<uint32_t>(m_tokenInfo.ulMinPinLen);

    m_bInitialized = (m_tokenInfo.flags & CKF_TOKEN_INITIALIZED) != 0;
    m_bUserPINLocked = (m_tokenInfo.flags & CKF_USER_PIN_LOCKED) != 0;
    m_bSOPINLocked = (m_tokenInfo.flags & CKF_SO_PIN_LOCKED) != 0;
    m_bProtectedAuthenticationPath = (m_tokenInfo.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
    // Once a read-write session was refused as write-protected, the token stays so for this object.
    m_bWriteProtected = m_bWriteProtected || (m_tokenInfo.flags & CKF_WRITE_PROTECTED) != 0;
}

CPKCS11Token::~CPKCS11Token()
{
    FreeObjects();
    if (m_hSession != 0)
        m_pFunctionList->C_CloseSession(m_hSession);
}

void CPKCS11Token::ForgetSession()
{
    m_hSession = 0;
    m_nLoginState = 0;
    ++m_nSessionGeneration;
}

void CPKCS11Token::CloseSession()
{
    if (m_hSession == 0)
        return;
    m_pFunctionList->C_CloseSession(m_hSession);
    m_hSession = 0;
    m_nLoginState = 0;
    ++m_nSessionGeneration;
}

CK_RV CPKCS11Token::TryOpenSession(bool bReadOnly)
{
    CloseSession();
    CK_FLAGS flags = bReadOnly ? CKF_SERIAL_SESSION : (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    CK_SESSION_HANDLE hSession = 0;
    CK_RV rv = m_pFunctionList->C_OpenSession(m_nSlotID, flags, nullptr, nullptr, &hSession);
    if (rv != CKR_OK) {
        m_hSession = 0;
        return rv;
    }
    m_hSession = hSession;
    m_bReadOnlySession = bReadOnly;
    ++m_nSessionGeneration;
    return CKR_OK;
}

bool CPKCS11Token::OpenSession(bool bReadOnly)
{
    CK_RV rv = TryOpenSession(bReadOnly);
    if (rv != CKR_OK) {
        SetError("Unable to open session", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

bool CPKCS11Token::OpenSessionAsAllowed()
{
    if (!m_bWriteProtected) {
        CK_RV rv = TryOpenSession(false);
        if (rv == CKR_OK)
            return true;
        if (rv != CKR_TOKEN_WRITE_PROTECTED) {
            SetError("Unable to open session", rv, TSY_KIND_PKCS11);
            return false;
        }
        m_bWriteProtected = true;
    }
    return OpenSession(true);
}

bool CPKCS11Token::Login(const char* pszPIN, TUserType eUser)
{
    if (m_hSession == 0)
        return false;
    CK_USER_TYPE nUser = eUser == SecurityOfficer ? CKU_SO : CKU_USER;
    CK_RV rv = m_pFunctionList->C_Login(m_hSession, nUser, pszPIN ? Bytes(pszPIN) : nullptr, Length(pszPIN));
    ++m_nSessionGeneration;
    if (rv != CKR_OK) {
        m_nLoginState = 0;
        SetError("Login failed", rv, TSY_KIND_PKCS11);
        return false;
    }
    m_nLoginState = eUser == SecurityOfficer ? SecurityOfficer : NormalUser;
    return true;
}

CK_RV CPKCS11Token::Logout()
{
    CK_RV rv = m_pFunctionList->C_Logout(m_hSession);
    m_nLoginState = 0;
    ++m_nSessionGeneration;
    if (rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN || m_hSession == 0)
        return rv;
    // The module did not say that nobody is logged in. A login ends with the application's
    // last session on the token, so a fresh session starts from none.
    m_pFunctionList->C_CloseSession(m_hSession);
    m_hSession = 0;
    CK_FLAGS flags = m_bReadOnlySession ? CKF_SERIAL_SESSION : (CKF_SERIAL_SESSION | CKF_RW_SESSION);
    CK_SESSION_HANDLE hSession = 0;
    if (m_pFunctionList->C_OpenSession(m_nSlotID, flags, nullptr, nullptr, &hSession) == CKR_OK)
        m_hSession = hSession;
    return rv;
}

bool CPKCS11Token::ChangePIN(const char* pszOldPIN, const char* pszNewPIN)
{
    if (m_hSession == 0)
        return false;
    CK_RV rv = m_pFunctionList->C_SetPIN(m_hSession, Bytes(pszOldPIN), Length(pszOldPIN),
                                         Bytes(pszNewPIN), Length(pszNewPIN));
    if (rv != CKR_OK) {
        SetError("Unable to change PIN", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

bool CPKCS11Token::InitPIN(const char* pszPIN)
{
    if (!pszPIN || m_hSession == 0)
        return false;
    CK_RV rv = m_pFunctionList->C_InitPIN(m_hSession, Bytes(pszPIN), Length(pszPIN));
    if (rv != CKR_OK) {
        SetError("Unable to initialize the normal user's PIN", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

bool CPKCS11Token::InitializeToken(const char* pszSOPIN, const char* pszLabel)
{
    if (!pszSOPIN || !pszLabel) {
        SetError("Invalid parameter passed in call to CPKCS11Token::InitializeToken", 0, TSY_KIND_PLAIN);
        return false;
    }
    // The label field holds 32 bytes; cutting a longer label could split a UTF-8 sequence, so it
    // is refused before anything on the token changes.
    size_t nLabelLength = strlen(pszLabel);
    if (nLabelLength > kLabelFieldSize) {
        SetError("The token label is longer than 32 bytes", 0, TSY_KIND_PLAIN);
        return false;
    }

    m_pFunctionList->C_CloseAllSessions(m_nSlotID);
    m_hSession = 0;
    m_nLoginState = 0;
    ++m_nSessionGeneration;

    CK_UTF8CHAR label[kLabelFieldSize];
    memset(label, ' ', sizeof(label));
    memcpy(label, pszLabel, nLabelLength);

    CK_RV rv = m_pFunctionList->C_InitToken(m_nSlotID, Bytes(pszSOPIN), Length(pszSOPIN), label);
    if (rv != CKR_OK) {
        qCDebug(lcPkcs11) << "Unable to initialize the token " << rv;
        SetError("Unable to initialize the token", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

void CPKCS11Token::PopulateFields(CFieldList* pFields)
{
    assert(pFields);
    CFieldList& fields = *pFields;
    fields[QObject::tr("Card label")] = TextOrNA(m_sLabel);
    fields[QObject::tr("Manufacturer")] = TextOrNA(m_sManufacturer);
    fields[QObject::tr("Card model")] = TextOrNA(m_sModel);
    fields[QObject::tr("Serial number")] = TextOrNA(m_sSerialNumber);
    fields[QObject::tr("Minimum PIN length")] = QObject::tr("%1").arg(m_nMinPINLength);
    fields[QObject::tr("Maximum PIN length")] = QObject::tr("%1").arg(m_nMaxPINLength);
    if (m_tokenInfo.ulFreePublicMemory != CK_UNAVAILABLE_INFORMATION &&
        m_tokenInfo.ulTotalPublicMemory != CK_UNAVAILABLE_INFORMATION) {
        fields[QObject::tr("Public memory")] = QObject::tr("%1 of %2 bytes free")
                                                   .arg(m_tokenInfo.ulFreePublicMemory)
                                                   .arg(m_tokenInfo.ulTotalPublicMemory);
    }
    if (m_tokenInfo.ulFreePrivateMemory != CK_UNAVAILABLE_INFORMATION &&
        m_tokenInfo.ulTotalPrivateMemory != CK_UNAVAILABLE_INFORMATION) {
        fields[QObject::tr("Private memory")] = QObject::tr("%1 of %2 bytes free")
                                                    .arg(m_tokenInfo.ulFreePrivateMemory)
                                                    .arg(m_tokenInfo.ulTotalPrivateMemory);
    }
    // A card not yet initialised has no PIN that could be blocked: SoftHSM2 reports
    // CKF_SO_PIN_LOCKED on its blank token all the same.
    if (!m_bInitialized) {
        fields[QObject::tr("The card is not initialized.")] = QString();
        return;
    }
    if (m_bUserPINLocked)
        fields[QObject::tr("The user PIN of the card is blocked.")] = QString();
    if (m_bSOPINLocked)
        fields[QObject::tr("The administrative PIN of the card is blocked.")] = QString();
}
