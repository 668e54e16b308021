#ifndef TSY_PKCS11_OBJECT_H
#define TSY_PKCS11_OBJECT_H

#include <cstdint>
#include <string>
#include <vector>

#include <sorvit/blob.h>

#include <sorvit/AutoArray.h>
#include "PKCS11Base.h"

class CPKCS11Token;
namespace tsy {
class CAttributeValues;
struct TAttributeRequest;
}

// 32-bit byte counts of the layer's interface.
typedef uint32_t DWORD;

// Attribute bits of CPKCS11Object::ReadAttributes.
enum TObjectAttribute : unsigned int {
    OBJECT_ATTRIBUTE_ID = 0x1,
    OBJECT_ATTRIBUTE_VALUE = 0x2,
    OBJECT_ATTRIBUTE_LABEL = 0x4
};

// One certificate or key on a token. The token is the parent.
class CPKCS11Object : public CPKCS11Base
{
public:
    CPKCS11Object(CK_OBJECT_HANDLE hObject, CK_SESSION_HANDLE hSession, CK_FUNCTION_LIST_PTR pFunctionList,
                  CPKCS11Token* pToken, CTSYException* pErrorSink);
    ~CPKCS11Object() override;

    // Mask of TObjectAttribute bits; reads value, then label, then ID.
    bool ReadAttributes(unsigned int nMask);
    // C_DestroyObject. The token's lists are left as they are: free and re-read them.
    bool Destroy();

    // Null until the value was read.
    const _CPBLOB* GetValue() const { return m_value.pbData ? &m_value : nullptr; }
    // "(no label)" for an absent or empty CKA_LABEL; null until read.
    const char* GetLabel() const { return m_pszLabel; }
    // CKA_ID as upper-case hex; empty until read.
    const char* GetID() const { return m_sID.c_str(); }
    const std::vector<unsigned char>& GetIDBytes() const { return m_id; }

    CK_OBJECT_HANDLE GetHandle() const { return m_hObject; }
    CK_SESSION_HANDLE GetSession() const { return m_hSession; }
    CPKCS11Token* GetToken() const;

protected:
    // The object's handle for the token's current session, or 0 when the object is
    // not visible there (no session, logged out, deleted). A handle from an earlier
    // session, and every private-key handle, is checked against class and CKA_ID
    // before use and looked up again when it no longer names this object: modules
    // renumber private objects at logout and login. Reports nothing.
    CK_OBJECT_HANDLE CurrentHandle();
    // CurrentHandle, reporting a missing session or object; 0 after reporting.
    CK_OBJECT_HANDLE CurrentHandleOrReport();

    CK_OBJECT_CLASS m_nClass;  // set by the subclass; needed to find the object again
    CK_SESSION_HANDLE m_hSession;
    CK_OBJECT_HANDLE m_hObject;
    char* m_pszLabel;
    _CPBLOB m_value;
    std::string m_sID;
    std::vector<unsigned char> m_id;

    // CKA_VALUE, CKA_LABEL and CKA_ID, in this order, with the buffers they get.
    static const tsy::TAttributeRequest* BasicRequests();
    // The attributes of nMask in the order of ReadAttributes, each taken from pRead
    // when it holds it, else read alone and reported as it fails. pRead may be null.
    bool ReadAttributes(unsigned int nMask, const tsy::CAttributeValues* pRead);
    // Every attribute of requests in one call (ReadAttributesOnce of P11Calls.h);
    // false when the module refused the call, and each attribute is then read alone.
    // Modules spend most of an attribute call on the call itself, so one call per
    // object is what makes a token quick to read.
    bool ReadOnce(const tsy::TAttributeRequest* pRequests, size_t nCount, tsy::CAttributeValues& values);
    void StoreLabel(const unsigned char* pbLabel, size_t cbLabel);
    void StoreValue(const unsigned char* pbValue, size_t cbValue);
    void StoreID(const unsigned char* pbID, size_t cbID);

    // Throws a CTSYException with the sink's message, code and kind (constructors).
    [[noreturn]] void ThrowSinkError() const;
};

#endif
