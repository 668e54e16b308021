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
    m_id.clear();
    m_sID.clear();
    if (cbID) {
        m_id.assign(pbID, pbID + cbID);
        m_sID = ByteToStdString(pbID, int(cbID)).c_str();
    }
}

bool CPKCS11Object::ReadOnce(const tsy::TAttributeRequest* pRequests, size_t nCount, tsy::CAttributeValues& values)
{
    tsy::TBytes scratch;
    return tsy::ReadAttributesOnce(m_pFunctionList, m_hSession, m_hObject, pRequests, nCount, scratch, values);
}

const tsy::TAttributeRequest* CPKCS11Object::BasicRequests()
{
    // Buffers that hold what tokens usually carry, so that one call mostly does; a
    // larger value costs a length query and a read of its own.
    static const tsy::TAttributeRequest kRequests[] = {
        {CKA_VALUE, 4096, false}, {CKA_LABEL, 256, false}, {CKA_ID, 1024, false}};
    return kRequests;
}

bool CPKCS11Object::ReadAttributes(unsigned int nMask)
{
    static const unsigned int kBits[] = {OBJECT_ATTRIBUTE_VALUE, OBJECT_ATTRIBUTE_LABEL, OBJECT_ATTRIBUTE_ID};
    tsy::TAttributeRequest requests[3];
    size_t nCount = 0;
    for (size_t i = 0; i < 3; ++i)
        if (nMask & kBits[i])
            requests[nCount++] = BasicRequests()[i];
    tsy::CAttributeValues values;
    const bool bRead = nCount && ReadOnce(requests, nCount, values);
    return ReadAttributes(nMask, bRead ? &values : nullptr);
}

bool CPKCS11Object::ReadAttributes(unsigned int nMask, const tsy::CAttributeValues* pRead)
{
    // Each attribute that pRead lacks is read alone: a length query, then the value.
    // When pRead knows what that query would answer, the answer is taken from there.
    const auto readAlone = [&](CK_ATTRIBUTE_TYPE type, tsy::TBytes& bytes) -> tsy::TAttributeResult {
        CK_RV rv = CKR_OK;
        if (pRead && pRead->KnownFailure(type, &rv))
            return {tsy::ATTR_SIZE_FAILED, rv};
        return tsy::ReadAttributeValue(m_pFunctionList, m_hSession, m_hObject, type, bytes);
    };
    const auto reportFailure = [&](const tsy::TAttributeResult& r) {
        SetError(r.step == tsy::ATTR_SIZE_FAILED ? "GetAttributeValue failed to determine size"
                                                 : "GetAttributeValue failed to get value",
                 r.rv, TSY_KIND_PKCS11);
    };
    tsy::TBytes bytes;
    if (nMask & OBJECT_ATTRIBUTE_VALUE) {
        if (pRead && pRead->Has(CKA_VALUE)) {
            StoreValue(pRead->Data(CKA_VALUE), pRead->Size(CKA_VALUE));
        } else {
            tsy::TAttributeResult r = readAlone(CKA_VALUE, bytes);
            delete[] m_value.pbData;
            m_value.pbData = nullptr;
            m_value.cbData = 0;
            if (!r.ok()) {
                reportFailure(r);
                return false;
            }
            if (bytes.size() > UINT32_MAX) {
                SetError("GetAttributeValue failed to get value", CKR_ATTRIBUTE_VALUE_INVALID, TSY_KIND_PKCS11);
                return false;
            }
            StoreValue(bytes.data(), bytes.size());
        }
    }
    if (nMask & OBJECT_ATTRIBUTE_LABEL) {
        if (pRead && pRead->Has(CKA_LABEL)) {
            StoreLabel(pRead->Data(CKA_LABEL), pRead->Size(CKA_LABEL));
        } else {
            delete[] m_pszLabel;
            m_pszLabel = nullptr;
            tsy::TAttributeResult r = readAlone(CKA_LABEL, bytes);
            if (r.step == tsy::ATTR_VALUE_FAILED) {
                reportFailure(r);
                return false;
            }
            // An absent label is no failure.
            StoreLabel(r.ok() ? bytes.data() : nullptr, r.ok() ? bytes.size() : 0);
        }
    }
    if (nMask & OBJECT_ATTRIBUTE_ID) {
        if (pRead && pRead->Has(CKA_ID)) {
            StoreID(pRead->Data(CKA_ID), pRead->Size(CKA_ID));
        } else {
            tsy::TAttributeResult r = readAlone(CKA_ID, bytes);
            if (!r.ok()) {
                reportFailure(r);
                return false;
            }
            StoreID(bytes.data(), bytes.size());
        }
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
    // Certificates of one key pair share their CKA_ID: the value tells them apart.
    CK_ATTRIBUTE value = {CKA_VALUE, m_value.pbData, m_value.cbData};
    const bool bByValue = m_nClass == CKO_CERTIFICATE && m_value.pbData;
    CK_OBJECT_HANDLE h =
        tsy::ResolveObject(m_pFunctionList, hCurrent, m_nClass, m_id, m_hObject, bByValue ? &value : nullptr);
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
