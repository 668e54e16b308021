#include "EnrolSupport.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>
#include <stdexcept>

#include "PKCS11AsymmetricKey.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"

namespace enroltest {

namespace {

Faults g_faults;
CK_FUNCTION_LIST_PTR g_real = nullptr;

CK_RV FaultyDigestInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m)
{
    return g_faults.digestInit ? CKR_DEVICE_ERROR : g_real->C_DigestInit(s, m);
}
CK_RV FaultySignInit(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k)
{
    return g_faults.signInit ? CKR_DEVICE_ERROR : g_real->C_SignInit(s, m, k);
}
CK_RV FaultyGetAttributeValue(CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n)
{
    return g_faults.getAttributeValue ? CKR_DEVICE_ERROR : g_real->C_GetAttributeValue(s, o, t, n);
}
CK_RV FaultyGenerateRandom(CK_SESSION_HANDLE s, CK_BYTE_PTR p, CK_ULONG n)
{
    return g_faults.generateRandom ? CKR_RANDOM_NO_RNG : g_real->C_GenerateRandom(s, p, n);
}
CK_RV FaultyGenerateKeyPair(CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pt, CK_ULONG pn,
                            CK_ATTRIBUTE_PTR qt, CK_ULONG qn, CK_OBJECT_HANDLE_PTR ph, CK_OBJECT_HANDLE_PTR qh)
{
    return g_faults.generateKeyPair ? CKR_DEVICE_ERROR : g_real->C_GenerateKeyPair(s, m, pt, pn, qt, qn, ph, qh);
}

Bytes Attribute(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type)
{
    CK_ATTRIBUTE a = {type, nullptr, 0};
    if (f->C_GetAttributeValue(s, h, &a, 1) != CKR_OK)
        return Bytes();
    Bytes value(a.ulValueLen);
    a.pValue = value.data();
    if (f->C_GetAttributeValue(s, h, &a, 1) != CKR_OK)
        return Bytes();
    return value;
}

CK_OBJECT_HANDLE FindPublicKey(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s, const std::vector<unsigned char>& id)
{
    CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, const_cast<unsigned char*>(id.data()), id.size()}};
    CK_OBJECT_HANDLE h = 0;
    CK_ULONG n = 0;
    f->C_FindObjectsInit(s, t, 2);
    f->C_FindObjects(s, &h, 1, &n);
    f->C_FindObjectsFinal(s);
    return n == 1 ? h : 0;
}

std::string Write(const std::string& dir, const Bytes& der)
{
    static int n = 0;
    const std::string path = dir + "/request-" + std::to_string(++n) + ".der";
    fixture::WriteBytes(path, der);
    return path;
}

} // namespace

Faults& CurrentFaults()
{
    return g_faults;
}

SoftHsmToken::SoftHsmToken(const std::string& storeName, const std::string& label)
    : m_dir(fixture::ScratchDir(storeName)), m_hsm(new fixture::SoftHsm(m_dir)), m_label(label)
{
    if (!m_hsm->InitToken(label))
        throw std::runtime_error("cannot make the token: " + m_hsm->LastOutput());
}

SoftHsmToken::~SoftHsmToken()
{
    Close();
}

CPKCS11Token& SoftHsmToken::Open(bool faulty)
{
    Close();
    if (!m_context)
        m_context.reset(new CPKCS11Context(fixture::SoftHsm::ModulePath().c_str(), "SoftHSM2", &m_sink));
    bool found = false;
    for (unsigned long i = 0; i < m_context->GetSlotCount() && !found; ++i) {
        CPKCS11Slot* slot = m_context->GetSlot(i);
        if (slot && slot->IsTokenPresent() && std::string(slot->GetToken()->GetLabel()) == m_label) {
            m_slotID = slot->GetSlotID();
            found = true;
        }
    }
    if (!found)
        throw std::runtime_error("no token " + m_label);
    m_context->FreeSlots();
    CK_FUNCTION_LIST_PTR list = m_context->GetFunctionList();
    if (faulty) {
        g_real = list;
        m_faulty = *list;
        m_faulty.C_DigestInit = FaultyDigestInit;
        m_faulty.C_SignInit = FaultySignInit;
        m_faulty.C_GetAttributeValue = FaultyGetAttributeValue;
        m_faulty.C_GenerateKeyPair = FaultyGenerateKeyPair;
        m_faulty.C_GenerateRandom = FaultyGenerateRandom;
        list = &m_faulty;
    }
    m_slot.reset(new CPKCS11Slot(m_slotID, list, &m_sink));
    m_token = m_slot->GetToken();
    if (!m_token->OpenSession(false) || !m_token->Login("1234", NormalUser))
        throw std::runtime_error("cannot log in to " + m_label);
    m_token->ReadObjects();
    return *m_token;
}

void SoftHsmToken::Close()
{
    m_slot.reset();
    m_token = nullptr;
}

namespace {
std::vector<CK_OBJECT_HANDLE> FindCertificates(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s)
{
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
    std::vector<CK_OBJECT_HANDLE> found(256);
    CK_ULONG n = 0;
    if (f->C_FindObjectsInit(s, &t, 1) != CKR_OK)
        return {};
    f->C_FindObjects(s, found.data(), CK_ULONG(found.size()), &n);
    f->C_FindObjectsFinal(s);
    found.resize(n);
    return found;
}
} // namespace

std::vector<SoftHsmToken::Certificate> SoftHsmToken::Certificates()
{
    std::vector<Certificate> out;
    if (!m_token)
        return out;
    CK_FUNCTION_LIST_PTR f = m_context->GetFunctionList();
    const CK_SESSION_HANDLE s = m_token->GetSession();
    for (CK_OBJECT_HANDLE h : FindCertificates(f, s))
        out.push_back({Attribute(f, s, h, CKA_ID), Attribute(f, s, h, CKA_VALUE)});
    return out;
}

void SoftHsmToken::RemoveCertificates()
{
    if (!m_token)
        return;
    CK_FUNCTION_LIST_PTR f = m_context->GetFunctionList();
    const CK_SESSION_HANDLE s = m_token->GetSession();
    for (CK_OBJECT_HANDLE h : FindCertificates(f, s))
        f->C_DestroyObject(s, h);
}

CPKCS11AsymmetricKey* SoftHsmToken::Key(const std::string& idHex, bool publicKey)
{
    for (unsigned long i = 0; m_token && i < m_token->GetAsymmetricKeyCount(); ++i) {
        CPKCS11AsymmetricKey* k = m_token->GetAsymmetricKey(i);
        if (k && idHex == k->GetID() && ((k->GetKeyFlags() & KEY_CLASS_PUBLIC) != 0) == publicKey)
            return k;
    }
    return nullptr;
}

Bytes SoftHsmToken::PublicKeyInfoFromToken(CPKCS11AsymmetricKey& publicKey)
{
    CK_FUNCTION_LIST_PTR f = m_context->GetFunctionList();
    const CK_SESSION_HANDLE s = m_token->GetSession();
    const CK_OBJECT_HANDLE h = FindPublicKey(f, s, publicKey.GetIDBytes());
    if (!h)
        return Bytes();
    const bool rsa = (publicKey.GetKeyFlags() & KEY_TYPE_RSA) != 0;
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> numbers;
    auto push = [&](const char* name, CK_ATTRIBUTE_TYPE type) {
        const Bytes v = Attribute(f, s, h, type);
        BIGNUM* bn = BN_bin2bn(v.data(), int(v.size()), nullptr);
        numbers.push_back(bn);
        OSSL_PARAM_BLD_push_BN(bld, name, bn);
    };
    if (rsa) {
        push(OSSL_PKEY_PARAM_RSA_N, CKA_MODULUS);
        push(OSSL_PKEY_PARAM_RSA_E, CKA_PUBLIC_EXPONENT);
    } else {
        push(OSSL_PKEY_PARAM_FFC_P, CKA_PRIME);
        push(OSSL_PKEY_PARAM_FFC_Q, CKA_SUBPRIME);
        push(OSSL_PKEY_PARAM_FFC_G, CKA_BASE);
        push(OSSL_PKEY_PARAM_PUB_KEY, CKA_VALUE);
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, rsa ? "RSA" : "DSA", nullptr);
    EVP_PKEY* key = nullptr;
    Bytes out;
    if (ctx && EVP_PKEY_fromdata_init(ctx) == 1 && EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) == 1) {
        unsigned char* der = nullptr;
        const int n = i2d_PUBKEY(key, &der);
        if (n > 0)
            out.assign(der, der + n);
        OPENSSL_free(der);
    }
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    for (BIGNUM* bn : numbers)
        BN_free(bn);
    return out;
}

fixture::KeyFiles ImportKey(SoftHsmToken& token, const std::string& name, const std::string& alg,
                            const std::string& idHex, const std::string& label)
{
    fixture::KeyFiles key;
    if (alg == "dsa2048-256") {
        const char* src = std::getenv("TESSALY_SOURCE_DIR");
        const std::string params = std::string(src ? src : ".") + "/tests/fixtures/softhsm/dsa2048-256.param.pem";
        key.keyPem = token.Dir() + "/" + name + ".key.pem";
        key.publicDer = token.Dir() + "/" + name + ".pub.der";
        if (fixture::Run("openssl genpkey -paramfile " + fixture::Quote(params) + " -out " +
                         fixture::Quote(key.keyPem)) ||
            fixture::Run("openssl pkey -in " + fixture::Quote(key.keyPem) + " -pubout -outform DER -out " +
                         fixture::Quote(key.publicDer)))
            throw std::runtime_error("cannot make " + name);
    } else {
        key = fixture::MakeKey(token.Dir(), name, alg);
    }
    if (!token.Hsm().ImportKey(key.keyPem, token.Label(), label, idHex))
        throw std::runtime_error("cannot import " + name + ": " + token.Hsm().LastOutput());
    return key;
}

RequestView ReadRequest(const Bytes& der)
{
    return ReadRequest(der.data(), der.size());
}

RequestView ReadRequest(const unsigned char* data, size_t size)
{
    RequestView view;
    const unsigned char* p = data;
    X509_REQ* req = data ? d2i_X509_REQ(nullptr, &p, long(size)) : nullptr;
    if (!req)
        return view;
    view.parsed = p == data + size;
    EVP_PKEY* key = X509_REQ_get0_pubkey(req);
    view.verified = key && X509_REQ_verify(req, key) == 1;
    if (key) {
        unsigned char* der = nullptr;
        const int n = i2d_PUBKEY(key, &der);
        if (n > 0)
            view.publicKeyInfo.assign(der, der + n);
        OPENSSL_free(der);
    }
    const X509_ALGOR* alg = nullptr;
    X509_REQ_get0_signature(req, nullptr, &alg);
    const ASN1_OBJECT* oid = nullptr;
    X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
    char text[128];
    OBJ_obj2txt(text, sizeof text, oid, 1);
    view.signatureAlgorithm = text;
    const X509_NAME* name = X509_REQ_get_subject_name(req);
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        RequestView::Entry entry;
        entry.rdn = X509_NAME_ENTRY_set(e);
        OBJ_obj2txt(text, sizeof text, X509_NAME_ENTRY_get_object(e), 1);
        entry.oid = text;
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(e);
        entry.tag = ASN1_STRING_type(value);
        entry.content.assign(ASN1_STRING_get0_data(value), ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
        view.subject.push_back(entry);
    }
    const unsigned char* nameDer = nullptr;
    size_t nameLen = 0;
    if (X509_NAME_get0_der(const_cast<X509_NAME*>(name), &nameDer, &nameLen) == 1)
        view.subjectDer.assign(nameDer, nameDer + nameLen);
    X509_REQ_free(req);
    return view;
}

bool OpenSslVerifies(const std::string& dir, const Bytes& der, std::string* output)
{
    std::string out;
    const int rc =
        fixture::Run("openssl req -inform DER -in " + fixture::Quote(Write(dir, der)) + " -noout -verify", &out);
    if (output)
        *output = out;
    return rc == 0 && out.find("verify OK") != std::string::npos;
}

std::string OpenSslAsn1Parse(const std::string& dir, const Bytes& der)
{
    std::string out;
    fixture::Run("openssl asn1parse -inform DER -in " + fixture::Quote(Write(dir, der)), &out);
    return out;
}

Bytes Utf8(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

Bytes Ucs2(const std::u32string& s)
{
    Bytes out;
    for (char32_t c : s) {
        out.push_back(static_cast<unsigned char>(c >> 8));
        out.push_back(static_cast<unsigned char>(c));
    }
    return out;
}

Bytes Ucs4(const std::u32string& s)
{
    Bytes out;
    for (char32_t c : s)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(c >> shift));
    return out;
}

} // namespace enroltest
