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

void CPKCS11Object::StoreLabel(const unsigned char* pbLabel, size_t cbLabel)
{
    delete[] m_pszLabel;
    // An absent or empty label reads as "(no label)".
    if (!pbLabel || cbLabel == 0)
        m_pszLabel = CopyText(kNoLabel, strlen(kNoLabel));
    else
        m_pszLabel = CopyText(reinterpret_cast<const char*>(pbLabel), cbLabel);
}

void CPKCS11Object::StoreValue(const unsigned char* pbValue, size_t cbValue)
{
    delete[] m_value.pbData;
    m_value.pbData = new unsigned char[cbValue ? cbValue : 1];
    if (cbValue)
        memcpy(m_value.pbData, pbValue, cbValue);
    m_value.cbData = uint32_t(cbValue);
}

void CPKCS11Object::StoreID(const unsigned char* pbID, size_t cbID)
{
    m_id.assign(pbID, pbID + cbID);
    m_sID.clear();
    if (cbID)
        m_sID = ByteToStdString(pbID, int(cbID)).c_str();
}

bool CPKCS11Object::ReadAttributesAtOnce(unsigned int nMask, CK_ATTRIBUTE* pExtra, CK_ULONG nExtra)
{
    // Buffers that hold what tokens usually carry, so that one call mostly does;
    // a larger attribute costs a length query and a second read.
    static const CK_ULONG kGuess[] = {4096, 256, 1024};  // value, label, ID
    static const CK_ATTRIBUTE_TYPE kTypes[] = {CKA_VALUE, CKA_LABEL, CKA_ID};
    static const unsigned int kBits[] = {OBJECT_ATTRIBUTE_VALUE, OBJECT_ATTRIBUTE_LABEL, OBJECT_ATTRIBUTE_ID};
    std::vector<CK_ATTRIBUTE> attrs;
    std::vector<tsy::TBytes> values;
    values.reserve(3);
    for (int i = 0; i < 3; ++i)
        if (nMask & kBits[i]) {
            values.emplace_back(kGuess[i]);
            attrs.push_back({kTypes[i], values.back().data(), kGuess[i]});
        }
    size_t nVariable = attrs.size();
    std::vector<CK_ULONG> extraSizes(nExtra);
    for (CK_ULONG i = 0; i < nExtra; ++i) {
        extraSizes[i] = pExtra[i].ulValueLen;
        attrs.push_back(pExtra[i]);
    }
    if (attrs.empty())
        return true;
    CK_RV rv = m_pFunctionList->C_GetAttributeValue(m_hSession, m_hObject, attrs.data(), CK_ULONG(attrs.size()));
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL)
        return false;
    for (CK_ULONG i = 0; i < nExtra; ++i) {
        if (attrs[nVariable + i].ulValueLen != extraSizes[i])
            return false;
        pExtra[i].ulValueLen = extraSizes[i];
    }
    if (rv == CKR_BUFFER_TOO_SMALL) {
        // Lengths first, then the values, for the variable attributes only.
        for (size_t i = 0; i < nVariable; ++i) {
            attrs[i].pValue = nullptr;
            attrs[i].ulValueLen = 0;
        }
        if (m_pFunctionList->C_GetAttributeValue(m_hSession, m_hObject, attrs.data(), CK_ULONG(nVariable)) !=
            CKR_OK)
            return false;
        for (size_t i = 0; i < nVariable; ++i) {
            if (attrs[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || attrs[i].ulValueLen > UINT32_MAX)
                return false;
            values[i].assign(attrs[i].ulValueLen, 0);
            attrs[i].pValue = values[i].empty() ? nullptr : values[i].data();
        }
        if (m_pFunctionList->C_GetAttributeValue(m_hSession, m_hObject, attrs.data(), CK_ULONG(nVariable)) !=
            CKR_OK)
            return false;
    }
    for (size_t i = 0; i < nVariable; ++i) {
        if (attrs[i].ulValueLen == CK_UNAVAILABLE_INFORMATION || attrs[i].ulValueLen > values[i].size())
            return false;
        values[i].resize(attrs[i].ulValueLen);
    }
    for (size_t i = 0; i < nVariable; ++i) {
        const tsy::TBytes& v = values[i];
        switch (attrs[i].type) {
        case CKA_VALUE: StoreValue(v.data(), v.size()); break;
        case CKA_LABEL: StoreLabel(v.data(), v.size()); break;
        default: StoreID(v.data(), v.size()); break;
        }
    }
    return true;
}

bool CPKCS11Object::ReadAttributes(unsigned int nMask)
{
    if (ReadAttributesAtOnce(nMask))
        return true;
    // One attribute a call, so that each failure is reported as what it is.
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
        StoreValue(bytes.data(), bytes.size());
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
        StoreLabel(r.ok() ? bytes.data() : nullptr, r.ok() ? bytes.size() : 0);
    }
    if (nMask & OBJECT_ATTRIBUTE_ID) {
        tsy::TAttributeResult r = tsy::ReadAttributeValue(m_pFunctionList, m_hSession, m_hObject, CKA_ID, bytes);
        if (!r.ok()) {
            SetError(r.step == tsy::ATTR_SIZE_FAILED ? "GetAttributeValue failed to determine size"
                                                     : "GetAttributeValue failed to get value",
                     r.rv, TSY_KIND_PKCS11);
            return false;
        }
        StoreID(bytes.data(), bytes.size());
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
