#include "TokenFiller.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace bench {
namespace {

typedef std::vector<unsigned char> Bytes;

Bytes BnParam(EVP_PKEY* key, const char* name)
{
    BIGNUM* bn = nullptr;
    Bytes out;
    if (EVP_PKEY_get_bn_param(key, name, &bn) == 1 && bn) {
        out.resize(BN_num_bytes(bn));
        BN_bn2bin(bn, out.data());
    }
    BN_free(bn);
    return out;
}

Bytes SelfSigned(EVP_PKEY* key, unsigned index)
{
    Bytes der;
    X509* x = X509_new();
    if (!x)
        return der;
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), long(index) + 1000);
    X509_gmtime_adj(X509_getm_notBefore(x), 0);
    X509_gmtime_adj(X509_getm_notAfter(x), 365L * 24 * 3600);
    X509_NAME* name = X509_get_subject_name(x);
    std::string cn = "Bench Holder " + std::to_string(index);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench Org"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(x, name);
    X509_set_pubkey(x, key);
    if (X509_sign(x, key, EVP_sha256()) > 0) {
        int len = i2d_X509(x, nullptr);
        if (len > 0) {
            der.resize(len);
            unsigned char* p = der.data();
            i2d_X509(x, &p);
        }
    }
    X509_free(x);
    return der;
}

Bytes SubjectDer(const Bytes& cert)
{
    Bytes out;
    const unsigned char* p = cert.data();
    X509* x = d2i_X509(nullptr, &p, long(cert.size()));
    if (!x)
        return out;
    int len = i2d_X509_NAME(X509_get_subject_name(x), nullptr);
    if (len > 0) {
        out.resize(len);
        unsigned char* q = out.data();
        i2d_X509_NAME(X509_get_subject_name(x), &q);
    }
    X509_free(x);
    return out;
}

struct Template {
    std::vector<CK_ATTRIBUTE> attrs;
    std::vector<std::unique_ptr<Bytes>> store;
    void Add(CK_ATTRIBUTE_TYPE type, const Bytes& value)
    {
        store.emplace_back(new Bytes(value));
        attrs.push_back({type, store.back()->data(), CK_ULONG(store.back()->size())});
    }
    void AddULong(CK_ATTRIBUTE_TYPE type, CK_ULONG v)
    {
        Bytes b(sizeof v);
        memcpy(b.data(), &v, sizeof v);
        Add(type, b);
    }
    void AddBool(CK_ATTRIBUTE_TYPE type, bool v) { Add(type, Bytes(1, v ? 1 : 0)); }
    void AddText(CK_ATTRIBUTE_TYPE type, const std::string& s) { Add(type, Bytes(s.begin(), s.end())); }
};

} // namespace

FillResult FillToken(CK_FUNCTION_LIST_PTR fl, CK_SLOT_ID slotId, const std::string& userPin, unsigned pairs,
                     unsigned modulusBits)
{
    FillResult res;
    CK_SESSION_HANDLE s = 0;
    CK_RV rv = fl->C_OpenSession(slotId, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s);
    if (rv != CKR_OK) {
        res.error = "C_OpenSession " + std::to_string(rv);
        return res;
    }
    rv = fl->C_Login(s, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(userPin.c_str())),
                     CK_ULONG(userPin.size()));
    if (rv != CKR_OK) {
        res.error = "C_Login " + std::to_string(rv);
        fl->C_CloseSession(s);
        return res;
    }
    for (unsigned i = 0; i < pairs && res.error.empty(); ++i) {
        EVP_PKEY* key = EVP_RSA_gen(modulusBits);
        if (!key) {
            res.error = "RSA key generation failed";
            break;
        }
        Bytes id = {0x4B, static_cast<unsigned char>(i >> 8), static_cast<unsigned char>(i & 0xFF)};
        std::string label = "bench key " + std::to_string(i);
        Bytes n = BnParam(key, OSSL_PKEY_PARAM_RSA_N), e = BnParam(key, OSSL_PKEY_PARAM_RSA_E);
        Bytes cert = SelfSigned(key, i);

        Template pub;
        pub.AddULong(CKA_CLASS, CKO_PUBLIC_KEY);
        pub.AddULong(CKA_KEY_TYPE, CKK_RSA);
        pub.AddBool(CKA_TOKEN, true);
        pub.Add(CKA_ID, id);
        pub.AddText(CKA_LABEL, label);
        pub.Add(CKA_MODULUS, n);
        pub.Add(CKA_PUBLIC_EXPONENT, e);
        pub.AddBool(CKA_VERIFY, true);
        pub.AddBool(CKA_ENCRYPT, true);

        Template priv;
        priv.AddULong(CKA_CLASS, CKO_PRIVATE_KEY);
        priv.AddULong(CKA_KEY_TYPE, CKK_RSA);
        priv.AddBool(CKA_TOKEN, true);
        priv.AddBool(CKA_PRIVATE, true);
        priv.AddBool(CKA_SENSITIVE, true);
        priv.AddBool(CKA_SIGN, true);
        priv.AddBool(CKA_DECRYPT, true);
        priv.Add(CKA_ID, id);
        priv.AddText(CKA_LABEL, label);
        priv.Add(CKA_MODULUS, n);
        priv.Add(CKA_PUBLIC_EXPONENT, e);
        priv.Add(CKA_PRIVATE_EXPONENT, BnParam(key, OSSL_PKEY_PARAM_RSA_D));
        priv.Add(CKA_PRIME_1, BnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1));
        priv.Add(CKA_PRIME_2, BnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2));
        priv.Add(CKA_EXPONENT_1, BnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1));
        priv.Add(CKA_EXPONENT_2, BnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2));
        priv.Add(CKA_COEFFICIENT, BnParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));

        Template crt;
        crt.AddULong(CKA_CLASS, CKO_CERTIFICATE);
        crt.AddULong(CKA_CERTIFICATE_TYPE, CKC_X_509);
        crt.AddBool(CKA_TOKEN, true);
        crt.AddText(CKA_LABEL, label);
        crt.Add(CKA_ID, id);
        crt.Add(CKA_SUBJECT, SubjectDer(cert));
        crt.Add(CKA_VALUE, cert);
        EVP_PKEY_free(key);

        Template* all[] = {&pub, &priv, &crt};
        for (Template* t : all) {
            CK_OBJECT_HANDLE h = 0;
            rv = fl->C_CreateObject(s, t->attrs.data(), CK_ULONG(t->attrs.size()), &h);
            if (rv != CKR_OK) {
                res.error = "C_CreateObject " + std::to_string(rv);
                break;
            }
            ++res.objects;
        }
    }
    fl->C_Logout(s);
    fl->C_CloseSession(s);
    res.ok = res.error.empty();
    return res;
}

FillResult FillTokenWithLabel(const std::string& module, const std::string& label, const std::string& userPin,
                              unsigned pairs)
{
    FillResult res;
    void* lib = dlopen(module.c_str(), RTLD_NOW);
    auto getList = lib ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(lib, "C_GetFunctionList")) : nullptr;
    CK_FUNCTION_LIST_PTR fl = nullptr;
    if (!getList || getList(&fl) != CKR_OK || fl->C_Initialize(nullptr) != CKR_OK) {
        res.error = "cannot load " + module;
        if (lib)
            dlclose(lib);
        return res;
    }
    CK_ULONG n = 8;
    CK_SLOT_ID slots[8];
    if (fl->C_GetSlotList(CK_TRUE, slots, &n) != CKR_OK)
        n = 0;
    res.error = "token not found";
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_TOKEN_INFO info;
        if (fl->C_GetTokenInfo(slots[i], &info) != CKR_OK)
            continue;
        std::string tokenLabel(reinterpret_cast<const char*>(info.label), sizeof info.label);
        tokenLabel.erase(tokenLabel.find_last_not_of(' ') + 1);
        if (tokenLabel != label)
            continue;
        res = FillToken(fl, slots[i], userPin, pairs);
        if (!res.ok)
            res.error = "filling the token: " + res.error;
        break;
    }
    fl->C_Finalize(nullptr);
    dlclose(lib);
    return res;
}

} // namespace bench
