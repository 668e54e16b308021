#include "PKCS11Object.h"

#include <cstring>

#include "P11Calls.h"
#include "PKCS11Token.h"

namespace {
const char kNoLabel[] = "(no label)";

char* CopyText(const char* text, size_t len)
{
    char* p = new char[len + 1];
    memcpy(p, text, len);
    p[len] = 0;
    return p;
}
} // namespace

CPKCS11Object::CPKCS11Object(CK_OBJECT_HANDLE hObject, CK_SESSION_HANDLE hSession,
                             CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Token* pToken, CTSYException* pErrorSink)
    : CPKCS11Base(pFunctionList, pToken, pErrorSink),
      m_nClass(CK_UNAVAILABLE_INFORMATION),
      m_hSession(hSession),
      m_hObject(hObject),
      m_pszLabel(nullptr),
      m_value{nullptr, 0}
{
}

CPKCS11Object::~CPKCS11Object()
{
    delete[] m_pszLabel;
    delete[] m_value.pbData;
}

CPKCS11Token* CPKCS11Object::GetToken() const
{
    return static_cast<CPKCS11Token*>(m_pParent);
}

bool CPKCS11Object::ReadAttributes(unsigned int nMask)
{
    tsy::TBytes bytes;
    if (nMask & OBJECT_ATTRIBUTE_VALUE) {
        tsy::TAttributeResult r = tsy::ReadAttributeValue(m_pFunctionList, m_hSession, m_hObject, CKA_VALUE, bytes);
        delete[] m_value.pbData;
        m_value.pbData = nullptr;
        m_value.cbData = 0;
        if (!r.ok()) {
            SetError(r.step == tsy::ATTR_SIZE_FAILED ? "GetAttributeValue failed to determine size"
                                                     : "GetAttributeValue failed to get value",
                     r.rv, TSY_KIND_PKCS11);
            return false;
        }
        if (bytes.size() > UINT32_MAX) {
            SetError("GetAttributeValue failed to get value", CKR_ATTRIBUTE_VALUE_INVALID, TSY_KIND_PKCS11);
            return false;
        }
        m_value.pbData = new unsigned char[bytes.size() ? bytes.size() : 1];
        if (!bytes.empty())
            memcpy(m_value.pbData, bytes.data(), bytes.size());
        m_value.cbData = uint32_t(bytes.size());
    }
    if (nMask & OBJECT_ATTRIBUTE_LABEL) {
        delete[] m_pszLabel;
        m_pszLabel = nullptr;
        tsy::TAttributeResult r = tsy::ReadAttributeValue(m_pFunctionList, m_hSession, m_hObject, CKA_LABEL, bytes);
        if (r.step == tsy::ATTR_VALUE_FAILED) {
            SetError("GetAttributeValue failed to get value", r.rv, TSY_KIND_PKCS11);
            return false;
        }
        // An absent label is no failure.
        if (!r.ok() || bytes.empty())
            m_pszLabel = CopyText(kNoLabel, strlen(kNoLabel));
        else
            m_pszLabel = CopyText(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    if (nMask & OBJECT_ATTRIBUTE_ID) {
        tsy::TAttributeResult r = tsy::ReadAttributeValue(m_pFunctionList, m_hSession, m_hObject, CKA_ID, bytes);
        if (!r.ok()) {
            SetError(r.step == tsy::ATTR_SIZE_FAILED ? "GetAttributeValue failed to determine size"
                                                     : "GetAttributeValue failed to get value",
                     r.rv, TSY_KIND_PKCS11);
            return false;
        }
        m_id = bytes;
        m_sID.clear();
        if (!m_id.empty())
            m_sID = ByteToStdString(m_id.data(), int(m_id.size())).c_str();
    }
    return true;
}

CK_OBJECT_HANDLE CPKCS11Object::CurrentHandle()
{
    CK_SESSION_HANDLE hCurrent = GetToken()->GetSession();
    if (!hCurrent)
        return 0;
    if (hCurrent == m_hSession && m_nClass != CKO_PRIVATE_KEY)
        return m_hObject;
    CK_OBJECT_HANDLE h = tsy::ResolveObject(m_pFunctionList, hCurrent, m_nClass, m_id, m_hObject);
    if (h) {
        m_hObject = h;
        m_hSession = hCurrent;
    }
    return h;
}

CK_OBJECT_HANDLE CPKCS11Object::CurrentHandleOrReport()
{
    if (!GetToken()->GetSession()) {
        SetError("No opened session", 0, TSY_KIND_PLAIN);
        return 0;
    }
    CK_OBJECT_HANDLE h = CurrentHandle();
    if (!h)
        SetError("The object is not available in the token's current session", CKR_OBJECT_HANDLE_INVALID,
                 TSY_KIND_PKCS11);
    return h;
}

bool CPKCS11Object::Destroy()
{
    // Never destroy through a stale handle: it may name another object by now.
    CK_OBJECT_HANDLE h = CurrentHandleOrReport();
    if (!h)
        return false;
    CK_RV rv = m_pFunctionList->C_DestroyObject(m_hSession, h);
    if (rv != CKR_OK) {
        SetError("Unable to delete object", rv, TSY_KIND_PKCS11);
        return false;
    }
    return true;
}

void CPKCS11Object::ThrowSinkError() const
{
    const CTSYException* sink = GetErrorSink();
    throw CTSYException(sink ? sink->GetMessage() : nullptr, sink ? sink->GetCode() : 0,
                        sink ? sink->GetFlag() : 0);
}
