// Fuzz entry for the decoders of untrusted bytes: the certificate decoder,
// the name functions and every object decoder, all on the same input.

#include <pellum/pellum.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

void Names(const _CPBLOB* name)
{
    uint32_t len = 0;
    if (CL_CertNameToStr(name, nullptr, &len, ',', '\n') && len < 65536) {
        std::vector<char> text(len);
        CL_CertNameToStr(name, text.data(), &len, ',', '\n');
    }
    std::vector<TOIDValuePair> pairs;
    CL_DecodeCertName(name, &pairs);
}

void Objects(const _CPBLOB* input)
{
    uint32_t flags = 0, size = 0;
    CL_DecodeObject("2.5.29.15", input, &flags, &size);
    _CPBLOB sig = {nullptr, 0};
    if (CL_DecodeObject("1.2.840.10040.4.1", input, &sig, &size)) {
        _CPBLOB der = {nullptr, 0};
        if (CL_EncodeObject("1.2.840.10040.4.1", &sig, &der))
            CL_FreeBlob(&der);
        CL_FreeBlob(&sig);
    }
    _CPBLOB keyId = {nullptr, 0};
    if (CL_DecodeObject("2.5.29.14", input, &keyId, &size))
        CL_FreeBlob(&keyId);
    std::vector<TPolicyInformation> policies;
    CL_DecodeObject("2.5.29.32", input, &policies, &size);
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    // A private copy: the decoders must not read past the blob.
    std::vector<unsigned char> bytes(data, data + size);
    _CPBLOB blob = {bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(size)};
    if (!blob.pbData)
        return 0;

    CL_CERTIFICATE* cert = nullptr;
    if (CL_DecodeCertificate(&blob, &cert)) {
        char buf[256];
        uint32_t len = sizeof(buf);
        CL_CertGetSimpleNameString(cert, 0, buf, &len);
        len = sizeof(buf);
        CL_CertGetSimpleNameString(cert, CL_NAME_ISSUER_FLAG, buf, &len);
        Names(&cert->Issuer);
        for (uint32_t i = 0; i < cert->cExtension; ++i)
            Objects(&cert->rgExtension[i].Value);
        CL_FreeCertificate(cert);
    }
    Names(&blob);
    Objects(&blob);
    CL_GetLastError();
    return 0;
}
