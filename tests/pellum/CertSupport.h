// Helpers of the CL_ interface tests: decoding, OpenSSL's reading of the same
// bytes, and the record compared with it.
#pragma once

#include "Der.h"

#include <pellum/pellum.h>
#include <sorvit/ber.h>

#include <CertModule.h>

#include "Fixture.h"

#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace certtest {

using dertest::Bytes;

inline std::string Hex(const unsigned char* p, size_t n)
{
    return fixture::ToHex(p, n);
}
inline std::string Hex(const _CPBLOB& b)
{
    return Hex(b.pbData, b.cbData);
}
inline std::string Hex(const Bytes& b)
{
    return fixture::ToHex(b);
}

inline bool StartsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

struct CertFree {
    void operator()(CL_CERTIFICATE* c) const { CL_FreeCertificate(c); }
};
using CertPtr = std::unique_ptr<CL_CERTIFICATE, CertFree>;

struct X509Free {
    void operator()(X509* x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

inline CertPtr Decode(const Bytes& der)
{
    _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
    CL_CERTIFICATE* rec = nullptr;
    bool ok = CL_DecodeCertificate(&blob, &rec);
    EXPECT_TRUE(ok) << CL_GetLastError();
    EXPECT_EQ(ok, rec != nullptr);
    return CertPtr(rec);
}

// The last error of a decoding that must fail.
inline std::string DecodeFailure(const Bytes& der)
{
    _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
    CL_CERTIFICATE* rec = reinterpret_cast<CL_CERTIFICATE*>(1);
    if (CL_DecodeCertificate(&blob, &rec)) {
        CL_FreeCertificate(rec);
        return "decoded";
    }
    EXPECT_EQ(rec, nullptr);
    return CL_GetLastError();
}

inline X509Ptr OpenSsl(const Bytes& der)
{
    const unsigned char* p = der.data();
    X509Ptr x(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    EXPECT_TRUE(x) << "OpenSSL cannot read the certificate";
    return x;
}

inline std::string Der(int (*i2d)(const X509_NAME*, unsigned char**), const X509_NAME* name)
{
    unsigned char* out = nullptr;
    int len = i2d(name, &out);
    std::string hex = Hex(out, len);
    OPENSSL_free(out);
    return hex;
}

inline std::string BnParam(const EVP_PKEY* key, const char* param)
{
    BIGNUM* bn = nullptr;
    if (!EVP_PKEY_get_bn_param(key, param, &bn))
        return "missing " + std::string(param);
    Bytes b(BN_num_bytes(bn));
    BN_bn2bin(bn, b.data());
    BN_free(bn);
    return Hex(b);
}

inline time_t AsnTime(const ASN1_TIME* t)
{
    struct tm tm;
    ASN1_TIME_to_tm(t, &tm);
    return timegm(&tm);
}

inline std::string OidText(const ASN1_OBJECT* obj)
{
    char buf[128];
    OBJ_obj2txt(buf, sizeof buf, obj, 1);
    return buf;
}

// The record against OpenSSL's reading of the same certificate.
inline void CompareWithOpenSsl(const Bytes& der, const CL_CERTIFICATE& rec)
{
    X509Ptr x = OpenSsl(der);
    ASSERT_TRUE(x);
    EXPECT_EQ(rec.wVersion, X509_get_version(x.get()) + 1);

    // Serial: the INTEGER's content octets, leading zero included.
    unsigned char* serialDer = nullptr;
    int serialLen = i2d_ASN1_INTEGER(X509_get0_serialNumber(x.get()), &serialDer);
    Bytes serialTlv(serialDer, serialDer + serialLen);
    OPENSSL_free(serialDer);
    EXPECT_EQ(Hex(rec.SerialNumber), Hex(dertest::Parse(serialTlv).content));

    EXPECT_EQ(Hex(rec.Issuer), Der(i2d_X509_NAME, X509_get_issuer_name(x.get())));
    EXPECT_EQ(Hex(rec.Subject), Der(i2d_X509_NAME, X509_get_subject_name(x.get())));
    EXPECT_EQ(rec.tNotBefore, AsnTime(X509_get0_notBefore(x.get())));
    EXPECT_EQ(rec.tNotAfter, AsnTime(X509_get0_notAfter(x.get())));

    // The key's algorithm (and an EC key's named curve) as the certificate names them.
    const ASN1_OBJECT* keyAlg = nullptr;
    const void* keyParam = nullptr;
    int keyParamType = V_ASN1_UNDEF;
    X509_ALGOR* algor = nullptr;
    ASSERT_EQ(X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algor, X509_get_X509_PUBKEY(x.get())), 1);
    X509_ALGOR_get0(&keyAlg, &keyParamType, &keyParam, algor);
    EXPECT_EQ(rec.sKeyAlgorithm, OidText(keyAlg));
    const bool namedCurve = OidText(keyAlg) == "1.2.840.10045.2.1" && keyParamType == V_ASN1_OBJECT;
    EXPECT_EQ(rec.sKeyCurve, namedCurve ? OidText(static_cast<const ASN1_OBJECT*>(keyParam)) : std::string());

    EVP_PKEY* key = X509_get0_pubkey(x.get());
    const bool rsaOrDsa = OidText(keyAlg) == "1.2.840.113549.1.1.1" || OidText(keyAlg) == "1.2.840.10040.4.1";
    if (rsaOrDsa) {
        ASSERT_NE(key, nullptr);
    }
    if (!rsaOrDsa) {
        // Any other key: no RSA or DSA material, whatever OpenSSL makes of the key.
        EXPECT_EQ(rec.pRSAKey, nullptr);
        EXPECT_EQ(rec.pDSAKey, nullptr);
    } else if (EVP_PKEY_is_a(key, "RSA")) {
        ASSERT_NE(rec.pRSAKey, nullptr);
        EXPECT_EQ(rec.pDSAKey, nullptr);
        EXPECT_EQ(Hex(rec.pRSAKey->Modulus), BnParam(key, OSSL_PKEY_PARAM_RSA_N));
        EXPECT_EQ(Hex(rec.pRSAKey->PublicExponent), BnParam(key, OSSL_PKEY_PARAM_RSA_E));
    } else {
        ASSERT_TRUE(EVP_PKEY_is_a(key, "DSA"));
        ASSERT_NE(rec.pDSAKey, nullptr);
        EXPECT_EQ(rec.pRSAKey, nullptr);
        EXPECT_EQ(Hex(rec.pDSAKey->P), BnParam(key, OSSL_PKEY_PARAM_FFC_P));
        EXPECT_EQ(Hex(rec.pDSAKey->Q), BnParam(key, OSSL_PKEY_PARAM_FFC_Q));
        EXPECT_EQ(Hex(rec.pDSAKey->G), BnParam(key, OSSL_PKEY_PARAM_FFC_G));
        EXPECT_EQ(Hex(rec.pDSAKey->Y), BnParam(key, OSSL_PKEY_PARAM_PUB_KEY));
    }

    int count = X509_get_ext_count(x.get());
    if (count == 0) {
        EXPECT_EQ(rec.cExtension, 0u);
    } else {
        ASSERT_EQ(rec.cExtension, static_cast<uint32_t>(count));
        ASSERT_NE(rec.rgExtension, nullptr);
    }
    for (int i = 0; i < count; ++i) {
        X509_EXTENSION* ext = X509_get_ext(x.get(), i);
        const CL_EXTENSION& mine = rec.rgExtension[i];
        EXPECT_EQ(mine.sOID, OidText(X509_EXTENSION_get_object(ext)));
        EXPECT_EQ(mine.fCritical, X509_EXTENSION_get_critical(ext) != 0) << mine.sOID;
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(ext);
        EXPECT_EQ(Hex(mine.Value), Hex(data->data, data->length)) << mine.sOID;
    }
}

// The generated types write the certificate back as it came, when every
// algorithm identifier carries parameters (absent ones come back as NULL).
inline void ExpectReencodes(const Bytes& der, bool identical = true)
{
    SNACC::Certificate cert;
    _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
    std::string err;
    ASSERT_TRUE(BlobToType(&blob, &cert, &err)) << err;
    SNACC::AsnBuf buf;
    uint64_t len = ExtractAnyBuf(&buf, &cert, &err);
    ASSERT_NE(len, 0u) << err;
    Bytes again(len);
    buf.GetUSeg(again.data(), static_cast<long>(len));
    if (identical) {
        EXPECT_EQ(Hex(again), Hex(der));
    } else {
        // Stable from then on, and OpenSSL still reads it.
        SNACC::Certificate second;
        _CPBLOB b2 = {again.data(), static_cast<uint32_t>(again.size())};
        ASSERT_TRUE(BlobToType(&b2, &second, &err)) << err;
        SNACC::AsnBuf buf2;
        uint64_t len2 = ExtractAnyBuf(&buf2, &second, &err);
        Bytes third(len2);
        buf2.GetUSeg(third.data(), static_cast<long>(len2));
        EXPECT_EQ(Hex(third), Hex(again));
        EXPECT_TRUE(OpenSsl(again));
    }
}

// The texts with the length the library gives: a value may hold a NUL.
inline std::string NameText(const _CPBLOB& name, char attrSep = ',', char rdnSep = '\n')
{
    uint32_t len = 0;
    EXPECT_TRUE(CL_CertNameToStr(&name, nullptr, &len, attrSep, rdnSep)) << CL_GetLastError();
    std::vector<char> buf(len + 1);
    EXPECT_TRUE(CL_CertNameToStr(&name, buf.data(), &len, attrSep, rdnSep)) << CL_GetLastError();
    return len ? std::string(buf.data(), len - 1) : std::string();
}

inline std::string SimpleName(const CL_CERTIFICATE* rec, int flags)
{
    uint32_t len = 0;
    EXPECT_TRUE(CL_CertGetSimpleNameString(rec, flags, nullptr, &len)) << CL_GetLastError();
    std::vector<char> buf(len + 1);
    EXPECT_TRUE(CL_CertGetSimpleNameString(rec, flags, buf.data(), &len)) << CL_GetLastError();
    return len ? std::string(buf.data(), len - 1) : std::string();
}

// A self-signed version 3 certificate that openssl makes with the string types the mask
// allows (string_mask: "utf8only", "default", "MASK:0x800", ...); empty when it fails.
inline Bytes MakeWithStringMask(const std::string& dir, const std::string& name, const std::string& keyPem,
                                const std::string& subject, const std::string& mask, const std::string& extraArgs = "")
{
    const std::string cnf = dir + "/" + name + ".cnf", der = dir + "/" + name + ".der";
    fixture::WriteText(cnf, "[req]\ndistinguished_name=dn\nx509_extensions=v3\nstring_mask=" + mask +
                                 "\nutf8=yes\n[dn]\n[v3]\nbasicConstraints=CA:FALSE\n");
    std::string out;
    const int status = fixture::Run("openssl req -x509 -new -key " + fixture::Quote(keyPem) + " -subj " +
                                        fixture::Quote(subject) + " -config " + fixture::Quote(cnf) + " " + extraArgs +
                                        " -outform DER -out " + fixture::Quote(der),
                                    &out);
    EXPECT_EQ(status, 0) << out;
    return status == 0 ? fixture::ReadBytes(der) : Bytes();
}

} // namespace certtest
