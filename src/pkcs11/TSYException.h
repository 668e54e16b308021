#ifndef TSY_EXCEPTION_H
#define TSY_EXCEPTION_H

#include <cstdint>
#include <exception>
#include <string>

// Codes of the layer itself (kind 0), in the vendor-defined range of PKCS#11 return values.
#define TSY_CERT_DECODE_FAILED  0x80001001UL
#define TSY_KEYSET_NOT_EXISTS   0x80001002UL
#define TSY_CERT_ALREADY_EXISTS 0x80001004UL
// A module file that is not a regular file (a FIFO, a device, a folder): it is never loaded.
#define TSY_MODULE_NOT_REGULAR  0x80001005UL
// A library without C_GetFunctionList: not a PKCS#11 module.
#define TSY_MODULE_NOT_PKCS11   0x80001006UL
// A shared library whose loadable segments reach past the end of its file: it is never loaded.
#define TSY_MODULE_CUT_SHORT    0x80001007UL
// A module that refuses to initialise without initialisation arguments of its own (it answers
// CKR_ARGUMENTS_BAD also to a call without any): no general program can use it.
#define TSY_MODULE_NEEDS_ARGUMENTS 0x80001008UL
// A module that did not return from C_Initialize within the caller's time limit.
#define TSY_MODULE_NOT_ANSWERING 0x80001009UL
// A certificate whose key is neither RSA nor DSA, where an operation needs such a key.
#define TSY_KEY_TYPE_NOT_SUPPORTED 0x8000100AUL

// What the code of a CTSYException means.
enum TSYErrorKind : uint32_t {
    TSY_KIND_PLAIN = 0,       // an error of the layer; code 0 or one of the TSY_ codes
    TSY_KIND_PKCS11 = 1,      // the code is the CK_RV of the failed module call
    TSY_KIND_LOAD_FAILED = 2  // the module library could not be loaded; code 0 (the loader's
                              // reason in the message), TSY_MODULE_NOT_REGULAR or TSY_MODULE_CUT_SHORT
};

// The layer's exception; also used as the error sink that callers hand to layer objects.
class CTSYException : public std::exception
{
public:
    CTSYException();
    CTSYException(const char* pszMessage, unsigned long nCode, uint32_t nFlag);
    ~CTSYException() noexcept override;

    const char* what() const noexcept override;

    // Null when no message is recorded: callers test this to learn whether an error happened.
    const char* GetMessage() const;
    unsigned long GetCode() const { return m_nCode; }
    uint32_t GetFlag() const { return m_nFlag; }

    void SetCode(unsigned long nCode) { m_nCode = nCode; }
    void SetFlag(uint32_t nFlag) { m_nFlag = nFlag; }
    // A null text keeps the current message.
    void SetMessage(const char* pszMessage);
    void Reset();

private:
    std::string m_sMessage;
    unsigned long m_nCode;
    uint32_t m_nFlag;
};

// Holds the optional error sink of a layer object. With a sink, SetError records there and the
// caller returns its failure value; without one, SetError throws.
class CErrorHandler
{
public:
    explicit CErrorHandler(CTSYException* pErrorSink) : m_pErrorSink(pErrorSink) {}

    CTSYException* GetErrorSink() const { return m_pErrorSink; }

protected:
    void SetError(const char* pszMessage, unsigned long nCode, uint32_t nFlag);

    CTSYException* const m_pErrorSink;
};

#endif
