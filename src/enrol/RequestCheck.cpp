#include "RequestCheck.h"

#include <QCoreApplication>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstring>

namespace {

bool Fail(QString* pReason, const QString& text)
{
    ERR_clear_error();
    if (pReason)
        *pReason = text;
    return false;
}

// One DER element (definite length) read from [p, end): its whole bytes and its content.
struct TElement {
    unsigned char tag = 0;
    const unsigned char* begin = nullptr;
    const unsigned char* content = nullptr;
    const unsigned char* end = nullptr;
};

bool Read(const unsigned char*& p, const unsigned char* end, TElement& e)
{
    if (end - p < 2)
        return false;
    e.begin = p;
    e.tag = p[0];
    size_t length = p[1];
    const unsigned char* q = p + 2;
    if (length & 0x80) {
        const size_t octets = length & 0x7F;
        if (octets == 0 || octets > 4 || size_t(end - q) < octets)
            return false;
        length = 0;
        for (size_t i = 0; i < octets; ++i)
            length = (length << 8) | *q++;
    }
    if (size_t(end - q) < length)
        return false;
    e.content = q;
    e.end = q + length;
    p = e.end;
    return true;
}

} // namespace

bool VerifyCertificationRequest(const unsigned char* pbRequest, size_t cbRequest, QString* pReason)
{
    if (!pbRequest || cbRequest == 0 || cbRequest > 0x7FFFFFFF)
        return Fail(pReason, CRequestCheck::tr("The certificate request is empty."));
    // The names inside are not parsed: a request may hold string types that OpenSSL's
    // name reader does not take (VisibleString, GraphicString, ...), and only the
    // signature over the request information matters here.
    const unsigned char* p = pbRequest;
    const unsigned char* const end = pbRequest + cbRequest;
    TElement request, info, algorithm, signature, version, subject, keyInfo;
    if (!Read(p, end, request) || request.tag != 0x30)
        return Fail(pReason, CRequestCheck::tr("The certificate request cannot be read."));
    if (p != end)
        return Fail(pReason, CRequestCheck::tr("The certificate request is followed by other data."));
    p = request.content;
    if (!Read(p, request.end, info) || info.tag != 0x30 || !Read(p, request.end, algorithm) || algorithm.tag != 0x30 ||
        !Read(p, request.end, signature) || signature.tag != 0x03 || p != request.end)
        return Fail(pReason, CRequestCheck::tr("The certificate request cannot be read."));
    p = info.content;
    if (!Read(p, info.end, version) || !Read(p, info.end, subject) || !Read(p, info.end, keyInfo) ||
        keyInfo.tag != 0x30)
        return Fail(pReason, CRequestCheck::tr("The certificate request cannot be read."));
    // The signature's BIT STRING has no unused bits.
    if (signature.end - signature.content < 2 || signature.content[0] != 0)
        return Fail(pReason, CRequestCheck::tr("The certificate request cannot be read."));

    const unsigned char* k = keyInfo.begin;
    EVP_PKEY* key = d2i_PUBKEY(nullptr, &k, long(keyInfo.end - keyInfo.begin));
    if (!key || k != keyInfo.end) {
        EVP_PKEY_free(key);
        return Fail(pReason, CRequestCheck::tr("The certificate request carries no usable public key."));
    }
    const unsigned char* a = algorithm.begin;
    X509_ALGOR* alg = d2i_X509_ALGOR(nullptr, &a, long(algorithm.end - algorithm.begin));
    const ASN1_OBJECT* oid = nullptr;
    if (alg)
        X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
    const int nid = oid ? OBJ_obj2nid(oid) : NID_undef;
    X509_ALGOR_free(alg);
    const int keyType = EVP_PKEY_get_base_id(key);
    // Requests are signed with SHA-1, by RSA or DSA keys.
    if (!((keyType == EVP_PKEY_RSA && nid == NID_sha1WithRSAEncryption) ||
          (keyType == EVP_PKEY_DSA && nid == NID_dsaWithSHA1))) {
        EVP_PKEY_free(key);
        return Fail(pReason, CRequestCheck::tr(
                                 "The signature algorithm of the certificate request does not fit its public key."));
    }
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool verified = ctx && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha1(), nullptr, key) == 1 &&
                          EVP_DigestVerify(ctx, signature.content + 1, size_t(signature.end - signature.content - 1),
                                           info.begin, size_t(info.end - info.begin)) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (!verified)
        return Fail(pReason, CRequestCheck::tr(
                                 "The signature of the certificate request does not match the public key it carries."));
    return true;
}

bool CertificateCarriesKey(const unsigned char* pbCert, size_t cbCert, const unsigned char* pbKeyInfo,
                           size_t cbKeyInfo, QString* pReason)
{
    if (!pbCert || cbCert == 0 || cbCert > 0x7FFFFFFF || !pbKeyInfo || cbKeyInfo == 0 || cbKeyInfo > 0x7FFFFFFF)
        return Fail(pReason, CRequestCheck::tr("The certificate cannot be read."));
    const unsigned char* p = pbCert;
    X509* cert = d2i_X509(nullptr, &p, long(cbCert));
    if (!cert || p != pbCert + cbCert) {
        X509_free(cert);
        return Fail(pReason, CRequestCheck::tr("The certificate cannot be read."));
    }
    const unsigned char* k = pbKeyInfo;
    EVP_PKEY* expected = d2i_PUBKEY(nullptr, &k, long(cbKeyInfo));
    // Compared as numbers: modulus and exponent, or parameters and public value.
    const EVP_PKEY* carried = X509_get0_pubkey(cert);
    const bool same = expected && carried && EVP_PKEY_eq(carried, expected) == 1;
    EVP_PKEY_free(expected);
    X509_free(cert);
    if (!same)
        return Fail(pReason, CRequestCheck::tr("The certificate carries the public key of another key pair."));
    ERR_clear_error();
    return true;
}
