// The last-error text, the free functions and the small helpers they share.

#include "Internal.h"

#include <asn-incl.h>

#include <cstring>

namespace pellum {

std::string& LastError()
{
    // Built on first use, so it exists before any static constructor of a
    // caller can reach the library.
    static std::string text;
    return text;
}

void SetUnhandled(const char* function)
{
    if (LastError().empty())
        LastError() = std::string("Unhandled exception occurred in ") + function;
}

std::string OidText(const SNACC::AsnOid& oid)
{
    const char* text = oid;
    return text ? std::string(text) : std::string();
}

bool AnyBytes(const SNACC::AsnAny& any, std::string* der)
{
    try {
        SNACC::AsnBuf scratch;
        scratch.ResetMode(std::ios_base::out);
        any.BEnc(scratch);
        scratch.ResetMode(std::ios_base::in);
        const unsigned long len = scratch.length();
        if (len == 0)
            return false;
        scratch.GetSeg(*der, static_cast<long>(len));
        return true;
    } catch (const SNACC::SnaccException&) {
        return false;
    }
}

void CopyToBlob(const unsigned char* data, size_t len, _CPBLOB* blob, size_t extra)
{
    unsigned char* copy = new unsigned char[len + extra]();
    if (len)
        std::memcpy(copy, data, len);
    blob->pbData = copy;
    blob->cbData = static_cast<uint32_t>(len);
}

void FreeBlobData(_CPBLOB* blob)
{
    delete[] blob->pbData;
    blob->pbData = nullptr;
    blob->cbData = 0;
}

}

extern "C" {

PELLUM_API const char* CL_GetLastError()
{
    return pellum::LastError().c_str();
}

PELLUM_API void CL_FreeBlob(_CPBLOB* blob)
{
    if (blob)
        delete[] blob->pbData;
}

PELLUM_API void CL_FreeCertificate(CL_CERTIFICATE* cert)
{
    if (!cert)
        return;
    delete[] cert->Subject.pbData;
    delete[] cert->Issuer.pbData;
    delete[] cert->SerialNumber.pbData;
    if (cert->rgExtension) {
        for (uint32_t i = 0; i < cert->cExtension; ++i)
            delete[] cert->rgExtension[i].Value.pbData;
    }
    if (cert->pRSAKey) {
        delete[] cert->pRSAKey->Modulus.pbData;
        delete[] cert->pRSAKey->PublicExponent.pbData;
        delete cert->pRSAKey;
    }
    if (cert->pDSAKey) {
        delete[] cert->pDSAKey->P.pbData;
        delete[] cert->pDSAKey->Q.pbData;
        delete[] cert->pDSAKey->G.pbData;
        delete[] cert->pDSAKey->Y.pbData;
        delete cert->pDSAKey;
    }
    delete[] cert->rgExtension;
    delete cert;
}

PELLUM_API void initialize() {}
PELLUM_API void finalize() {}

}
