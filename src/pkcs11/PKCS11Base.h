#ifndef TSY_PKCS11_BASE_H
#define TSY_PKCS11_BASE_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <pkcs11.h>

#include "TSYException.h"

class CFieldList;

// The kind of object behind a tree item.
enum TObjectType : int32_t {
    CryptokiSlot = 0,
    CryptokiToken = 1,
    CryptokiCertificate = 2,
    CryptokiAsymmetricKey = 3
};

// Length of a blank-padded PKCS#11 text without its trailing blanks (0x20 only).
// A length of 0xFFFFFFFF means the text is NUL-terminated.
uint32_t GetTrimmedLength(const char* pszText, uint32_t nLength);

// The longest list (slots, mechanisms) a module is believed: no module has that many, and a
// count far above it would take gigabytes, or the process, before the module fills it.
constexpr CK_ULONG kMaxModuleListCount = 4096;

// A zeroed array for a count that a module reported, or null when the count is not believable
// (above kMaxModuleListCount) or no allocation can hold it (a broken module), so that the caller
// treats it as a failed call instead of throwing. Zeroed: entries a module claims but does not
// write read as 0, never as what the memory held before.
template <class T> T* NewArrayOrNull(CK_ULONG nCount)
{
    if (nCount > kMaxModuleListCount || nCount > std::numeric_limits<std::size_t>::max() / sizeof(T))
        return nullptr;
    return new (std::nothrow) T[nCount]();
}

// Common base of everything selectable in a provider's tree: slot, token, certificate, key.
class CPKCS11Base : public CErrorHandler
{
public:
    CPKCS11Base(CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Base* pParent, CTSYException* pErrorSink);
    virtual ~CPKCS11Base();

    virtual void PopulateFields(CFieldList* pFields) = 0;

    TObjectType GetObjectType() const { return m_eObjectType; }
    CPKCS11Base* GetParent() const { return m_pParent; }
    CK_FUNCTION_LIST_PTR GetFunctionList() const { return m_pFunctionList; }

protected:
    TObjectType m_eObjectType;
    CK_FUNCTION_LIST_PTR m_pFunctionList;
    CPKCS11Base* m_pParent;

private:
    CPKCS11Base(const CPKCS11Base&) = delete;
    CPKCS11Base& operator=(const CPKCS11Base&) = delete;
};

#endif
