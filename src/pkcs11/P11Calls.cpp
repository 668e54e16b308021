#include "P11Calls.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace tsy {

TAttributeResult ReadAttributeValue(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                    CK_ATTRIBUTE_TYPE type, TBytes& value)
{
    CK_ATTRIBUTE attr = {type, nullptr, 0};
    CK_RV rv = fl->C_GetAttributeValue(session, object, &attr, 1);
    if (rv != CKR_OK)
        return {ATTR_SIZE_FAILED, rv};
    if (attr.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        return {ATTR_SIZE_FAILED, CKR_ATTRIBUTE_SENSITIVE};
    if (attr.ulValueLen > kMaxModuleValueSize)
        return {ATTR_SIZE_FAILED, CKR_GENERAL_ERROR};
    value.assign(attr.ulValueLen, 0);
    if (attr.ulValueLen == 0)
        return {ATTR_OK, CKR_OK};
    attr.pValue = value.data();
    rv = fl->C_GetAttributeValue(session, object, &attr, 1);
    if (rv != CKR_OK) {
        value.clear();
        return {ATTR_VALUE_FAILED, rv};
    }
    // A module may report fewer bytes on the second call than on the first.
    if (attr.ulValueLen < value.size())
        value.resize(attr.ulValueLen);
    return {ATTR_OK, CKR_OK};
}

TAttributeResult ReadAttributeValues(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                     const CK_ATTRIBUTE_TYPE* types, size_t count, std::vector<TBytes>& values)
{
    std::vector<CK_ATTRIBUTE> attrs(count);
    for (size_t i = 0; i < count; ++i)
        attrs[i] = {types[i], nullptr, 0};
    CK_RV rv = fl->C_GetAttributeValue(session, object, attrs.data(), CK_ULONG(count));
    if (rv != CKR_OK)
        return {ATTR_SIZE_FAILED, rv};
    values.assign(count, TBytes());
    for (size_t i = 0; i < count; ++i) {
        if (attrs[i].ulValueLen == CK_UNAVAILABLE_INFORMATION)
            return {ATTR_SIZE_FAILED, CKR_ATTRIBUTE_SENSITIVE};
        if (attrs[i].ulValueLen > kMaxModuleValueSize)
            return {ATTR_SIZE_FAILED, CKR_GENERAL_ERROR};
        values[i].assign(attrs[i].ulValueLen, 0);
        attrs[i].pValue = values[i].empty() ? nullptr : values[i].data();
    }
    rv = fl->C_GetAttributeValue(session, object, attrs.data(), CK_ULONG(count));
    if (rv != CKR_OK) {
        values.clear();
        return {ATTR_VALUE_FAILED, rv};
    }
    for (size_t i = 0; i < count; ++i)
        if (attrs[i].ulValueLen < values[i].size())
            values[i].resize(attrs[i].ulValueLen);
    return {ATTR_OK, CKR_OK};
}

const CAttributeValues::TEntry* CAttributeValues::Find(CK_ATTRIBUTE_TYPE type) const
{
    for (const TEntry& e : m_entries)
        if (e.type == type)
            return &e;
    return nullptr;
}

bool CAttributeValues::Has(CK_ATTRIBUTE_TYPE type) const
{
    const TEntry* e = Find(type);
    return e && e->rv == CKR_OK;
}

const unsigned char* CAttributeValues::Data(CK_ATTRIBUTE_TYPE type) const
{
    const TEntry* e = Find(type);
    return e && e->rv == CKR_OK && e->size ? m_bytes.data() + e->offset : nullptr;
}

size_t CAttributeValues::Size(CK_ATTRIBUTE_TYPE type) const
{
    const TEntry* e = Find(type);
    return e && e->rv == CKR_OK ? e->size : 0;
}

bool CAttributeValues::Get(CK_ATTRIBUTE_TYPE type, void* value, size_t size) const
{
    const TEntry* e = Find(type);
    if (!e || e->rv != CKR_OK || e->size != size)
        return false;
    memcpy(value, m_bytes.data() + e->offset, size);
    return true;
}

bool CAttributeValues::KnownFailure(CK_ATTRIBUTE_TYPE type, CK_RV* pRV) const
{
    const TEntry* e = Find(type);
    if (!e || e->rv == CKR_OK || e->rv == CKR_GENERAL_ERROR)
        return false;
    *pRV = e->rv;
    return true;
}

bool ReadAttributesOnce(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        const TAttributeRequest* requests, size_t count, TBytes& scratch, CAttributeValues& values)
{
    values.m_entries.clear();
    values.m_bytes.clear();
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += requests[i].size;
    if (scratch.size() < total)
        scratch.resize(total);
    CK_ATTRIBUTE local[16];
    std::vector<CK_ATTRIBUTE> many;
    CK_ATTRIBUTE* attrs = local;
    if (count > sizeof local / sizeof local[0]) {
        many.resize(count);
        attrs = many.data();
    }
    size_t offset = 0;
    for (size_t i = 0; i < count; ++i) {
        attrs[i] = {requests[i].type, scratch.data() + offset, requests[i].size};
        offset += requests[i].size;
    }
    const CK_RV rv = fl->C_GetAttributeValue(session, object, attrs, CK_ULONG(count));
    // With these answers the module has looked at every attribute, and each one it
    // could not give says so with its length.
    if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL && rv != CKR_ATTRIBUTE_SENSITIVE &&
        rv != CKR_ATTRIBUTE_TYPE_INVALID)
        return false;
    const auto wasRead = [&](size_t i) {
        const CK_ULONG len = attrs[i].ulValueLen;
        return len != CK_UNAVAILABLE_INFORMATION && len <= requests[i].size &&
               (!requests[i].fixed || len == requests[i].size);
    };
    size_t used = 0, notRead = 0;
    for (size_t i = 0; i < count; ++i) {
        if (wasRead(i))
            used += attrs[i].ulValueLen;
        else
            ++notRead;
    }
    if (rv != CKR_OK && notRead == 0)
        return false;
    // The one attribute an error answer is about has that answer of its own.
    const CK_RV rvNotRead =
        notRead == 1 && (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) ? rv : CKR_GENERAL_ERROR;
    values.m_bytes.resize(used);
    values.m_entries.reserve(count);
    offset = 0;
    used = 0;
    for (size_t i = 0; i < count; ++i) {
        if (wasRead(i)) {
            const size_t len = attrs[i].ulValueLen;
            if (len)
                memcpy(values.m_bytes.data() + used, scratch.data() + offset, len);
            values.m_entries.push_back({requests[i].type, CKR_OK, used, len});
            used += len;
        } else {
            values.m_entries.push_back({requests[i].type, rvNotRead, 0, 0});
        }
        offset += requests[i].size;
    }
    return true;
}

CK_RV ReadFixedAttribute(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                         CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG size)
{
    CK_ATTRIBUTE attr = {type, value, size};
    CK_RV rv = fl->C_GetAttributeValue(session, object, &attr, 1);
    if (rv == CKR_OK && attr.ulValueLen != size)
        rv = CKR_ATTRIBUTE_VALUE_INVALID;
    return rv;
}

CK_RV FindAllObjects(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count,
                     std::vector<CK_OBJECT_HANDLE>& found, size_t maxCount, const char** ppszFailedCall)
{
    const char* pszUnused = nullptr;
    const char*& pszFailed = ppszFailedCall ? *ppszFailedCall : pszUnused;
    pszFailed = nullptr;
    CK_RV rv = fl->C_FindObjectsInit(session, templ, count);
    if (rv != CKR_OK) {
        pszFailed = "C_FindObjectsInit";
        return rv;
    }
    CK_OBJECT_HANDLE batch[64];
    size_t taken = 0;
    // A search gives each object once. A module whose search gives handles again would keep
    // this loop going for ever: a handle given twice is taken once, a batch without a new
    // handle ends the search, and so does the longest list a module is believed.
    std::set<CK_OBJECT_HANDLE> seen;
    const size_t limit = maxCount ? maxCount : kMaxSearchCount;
    for (;;) {
        CK_ULONG want = 64;
        if (limit - taken < want)
            want = CK_ULONG(limit - taken);
        CK_ULONG got = 0;
        // A module may claim more handles than it wrote: what it did not write stays 0, which
        // names no object, never a stale handle read from the stack.
        std::fill(batch, batch + want, CK_OBJECT_HANDLE(CK_INVALID_HANDLE));
        rv = fl->C_FindObjects(session, batch, want, &got);
        if (rv != CKR_OK || got == 0)
            break;
        if (got > want)
            got = want;
        size_t fresh = 0;
        for (CK_ULONG i = 0; i < got; ++i) {
            if (batch[i] != CK_INVALID_HANDLE && seen.insert(batch[i]).second) {
                found.push_back(batch[i]);
                ++fresh;
            }
        }
        taken += fresh;
        if (fresh == 0 || taken >= limit)
            break;
    }
    CK_RV rvFinal = fl->C_FindObjectsFinal(session);
    if (rv != CKR_OK)
        pszFailed = "C_FindObjects";
    else if (rvFinal != CKR_OK)
        pszFailed = "C_FindObjectsFinal";
    return rv != CKR_OK ? rv : rvFinal;
}

CK_OBJECT_HANDLE ResolveObject(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                               const TBytes& id, CK_OBJECT_HANDLE hint, const CK_ATTRIBUTE* pNarrow)
{
    if (!session)
        return 0;
    const auto narrowed = [&](CK_OBJECT_HANDLE h) {
        if (!pNarrow)
            return true;
        TBytes value;
        const unsigned char* p = static_cast<const unsigned char*>(pNarrow->pValue);
        return ReadAttributeValue(fl, session, h, pNarrow->type, value).ok() && value.size() == pNarrow->ulValueLen &&
               (value.empty() || std::equal(value.begin(), value.end(), p));
    };
    if (hint) {
        CK_OBJECT_CLASS readClass = CK_UNAVAILABLE_INFORMATION;
        TBytes readId(id.size() + 1);
        CK_ATTRIBUTE attrs[2] = {{CKA_CLASS, &readClass, sizeof readClass},
                                 {CKA_ID, readId.data(), CK_ULONG(readId.size())}};
        if (fl->C_GetAttributeValue(session, hint, attrs, 2) == CKR_OK && readClass == cls &&
            attrs[1].ulValueLen == id.size() && std::equal(id.begin(), id.end(), readId.begin()) && narrowed(hint))
            return hint;
    }
    CK_ATTRIBUTE templ[3] = {{CKA_CLASS, &cls, sizeof cls},
                             {CKA_ID, const_cast<unsigned char*>(id.data()), CK_ULONG(id.size())}};
    CK_ULONG nTempl = 2;
    if (pNarrow)
        templ[nTempl++] = *pNarrow;
    std::vector<CK_OBJECT_HANDLE> found;
    // Two objects that match alike cannot be told apart: use neither.
    if (FindAllObjects(fl, session, templ, nTempl, found, 2) != CKR_OK || found.size() != 1)
        return 0;
    return found.front();
}

} // namespace tsy
