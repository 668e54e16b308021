// The two call patterns that the token objects repeat: reading an attribute
// (length first, then the value) and running a search (init, find, final).
#pragma once

#include <pkcs11.h>

#include <vector>

#include <sorvit/AutoArray.h>

namespace tsy {

typedef std::vector<unsigned char> TBytes;

// Step of ReadAttributeValue that failed.
enum TAttributeStep { ATTR_OK = 0, ATTR_SIZE_FAILED = 1, ATTR_VALUE_FAILED = 2 };

struct TAttributeResult {
    TAttributeStep step;
    CK_RV rv;
    bool ok() const { return step == ATTR_OK; }
};

// Asks the module for the attribute's length, then reads it into value
// (resized to the length the module reports on the second call).
TAttributeResult ReadAttributeValue(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                    CK_ATTRIBUTE_TYPE type, TBytes& value);

// Several attributes in two calls: one for all lengths, one for all values.
// Every element of values is resized to its attribute's length.
TAttributeResult ReadAttributeValues(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                                     const CK_ATTRIBUTE_TYPE* types, size_t count, std::vector<TBytes>& values);

// Reads a fixed-size attribute (CK_ULONG, CK_BBOOL) straight into its variable.
CK_RV ReadFixedAttribute(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                         CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG size);

// Runs one search with the template and appends up to maxCount handles (0: no
// limit) to found. C_FindObjectsFinal always follows a successful init, so no
// search stays active on the session. Returns the first failing return value.
CK_RV FindAllObjects(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count,
                     std::vector<CK_OBJECT_HANDLE>& found, size_t maxCount = 0);

// Finds the object of that class and CKA_ID in the session. hint is tried first
// (one C_GetAttributeValue comparing class and ID); otherwise a search runs and
// a single match is taken. 0 when nothing or more than one object matches.
CK_OBJECT_HANDLE ResolveObject(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                               const TBytes& id, CK_OBJECT_HANDLE hint);

// C_Digest or C_Sign into out: the length first (call with a null buffer), then
// the call into a buffer of that size. Only CKR_BUFFER_TOO_SMALL keeps the
// operation active, so it is answered with the larger buffer the module asks for
// until the module is done. call(buffer, &length) makes the module call.
template <class Call>
CK_RV CallSized(Call call, auto_array<unsigned char>& out)
{
    CK_ULONG len = 0;
    CK_RV rv = call(nullptr, &len);
    for (int attempt = 0; rv == CKR_OK && attempt < 4; ++attempt) {
        unsigned char* p = new unsigned char[len ? len : 1];
        out.reset(p, len);
        CK_ULONG got = len;
        rv = call(p, &got);
        if (rv == CKR_OK) {
            out.reset(p, got <= len ? got : len);
            return CKR_OK;
        }
        if (rv != CKR_BUFFER_TOO_SMALL)
            return rv;
        len = got > len ? got : len * 2 + 16;
        rv = CKR_OK;
    }
    return rv == CKR_OK ? CKR_BUFFER_TOO_SMALL : rv;
}

} // namespace tsy
