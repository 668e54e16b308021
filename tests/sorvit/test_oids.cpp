// The exported OID constants: names, texts, and that they are real exported variables.
#include <sorvit/oids.h>

#include <asn-incl.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

namespace {

struct Oid {
    const char* name;
    const char* value;
    const char* text;
};

const Oid kOids[] = {
    {"id_data", id_data, "1.2.840.113549.1.7.1"},
    {"id_signedData", id_signedData, "1.2.840.113549.1.7.2"},
    {"id_envelopedData", id_envelopedData, "1.2.840.113549.1.7.3"},
    {"id_digestedData", id_digestedData, "1.2.840.113549.1.7.5"},
    {"id_encryptedData", id_encryptedData, "1.2.840.113549.1.7.6"},
    {"id_RSA_MD2", id_RSA_MD2, "1.2.840.113549.2.2"},
    {"id_RSA_MD4", id_RSA_MD4, "1.2.840.113549.2.4"},
    {"id_RSA_MD5", id_RSA_MD5, "1.2.840.113549.2.5"},
    {"id_RSA_contentType", id_RSA_contentType, "1.2.840.113549.1.9.3"},
    {"id_RSA_messageDigest", id_RSA_messageDigest, "1.2.840.113549.1.9.4"},
    {"id_RSA_signingTime", id_RSA_signingTime, "1.2.840.113549.1.9.5"},
    {"id_RSA_counterSign", id_RSA_counterSign, "1.2.840.113549.1.9.6"},
    {"id_RSA_rsa", id_RSA_rsa, "1.2.840.113549.1.1.1"},
    {"id_RSA_md2rsa", id_RSA_md2rsa, "1.2.840.113549.1.1.2"},
    {"id_RSA_md4rsa", id_RSA_md4rsa, "1.2.840.113549.1.1.3"},
    {"id_RSA_md5rsa", id_RSA_md5rsa, "1.2.840.113549.1.1.4"},
    {"id_RSA_sha1rsa", id_RSA_sha1rsa, "1.2.840.113549.1.1.5"},
    {"id_rc2CBC", id_rc2CBC, "1.2.840.113549.3.2"},
    {"id_rc2ECB", id_rc2ECB, "1.2.840.113549.3.3"},
    {"id_rc4", id_rc4, "1.2.840.113549.3.4"},
    {"id_des3CBC", id_des3CBC, "1.2.840.113549.3.7"},
    {"id_rc5CBCPad", id_rc5CBCPad, "1.2.840.113549.3.9"},
    {"id_ct_receipt", id_ct_receipt, "1.2.840.113549.1.9.16.1.1"},
    {"id_ct_authData", id_ct_authData, "1.2.840.113549.1.9.16.1.2"},
    {"id_aa_receiptRequest", id_aa_receiptRequest, "1.2.840.113549.1.9.16.2.1"},
    {"id_aa_mlExpandHistory", id_aa_mlExpandHistory, "1.2.840.113549.1.9.16.2.3"},
    {"id_aa_contentHint", id_aa_contentHint, "1.2.840.113549.1.9.16.2.4"},
    {"id_aa_msgSigDigest", id_aa_msgSigDigest, "1.2.840.113549.1.9.16.2.5"},
    {"id_aa_contentIdentifier", id_aa_contentIdentifier, "1.2.840.113549.1.9.16.2.7"},
    {"id_aa_equivalentLabels", id_aa_equivalentLabels, "1.2.840.113549.1.9.16.2.9"},
    {"id_aa_contentReference", id_aa_contentReference, "1.2.840.113549.1.9.16.2.10"},
    {"id_aa_signingCertificate", id_aa_signingCertificate, "1.2.840.113549.1.9.16.2.12"},
    {"id_aa_signatureTimeStampToken", id_aa_signatureTimeStampToken, "1.2.840.113549.1.9.16.2.14"},
    {"id_aa_ets_sigPolicyId", id_aa_ets_sigPolicyId, "1.2.840.113549.1.9.16.2.15"},
    {"id_aa_ets_commitmentType", id_aa_ets_commitmentType, "1.2.840.113549.1.9.16.2.16"},
    {"id_aa_ets_signerLocation", id_aa_ets_signerLocation, "1.2.840.113549.1.9.16.2.17"},
    {"id_aa_ets_signerAttr", id_aa_ets_signerAttr, "1.2.840.113549.1.9.16.2.18"},
    {"id_aa_ets_otherSigCert", id_aa_ets_otherSigCert, "1.2.840.113549.1.9.16.2.19"},
    {"id_aa_ets_contentTimestamp", id_aa_ets_contentTimestamp, "1.2.840.113549.1.9.16.2.20"},
    {"id_aa_ets_certificateRefs", id_aa_ets_certificateRefs, "1.2.840.113549.1.9.16.2.21"},
    {"id_aa_ets_revocationRefs", id_aa_ets_revocationRefs, "1.2.840.113549.1.9.16.2.22"},
    {"id_aa_ets_certValues", id_aa_ets_certValues, "1.2.840.113549.1.9.16.2.23"},
    {"id_aa_ets_revocationValues", id_aa_ets_revocationValues, "1.2.840.113549.1.9.16.2.24"},
    {"id_aa_ets_escTimeStamp", id_aa_ets_escTimeStamp, "1.2.840.113549.1.9.16.2.25"},
    {"id_aa_ets_certCRLTimestamp", id_aa_ets_certCRLTimestamp, "1.2.840.113549.1.9.16.2.26"},
    {"id_aa_ets_archiveTimestamp", id_aa_ets_archiveTimestamp, "1.2.840.113549.1.9.16.2.27"},
    {"id_aa_ets_attrCertificateRefs", id_aa_ets_attrCertificateRefs, "1.2.840.113549.1.9.16.2.28"},
    {"id_aa_ets_attrRevocationRefs", id_aa_ets_attrRevocationRefs, "1.2.840.113549.1.9.16.2.29"},
    {"id_spq_ets_uri", id_spq_ets_uri, "1.2.840.113549.1.9.16.5.1"},
    {"id_spq_ets_unotice", id_spq_ets_unotice, "1.2.840.113549.1.9.16.5.2"},
    {"id_cti_ets_proofOfOrigin", id_cti_ets_proofOfOrigin, "1.2.840.113549.1.9.16.6.1"},
    {"id_cti_ets_proofOfReceipt", id_cti_ets_proofOfReceipt, "1.2.840.113549.1.9.16.6.2"},
    {"id_cti_ets_proofOfDelivery", id_cti_ets_proofOfDelivery, "1.2.840.113549.1.9.16.6.3"},
    {"id_cti_ets_proofOfSender", id_cti_ets_proofOfSender, "1.2.840.113549.1.9.16.6.4"},
    {"id_cti_ets_proofOfApproval", id_cti_ets_proofOfApproval, "1.2.840.113549.1.9.16.6.5"},
    {"id_cti_ets_proofOfCreation", id_cti_ets_proofOfCreation, "1.2.840.113549.1.9.16.6.6"},
    {"id_etsi_es_IDUP_Mechanism_v1", id_etsi_es_IDUP_Mechanism_v1, "0.4.0.1733.1.4.1"},
    {"id_ce_keyUsage", id_ce_keyUsage, "2.5.29.15"},
    {"id_ce_cRLNumber", id_ce_cRLNumber, "2.5.29.20"},
    {"id_ce_cRLReason", id_ce_cRLReason, "2.5.29.21"},
    {"id_ce_deltaCRLIndicator", id_ce_deltaCRLIndicator, "2.5.29.27"},
    {"id_ce_issuingDistributionPoint", id_ce_issuingDistributionPoint, "2.5.29.28"},
    {"id_ce_authorityKeyIdentifier", id_ce_authorityKeyIdentifier, "2.5.29.35"},
    {"id_OIWSEC", id_OIWSEC, "1.3.14.3.2"},
    {"id_OIWSEC_md4RSA", id_OIWSEC_md4RSA, "1.3.14.3.2.2"},
    {"id_OIWSEC_md5RSA", id_OIWSEC_md5RSA, "1.3.14.3.2.3"},
    {"id_OIWSEC_md4RSA2", id_OIWSEC_md4RSA2, "1.3.14.3.2.4"},
    {"id_OIWSEC_desECB", id_OIWSEC_desECB, "1.3.14.3.2.6"},
    {"id_OIWSEC_desCBC", id_OIWSEC_desCBC, "1.3.14.3.2.7"},
    {"id_OIWSEC_desOFB", id_OIWSEC_desOFB, "1.3.14.3.2.8"},
    {"id_OIWSEC_desCFB", id_OIWSEC_desCFB, "1.3.14.3.2.9"},
    {"id_OIWSEC_desMAC", id_OIWSEC_desMAC, "1.3.14.3.2.10"},
    {"id_OIWSEC_rsaSign", id_OIWSEC_rsaSign, "1.3.14.3.2.11"},
    {"id_OIWSEC_dsa", id_OIWSEC_dsa, "1.3.14.3.2.12"},
    {"id_OIWSEC_shaDSA", id_OIWSEC_shaDSA, "1.3.14.3.2.13"},
    {"id_OIWSEC_mdc2RSA", id_OIWSEC_mdc2RSA, "1.3.14.3.2.14"},
    {"id_OIWSEC_shaRSA", id_OIWSEC_shaRSA, "1.3.14.3.2.15"},
    {"id_OIWSEC_dhCommMod", id_OIWSEC_dhCommMod, "1.3.14.3.2.16"},
    {"id_OIWSEC_desEDE", id_OIWSEC_desEDE, "1.3.14.3.2.17"},
    {"id_OIWSEC_sha", id_OIWSEC_sha, "1.3.14.3.2.18"},
    {"id_OIWSEC_mdc2", id_OIWSEC_mdc2, "1.3.14.3.2.19"},
    {"id_OIWSEC_dsaComm", id_OIWSEC_dsaComm, "1.3.14.3.2.20"},
    {"id_OIWSEC_dsaCommSHA", id_OIWSEC_dsaCommSHA, "1.3.14.3.2.21"},
    {"id_OIWSEC_rsaXchg", id_OIWSEC_rsaXchg, "1.3.14.3.2.22"},
    {"id_OIWSEC_keyHashSeal", id_OIWSEC_keyHashSeal, "1.3.14.3.2.23"},
    {"id_OIWSEC_md2RSASign", id_OIWSEC_md2RSASign, "1.3.14.3.2.24"},
    {"id_OIWSEC_md5RSASign", id_OIWSEC_md5RSASign, "1.3.14.3.2.25"},
    {"id_OIWSEC_sha1", id_OIWSEC_sha1, "1.3.14.3.2.26"},
    {"id_OIWSEC_dsaSHA1", id_OIWSEC_dsaSHA1, "1.3.14.3.2.27"},
    {"id_OIWSEC_dsaCommSHA1", id_OIWSEC_dsaCommSHA1, "1.3.14.3.2.28"},
    {"id_OIWSEC_sha1RSASign", id_OIWSEC_sha1RSASign, "1.3.14.3.2.29"},
    {"id_X957_dsa", id_X957_dsa, "1.2.840.10040.4.1"},
    {"id_X957_dsaWithSHA1", id_X957_dsaWithSHA1, "1.2.840.10040.4.3"},
    {"id_pkix_ocsp", id_pkix_ocsp, "1.3.6.1.5.5.7.48.1"},
    {"id_pkix_ocspBasic", id_pkix_ocspBasic, "1.3.6.1.5.5.7.48.1.1"},
    {"id_pkix_ocspNonce", id_pkix_ocspNonce, "1.3.6.1.5.5.7.48.1.2"},
    {"id_ripemd160", id_ripemd160, "1.3.36.3.2.1"},
    {"id_ripemd128", id_ripemd128, "1.3.36.3.2.2"},
    {"id_rsaSignatureWithripemd160", id_rsaSignatureWithripemd160, "1.3.36.3.3.1.2"},
    {"id_rsaWithRIPEMD160", id_rsaWithRIPEMD160, "1.3.36.8.5.1.1.4"},
    {"id_dsaWithRIPEMD160", id_dsaWithRIPEMD160, "1.3.36.8.5.1.2.2"},
    {"id_aes", id_aes, "2.16.840.1.101.3.4.1"},
    {"id_aes128ECB", id_aes128ECB, "2.16.840.1.101.3.4.1.1"},
    {"id_aes128CBC", id_aes128CBC, "2.16.840.1.101.3.4.1.2"},
    {"id_aes128OFB", id_aes128OFB, "2.16.840.1.101.3.4.1.3"},
    {"id_aes128CFB", id_aes128CFB, "2.16.840.1.101.3.4.1.4"},
    {"id_aes192ECB", id_aes192ECB, "2.16.840.1.101.3.4.1.21"},
    {"id_aes192CBC", id_aes192CBC, "2.16.840.1.101.3.4.1.22"},
    {"id_aes192OFB", id_aes192OFB, "2.16.840.1.101.3.4.1.23"},
    {"id_aes192CFB", id_aes192CFB, "2.16.840.1.101.3.4.1.24"},
    {"id_aes256ECB", id_aes256ECB, "2.16.840.1.101.3.4.1.41"},
    {"id_aes256CBC", id_aes256CBC, "2.16.840.1.101.3.4.1.42"},
    {"id_aes256OFB", id_aes256OFB, "2.16.840.1.101.3.4.1.43"},
    {"id_aes256CFB", id_aes256CFB, "2.16.840.1.101.3.4.1.44"},
    {"id_VK_signerComment", id_VK_signerComment, "1.3.6.1.4.1.53172.3.1"},
};

}

TEST(Oids, ExactlyTheListedTexts)
{
    EXPECT_EQ(115u, sizeof kOids / sizeof kOids[0]);
    std::set<std::string> names;
    for (const auto& o : kOids) {
        EXPECT_STREQ(o.text, o.value) << o.name;
        EXPECT_TRUE(names.insert(o.name).second) << "duplicate " << o.name;
    }
}

TEST(Oids, TextsAreDottedDecimal)
{
    for (const auto& o : kOids) {
        const std::string s = o.value;
        ASSERT_FALSE(s.empty()) << o.name;
        EXPECT_NE('.', s.front()) << o.name;
        EXPECT_NE('.', s.back()) << o.name;
        EXPECT_EQ(std::string::npos, s.find("..")) << o.name;
        for (char c : s)
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || c == '.') << o.name;
    }
}

TEST(Oids, RoundTripThroughTheRuntime)
{
    for (const auto& o : kOids) {
        SNACC::AsnOid oid(o.value);
        SNACC::AsnBuf buf;
        oid.BEnc(buf);
        SNACC::AsnOid back;
        SNACC::AsnLen len = 0;
        back.BDec(buf, len);
        EXPECT_TRUE(oid == back) << o.name;
        EXPECT_STREQ(o.value, static_cast<const char*>(back)) << o.name;
    }
}

TEST(Oids, FamilyArcsArePrefixesOfTheirMembers)
{
    const std::string oiw = std::string(id_OIWSEC) + ".";
    const std::string ocsp = std::string(id_pkix_ocsp) + ".";
    const std::string aes = std::string(id_aes) + ".";
    EXPECT_EQ(0u, std::string(id_OIWSEC_sha1).find(oiw));
    EXPECT_EQ(0u, std::string(id_pkix_ocspNonce).find(ocsp));
    EXPECT_EQ(0u, std::string(id_aes256CFB).find(aes));
}

TEST(Oids, ExportedAsVariables)
{
    void* lib = dlopen(SORVIT_LIBRARY_FILE, RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr)
        lib = dlopen(SORVIT_LIBRARY_FILE, RTLD_NOW);
    ASSERT_NE(nullptr, lib) << dlerror();
    for (const auto& o : kOids) {
        void* sym = dlsym(lib, o.name);
        ASSERT_NE(nullptr, sym) << o.name << " is not exported";
        EXPECT_STREQ(o.value, *static_cast<const char* const*>(sym)) << o.name;
    }
    dlclose(lib);
}

TEST(Exports, InternalsStayInside)
{
    void* lib = dlopen(SORVIT_LIBRARY_FILE, RTLD_NOW);
    ASSERT_NE(nullptr, lib) << dlerror();
    // The glue is exported; the structure walk behind it is not.
    EXPECT_NE(nullptr, dlsym(lib, "_Z10BlobToTypePK7_CPBLOBPN5SNACC7AsnTypeEPNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE"));
    EXPECT_EQ(nullptr, dlsym(lib, "_Z13CheckBerValuePKhmPNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEPm"));
    dlclose(lib);
}
