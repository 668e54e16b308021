#include "ObjectsSupport.h"

#include <dlfcn.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace objtest {
namespace {

void* g_library = nullptr;
CK_FUNCTION_LIST_PTR g_functions = nullptr;
CK_FUNCTION_LIST g_faulty;
Faults g_faults;

CK_RV Faulty_C_GetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    ++g_faults.calls["C_GetAttributeValue"];
    if (g_faults.getAttributeHandle && h == g_faults.getAttributeHandle) {
        bool hit = g_faults.getAttributeType == (CK_ATTRIBUTE_TYPE)-1;
        for (CK_ULONG i = 0; i < n && !hit; ++i)
            hit = t[i].type == g_faults.getAttributeType;
        if (hit)
            return g_faults.getAttributeRv;
    }
    if (g_faults.getAttributeClass != (CK_OBJECT_CLASS)-1) {
        CK_OBJECT_CLASS cls = (CK_OBJECT_CLASS)-1;
        CK_ATTRIBUTE a = {CKA_CLASS, &cls, sizeof cls};
        if (g_functions->C_GetAttributeValue(s, h, &a, 1) == CKR_OK && cls == g_faults.getAttributeClass)
            return g_faults.getAttributeRv;
    }
    return g_functions->C_GetAttributeValue(s, h, t, n);
}

CK_RV Faulty_C_GenerateKeyPair(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pub, CK_ULONG npub,
                               CK_ATTRIBUTE_PTR priv, CK_ULONG npriv, CK_OBJECT_HANDLE_PTR hpub,
                               CK_OBJECT_HANDLE_PTR hpriv)
{
    ++g_faults.calls["C_GenerateKeyPair"];
    g_faults.publicTemplate.clear();
    g_faults.privateTemplate.clear();
    for (CK_ULONG i = 0; i < npub; ++i)
        g_faults.publicTemplate.push_back(pub[i].type);
    for (CK_ULONG i = 0; i < npriv; ++i)
        g_faults.privateTemplate.push_back(priv[i].type);
    return g_functions->C_GenerateKeyPair(s, m, pub, npub, priv, npriv, hpub, hpriv);
}

CK_RV Faulty_C_DestroyObject(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h)
{
    ++g_faults.calls["C_DestroyObject"];
    if (g_faults.destroyRv != CKR_OK && (g_faults.destroyHandle == 0 || g_faults.destroyHandle == h))
        return g_faults.destroyRv;
    return g_functions->C_DestroyObject(s, h);
}

CK_RV Faulty_C_CreateObject(CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n, CK_OBJECT_HANDLE_PTR h)
{
    ++g_faults.calls["C_CreateObject"];
    if (g_faults.createRv != CKR_OK && g_faults.createRvTimes != 0) {
        if (g_faults.createRvTimes > 0)
            --g_faults.createRvTimes;
        return g_faults.createRv;
    }
    return g_functions->C_CreateObject(s, t, n, h);
}

CK_RV Faulty_C_GenerateRandom(CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG n)
{
    ++g_faults.calls["C_GenerateRandom"];
    if (g_faults.generateRandomRv != CKR_OK)
        return g_faults.generateRandomRv;
    return g_functions->C_GenerateRandom(s, p, n);
}

// Answers the first call with a buffer "too small, need growLength" while the
// operation stays active, as SoftHSM2 does for a short buffer.
template <class Real>
CK_RV Grow(const char* name, Real real, CK_BYTE_PTR out, CK_ULONG_PTR outLen)
{
    ++g_faults.calls[name];
    if (out && g_faults.growLength && *outLen < g_faults.growLength) {
        *outLen = g_faults.growLength;
        g_faults.growLength = 0;
        return CKR_BUFFER_TOO_SMALL;
    }
    return real();
}

CK_RV Faulty_C_Sign(CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG dl, CK_BYTE_PTR o, CK_ULONG_PTR ol)
{
    CK_RV rv = Grow("C_Sign", [&] { return g_functions->C_Sign(s, d, dl, o, ol); }, o, ol);
    if (rv == CKR_OK && o && g_faults.signShortBy && *ol >= g_faults.signShortBy)
        *ol -= g_faults.signShortBy;
    return rv;
}

CK_RV Faulty_C_Digest(CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG dl, CK_BYTE_PTR o, CK_ULONG_PTR ol)
{
    return Grow("C_Digest", [&] { return g_functions->C_Digest(s, d, dl, o, ol); }, o, ol);
}

CK_RV Faulty_C_SignInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k)
{
    ++g_faults.calls["C_SignInit"];
    return g_functions->C_SignInit(s, m, k);
}

CK_RV Faulty_C_VerifyInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k)
{
    ++g_faults.calls["C_VerifyInit"];
    return g_functions->C_VerifyInit(s, m, k);
}

std::string Trimmed(const unsigned char* p, size_t n)
{
    std::string s(reinterpret_cast<const char*>(p), n);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

EVP_PKEY* PublicKey(const std::string& publicDer)
{
    std::vector<unsigned char> der = fixture::ReadBytes(publicDer);
    const unsigned char* p = der.data();
    return d2i_PUBKEY(nullptr, &p, long(der.size()));
}

bool VerifyWith(EVP_PKEY* key, const EVP_MD* md, const std::vector<unsigned char>& hash,
                const std::vector<unsigned char>& signature)
{
    if (!key)
        return false;
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    bool ok = ctx && EVP_PKEY_verify_init(ctx) == 1 && (!md || EVP_PKEY_CTX_set_signature_md(ctx, md) == 1) &&
              EVP_PKEY_verify(ctx, signature.data(), signature.size(), hash.data(), hash.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

} // namespace

CK_FUNCTION_LIST_PTR Module::Load()
{
    if (!g_library) {
        g_library = dlopen(fixture::SoftHsm::ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!g_library)
            throw std::runtime_error(std::string("cannot load SoftHSM2: ") + dlerror());
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(g_library, "C_GetFunctionList"));
        if (!getList || getList(&g_functions) != CKR_OK)
            throw std::runtime_error("no function list");
    }
    CK_RV rv = g_functions->C_Initialize(nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        throw std::runtime_error("C_Initialize failed: " + std::to_string(rv));
    g_faulty = *g_functions;
    g_faulty.C_GetAttributeValue = Faulty_C_GetAttributeValue;
    g_faulty.C_DestroyObject = Faulty_C_DestroyObject;
    g_faulty.C_CreateObject = Faulty_C_CreateObject;
    g_faulty.C_GenerateRandom = Faulty_C_GenerateRandom;
    g_faulty.C_Sign = Faulty_C_Sign;
    g_faulty.C_Digest = Faulty_C_Digest;
    g_faulty.C_SignInit = Faulty_C_SignInit;
    g_faulty.C_VerifyInit = Faulty_C_VerifyInit;
    g_faulty.C_GenerateKeyPair = Faulty_C_GenerateKeyPair;
    return g_functions;
}

void Module::Unload()
{
    // The library stays mapped: SoftHSM2 does not come back cleanly from dlclose.
    if (g_functions)
        g_functions->C_Finalize(nullptr);
}

CK_FUNCTION_LIST_PTR Module::Functions()
{
    return g_functions;
}

CK_SLOT_ID Module::FindSlot(const std::string& label)
{
    CK_ULONG count = 0;
    if (g_functions->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK)
        return (CK_SLOT_ID)-1;
    std::vector<CK_SLOT_ID> slots(count);
    if (g_functions->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK)
        return (CK_SLOT_ID)-1;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_TOKEN_INFO info;
        if (g_functions->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
            Trimmed(info.label, sizeof info.label) == label)
            return slots[i];
    }
    return (CK_SLOT_ID)-1;
}

Faults& CurrentFaults()
{
    return g_faults;
}

CK_FUNCTION_LIST_PTR FaultyFunctions()
{
    return &g_faulty;
}

Store::Store(const std::string& name) : dir(fixture::ScratchDir(name)), hsm(dir), label(name)
{
    if (!hsm.InitToken(label))
        throw std::runtime_error("token init failed: " + hsm.LastOutput());
}

CK_OBJECT_HANDLE CreateCertificateObject(CK_SESSION_HANDLE session, const std::vector<unsigned char>& value,
                                         const std::vector<unsigned char>* id, const std::string* label)
{
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    std::vector<unsigned char> subject = {0x30, 0x00};
    std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls},
                                   {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                                   {CKA_TOKEN, &yes, sizeof yes},
                                   {CKA_SUBJECT, subject.data(), CK_ULONG(subject.size())},
                                   {CKA_VALUE, const_cast<unsigned char*>(value.data()), CK_ULONG(value.size())}};
    if (id)
        t.push_back({CKA_ID, id->empty() ? nullptr : const_cast<unsigned char*>(id->data()), CK_ULONG(id->size())});
    if (label)
        t.push_back({CKA_LABEL, const_cast<char*>(label->data()), CK_ULONG(label->size())});
    CK_OBJECT_HANDLE h = 0;
    if (g_functions->C_CreateObject(session, t.data(), CK_ULONG(t.size()), &h) != CKR_OK)
        return 0;
    return h;
}

std::vector<unsigned char> MakeCertificate(const std::string& keyPem, const std::string& subject, long serial,
                                           time_t notBefore, time_t notAfter)
{
    std::vector<unsigned char> der;
    FILE* f = fopen(keyPem.c_str(), "r");
    if (!f)
        return der;
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    X509* x = X509_new();
    X509_NAME* name = X509_NAME_new();
    // "/A=a/B=b" in order.
    size_t pos = 1;
    while (pos < subject.size()) {
        size_t next = subject.find('/', pos);
        std::string part = subject.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        size_t eq = part.find('=');
        X509_NAME_add_entry_by_txt(name, part.substr(0, eq).c_str(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(part.c_str() + eq + 1), -1, -1, 0);
        if (next == std::string::npos)
            break;
        pos = next + 1;
    }
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    ASN1_TIME_set(X509_getm_notBefore(x), notBefore);
    ASN1_TIME_set(X509_getm_notAfter(x), notAfter);
    X509_set_subject_name(x, name);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    if (key && X509_sign(x, key, EVP_sha256()) > 0) {
        int len = i2d_X509(x, nullptr);
        der.resize(len > 0 ? len : 0);
        unsigned char* p = der.data();
        i2d_X509(x, &p);
    }
    X509_NAME_free(name);
    X509_free(x);
    EVP_PKEY_free(key);
    return der;
}

bool OpenSslVerifyRsa(const std::string& publicDer, const std::string& digestName,
                      const std::vector<unsigned char>& hash, const std::vector<unsigned char>& signature)
{
    return VerifyWith(PublicKey(publicDer), EVP_get_digestbyname(digestName.c_str()), hash, signature);
}

bool OpenSslVerifyDsa(const std::string& publicDer, const std::vector<unsigned char>& hash,
                      const std::vector<unsigned char>& signature)
{
    return VerifyWith(PublicKey(publicDer), nullptr, hash, signature);
}

std::vector<unsigned char> OpenSslDigest(const std::string& digestName, const std::vector<unsigned char>& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_get_digestbyname(digestName.c_str()), nullptr);
    return std::vector<unsigned char>(out, out + len);
}

} // namespace objtest
