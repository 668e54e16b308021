// Requests encoded and signed on SoftHSM2 keys (RSA pairs generated on the token,
// DSA keys imported with 160- and 256-bit subprimes): OpenSSL verifies them, sees
// each value in its string type, and finds the token's public key in them.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>
#include <string>
#include <utility>

#include <sorvit/oids.h>

#include "ASN1Name.h"
#include "EnrolSupport.h"
#include "EnrolmentError.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"
#include "RequestCheck.h"

using namespace enroltest;

namespace {

std::unique_ptr<SoftHsmToken> g_token;

// Universal tags of the string types by code.
const int kTags[] = {0, 19, 26, 26, 12, 18, 22, 20, 20, 21, 25, 27, 28, 30};

struct TValue {
    const char* oid;
    int type;
    std::u32string text;
};

QString FromU32(const std::u32string& s)
{
    return QString::fromUcs4(s.data(), int(s.size()));
}

// What the request must hold for a value: the text in the bytes of its type.
Bytes ContentOf(const TValue& v)
{
    switch (v.type) {
    case ASN1_UTF8_STRING:
        return Utf8(FromU32(v.text).toStdString());
    case ASN1_BMP_STRING:
        return Ucs2(v.text);
    case ASN1_UNIVERSAL_STRING:
        return Ucs4(v.text);
    default:
        return Utf8(FromU32(v.text).toLatin1().toStdString());
    }
}

// Three blocks, the second and third with several values, in the string types
// OpenSSL's name reader takes.
const std::vector<std::vector<TValue>> kName = {
    {{"2.5.4.6", ASN1_PRINTABLE_STRING, U"BG"}},
    {{"2.5.4.10", ASN1_UTF8_STRING, U"Тесали ООД"},
     {"2.5.4.11", ASN1_BMP_STRING, U"Отдел Ω"},
     {"2.5.4.17", ASN1_NUMERIC_STRING, U"1000 15"},
     {"1.2.840.113549.1.9.1", ASN1_IA5_STRING, U"ivan@example.org"}},
    {{"2.5.4.3", ASN1_UTF8_STRING, U"Иван Петров 😀"},
     {"2.5.4.9", ASN1_TELETEX_STRING, U"Straße 5"},
     {"2.5.4.12", ASN1_T61_STRING, U"Señor"},
     {"2.5.4.65", ASN1_UNIVERSAL_STRING, U"ivo 😀"}},
};

// Every string type once; VisibleString, VideotexString, GraphicString and
// GeneralString are beyond OpenSSL's name reader, so this one is checked by its tags
// and by verifying the signature over the request information.
const std::vector<std::vector<TValue>> kEveryType = {
    {{"2.5.4.6", ASN1_PRINTABLE_STRING, U"BG"}, {"2.5.4.7", ASN1_VISIBLE_STRING, U"Sofia_{1}"}},
    {{"2.5.4.8", ASN1_ISO646_STRING, U"Sofia-grad"}, {"2.5.4.10", ASN1_UTF8_STRING, U"Тесали"}},
    {{"2.5.4.17", ASN1_NUMERIC_STRING, U"1000"}, {"1.2.840.113549.1.9.1", ASN1_IA5_STRING, U"a@b.c"}},
    {{"2.5.4.9", ASN1_TELETEX_STRING, U"Straße"}, {"2.5.4.12", ASN1_T61_STRING, U"Señor"}},
    {{"2.5.4.42", ASN1_VIDEOTEX_STRING, U"Ivan"}, {"2.5.4.4", ASN1_GRAPHIC_STRING, U"Møller"}},
    {{"2.5.4.43", ASN1_GENERAL_STRING, U"I.P."}, {"2.5.4.65", ASN1_UNIVERSAL_STRING, U"ivo 😀"}},
    {{"2.5.4.11", ASN1_BMP_STRING, U"Отдел"}},
};

// The bytes of the n-th element inside a DER SEQUENCE's content (definite lengths).
Bytes Element(const Bytes& der, size_t at, int n, size_t* contentAt = nullptr)
{
    auto header = [&](size_t pos, size_t& len) {
        size_t l = der[pos + 1], h = 2;
        if (l & 0x80) {
            const size_t octets = l & 0x7F;
            l = 0;
            for (size_t i = 0; i < octets; ++i)
                l = (l << 8) | der[pos + 2 + i];
            h += octets;
        }
        len = l;
        return h;
    };
    size_t len = 0;
    size_t pos = at + header(at, len);
    for (int i = 0;; ++i) {
        size_t l = 0;
        const size_t h = header(pos, l);
        if (i == n) {
            if (contentAt)
                *contentAt = pos + h;
            return Bytes(der.begin() + long(pos), der.begin() + long(pos + h + l));
        }
        pos += h + l;
    }
}

void Fill(CASN1Name& name, const std::vector<std::vector<TValue>>& blocks)
{
    for (const auto& values : blocks) {
        CASN1AVBlock* block = new CASN1AVBlock;
        name.append(block);
        for (const TValue& v : values) {
            CASN1AttributeValue* value = new CASN1AttributeValue(QString::fromLatin1(v.oid));
            value->GetType() = v.type;
            value->GetValue() = FromU32(v.text);
            block->append(value);
        }
    }
}

Bytes Held(const TByteArrayAutoPtr& a)
{
    return Bytes(a.get(), a.get() + a.size());
}

class Encoding : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        g_token.reset(new SoftHsmToken("enrol_encoding", "Enrol"));
        ImportKey(*g_token, "dsa1024", "dsa:1024", "0B01", "DSA 1024");
        ImportKey(*g_token, "dsa2048", "dsa2048-256", "0B02", "DSA 2048");
    }
    static void TearDownTestSuite() { g_token.reset(); }

    void SetUp() override
    {
        CurrentFaults() = Faults();
        m_token = &g_token->Open();
    }
    void TearDown() override { g_token->Close(); }

    // A new RSA pair on the token; the objects belong to the test.
    void Generate(unsigned int bits, const std::string& id, std::unique_ptr<CPKCS11AsymmetricKey>& pub,
                  std::unique_ptr<CPKCS11AsymmetricKey>& priv)
    {
        CPKCS11AsymmetricKey* p = nullptr;
        CPKCS11AsymmetricKey* q = nullptr;
        std::vector<unsigned char> idBytes(id.begin(), id.end());
        ASSERT_TRUE(
            m_token->GenerateRSAKeyPair(bits, true, idBytes.data(), uint32_t(idBytes.size()), id.c_str(), &p, &q))
            << g_token->Sink().what();
        pub.reset(p);
        priv.reset(q);
    }

    CPKCS11Token* m_token = nullptr;
};

TEST_F(Encoding, RequestsOnEveryKeyVerifyAndCarryTheNameAndTheTokensKey)
{
    std::unique_ptr<CPKCS11AsymmetricKey> pub1024, priv1024, pub2048, priv2048;
    Generate(1024, "rsa1024", pub1024, priv1024);
    Generate(2048, "rsa2048", pub2048, priv2048);
    struct Case {
        const char* what;
        CPKCS11AsymmetricKey* priv;
        CPKCS11AsymmetricKey* pub;
        const char* signatureOid;
    } cases[] = {
        {"RSA 1024 generated", priv1024.get(), pub1024.get(), id_RSA_sha1rsa},
        {"RSA 2048 generated", priv2048.get(), pub2048.get(), id_RSA_sha1rsa},
        {"DSA 1024/160 imported", g_token->Key("0B01", false), g_token->Key("0B01", true), id_X957_dsaWithSHA1},
        {"DSA 2048/256 imported", g_token->Key("0B02", false), g_token->Key("0B02", true), id_X957_dsaWithSHA1},
    };
    CASN1Name name;
    Fill(name, kName);
    for (const Case& c : cases) {
        ASSERT_TRUE(c.priv && c.pub) << c.what;
        TByteArrayAutoPtr request;
        ASSERT_TRUE(name.EncodeAndSign(*c.priv, *c.pub, request)) << c.what << ": " << g_token->Sink().what();
        const Bytes der = Held(request);

        std::string output;
        EXPECT_TRUE(OpenSslVerifies(g_token->Dir(), der, &output)) << c.what << ": " << output;
        EXPECT_TRUE(VerifyCertificationRequest(request.get(), request.size())) << c.what;

        const RequestView view = ReadRequest(der);
        ASSERT_TRUE(view.parsed) << c.what;
        EXPECT_EQ(view.signatureAlgorithm, c.signatureOid) << c.what;
        EXPECT_EQ(fixture::ToHex(view.publicKeyInfo), fixture::ToHex(g_token->PublicKeyInfoFromToken(*c.pub)))
            << c.what << ": the request carries another key than the token's";

        // Each value once, in its RDN, in its type, with its text; within an RDN in
        // DER order, so compared by OID.
        size_t expected = 0;
        for (size_t rdn = 0; rdn < kName.size(); ++rdn)
            for (const TValue& v : kName[rdn]) {
                ++expected;
                bool found = false;
                for (const RequestView::Entry& e : view.subject)
                    if (e.oid == v.oid && size_t(e.rdn) == rdn) {
                        found = true;
                        EXPECT_EQ(e.tag, kTags[v.type]) << c.what << " " << v.oid;
                        EXPECT_EQ(fixture::ToHex(e.content), fixture::ToHex(ContentOf(v))) << c.what << " " << v.oid;
                    }
                EXPECT_TRUE(found) << c.what << ": " << v.oid << " missing in RDN " << rdn;
            }
        EXPECT_EQ(view.subject.size(), expected) << c.what;
    }
    EXPECT_EQ(g_token->Sink().GetMessage(), nullptr);
}

TEST_F(Encoding, EveryStringTypeIsWrittenWithItsTagAndTheSignatureVerifies)
{
    std::unique_ptr<CPKCS11AsymmetricKey> pub, priv;
    Generate(1024, "everytype", pub, priv);
    CASN1Name name;
    Fill(name, kEveryType);
    // A named array: GCC 14 takes pairs made in the loop's head for dangling references.
    const std::pair<CPKCS11AsymmetricKey*, CPKCS11AsymmetricKey*> keySets[] = {
        {priv.get(), pub.get()}, {g_token->Key("0B02", false), g_token->Key("0B02", true)}};
    for (const auto& keys : keySets) {
        TByteArrayAutoPtr request;
        ASSERT_TRUE(name.EncodeAndSign(*keys.first, *keys.second, request)) << g_token->Sink().what();
        const Bytes der = Held(request);
        EXPECT_TRUE(VerifyCertificationRequest(request.get(), request.size()));

        const std::string parsed = OpenSslAsn1Parse(g_token->Dir(), der);
        for (const char* tag :
             {"PRINTABLESTRING", "VISIBLESTRING", "UTF8STRING", "NUMERICSTRING", "IA5STRING", "T61STRING",
              "VIDEOTEXSTRING", "GRAPHICSTRING", "GENERALSTRING", "UNIVERSALSTRING", "BMPSTRING"})
            EXPECT_NE(parsed.find(std::string("prim: ") + tag + " "), std::string::npos) << "no " << tag << "\n"
                                                                                         << parsed;

        // The openssl command verifies the signature over the request information with
        // the token's public key.
        const Bytes info = Element(der, 0, 0);
        size_t signatureAt = 0;
        const Bytes signature = Element(der, 0, 2, &signatureAt);
        const std::string dir = g_token->Dir();
        fixture::WriteBytes(dir + "/info.der", info);
        fixture::WriteBytes(dir + "/signature.bin", Bytes(der.begin() + long(signatureAt) + 1, der.end()));
        fixture::WriteBytes(dir + "/key.der", g_token->PublicKeyInfoFromToken(*keys.second));
        std::string output;
        EXPECT_EQ(fixture::Run("openssl dgst -sha1 -verify " + fixture::Quote(dir + "/key.der") +
                                   " -keyform DER -signature " + fixture::Quote(dir + "/signature.bin") + " " +
                                   fixture::Quote(dir + "/info.der"),
                               &output),
                  0)
            << output;
        EXPECT_EQ(signature[0], 0x03);
    }
}

TEST_F(Encoding, EmptyValuesAndEmptyRelativeNamesAreLeftOut)
{
    std::unique_ptr<CPKCS11AsymmetricKey> pub, priv;
    Generate(1024, "empty", pub, priv);
    CASN1Name name;
    Fill(name, {{{"2.5.4.6", ASN1_PRINTABLE_STRING, U""}},
                {{"2.5.4.3", ASN1_UTF8_STRING, U"Only"}, {"2.5.4.10", ASN1_UTF8_STRING, U""}},
                {{"2.5.4.11", ASN1_NO_STRING_TYPE, U"untyped"}}});
    TByteArrayAutoPtr request;
    ASSERT_TRUE(name.EncodeAndSign(*priv, *pub, request));
    const RequestView view = ReadRequest(Held(request));
    ASSERT_EQ(view.subject.size(), 1u);
    EXPECT_EQ(view.subject[0].oid, "2.5.4.3");
    EXPECT_EQ(view.subject[0].rdn, 0) << "the empty first RDN is not kept";
    // SEQUENCE { SET { SEQUENCE { CN, UTF8String "Only" } } }: no 13 00, no 31 00
    EXPECT_EQ(fixture::ToHex(view.subjectDer), "300F310D300B06035504030C044F6E6C79");

    // Nothing left at all: the empty sequence.
    CASN1Name empty;
    Fill(empty, {{{"2.5.4.6", ASN1_PRINTABLE_STRING, U""}}});
    ASSERT_TRUE(empty.EncodeAndSign(*priv, *pub, request));
    EXPECT_EQ(fixture::ToHex(ReadRequest(Held(request)).subjectDer), "3000");
}

TEST_F(Encoding, TextsTheirTypeCannotHoldAreRefusedNotEncoded)
{
    std::unique_ptr<CPKCS11AsymmetricKey> pub, priv;
    Generate(1024, "refused", pub, priv);
    CASN1Name name;
    Fill(name, {{{"2.5.4.3", ASN1_PRINTABLE_STRING, U"Иван"}}});
    TByteArrayAutoPtr request(new unsigned char[3], 3);
    unsigned char* before = request.get();
    EXPECT_THROW(name.EncodeAndSign(*priv, *pub, request), CEnrolmentError);
    EXPECT_EQ(request.get(), before);
    EXPECT_EQ(request.size(), 3u);
}

TEST_F(Encoding, MismatchedPairSignsButDoesNotVerify)
{
    std::unique_ptr<CPKCS11AsymmetricKey> pubA, privA, pubB, privB;
    Generate(1024, "pairA", pubA, privA);
    Generate(1024, "pairB", pubB, privB);
    CASN1Name name;
    Fill(name, {{{"2.5.4.3", ASN1_UTF8_STRING, U"Crossed"}}});
    TByteArrayAutoPtr request;
    ASSERT_TRUE(name.EncodeAndSign(*privA, *pubB, request));
    QString reason;
    EXPECT_FALSE(VerifyCertificationRequest(request.get(), request.size(), &reason));
    EXPECT_FALSE(reason.isEmpty());
    EXPECT_FALSE(OpenSslVerifies(g_token->Dir(), Held(request)));

    // An RSA private key with a DSA public key is refused before anything is signed.
    CPKCS11AsymmetricKey* dsaPublic = g_token->Key("0B01", true);
    ASSERT_NE(dsaPublic, nullptr);
    EXPECT_THROW(name.EncodeAndSign(*privA, *dsaPublic, request), CEnrolmentError);
}

TEST_F(Encoding, TokenFailuresLeaveTheCallersHolderUntouched)
{
    g_token->Close();
    m_token = &g_token->Open(true);
    CPKCS11AsymmetricKey* priv = g_token->Key("0B01", false);
    CPKCS11AsymmetricKey* pub = g_token->Key("0B01", true);
    ASSERT_TRUE(priv && pub);
    CASN1Name name;
    Fill(name, {{{"2.5.4.3", ASN1_UTF8_STRING, U"Fails"}}});
    struct Case {
        const char* what;
        bool Faults::*fault;
    } cases[] = {
        {"signing", &Faults::signInit},
        {"digest", &Faults::digestInit},
        {"public key", &Faults::getAttributeValue},
    };
    for (const Case& c : cases) {
        CurrentFaults() = Faults();
        CurrentFaults().*c.fault = true;
        TByteArrayAutoPtr request(new unsigned char[5]{1, 2, 3, 4, 5}, 5);
        unsigned char* before = request.get();
        g_token->Sink().Reset();
        EXPECT_FALSE(name.EncodeAndSign(*priv, *pub, request)) << c.what;
        EXPECT_EQ(request.get(), before) << c.what;
        EXPECT_EQ(request.size(), 5u) << c.what;
        EXPECT_EQ(request[4], 5) << c.what;
        EXPECT_NE(g_token->Sink().GetMessage(), nullptr) << c.what << ": the token's failure is recorded";
    }
    CurrentFaults() = Faults();
    TByteArrayAutoPtr request;
    EXPECT_TRUE(name.EncodeAndSign(*priv, *pub, request)) << "works again without faults";
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
