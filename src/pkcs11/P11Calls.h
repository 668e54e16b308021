// The two call patterns that the token objects repeat: reading an attribute
// (length first, then the value) and running a search (init, find, final).
#pragma once

#include <pkcs11.h>

#include <cstddef>
#include <vector>

#include <sorvit/AutoArray.h>

namespace tsy {

typedef std::vector<unsigned char> TBytes;

// The longest value (attribute, signature, digest) a module is believed to have: a
// certificate is a few kilobytes. A longer length is a broken answer, and reading it
// would take that much memory first; the read then fails with CKR_GENERAL_ERROR.
constexpr CK_ULONG kMaxModuleValueSize = 16 * 1024 * 1024;

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

// One attribute of a read that takes all of an object's attributes in one call.
struct TAttributeRequest {
    CK_ATTRIBUTE_TYPE type;
    CK_ULONG size;  // buffer for what objects usually hold; a fixed-size attribute's exact size
    bool fixed;     // CK_ULONG, CK_BBOOL: any other length is no value
};

// What one ReadAttributesOnce call gave: the value of every attribute it could read.
class CAttributeValues
{
public:
    // False for an attribute the call did not give: read it alone, which gives its
    // own answer (a larger value, or the module's code for it).
    bool Has(CK_ATTRIBUTE_TYPE type) const;
    const unsigned char* Data(CK_ATTRIBUTE_TYPE type) const;
    size_t Size(CK_ATTRIBUTE_TYPE type) const;
    // A fixed-size value copied into its variable; false when it was not read.
    bool Get(CK_ATTRIBUTE_TYPE type, void* value, size_t size) const;
    // True when the call also told what reading the attribute alone answers: the
    // module's code when it was the one attribute the call could not give, and the
    // code was CKR_ATTRIBUTE_SENSITIVE or CKR_ATTRIBUTE_TYPE_INVALID.
    bool KnownFailure(CK_ATTRIBUTE_TYPE type, CK_RV* pRV) const;

private:
    friend bool ReadAttributesOnce(CK_FUNCTION_LIST_PTR, CK_SESSION_HANDLE, CK_OBJECT_HANDLE,
                                   const TAttributeRequest*, size_t, TBytes&, CAttributeValues&);
    struct TEntry {
        CK_ATTRIBUTE_TYPE type;
        CK_RV rv;  // CKR_OK: read; else the attribute's own answer, CKR_GENERAL_ERROR when unknown
        size_t offset;
        size_t size;
    };
    const TEntry* Find(CK_ATTRIBUTE_TYPE type) const;
    std::vector<TEntry> m_entries;  // in request order
    TBytes m_bytes;                 // the values read, one after the other
};

// All the requested attributes in one C_GetAttributeValue, with buffers of the sizes
// requested (scratch holds them during the call; pass the same one for a run of
// objects). An attribute the module marks unavailable (larger than its buffer, as
// SoftHSM2 answers with CKR_BUFFER_TOO_SMALL and length -1; sensitive; not an
// attribute of the object), or a fixed-size one of another length, is left out of
// values. False when the module refused the call as a whole (any other answer, or
// an error answer that marks no attribute): nothing was read then.
bool ReadAttributesOnce(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        const TAttributeRequest* requests, size_t count, TBytes& scratch, CAttributeValues& values);

// Reads a fixed-size attribute (CK_ULONG, CK_BBOOL) straight into its variable.
CK_RV ReadFixedAttribute(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                         CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG size);

// The most handles one search takes when the caller sets no limit; a module that
// gives more is broken.
constexpr size_t kMaxSearchCount = 65536;

// Runs one search with the template and appends up to maxCount handles (0: up to
// kMaxSearchCount), each once, to found; a batch that brings no new handle ends it.
// C_FindObjectsFinal always follows a successful init, so no search stays active on
// the session. Returns the first failing return value; *ppszFailedCall, when given,
// names the call that gave it (null when all went well).
CK_RV FindAllObjects(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count,
                     std::vector<CK_OBJECT_HANDLE>& found, size_t maxCount = 0,
                     const char** ppszFailedCall = nullptr);

// Finds the object of that class and CKA_ID in the session. hint is tried first
// (one C_GetAttributeValue comparing class and ID); otherwise a search runs and
// a single match is taken. 0 when nothing or more than one object matches. Several
// objects may share a class and ID: pNarrow, when given, is one more attribute the
// object must have (a certificate's CKA_VALUE), in the hint's check and the search.
CK_OBJECT_HANDLE ResolveObject(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session, CK_OBJECT_CLASS cls,
                               const TBytes& id, CK_OBJECT_HANDLE hint, const CK_ATTRIBUTE* pNarrow = nullptr);

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
        if (len > kMaxModuleValueSize)
            return CKR_GENERAL_ERROR;
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
