#include "PKCS11Base.h"

#include <cstring>

uint32_t GetTrimmedLength(const char* pszText, uint32_t nLength)
{
    if (!pszText)
        return 0;
    if (nLength == 0xFFFFFFFFu)
        nLength = static_cast<uint32_t>(strlen(pszText));
    while (nLength > 0 && pszText[nLength - 1] == ' ')
        --nLength;
    return nLength;
}

CPKCS11Base::CPKCS11Base(CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Base* pParent, CTSYException* pErrorSink)
    : CErrorHandler(pErrorSink), m_eObjectType(CryptokiSlot), m_pFunctionList(pFunctionList), m_pParent(pParent)
{
}

CPKCS11Base::~CPKCS11Base() = default;
