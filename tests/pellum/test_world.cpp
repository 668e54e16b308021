// Certificates as the world writes them, each against OpenSSL's reading of the same
// bytes: names in every DirectoryString type and with a NUL inside, dates that do not
// exist or are too short, both forms of unique identifiers, a multi-valued RDN stored
// out of DER order, GeneralNames with other kinds of names, policy notices with bytes
// beyond their character set, and the machine's CA store.

#include "CertSupport.h"
#include "Der.h"

#include <CertModule.h>

#include "Fixture.h"

#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace certtest;
using dertest::FromHex;
using dertest::Node;
using dertest::Prim;
using dertest::WithCommonName;

PELLUM_API std::string AttributeTypeName(const SNACC::AsnOid& type);

namespace {

// The name text and simple name that CL_CertNameToStr and CL_CertGetSimpleNameString
// give, built from OpenSSL's X509_NAME: RDNs most specific first, the attributes of one
// RDN in their stored order, values as ASN1_STRING_to_UTF8 gives them. Attributes of
// types the library does not read (NumericString, VisibleString, ...) are left out as
// it leaves them out. False when OpenSSL cannot convert a value.
bool ReadAsOpenSsl(const X509_NAME* name, std::string* text, std::string* simple)
{
    std::vector<std::vector<std::pair<std::string, std::string>>> rdns;
    for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
        const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
        const ASN1_STRING* value = X509_NAME_ENTRY_get_data(e);
        switch (ASN1_STRING_type(value)) {
        case V_ASN1_PRINTABLESTRING:
        case V_ASN1_IA5STRING:
        case V_ASN1_UTF8STRING:
        case V_ASN1_T61STRING:
        case V_ASN1_BMPSTRING:
        case V_ASN1_UNIVERSALSTRING:
            break;
        default:
            continue;
        }
        unsigned char* utf8 = nullptr;
        const int n = ASN1_STRING_to_UTF8(&utf8, value);
        if (n < 0)
            return false;
        const size_t set = static_cast<size_t>(X509_NAME_ENTRY_set(e));
        if (rdns.size() <= set)
            rdns.resize(set + 1);
        const std::string type = OidText(X509_NAME_ENTRY_get_object(e));
        rdns[set].emplace_back(AttributeTypeName(SNACC::AsnOid(type.c_str())),
                               std::string(reinterpret_cast<char*>(utf8), static_cast<size_t>(n)));
        OPENSSL_free(utf8);
    }
    text->clear();
    simple->clear();
    bool named = false;
    for (auto rdn = rdns.rbegin(); rdn != rdns.rend(); ++rdn) {
        for (const auto& attr : *rdn) {
            if (!text->empty())
                *text += '\n';
            *text += attr.first + "=" + attr.second;
            // The common name, else the most specific attribute.
            if (!named && (attr.first == "CN" || (simple->empty() && text->find('\n') == std::string::npos)))
                *simple = attr.second;
            named = named || attr.first == "CN";
        }
    }
    return true;
}

// Subject and issuer of the certificate as the library and as OpenSSL read them;
// false when they differ (each difference is reported) or one of them cannot read it.
bool NamesAsOpenSsl(const Bytes& der, const std::string& what)
{
    CertPtr rec = Decode(der);
    X509Ptr x = OpenSsl(der);
    if (!rec || !x)
        return false;
    bool same = true;
    for (int flags : {0, CL_NAME_ISSUER_FLAG}) {
        const X509_NAME* name = flags ? X509_get_issuer_name(x.get()) : X509_get_subject_name(x.get());
        std::string text, simple;
        if (!ReadAsOpenSsl(name, &text, &simple)) {
            ADD_FAILURE() << what << ": OpenSSL cannot convert the name";
            return false;
        }
        const std::string ours = NameText(flags ? rec->Issuer : rec->Subject, '\n', '\n');
        const std::string oursSimple = SimpleName(rec.get(), flags);
        EXPECT_EQ(ours, text) << what << (flags ? ": issuer" : ": subject");
        EXPECT_EQ(oursSimple, simple) << what << (flags ? ": issuer" : ": subject");
        same = same && ours == text && oursSimple == simple;
    }
    return same;
}

Bytes Utf32Be(const std::vector<uint32_t>& codePoints)
{
    Bytes out;
    for (uint32_t cp : codePoints)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(cp >> shift));
    return out;
}

class World : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new std::string(fixture::ScratchDir("world"));
        key = new fixture::KeyFiles(fixture::MakeKey(*dir, "world", "rsa:1024"));
    }
    static void TearDownTestSuite()
    {
        delete key;
        delete dir;
    }
    static Bytes Masked(const std::string& name, const std::string& subject, const std::string& mask,
                        const std::string& extraArgs = "")
    {
        return MakeWithStringMask(*dir, name, key->keyPem, subject, mask, extraArgs);
    }
    static std::string* dir;
    static fixture::KeyFiles* key;
};
std::string* World::dir = nullptr;
fixture::KeyFiles* World::key = nullptr;

} // namespace

TEST_F(World, NamesOfEveryDirectoryStringTypeReadAsOpenSslReadsThem)
{
    const Bytes plain = Masked("plain", "/C=BG/O=Veskora/CN=Plain", "utf8only");
    const std::string bank("www.bank.com\0.badguy.com", 24);
    struct Case {
        const char* what;
        Bytes der;
        std::string text;    // the subject's text, one attribute a line
        std::string simple;  // and its simple name
    } cases[] = {
        {"a web server's names in TeletexString",
         Masked("t61", "/C=US/ST=Washington/L=Redmond/O=Contoso Café/CN=www.contoso.test", "MASK:0x4"),
         "CN=www.contoso.test\nO=Contoso Caf\xC3\xA9\nL=Redmond\nST=Washington\nC=US", "www.contoso.test"},
        {"TeletexString and BMPString beside PrintableString",
         Masked("mixed", "/C=BG/O=Zoë Ünïcode/OU=Żółw/L=Москва/CN=Plain", "default"),
         "CN=Plain\nL=Москва\nOU=Żółw\nO=Zoë Ünïcode\nC=BG", "Plain"},
        {"a name wholly in BMPString", Masked("bmp", "/O=Zoë/OU=Unit/CN=Bmp Name", "MASK:0x800"),
         "CN=Bmp Name\nOU=Unit\nO=Zoë", "Bmp Name"},
        {"a multi-valued RDN in BMPString",
         Masked("bmpmulti", "/O=Zoë/CN=Bmp+OU=Unit", "MASK:0x800", "-multivalue-rdn"), "", "Bmp"},
        {"a common name in UniversalString",
         WithCommonName(plain, 0x1C, Utf32Be({'U', 'n', 'i', ' ', 0x1F600})),
         "CN=Uni \xF0\x9F\x98\x80\nO=Veskora\nC=BG", "Uni \xF0\x9F\x98\x80"},
        {"a NUL inside a UTF8String common name",
         WithCommonName(plain, 0x0C, Bytes(bank.begin(), bank.end())), "CN=" + bank + "\nO=Veskora\nC=BG", bank},
        {"a NUL inside a PrintableString common name",
         WithCommonName(plain, 0x13, Bytes(bank.begin(), bank.end())), "CN=" + bank + "\nO=Veskora\nC=BG", bank},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.der.empty()) << c.what;
        NamesAsOpenSsl(c.der, c.what);
        CertPtr rec = Decode(c.der);
        ASSERT_TRUE(rec) << c.what;
        if (!c.text.empty()) {
            EXPECT_EQ(NameText(rec->Subject, '\n', '\n'), c.text) << c.what;
        }
        EXPECT_EQ(SimpleName(rec.get(), 0), c.simple) << c.what;
        // Into a buffer larger than needed: the length comes back with the name.
        char buf[256];
        uint32_t len = sizeof buf;
        ASSERT_TRUE(CL_CertGetSimpleNameString(rec.get(), 0, buf, &len));
        EXPECT_EQ(len, c.simple.size() + 1) << c.what;
    }
}

// A value holding a line break or a bidirectional control: written as \xNN or \uNNNN inside the
// value, so that each line of the name's text is one attribute, the simple name is the name's
// own common name, and nothing is shown reordered. The pairs keep the values as stored.
TEST_F(World, LineBreaksAndBidiControlsInsideValuesAreEscaped)
{
    const Bytes plain = Masked("escplain", "/C=BG/O=Veskora/CN=Plain", "utf8only");
    const auto cn = [&plain](unsigned char tag, const std::string& value) {
        return WithCommonName(plain, tag, Bytes(value.begin(), value.end()));
    };
    struct Case {
        const char* what;
        Bytes der;
        std::string text;    // the subject's text, one attribute a line
        std::string simple;  // its simple name
        std::string stored;  // the most specific value as CL_DecodeCertName gives it
    } cases[] = {
        {"an organisation posing as a second common name",
         Masked("spoof", "/CN=Evil/O=x\nCN=Trusted Bank", "utf8only"), "O=x\\x0aCN=Trusted Bank\nCN=Evil", "Evil",
         "x\nCN=Trusted Bank"},
        {"no common name, the most specific value posing as one",
         Masked("spoofnocn", "/C=BG/O=x\nCN=Trusted Bank", "utf8only"), "O=x\\x0aCN=Trusted Bank\nC=BG",
         "x\\x0aCN=Trusted Bank", "x\nCN=Trusted Bank"},
        {"CR LF", cn(0x0C, "Evil\r\nCN=Bank"), "CN=Evil\\x0d\\x0aCN=Bank\nO=Veskora\nC=BG", "Evil\\x0d\\x0aCN=Bank",
         "Evil\r\nCN=Bank"},
        {"vertical tab and form feed in a PrintableString", cn(0x13, "A\vB\fC"),
         "CN=A\\x0bB\\x0cC\nO=Veskora\nC=BG", "A\\x0bB\\x0cC", "A\vB\fC"},
        {"NEL, line and paragraph separators", cn(0x0C, "A\xC2\x85" "B\xE2\x80\xA8" "C\xE2\x80\xA9" "D"),
         "CN=A\\x85B\\u2028C\\u2029D\nO=Veskora\nC=BG", "A\\x85B\\u2028C\\u2029D",
         "A\xC2\x85" "B\xE2\x80\xA8" "C\xE2\x80\xA9" "D"},
        {"NEL in a TeletexString (Latin-1)", cn(0x14, "A\x85" "B"), "CN=A\\x85B\nO=Veskora\nC=BG", "A\\x85B",
         "A\xC2\x85" "B"},
        {"right-to-left override", cn(0x0C, "Bank\xE2\x80\xAE" "gpj.exe"),
         "CN=Bank\\u202egpj.exe\nO=Veskora\nC=BG", "Bank\\u202egpj.exe", "Bank\xE2\x80\xAE" "gpj.exe"},
        {"embeddings, isolates and marks",
         cn(0x0C, "\xE2\x80\xAA" "a\xE2\x80\xAB" "b\xE2\x80\xAC" "c\xE2\x80\xAD" "d\xE2\x81\xA6" "e\xE2\x81\xA7"
                  "f\xE2\x81\xA8" "g\xE2\x81\xA9" "h\xE2\x80\x8F" "i\xD8\x9C" "j"),
         "CN=\\u202aa\\u202bb\\u202cc\\u202dd\\u2066e\\u2067f\\u2068g\\u2069h\\u200fi\\u061cj\nO=Veskora\nC=BG",
         "\\u202aa\\u202bb\\u202cc\\u202dd\\u2066e\\u2067f\\u2068g\\u2069h\\u200fi\\u061cj",
         "\xE2\x80\xAA" "a\xE2\x80\xAB" "b\xE2\x80\xAC" "c\xE2\x80\xAD" "d\xE2\x81\xA6" "e\xE2\x81\xA7" "f\xE2\x81\xA8"
         "g\xE2\x81\xA9" "h\xE2\x80\x8F" "i\xD8\x9C" "j"},
        {"a BMPString right-to-left override", cn(0x1E, std::string("\0B\x20\x2E\0c", 6)),
         "CN=B\\u202ec\nO=Veskora\nC=BG", "B\\u202ec", "B\xE2\x80\xAE" "c"},
        // Neighbours of those characters are shown as they are.
        {"tab, U+2027, U+202F, U+2065, U+206A", cn(0x0C, "a\tb\xE2\x80\xA7" "c\xE2\x80\xAF" "d\xE2\x81\xA5" "e\xE2\x81\xAA" "f"),
         "CN=a\tb\xE2\x80\xA7" "c\xE2\x80\xAF" "d\xE2\x81\xA5" "e\xE2\x81\xAA" "f\nO=Veskora\nC=BG",
         "a\tb\xE2\x80\xA7" "c\xE2\x80\xAF" "d\xE2\x81\xA5" "e\xE2\x81\xAA" "f",
         "a\tb\xE2\x80\xA7" "c\xE2\x80\xAF" "d\xE2\x81\xA5" "e\xE2\x81\xAA" "f"},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.der.empty()) << c.what;
        CertPtr rec = Decode(c.der);
        ASSERT_TRUE(rec) << c.what;
        EXPECT_EQ(NameText(rec->Subject, '\n', '\n'), c.text) << c.what;
        EXPECT_EQ(SimpleName(rec.get(), 0), c.simple) << c.what;
        std::vector<TOIDValuePair> pairs;
        ASSERT_TRUE(CL_DecodeCertName(&rec->Subject, &pairs)) << c.what;
        ASSERT_FALSE(pairs.empty()) << c.what;
        EXPECT_EQ(pairs.front().sValue, c.stored) << c.what;
    }
}

// Every certificate of the machine's CA store (whichever there is; none is compared
// where there is none), whatever its key's algorithm, decodes and reads as OpenSSL reads
// it: serial number, dates, names and their texts, extensions, key algorithm.
TEST(WorldStore, CaStoreReadsAsOpenSslReadsIt)
{
    const char* const stores[] = {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt"};
    for (const char* path : stores) {
        FILE* f = std::fopen(path, "r");
        if (!f)
            continue;
        int certificates = 0, decoded = 0, otherKeys = 0, equal = 0;
        while (X509* x = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
            unsigned char* p = nullptr;
            const int n = i2d_X509(x, &p);
            Bytes der(p, p + (n > 0 ? n : 0));
            OPENSSL_free(p);
            const EVP_PKEY* key = X509_get0_pubkey(x);
            const int keyType = key ? EVP_PKEY_get_base_id(key) : 0;
            X509_free(x);
            const std::string what = std::string(path) + " #" + std::to_string(++certificates);
            CertPtr rec = Decode(der);
            if (!rec)
                continue;
            ++decoded;
            otherKeys += keyType != EVP_PKEY_RSA && keyType != EVP_PKEY_DSA ? 1 : 0;
            {
                // Each difference fails the test, naming the certificate.
                SCOPED_TRACE(what);
                CompareWithOpenSsl(der, *rec);
            }
            equal += NamesAsOpenSsl(der, what) ? 1 : 0;
        }
        std::fclose(f);
        std::printf("%s: %d certificates, %d decoded (%d of them with keys neither RSA nor DSA), %d with subject "
                    "and issuer texts as OpenSSL reads them\n",
                    path, certificates, decoded, otherKeys, equal);
        EXPECT_EQ(decoded, certificates) << path;
        EXPECT_EQ(equal, certificates) << path;
        return;
    }
    std::printf("no CA store on this machine: nothing compared\n");
}

// A validity date that does not exist, or is too short for its form, is unreadable: 0,
// and the rest of the certificate decodes. Dates before 1970 stay -1.
TEST_F(World, ImpossibleAndShortDatesAreZero)
{
    const Bytes good = Masked("dates", "/CN=Dates", "utf8only");
    struct Case {
        unsigned char tag;  // 0x17 UTCTime, 0x18 GeneralizedTime
        const char* text;
        time_t notBefore;
    } cases[] = {
        {0x17, "241601120000Z", 0},       // month 16
        {0x17, "240431120000Z", 0},       // 31 April
        {0x17, "240301240000Z", 0},       // hour 24
        {0x17, "240301126900Z", 0},       // minute 69
        {0x17, "240301120069Z", 0},       // second 69
        {0x17, "AB0301120000Z", 0},       // letters among the digits
        {0x18, "20241601120000Z", 0},
        {0x18, "20240091120000Z", 0},     // day 91
        {0x18, "20240301240000Z", 0},
        {0x18, "20240301126900Z", 0},
        {0x18, "20240301120069Z", 0},
        {0x18, "2024O301120000Z", 0},
        {0x18, "2020Z", 0},               // too short
        {0x18, "2020010100Z", 0},
        {0x18, "20240301120000-", 0},     // a bare sign
        {0x18, "20240301120000+0160", 0},
        {0x17, "161231235961Z", 0},       // second 61
        {0x18, "20161231235961Z", 0},
        {0x18, "20161232235960Z", 0},     // a leap second of a day that does not exist
        {0x17, "240301120000Z", 1709294400},
        {0x18, "20240301120000+0100", 1709290800},
        {0x17, "161231235960Z", 1483228800},     // a leap second: 2017-01-01 00:00:00
        {0x18, "20161231235960Z", 1483228800},
        {0x17, "691231235959Z", -1},
        {0x18, "19650101000000Z", -1},
    };
    for (const Case& c : cases) {
        Node cert = dertest::Parse(good);
        cert[0][dertest::kValidity][0] = Prim(c.tag, Bytes(c.text, c.text + strlen(c.text)));
        const Bytes der = dertest::Write(cert);
        CertPtr rec = Decode(der);
        if (!rec) {
            ADD_FAILURE() << c.text << ": " << CL_GetLastError();
            continue;
        }
        EXPECT_EQ(rec->tNotBefore, c.notBefore) << c.text;
        X509Ptr x = OpenSsl(good);
        EXPECT_EQ(rec->tNotAfter, AsnTime(X509_get0_notAfter(x.get()))) << c.text;
        EXPECT_EQ(SimpleName(rec.get(), 0), "Dates") << c.text;
    }
}

// X.509's [1] and [2] IMPLICIT BIT STRING unique identifiers decode, as does the
// constructed form read before; each is written back as it was read.
TEST_F(World, UniqueIdentifiersOfBothFormsDecodeAndEncodeAsRead)
{
    const Bytes good = Masked("uids", "/CN=Unique", "utf8only");
    struct Case {
        const char* what;
        std::vector<Node> ids;  // put before the extensions
        bool openssl;           // OpenSSL reads it too
        bool implicitIssuer, implicitSubject, wrappedIssuer, wrappedSubject;
    } cases[] = {
        {"issuer's, implicit", {Prim(0x81, {0x00, 0x01, 0x02})}, true, true, false, false, false},
        {"subject's, implicit, 4 unused bits", {Prim(0x82, {0x04, 0xF0})}, true, false, true, false, false},
        {"both, implicit", {Prim(0x81, {0x00, 0xAA}), Prim(0x82, {0x00, 0x55, 0x66})}, true, true, true, false,
         false},
        {"issuer's, implicit and empty", {Prim(0x81, {0x00})}, true, true, false, false, false},
        {"issuer's, wrapped", {[] { Node n; n.tag = 0xA1; n.children = {Prim(0x03, {0x00, 0xAA})}; return n; }()},
         false, false, false, true, false},
        {"wrapped issuer's, implicit subject's",
         {[] { Node n; n.tag = 0xA1; n.children = {Prim(0x04, {0x01})}; return n; }(), Prim(0x82, {0x00, 0x07})},
         false, false, true, true, false},
        {"subject's, wrapped", {[] { Node n; n.tag = 0xA2; n.children = {Prim(0x03, {0x00, 0x01})}; return n; }()},
         false, false, false, false, true},
    };
    for (const Case& c : cases) {
        Node cert = dertest::Parse(good);
        auto& tbs = cert[0].children;
        tbs.insert(tbs.begin() + dertest::kExtensions, c.ids.begin(), c.ids.end());
        const Bytes der = dertest::Write(cert);
        CertPtr rec = Decode(der);
        if (!rec) {
            ADD_FAILURE() << c.what << ": " << CL_GetLastError();
            continue;
        }
        if (c.openssl)
            CompareWithOpenSsl(der, *rec);
        ExpectReencodes(der);
        SNACC::Certificate decoded;
        _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
        std::string err;
        ASSERT_TRUE(BlobToType(&blob, &decoded, &err)) << c.what << ": " << err;
        const SNACC::CertificateToBeSigned& t = decoded.toBeSigned;
        EXPECT_EQ(t.issuerUniqueID != nullptr, c.implicitIssuer) << c.what;
        EXPECT_EQ(t.subjectUniqueID != nullptr, c.implicitSubject) << c.what;
        EXPECT_EQ(t.issuerUniqueIdentifier != nullptr, c.wrappedIssuer) << c.what;
        EXPECT_EQ(t.subjectUniqueIdentifier != nullptr, c.wrappedSubject) << c.what;
    }
}

// Subject and Issuer are the certificate's own bytes: a multi-valued RDN stored out of
// DER order stays as it is stored, and its text keeps the stored order.
TEST_F(World, NamesAreTheCertificatesOwnBytes)
{
    Node cert = dertest::Parse(Masked("multi", "/C=BG/O=Zeta+O=Alpha Group/CN=Multi", "utf8only", "-multivalue-rdn"));
    for (int which : {dertest::kIssuer, dertest::kSubject}) {
        Node& rdn = cert[0][which][1];
        ASSERT_EQ(rdn.children.size(), 2u);
        std::swap(rdn.children[0], rdn.children[1]);
    }
    const Bytes der = dertest::Write(cert);
    const Bytes subject = dertest::Write(cert[0][dertest::kSubject]);
    const Bytes issuer = dertest::Write(cert[0][dertest::kIssuer]);
    CertPtr rec = Decode(der);
    ASSERT_TRUE(rec);
    EXPECT_EQ(Hex(rec->Subject), Hex(subject));
    EXPECT_EQ(Hex(rec->Issuer), Hex(issuer));
    EXPECT_EQ(rec->Subject.pbData[rec->Subject.cbData], 0) << "the byte after the name";
    CompareWithOpenSsl(der, *rec);
    const std::string text = NameText(rec->Subject, '+', '\n');
    EXPECT_EQ(text, "CN=Multi\nO=Alpha Group+O=Zeta\nC=BG");
    NamesAsOpenSsl(der, "unsorted RDN");

    // The same from the certificate in BER, the outer and the to-be-signed SEQUENCE
    // with indefinite lengths.
    Bytes ber = {0x30, 0x80, 0x30, 0x80};
    for (const Node& part : cert[0].children) {
        const Bytes b = dertest::Write(part);
        ber.insert(ber.end(), b.begin(), b.end());
    }
    ber.insert(ber.end(), {0x00, 0x00});
    for (size_t i = 1; i < cert.children.size(); ++i) {
        const Bytes b = dertest::Write(cert[i]);
        ber.insert(ber.end(), b.begin(), b.end());
    }
    ber.insert(ber.end(), {0x00, 0x00});
    CertPtr berRec = Decode(ber);
    ASSERT_TRUE(berRec);
    EXPECT_EQ(Hex(berRec->Subject), Hex(subject));
    EXPECT_EQ(Hex(berRec->Issuer), Hex(issuer));
}

// A GeneralNames holding other kinds of names beside directory names: those are passed
// over, the directory names read.
TEST(WorldGeneralNames, OtherKindsOfNamesArePassedOver)
{
    const char* const bob = "A410300E310C300A06035504031303426F62";     // directoryName CN=Bob
    const char* const carol = "A412301031" "0E300C060355040A0C054361726F6C";  // directoryName O=Carol
    struct Case {
        const char* what;
        std::string elements;
        bool found;
        std::vector<std::string> values;
    } cases[] = {
        {"a DNS name before a directory name", std::string("820B6578616D706C652E636F6D") + bob, true, {"Bob"}},
        {"an e-mail address after it", std::string(bob) + "810E6140657861" "6D706C652E74657374", true, {"Bob"}},
        {"an IP address between two", std::string(bob) + "87047F000001" + carol, true, {"Bob", "Carol"}},
        {"an otherName", std::string("A01406082B060105050708" "04A008" "0C06616263646566") + bob, true, {"Bob"}},
        {"a registered ID and a URI", std::string("88032A0304") + "860E687474703A2F2F782E746573742F" + carol,
         true, {"Carol"}},
        {"DNS names only", "820178" "820179", false, {}},
    };
    for (const Case& c : cases) {
        Bytes content = FromHex(c.elements);
        Bytes der = {0x30};
        dertest::PutLength(der, content.size());
        der.insert(der.end(), content.begin(), content.end());
        _CPBLOB blob = {der.data(), static_cast<uint32_t>(der.size())};
        std::vector<TOIDValuePair> pairs;
        EXPECT_EQ(CL_DecodeCertName(&blob, &pairs), c.found) << c.what << ": " << CL_GetLastError();
        std::vector<std::string> values;
        for (const TOIDValuePair& p : pairs)
            values.push_back(p.sValue);
        EXPECT_EQ(values, c.values) << c.what;
    }
}

// A user notice's text is valid UTF-8 whatever bytes its string holds.
TEST(WorldNotices, NoticeTextsAreValidUtf8)
{
    auto seq = [](std::vector<Node> children) {
        Node n;
        n.tag = 0x30;
        n.children = std::move(children);
        return n;
    };
    struct Case {
        const char* what;
        unsigned char tag;
        Bytes content;
        std::string text;
    } cases[] = {
        {"VisibleString with a Latin-1 byte", 0x1A, {'C', 'a', 'f', 0xE9}, "Caf\xEF\xBF\xBD"},
        {"VisibleString holding UTF-8", 0x1A, {'C', 'a', 'f', 0xC3, 0xA9}, "Caf\xC3\xA9"},
        {"IA5String with a byte beyond ASCII", 0x16, {0x80, 'x'}, "\xEF\xBF\xBDx"},
        {"BMPString with a surrogate pair", 0x1E, {0xD8, 0x3D, 0xDE, 0x00}, "\xF0\x9F\x98\x80"},
        {"BMPString with a lone surrogate", 0x1E, {0xDC, 0x00, 0x00, 0x41}, "\xEF\xBF\xBD" "A"},
        {"UTF8String with an encoded surrogate", 0x0C, {0xED, 0xA0, 0x80, 'z'}, "\xEF\xBF\xBDz"},
        {"UTF8String", 0x0C, {0xC3, 0xA9}, "\xC3\xA9"},
    };
    for (const Case& c : cases) {
        Node notice = seq({seq({Prim(0x06, {0x2A, 0x03, 0x04}),
                                seq({seq({Prim(0x06, FromHex("2B06010505070202")), seq({Prim(c.tag, c.content)})})})})});
        const Bytes der = dertest::Write(notice);
        _CPBLOB blob = {const_cast<unsigned char*>(der.data()), static_cast<uint32_t>(der.size())};
        std::vector<TPolicyInformation> policies;
        uint32_t size = 0;
        ASSERT_TRUE(CL_DecodeObject("2.5.29.32", &blob, &policies, &size)) << c.what << ": " << CL_GetLastError();
        ASSERT_EQ(policies.size(), 1u) << c.what;
        EXPECT_EQ(policies[0].sUserNotice, c.text) << c.what;
    }
}
