// The CL_ interface on certificates that openssl makes at test time. Every
// record field is compared with what OpenSSL reads from the same bytes.

#include "CertSupport.h"
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
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <openssl/dsa.h>

#include <dlfcn.h>

#include <cstring>
#include <ctime>
#include <map>
#include <memory>

using dertest::Bytes;
using dertest::FromHex;
using dertest::Node;
using namespace certtest;

namespace {

// Certificates shared by the tests, made once per run.
class PellumCerts : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new std::string(fixture::ScratchDir("certs"));
        ca = new fixture::Ca(fixture::MakeCa(*dir, "/C=BG/O=Tessaly Test/CN=Tessaly Test CA"));
    }
    static void TearDownTestSuite()
    {
        delete ca;
        delete dir;
    }
    static Bytes Read(const std::string& path) { return fixture::ReadBytes(path); }
    static fixture::KeyFiles Key(const std::string& name, const std::string& alg)
    {
        return fixture::MakeKey(*dir, name, alg);
    }
    static std::string* dir;
    static fixture::Ca* ca;
};
std::string* PellumCerts::dir = nullptr;
fixture::Ca* PellumCerts::ca = nullptr;

const char kFullExtensions[] =
    "basicConstraints=critical,CA:TRUE,pathlen:2\n"
    "keyUsage=critical,digitalSignature,nonRepudiation,keyAgreement,decipherOnly\n"
    "extendedKeyUsage=serverAuth,clientAuth\n"
    "subjectKeyIdentifier=hash\n"
    "authorityKeyIdentifier=keyid:always\n"
    "subjectAltName=DNS:host.example.test,URI:http://example.test/,email:a@example.test\n"
    "crlDistributionPoints=URI:http://crl.example.test/ca.crl\n"
    "authorityInfoAccess=OCSP;URI:http://ocsp.example.test/\n"
    "certificatePolicies=critical,1.2.3.4,@pol1\n"
    "nsComment=\"pellum test\"\n"
    "[pol1]\n"
    "policyIdentifier=1.3.6.1.4.1.99999.7\n"
    "CPS.1=\"http://cps.example.test/\"\n"
    "userNotice.1=@notice1\n"
    "[notice1]\n"
    "explicitText=\"UTF8:Nötice text\"\n";

// A version-1 certificate signed by its own key, made through the library: from OpenSSL 3.2
// on, the openssl command adds a subject key identifier, and so writes version 3, whatever
// its options say.
Bytes SelfSignedVersion1(const std::string& keyPem, const char* commonName, long serial)
{
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(keyPem.c_str(), "r"), fclose);
    if (!file)
        return Bytes();
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr),
                                                       EVP_PKEY_free);
    X509Ptr cert(X509_new());
    X509_NAME* name = X509_get_subject_name(cert.get());
    const bool made =
        key && X509_set_version(cert.get(), X509_VERSION_1) &&
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0) &&
        X509_set_issuer_name(cert.get(), name) && X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) &&
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 24 * 3600) && X509_set_pubkey(cert.get(), key.get()) &&
        X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
    unsigned char* der = nullptr;
    const int length = made ? i2d_X509(cert.get(), &der) : -1;
    Bytes bytes = length > 0 ? Bytes(der, der + length) : Bytes();
    OPENSSL_free(der);
    return bytes;
}

} // namespace

TEST_F(PellumCerts, RsaCertificateWithFullExtensions)
{
    auto key = Key("full", "rsa:2048");
    Bytes der = Read(fixture::IssueCert(*ca, "full", key, "/C=BG/O=Acme/OU=Unit/CN=Full Extensions", 30,
                                        kFullExtensions));
    CertPtr rec = Decode(der);
    ASSERT_TRUE(rec);
    CompareWithOpenSsl(der, *rec);
    ExpectReencodes(der);
    EXPECT_EQ(rec->wVersion, 3);
    ASSERT_NE(rec->pRSAKey, nullptr);
    // The modulus INTEGER carries a leading zero; the record does not.
    EXPECT_EQ(rec->pRSAKey->Modulus.cbData, 256u);
    EXPECT_GE(rec->pRSAKey->Modulus.pbData[0], 0x80);

    std::map<std::string, bool> critical;
    for (uint32_t i = 0; i < rec->cExtension; ++i)
        critical[rec->rgExtension[i].sOID] = rec->rgExtension[i].fCritical;
    EXPECT_EQ(critical.size(), 10u);
    EXPECT_TRUE(critical["2.5.29.19"]);
    EXPECT_TRUE(critical["2.5.29.15"]);
    EXPECT_TRUE(critical["2.5.29.32"]);
    EXPECT_FALSE(critical["2.5.29.37"]);
    EXPECT_FALSE(critical["2.5.29.17"]);

    EXPECT_EQ(SimpleName(rec.get(), 0), "Full Extensions");
    EXPECT_EQ(SimpleName(rec.get(), CL_NAME_ISSUER_FLAG), "Tessaly Test CA");
    EXPECT_EQ(NameText(rec->Subject), "CN=Full Extensions\nOU=Unit\nO=Acme\nC=BG");

    // The extension values through the object decoders, against OpenSSL.
    X509Ptr x = OpenSsl(der);
    for (uint32_t i = 0; i < rec->cExtension; ++i) {
        const CL_EXTENSION& ext = rec->rgExtension[i];
        uint32_t size = 0;
        if (ext.sOID == "2.5.29.15") {
            uint32_t flags = 0;
            ASSERT_TRUE(CL_DecodeObject("2.5.29.15", &ext.Value, &flags, &size)) << CL_GetLastError();
            EXPECT_EQ(flags, 1u | 2u | 16u | 256u);
            EXPECT_EQ(size, 4u);
        } else if (ext.sOID == "2.5.29.14") {
            _CPBLOB id = {nullptr, 0};
            ASSERT_TRUE(CL_DecodeObject("2.5.29.14", &ext.Value, &id, &size)) << CL_GetLastError();
            const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(x.get());
            EXPECT_EQ(Hex(id), Hex(ski->data, ski->length));
            CL_FreeBlob(&id);
        } else if (ext.sOID == "2.5.29.32") {
            std::vector<TPolicyInformation> policies(1);  // appended to, not cleared
            ASSERT_TRUE(CL_DecodeObject("2.5.29.32", &ext.Value, &policies, &size)) << CL_GetLastError();
            ASSERT_EQ(policies.size(), 3u);
            EXPECT_EQ(policies[1].sPolicyOID, "1.2.3.4");
            EXPECT_EQ(policies[1].sCPSURI, "");
            EXPECT_EQ(policies[2].sPolicyOID, "1.3.6.1.4.1.99999.7");
            EXPECT_EQ(policies[2].sCPSURI, "http://cps.example.test/");
            EXPECT_EQ(policies[2].sUserNotice, "Nötice text");
        } else if (ext.sOID == "2.5.29.17") {
            // A subjectAltName with DNS names is no GeneralNames of ours.
            std::vector<TOIDValuePair> pairs;
            EXPECT_FALSE(CL_DecodeCertName(&ext.Value, &pairs));
            EXPECT_TRUE(pairs.empty());
        }
    }
}

TEST_F(PellumCerts, RsaVersion1)
{
    auto key = Key("v1", "rsa:1024");
    Bytes der = SelfSignedVersion1(key.keyPem, "Version1", 0xff);
    ASSERT_FALSE(der.empty()) << "OpenSSL could not make the certificate";
    CertPtr rec = Decode(der);
    ASSERT_TRUE(rec);
    CompareWithOpenSsl(der, *rec);
    ExpectReencodes(der);
    EXPECT_EQ(rec->wVersion, 1);
    EXPECT_EQ(rec->rgExtension, nullptr);
    EXPECT_EQ(rec->cExtension, 0u);
    EXPECT_EQ(Hex(rec->SerialNumber), "00FF");
    EXPECT_EQ(SimpleName(rec.get(), 0), "Version1");
}

TEST_F(PellumCerts, DsaWithParameters)
{
    for (const char* alg : {"dsa:1024", "dsa:2048"}) {
        auto key = Key(std::string("dsa") + alg[4], alg);
        Bytes der = Read(fixture::IssueCert(*ca, std::string("dsa") + alg[4], key, "/CN=DSA Holder", 30,
                                            "keyUsage=digitalSignature"));
        CertPtr rec = Decode(der);
        ASSERT_TRUE(rec) << alg;
        CompareWithOpenSsl(der, *rec);
        ExpectReencodes(der);
        ASSERT_NE(rec->pDSAKey, nullptr);
    }
}

TEST_F(PellumCerts, DsaWithoutParametersAndSelfSigned)
{
    auto key = Key("dsaself", "dsa:1024");
    Bytes der = Read(fixture::MakeSelfSigned(*dir, "dsaself", key, "/CN=DSA Self"));
    // Signed with DSA: its signature algorithm has no parameters, which the
    // types write back as NULL.
    CertPtr rec = Decode(der);
    ASSERT_TRUE(rec);
    CompareWithOpenSsl(der, *rec);
    ExpectReencodes(der, false);

    // The key algorithm without its Dss-Parms (inherited from the issuer).
    Node cert = dertest::Parse(der);
    Node& tbs = cert[0];
    // Without extensions openssl writes a version 1 certificate: no [0].
    size_t spki = tbs[0].tag == 0xA0 ? dertest::kSpki : dertest::kSpki - 1;
    Node& alg = tbs[spki][0];
    ASSERT_EQ(alg.children.size(), 2u);
    alg.children.pop_back();
    EXPECT_EQ(DecodeFailure(dertest::Write(cert)), "Missing DSA public key parameters");
}

// Roots and holders of keys the program cannot sign with read as any other certificate:
// names, serial number, dates and extensions as OpenSSL reads them, the key named by its
// algorithm (and curve), and no RSA or DSA key material.
TEST_F(PellumCerts, CertificatesOfEveryKeyAlgorithmDecode)
{
    const char* const ec = "1.2.840.10045.2.1";
    const std::string root = "basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n"
                             "subjectKeyIdentifier=hash";
    struct Case {
        const char* alg;
        bool selfSigned;  // a root signed with its own key, else issued by the RSA test CA
        const char* keyAlgorithm;
        const char* curve;
    } cases[] = {
        {"ec:prime256v1", true, ec, "1.2.840.10045.3.1.7"},
        {"ec:secp384r1", true, ec, "1.3.132.0.34"},
        {"ec:secp521r1", false, ec, "1.3.132.0.35"},
        {"ec:brainpoolP256r1", false, ec, "1.3.36.3.3.2.8.1.1.7"},
        {"ec-explicit:prime256v1", false, ec, ""},
        {"ed25519", true, "1.3.101.112", ""},
        {"ed448", false, "1.3.101.113", ""},
        {"rsa-pss:2048", true, "1.2.840.113549.1.1.10", ""},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string name = "alg" + std::to_string(++n);
        auto key = Key(name, c.alg);
        const std::string subject = std::string("/C=BG/O=Key Test/CN=Holder of ") + c.alg;
        Bytes der = Read(c.selfSigned ? fixture::MakeSelfSigned(*dir, name, key, subject, 30, root)
                                      : fixture::IssueCert(*ca, name, key, subject, 30, "keyUsage=digitalSignature"));
        CertPtr rec = Decode(der);
        ASSERT_TRUE(rec) << c.alg;
        SCOPED_TRACE(c.alg);
        CompareWithOpenSsl(der, *rec);
        EXPECT_EQ(rec->wVersion, 3);
        EXPECT_EQ(rec->sKeyAlgorithm, c.keyAlgorithm);
        EXPECT_EQ(rec->sKeyCurve, c.curve);
        EXPECT_EQ(rec->pRSAKey, nullptr);
        EXPECT_EQ(rec->pDSAKey, nullptr);
        EXPECT_EQ(SimpleName(rec.get(), 0), std::string("Holder of ") + c.alg);
        EXPECT_EQ(SimpleName(rec.get(), CL_NAME_ISSUER_FLAG),
                  c.selfSigned ? std::string("Holder of ") + c.alg : std::string("Tessaly Test CA"));
        EXPECT_STREQ(CL_GetLastError(), "");
    }
    // RSA and DSA records name their algorithm too, beside their key material.
    CertPtr rsa = Decode(Read(ca->certDer));
    ASSERT_TRUE(rsa);
    EXPECT_EQ(rsa->sKeyAlgorithm, "1.2.840.113549.1.1.1");
    EXPECT_EQ(rsa->sKeyCurve, "");
    EXPECT_NE(rsa->pRSAKey, nullptr);
}

// An EC key whose parameters are neither a named curve nor spelt out still leaves the
// certificate readable; the curve is then unknown.
TEST_F(PellumCerts, EcKeyWithOddParametersDecodes)
{
    auto key = Key("ecodd", "ec:prime256v1");
    Bytes der = Read(fixture::IssueCert(*ca, "ecodd", key, "/CN=EC Odd", 30, "keyUsage=digitalSignature"));
    Node cert = dertest::Parse(der);
    Node& tbs = cert[0];
    Node& alg = tbs[dertest::kSpki][0];
    ASSERT_EQ(alg.children.size(), 2u);
    for (int variant = 0; variant < 2; ++variant) {
        if (variant == 0)
            alg.children.pop_back();                     // no parameters at all
        else
            alg.children.push_back(dertest::Prim(0x05, Bytes()));  // NULL
        CertPtr rec = Decode(dertest::Write(cert));
        ASSERT_TRUE(rec) << variant;
        EXPECT_EQ(rec->sKeyAlgorithm, "1.2.840.10045.2.1");
        EXPECT_EQ(rec->sKeyCurve, "");
        EXPECT_EQ(SimpleName(rec.get(), 0), "EC Odd");
    }
}

TEST_F(PellumCerts, Utf8BmpAndMultiValuedNames)
{
    auto key = Key("names", "rsa:1024");
    Bytes utf8 = Read(fixture::MakeSelfSigned(*dir, "utf8", key, "/C=BG/O=Ünïcode Ltd/CN=Zoë+UID=zoe", 30, "",
                                              "-utf8 -multivalue-rdn"));
    CertPtr rec = Decode(utf8);
    ASSERT_TRUE(rec);
    CompareWithOpenSsl(utf8, *rec);
    ExpectReencodes(utf8);
    // The multi-valued RDN on one line, in its stored (DER set) order.
    std::string text = NameText(rec->Subject, '+', '\n');
    EXPECT_TRUE(text == "CN=Zoë+0.9.2342.19200300.100.1.1=zoe\nO=Ünïcode Ltd\nC=BG" ||
                text == "0.9.2342.19200300.100.1.1=zoe+CN=Zoë\nO=Ünïcode Ltd\nC=BG")
        << text;
    EXPECT_EQ(SimpleName(rec.get(), 0), "Zoë");

    std::vector<TOIDValuePair> pairs;
    ASSERT_TRUE(CL_DecodeCertName(&rec->Subject, &pairs)) << CL_GetLastError();
    X509Ptr x = OpenSsl(utf8);
    X509_NAME* name = X509_get_subject_name(x.get());
    ASSERT_EQ(pairs.size(), static_cast<size_t>(X509_NAME_entry_count(name)));
    // Same set of pairs as OpenSSL reads (RDNs most specific first).
    std::multimap<std::string, std::string> ours, theirs;
    for (const auto& p : pairs)
        ours.emplace(p.sOID, p.sValue);
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        unsigned char* u = nullptr;
        int n = ASN1_STRING_to_UTF8(&u, X509_NAME_ENTRY_get_data(e));
        theirs.emplace(OidText(X509_NAME_ENTRY_get_object(e)), std::string(reinterpret_cast<char*>(u), n));
        OPENSSL_free(u);
    }
    EXPECT_EQ(ours, theirs);
    EXPECT_EQ(pairs.back().sOID, "2.5.4.6");

    // An organisation that string_mask=pkix writes as a BMPString reads as UTF-8.
    Bytes bmp = MakeWithStringMask(*dir, "bmp", key.keyPem, "/C=BG/O=Zoë Ünïcode/CN=Plain", "pkix");
    CertPtr bmpRec = Decode(bmp);
    ASSERT_TRUE(bmpRec);
    CompareWithOpenSsl(bmp, *bmpRec);
    ExpectReencodes(bmp);
    EXPECT_EQ(NameText(bmpRec->Subject), "CN=Plain\nO=Zoë Ünïcode\nC=BG");
}

TEST_F(PellumCerts, DecodingIntoFreshObjects)
{
    // The runtime appends list members when an object is decoded twice; each
    // call must start from a fresh one.
    Bytes der = Read(ca->certDer);
    CertPtr first = Decode(der);
    CertPtr second = Decode(der);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->cExtension, second->cExtension);
    EXPECT_EQ(Hex(first->Subject), Hex(second->Subject));
    std::vector<TOIDValuePair> a, b;
    ASSERT_TRUE(CL_DecodeCertName(&first->Subject, &a));
    ASSERT_TRUE(CL_DecodeCertName(&first->Subject, &b));
    ASSERT_TRUE(CL_DecodeCertName(&first->Subject, &b));
    EXPECT_EQ(a.size(), 3u);
    EXPECT_EQ(b.size(), 6u);
}

TEST_F(PellumCerts, DecodingFailures)
{
    Bytes good = Read(ca->certDer);
    Node cert = dertest::Parse(good);
    auto with = [&](const std::function<void(Node&)>& change) {
        Node copy = cert;
        change(copy);
        return dertest::Write(copy);
    };
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0xDE, 0xAD});

    struct Case {
        const char* what;
        Bytes der;
        const char* prefix;  // "" = must decode
    };
    const std::vector<Case> cases = {
        {"truncated", Bytes(good.begin(), good.begin() + good.size() / 2), "Malformed BER at offset "},
        {"cut after the outer header", Bytes(good.begin(), good.begin() + 4), "Malformed BER at offset "},
        {"wrong outer tag", with([](Node& c) { c.tag = 0x31; }), "Tag "},
        {"extra component in the to-be-signed part",
         with([](Node& c) { c[0].children.push_back(dertest::Prim(0x02, {0x01})); }),
         "Length discrepancy on sequence"},
        {"extra component after the signature",
         with([](Node& c) { c.children.push_back(dertest::Prim(0x05, {})); }), "Length discrepancy on sequence"},
        {"bad time tag", with([](Node& c) { c[0][dertest::kValidity][0].tag = 0x04; }),
         "SEQUENCE is missing non-optional root elmt"},
        {"implicit issuer unique identifier",
         with([](Node& c) {
             c[0].children.insert(c[0].children.begin() + dertest::kExtensions,
                                  dertest::Prim(0x81, {0x00, 0x01}));
         }),
         ""},
        {"missing subject",
         with([](Node& c) { c[0].children.erase(c[0].children.begin() + dertest::kSubject); }),
         "Tag "},
        {"public key that is no RSAPublicKey",
         with([](Node& c) { c[0][dertest::kSpki][1].content = {0x00, 0x04, 0x01, 0x00}; }), "Tag "},
        {"signature BIT STRING of -7 bits", with([](Node& c) { c[2].content = {0x07}; }),
         "Malformed BER at offset "},
        {"2 GB length", FromHex("30847FFFFFFF3000"), "Malformed BER at offset "},
        {"8-byte length of an INTEGER", FromHex("30103080A0030201020288000000000000000101"),
         "Malformed BER at offset "},
        {"indefinite length of a primitive", FromHex("3080308002800101000000000000"), "Malformed BER at offset "},
        {"deep nesting", Bytes(400, 0x30), "Malformed BER at offset "},
        // An empty certificate followed by an INTEGER claiming 150 TB: the
        // decoder reads on past the empty SEQUENCE, so those bytes must not
        // be in its buffer.
        {"short SEQUENCE, then a hostile value", FromHex("30820000308202270286" "8D1F0730423A2406"),
         "Read past end of data"},
        {"empty", Bytes(1, 0x00), "Malformed BER at offset "},
        {"GeneralizedTime text too short to read",
         with([](Node& c) { c[0][dertest::kValidity][0] = dertest::Prim(0x18, {'2', '0', '2', '0'}); }), ""},
        {"version INTEGER of nine bytes",
         with([](Node& c) { c[0][dertest::kVersion][0].content.assign(9, 0x01); }),
         "integer is too big"},
        {"negative version", with([](Node& c) { c[0][dertest::kVersion][0].content = {0xFF}; }),
         "Unsupported certificate version"},
        {"bytes after the certificate", trailing, ""},
    };
    for (const Case& c : cases) {
        std::string err = DecodeFailure(c.der);
        if (!*c.prefix)
            EXPECT_EQ(err, "decoded") << c.what;
        else
            EXPECT_TRUE(StartsWith(err, c.prefix)) << c.what << ": \"" << err << "\"";
    }
}

TEST_F(PellumCerts, NullArguments)
{
    Bytes der = Read(ca->certDer);
    _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
    _CPBLOB nullData = {nullptr, 10};
    CL_CERTIFICATE* untouched = reinterpret_cast<CL_CERTIFICATE*>(8);
    EXPECT_FALSE(CL_DecodeCertificate(nullptr, &untouched));
    EXPECT_FALSE(CL_DecodeCertificate(&nullData, &untouched));
    EXPECT_EQ(untouched, reinterpret_cast<CL_CERTIFICATE*>(8));
    EXPECT_FALSE(CL_DecodeCertificate(&blob, nullptr));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_DecodeCertificate");

    uint32_t len = 0;
    EXPECT_FALSE(CL_CertNameToStr(nullptr, nullptr, &len, ',', ','));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_CertNameToStr");
    EXPECT_FALSE(CL_CertGetSimpleNameString(nullptr, 0, nullptr, &len));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_CertGetSimpleNameString");
    EXPECT_FALSE(CL_DecodeCertName(&blob, nullptr));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_DecodeCertName");
    EXPECT_FALSE(CL_EncodeObject(nullptr, &blob, &blob));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_EncodeObject");
    EXPECT_FALSE(CL_DecodeObject("2.5.29.15", nullptr, &len, nullptr));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_DecodeObject");

    CL_FreeCertificate(nullptr);
    CL_FreeBlob(nullptr);
    initialize();
    finalize();
}

TEST(PellumNames, FormattingAndBuffers)
{
    // C=BG, O=Acme, {CN=Alice + 1.2.3.4=xyz123}, and a CN held as a BMPString.
    Bytes name = FromHex(
        "3050"
        "310B3009060355040613024247"
        "310D300B060355040A130441636D65"
        "311D300C06035504030C05416C696365300D06032A03040C0678797A313233"
        "3113301106035504031E0A0042004D0050005A0021");
    _CPBLOB blob = {name.data(), static_cast<uint32_t>(name.size())};
    EXPECT_EQ(NameText(blob, '+', '|'), "CN=BMPZ!|CN=Alice+1.2.3.4=xyz123|O=Acme|C=BG");

    uint32_t needed = 0;
    ASSERT_TRUE(CL_CertNameToStr(&blob, nullptr, &needed, ',', ','));
    std::vector<char> buf(needed);
    uint32_t len = needed - 1;
    EXPECT_FALSE(CL_CertNameToStr(&blob, buf.data(), &len, ',', ','));
    EXPECT_EQ(len, needed);
    EXPECT_STREQ(CL_GetLastError(), "");
    len = needed;
    EXPECT_TRUE(CL_CertNameToStr(&blob, buf.data(), &len, ',', ','));
    EXPECT_STREQ(buf.data(), "CN=BMPZ!,CN=Alice,1.2.3.4=xyz123,O=Acme,C=BG");

    Bytes empty = FromHex("3000");
    _CPBLOB emptyBlob = {empty.data(), 2};
    ASSERT_TRUE(CL_CertNameToStr(&emptyBlob, nullptr, &len, ',', ','));
    EXPECT_EQ(len, 1u);

    // GeneralNames of a URI and a directory name: only the name's pairs.
    Bytes gns = FromHex("3022860E687474703A2F2F782E746573742FA410300E310C300A06035504031303426F62");
    _CPBLOB gnsBlob = {gns.data(), static_cast<uint32_t>(gns.size())};
    std::vector<TOIDValuePair> pairs(1);
    ASSERT_TRUE(CL_DecodeCertName(&gnsBlob, &pairs)) << CL_GetLastError();
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[1].sOID, "2.5.4.3");
    EXPECT_EQ(pairs[1].sValue, "Bob");
    // Only a URI: false.
    Bytes uriOnly = FromHex("3010860E687474703A2F2F782E746573742F");
    _CPBLOB uriBlob = {uriOnly.data(), static_cast<uint32_t>(uriOnly.size())};
    EXPECT_FALSE(CL_DecodeCertName(&uriBlob, &pairs));
}

TEST(PellumNames, ValueStringTypes)
{
    // Each value form of a one-attribute CN: the text it gives, or none (the
    // attribute left out). Hostile forms must not leak under the sanitizers.
    struct Case {
        const char* what;
        const char* value;   // hex of the value's own encoding
        bool read;           // false: left out
        std::string text;
    };
    const Case cases[] = {
        {"PrintableString", "1303414243", true, "ABC"},
        {"PrintableString, constructed", "3307040141040242" "43", true, "ABC"},
        {"IA5String", "1603612E62", true, "a.b"},
        {"IA5String, constructed", "36800401610402" "2E62" "0000", true, "a.b"},
        {"UTF8String", "0C04C3A9C3A9", true, "\xC3\xA9\xC3\xA9"},
        {"UTF8String, constructed (the runtime never reads it)", "2C060C04C3A9C3A9", false, ""},
        {"UTF8String, constructed of octets", "2C0604" "04C3A9C3A9", false, ""},
        {"UTF8String with a NUL", "0C03410042", true, std::string("A\0B", 3)},
        {"UTF8String, cut short", "0C0241C3", true, "A\xEF\xBF\xBD"},
        {"UTF8String, three bytes cut short", "0C0341E282", true, "A\xEF\xBF\xBD"},
        {"UTF8String, overlong NUL", "0C02C080", true, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF8String, encoded surrogate", "0C03EDA080", true, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF8String, beyond U+10FFFF", "0C04F4908080", true, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"UTF8String, four bytes", "0C04F09F9880", true, "\xF0\x9F\x98\x80"},
        {"PrintableString with a NUL", "1303410042", true, std::string("A\0B", 3)},
        {"BMPString", "1E0400410042", true, "AB"},
        {"BMPString, surrogate pair", "1E04D83DDE00", true, "\xF0\x9F\x98\x80"},
        {"BMPString, lone surrogate", "1E04D8000041", true, "\xEF\xBF\xBD" "A"},
        {"BMPString, odd length", "1E03004100", true, "A\xEF\xBF\xBD"},
        {"BMPString, non-minimal length", "1E8102004A", true, "J"},
        {"TeletexString", "1403414243", true, "ABC"},
        {"TeletexString, Latin-1", "14035AE9FF", true, "Z\xC3\xA9\xC3\xBF"},
        {"TeletexString, constructed", "3407040241420401" "43", true, "ABC"},
        {"UniversalString", "1C0400000041", true, "A"},
        {"UniversalString, beyond BMP", "1C080001F60000000041", true, "\xF0\x9F\x98\x80" "A"},
        {"UniversalString, beyond U+10FFFF", "1C0400110000", true, "\xEF\xBF\xBD"},
        {"UniversalString, surrogate", "1C040000D800", true, "\xEF\xBF\xBD"},
        {"UniversalString, cut short", "1C06000000410000", true, "A\xEF\xBF\xBD"},
        {"BMPString, constructed (the runtime never reads it)", "3E061E0400410042", false, ""},
        {"UniversalString, constructed", "3C061C0400000041", false, ""},
        {"INTEGER", "020105", false, ""},
        {"PrintableString under a high tag number", "1F1303414243", false, ""},
        {"empty PrintableString", "1300", true, ""},
    };
    for (const Case& c : cases) {
        Bytes attr = FromHex(std::string("0603550403") + c.value);
        Bytes name = {0x30, static_cast<unsigned char>(attr.size() + 4), 0x31,
                      static_cast<unsigned char>(attr.size() + 2), 0x30, static_cast<unsigned char>(attr.size())};
        name.insert(name.end(), attr.begin(), attr.end());
        _CPBLOB blob = {name.data(), static_cast<uint32_t>(name.size())};
        std::vector<TOIDValuePair> pairs;
        ASSERT_TRUE(CL_DecodeCertName(&blob, &pairs)) << c.what << ": " << CL_GetLastError();
        if (!c.read) {
            EXPECT_TRUE(pairs.empty()) << c.what;
            EXPECT_EQ(NameText(blob, ',', ','), "") << c.what;
            continue;
        }
        if (pairs.size() != 1) {
            ADD_FAILURE() << c.what << ": " << pairs.size() << " pairs";
            continue;
        }
        EXPECT_EQ(pairs[0].sValue, c.text) << c.what;
        EXPECT_EQ(NameText(blob, ',', ','), std::string("CN=") + c.text) << c.what;
    }
}

TEST(PellumNames, SimpleNameWithoutCommonName)
{
    // A "CN=" inside a value is no common name; without one the most specific
    // attribute labels the certificate.
    CL_CERTIFICATE rec = {};
    Bytes subject = FromHex("301E310F300D060355040A13064142434E3D58310B3009060355040B13024F55");
    rec.Subject = {subject.data(), static_cast<uint32_t>(subject.size())};
    rec.Issuer = rec.Subject;
    char buf[64];
    uint32_t len = sizeof buf;
    ASSERT_TRUE(CL_CertGetSimpleNameString(&rec, 0, buf, &len)) << CL_GetLastError();
    EXPECT_STREQ(buf, "OU");
    len = 2;
    EXPECT_FALSE(CL_CertGetSimpleNameString(&rec, 0, buf, &len));
    EXPECT_EQ(len, 3u);
}

TEST(PellumObjects, KeyUsage)
{
    struct Case {
        const char* hex;
        uint32_t flags;
    };
    const Case cases[] = {
        {"030206C0", 3},        // digitalSignature, nonRepudiation
        {"0303070080", 256},    // decipherOnly
        {"03020186", 0x01 | 0x20 | 0x40},  // digitalSignature, keyCertSign, cRLSign
    };
    for (const Case& c : cases) {
        Bytes der = FromHex(c.hex);
        _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
        uint32_t flags = 99, size = 0;
        ASSERT_TRUE(CL_DecodeObject("2.5.29.15", &blob, &flags, &size)) << c.hex << CL_GetLastError();
        EXPECT_EQ(flags, c.flags) << c.hex;
        EXPECT_EQ(size, 4u);
    }
    Bytes bad = FromHex("0401FF");
    _CPBLOB badBlob = {bad.data(), 3};
    uint32_t flags = 99, size = 7;
    EXPECT_FALSE(CL_DecodeObject("2.5.29.15", &badBlob, &flags, &size));
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(size, 7u);

    // An OID nobody decodes: false, last error left alone.
    CL_DecodeCertificate(nullptr, nullptr);
    EXPECT_FALSE(CL_DecodeObject("1.2.3", &badBlob, &flags, &size));
    EXPECT_STREQ(CL_GetLastError(), "Invalid parameter passed in call to CL_DecodeCertificate");
}

TEST(PellumObjects, DssSignatures)
{
    // r of 21 bytes with a leading zero, s of 19 significant bytes.
    std::string s(38, '1');
    Bytes der = FromHex("302C0215008" + std::string(39, '1') + "0213" + s);
    _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
    _CPBLOB plain = {nullptr, 0};
    uint32_t size = 0;
    ASSERT_TRUE(CL_DecodeObject("1.2.840.10040.4.1", &blob, &plain, &size)) << CL_GetLastError();
    ASSERT_EQ(plain.cbData, 40u);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(Hex(plain), "8" + std::string(39, '1') + "00" + s);

    // Back to DER: r keeps its sign byte, s is written as its 19 bytes.
    _CPBLOB again = {nullptr, 0};
    ASSERT_TRUE(CL_EncodeObject("1.2.840.10040.4.1", &plain, &again)) << CL_GetLastError();
    EXPECT_EQ(Hex(again), Hex(der));
    CL_FreeBlob(&again);
    CL_FreeBlob(&plain);

    // A half longer than 20 bytes would not fit the plain form: refused.
    Bytes longR = FromHex("302F021601" + std::string(42, '1') + "0215" + std::string(42, '2'));
    blob = {longR.data(), static_cast<uint32_t>(longR.size())};
    plain = {reinterpret_cast<unsigned char*>(1), 5};
    EXPECT_FALSE(CL_DecodeObject("1.2.840.10040.4.1", &blob, &plain, &size));
    EXPECT_EQ(plain.pbData, nullptr);
    EXPECT_EQ(plain.cbData, 0u);
    EXPECT_STRNE(CL_GetLastError(), "");

    // The encoder insists on exactly 40 bytes.
    unsigned char shortSig[10] = {1};
    _CPBLOB shortBlob = {shortSig, sizeof shortSig};
    _CPBLOB out = {nullptr, 0};
    EXPECT_FALSE(CL_EncodeObject("1.2.840.10040.4.1", &shortBlob, &out));
    EXPECT_EQ(out.pbData, nullptr);
    EXPECT_STRNE(CL_GetLastError(), "");
}

TEST_F(PellumCerts, DssSignatureFromOpenSsl)
{
    auto key = Key("dsasig", "dsa:1024");
    std::string data = *dir + "/data.txt", sig = *dir + "/data.sig";
    fixture::WriteText(data, "signed text");
    std::string out;
    ASSERT_EQ(fixture::Run("openssl dgst -sha1 -sign " + fixture::Quote(key.keyPem) + " -out " +
                               fixture::Quote(sig) + " " + fixture::Quote(data),
                           &out),
              0)
        << out;
    Bytes der = Read(sig);
    const unsigned char* p = der.data();
    DSA_SIG* ds = d2i_DSA_SIG(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(ds, nullptr);
    const BIGNUM *r = nullptr, *s = nullptr;
    DSA_SIG_get0(ds, &r, &s);
    Bytes expected(40);
    BN_bn2binpad(r, expected.data(), 20);
    BN_bn2binpad(s, expected.data() + 20, 20);
    DSA_SIG_free(ds);

    _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
    _CPBLOB plain = {nullptr, 0};
    ASSERT_TRUE(CL_DecodeObject("1.2.840.10040.4.1", &blob, &plain, nullptr)) << CL_GetLastError();
    EXPECT_EQ(Hex(plain), Hex(expected));
    _CPBLOB again = {nullptr, 0};
    ASSERT_TRUE(CL_EncodeObject("1.2.840.10040.4.1", &plain, &again));
    EXPECT_EQ(Hex(again), Hex(der));
    CL_FreeBlob(&again);
    CL_FreeBlob(&plain);
}

TEST(PellumObjects, DigestInfo)
{
    Bytes digest = FromHex("A9993E364706816ABA3E25717850C26C9CD0D89D");  // SHA-1 of "abc"
    CL_DIGEST_INFO info;
    info.sAlgorithmOID = "1.3.14.3.2.26";
    info.Digest = {digest.data(), static_cast<uint32_t>(digest.size())};
    _CPBLOB out = {nullptr, 0};
    ASSERT_TRUE(CL_EncodeObject("1.2.840.113549.1.1.1", &info, &out)) << CL_GetLastError();
    EXPECT_EQ(out.cbData, 35u);
    EXPECT_EQ(Hex(out), "3021300906052B0E03021A05000414" + Hex(digest));
    CL_FreeBlob(&out);

    out = {nullptr, 0};
    info.sAlgorithmOID.clear();
    EXPECT_FALSE(CL_EncodeObject("1.2.840.113549.1.1.1", &info, &out));
    EXPECT_EQ(out.pbData, nullptr);
    EXPECT_FALSE(CL_EncodeObject("1.2.3.4", &info, &out));
}

TEST(PellumObjects, SubjectKeyIdAndPolicyErrors)
{
    Bytes ski = FromHex("0403010203");
    _CPBLOB blob = {ski.data(), static_cast<uint32_t>(ski.size())};
    _CPBLOB id = {nullptr, 0};
    uint32_t size = 0;
    ASSERT_TRUE(CL_DecodeObject("2.5.29.14", &blob, &id, &size));
    EXPECT_EQ(Hex(id), "010203");
    CL_FreeBlob(&id);

    Bytes notOcts = FromHex("0203010203");
    blob = {notOcts.data(), static_cast<uint32_t>(notOcts.size())};
    EXPECT_FALSE(CL_DecodeObject("2.5.29.14", &blob, &id, &size));
    EXPECT_TRUE(StartsWith(CL_GetLastError(), "Unable to decode SubjKeyID: ")) << CL_GetLastError();
    std::vector<TPolicyInformation> policies;
    EXPECT_FALSE(CL_DecodeObject("2.5.29.32", &blob, &policies, &size));
    EXPECT_TRUE(StartsWith(CL_GetLastError(), "Unable to decode CertificatePolicies: ")) << CL_GetLastError();

    // A CPS URI on the first policy, no qualifiers on the second, a BMPString
    // user notice on the third (UTF-8 in the record).
    using dertest::Prim;
    auto seq = [](std::vector<Node> children) {
        Node n;
        n.tag = 0x30;
        n.children = std::move(children);
        return n;
    };
    Bytes cpsText = {'h', 't', 't', 'p', ':', '/', '/', 'c', 'p', 's', '/'};
    Node policyList = seq({
        seq({Prim(0x06, {0x2A, 0x03, 0x04}),
             seq({seq({Prim(0x06, FromHex("2B06010505070201")), Prim(0x16, cpsText)})})}),
        seq({Prim(0x06, {0x2A, 0x03, 0x05})}),
        seq({Prim(0x06, {0x2A, 0x03, 0x06}),
             seq({seq({Prim(0x06, FromHex("2B06010505070202")),
                       seq({Prim(0x1E, {0x00, 0xE9, 0x00, 0x41})})})})}),
    });
    Bytes pol = dertest::Write(policyList);
    blob = {pol.data(), static_cast<uint32_t>(pol.size())};
    ASSERT_TRUE(CL_DecodeObject("2.5.29.32", &blob, &policies, &size)) << CL_GetLastError();
    ASSERT_EQ(policies.size(), 3u);
    EXPECT_EQ(policies[0].sPolicyOID, "1.2.3.4");
    EXPECT_EQ(policies[0].sCPSURI, "http://cps/");
    EXPECT_EQ(policies[1].sPolicyOID, "1.2.3.5");
    EXPECT_EQ(policies[1].sCPSURI, "");
    EXPECT_EQ(policies[1].sUserNotice, "");
    EXPECT_EQ(policies[2].sUserNotice, "\xC3\xA9" "A");
    EXPECT_EQ(size, 16u);

    // A user notice in a constructed UTF8String or BMPString (which the runtime
    // never decodes, and leaks on the attempt): that qualifier is skipped, the
    // policy kept, and nothing leaks.
    for (unsigned char tag : {0x2C, 0x3E}) {
        Node text;
        text.tag = tag;
        text.children = {Prim(0x04, {0x00, 0x41})};
        Node notice = seq({seq({Prim(0x06, {0x2A, 0x03, 0x07}),
                                seq({seq({Prim(0x06, FromHex("2B06010505070202")), seq({text})})})})});
        Bytes der = dertest::Write(notice);
        blob = {der.data(), static_cast<uint32_t>(der.size())};
        std::vector<TPolicyInformation> skipped;
        ASSERT_TRUE(CL_DecodeObject("2.5.29.32", &blob, &skipped, &size)) << CL_GetLastError();
        ASSERT_EQ(skipped.size(), 1u);
        EXPECT_EQ(skipped[0].sPolicyOID, "1.2.3.7");
        EXPECT_EQ(skipped[0].sUserNotice, "");
        EXPECT_NE(std::string(CL_GetLastError()), "");
    }
}

TEST(PellumExports, TheFlatInterfaceTheNameStepsAndTheTypes)
{
    void* lib = dlopen(PELLUM_LIBRARY_FILE, RTLD_NOW);
    ASSERT_NE(nullptr, lib) << dlerror();
    const char* const exported[] = {
        "CL_DecodeCertificate", "CL_FreeCertificate", "CL_FreeBlob", "CL_GetLastError", "CL_CertNameToStr",
        "CL_CertGetSimpleNameString", "CL_DecodeCertName", "CL_DecodeObject", "CL_EncodeObject", "initialize",
        "finalize",
        // ConvertDistinguishedNameToString, ...ToOIDValuePairs, AttributeTypeName, ExtractSimpleName
        "_Z32ConvertDistinguishedNameToStringB5cxx11PKN5SNACC11RDNSequenceEcc",
        "_Z39ConvertDistinguishedNameToOIDValuePairsPKN5SNACC11RDNSequenceEPSt6vectorI13TOIDValuePairSaIS4_EE",
        "_Z17AttributeTypeNameB5cxx11RKN5SNACC6AsnOidE", "_Z17ExtractSimpleNameB5cxx11PKc",
        // the generated types and the extension module's OIDs
        "_ZN5SNACC11Certificate4BDecERKNS_6AsnBufERm", "_ZTVN5SNACC11CertificateE", "_ZTVN5SNACC12GeneralNamesE",
        "_ZN5SNACC5id_ceE", "_ZN5SNACC9id_qt_cpsE", "_ZN5SNACC9anyPolicyE",
    };
    for (const char* name : exported)
        EXPECT_NE(nullptr, dlsym(lib, name)) << name << " is not exported";
    // The library's own helpers and the runtime's classes stay inside.
    const char* const hidden[] = {
        "_ZN6pellum9LastErrorB5cxx11Ev",
        "_ZN6pellum10DecodeBlobEPK7_CPBLOBPN5SNACC7AsnTypeEPNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE",
        "_ZTVN5SNACC7UTCTimeE",
        "_ZTVN5SNACC6AsnOidE",
    };
    for (const char* name : hidden) {
        Dl_info info = {};
        void* sym = dlsym(lib, name);
        // Found elsewhere (the runtime, this program) is fine; found in libpellum is not.
        if (sym && dladdr(sym, &info)) {
            EXPECT_EQ(std::string(info.dli_fname).find("libpellum"), std::string::npos) << name;
        }
    }
    dlclose(lib);
}
