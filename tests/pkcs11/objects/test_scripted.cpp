// Token objects that the test module scripts: a search that fails for one class, an object
// that cannot be read, IDs and names longer than the usual buffers, and a key stored with
// leading zeros in its integers.

#include <gtest/gtest.h>

#include <QObject>
#include <QRegularExpression>

#include <memory>
#include <string>
#include <vector>

#include "Der.h"
#include "FieldList.h"
#include "Fixture.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "TestModuleControl.h"

namespace {

typedef std::vector<unsigned char> TBytes;

CK_OBJECT_CLASS g_certificate = CKO_CERTIFICATE, g_public = CKO_PUBLIC_KEY, g_private = CKO_PRIVATE_KEY;
CK_CERTIFICATE_TYPE g_x509 = CKC_X_509;
CK_KEY_TYPE g_rsa = CKK_RSA;

// A test-module token in slot 1, and the layer's view of it.
class ScriptedToken : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dir = fixture::ScratchDir("pkcs11_scripted_" +
                                    std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        m_tm.add_slot(1, "Reader", "Maker");
        m_tm.insert_token(1, nullptr, "87654321", "1234", 0);
    }

    CK_OBJECT_HANDLE AddCertificate(const TBytes& der, const TBytes& id, const std::string& label)
    {
        CK_ATTRIBUTE a[] = {{CKA_CLASS, &g_certificate, sizeof g_certificate},
                            {CKA_CERTIFICATE_TYPE, &g_x509, sizeof g_x509},
                            {CKA_ID, const_cast<unsigned char*>(id.data()), CK_ULONG(id.size())},
                            {CKA_LABEL, const_cast<char*>(label.data()), CK_ULONG(label.size())},
                            {CKA_VALUE, const_cast<unsigned char*>(der.data()), CK_ULONG(der.size())}};
        return m_tm.add_object(1, a, 5);
    }

    // An RSA key object of that class with the given integers as stored.
    CK_OBJECT_HANDLE AddKey(CK_OBJECT_CLASS& cls, const TBytes& id, const TBytes& modulus, const TBytes& exponent)
    {
        CK_ATTRIBUTE a[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_KEY_TYPE, &g_rsa, sizeof g_rsa},
                            {CKA_ID, const_cast<unsigned char*>(id.data()), CK_ULONG(id.size())},
                            {CKA_LABEL, const_cast<char*>("Key"), 3},
                            {CKA_MODULUS, const_cast<unsigned char*>(modulus.data()), CK_ULONG(modulus.size())},
                            {CKA_PUBLIC_EXPONENT, const_cast<unsigned char*>(exponent.data()),
                             CK_ULONG(exponent.size())}};
        return m_tm.add_object(1, a, 6);
    }

    TBytes Certificate(const std::string& name, const std::string& subject)
    {
        m_key = fixture::MakeKey(m_dir, name, "rsa:1024");
        return fixture::ReadBytes(fixture::MakeSelfSigned(m_dir, name, m_key, subject));
    }

    // The last key's modulus as openssl gives it: a magnitude without leading zero.
    TBytes Modulus()
    {
        std::string out;
        EXPECT_EQ(fixture::Run("openssl rsa -in " + fixture::Quote(m_key.keyPem) + " -noout -modulus", &out), 0);
        const size_t at = out.find("Modulus=");
        EXPECT_NE(at, std::string::npos) << out;
        std::string hex = out.substr(at + 8);
        hex = hex.substr(0, hex.find_first_not_of("0123456789ABCDEFabcdef"));
        return fixture::FromHex(hex);
    }

    CPKCS11Token* Open()
    {
        m_context.reset(new CPKCS11Context(testmodule::ModulePath(), "Scripted", &m_sink));
        CPKCS11Slot* slot = m_context->GetSlot(0);
        EXPECT_NE(slot, nullptr);
        CPKCS11Token* token = slot ? slot->GetToken() : nullptr;
        EXPECT_TRUE(token && token->OpenSession(false));
        return token;
    }

    void TearDown() override { m_context.reset(); }

    testmodule::Control m_tm;
    std::string m_dir;
    fixture::KeyFiles m_key;
    CTSYException m_sink;
    std::unique_ptr<CPKCS11Context> m_context;
};

TEST_F(ScriptedToken, SearchFailingForOneClassIsToldAndTheOtherClassesListed)
{
    const TBytes cert = Certificate("one", "/CN=One");
    AddCertificate(cert, {0x01}, "one");
    AddKey(g_public, {0x01}, Modulus(), {0x01, 0x00, 0x01});
    AddKey(g_public, {0x02}, Modulus(), {0x01, 0x00, 0x01});
    m_tm.fail_search(CKO_PUBLIC_KEY, CKR_DEVICE_ERROR);

    CPKCS11Token* token = Open();
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->ReadObjects());
    EXPECT_EQ(token->GetCertificateCount(), 1u);
    EXPECT_EQ(token->GetAsymmetricKeyCount(), 0u);
    ASSERT_EQ(token->GetListingProblems().size(), 1u);
    const CPKCS11Token::TListingProblem& p = token->GetListingProblems()[0];
    EXPECT_EQ(p.nClass, CKO_PUBLIC_KEY);
    EXPECT_EQ(p.rvSearch, CKR_DEVICE_ERROR);
    EXPECT_STREQ(p.pszSearchCall, "C_FindObjects");
    EXPECT_EQ(p.nUnreadable, 0u);

    // Read again once the module answers: nothing is left of the earlier trouble.
    m_tm.fail_search(CKO_PUBLIC_KEY, CKR_OK);
    EXPECT_TRUE(token->ReadObjects());
    EXPECT_EQ(token->GetAsymmetricKeyCount(), 2u);
    EXPECT_TRUE(token->GetListingProblems().empty());
}

// A search answer claiming more handles than the module wrote: what it did not write is no
// handle, neither an object to list nor one that cannot be read.
TEST_F(ScriptedToken, SearchClaimingMoreHandlesThanWrittenListsWhatWasGiven)
{
    const TBytes cert = Certificate("one", "/CN=One");
    AddCertificate(cert, {0x01}, "one");
    AddCertificate(cert, {0x02}, "two");
    AddKey(g_public, {0x01}, Modulus(), {0x01, 0x00, 0x01});
    m_tm.overstate_search(1000);

    CPKCS11Token* token = Open();
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->ReadObjects());
    EXPECT_EQ(token->GetCertificateCount(), 2u);
    EXPECT_EQ(token->GetAsymmetricKeyCount(), 1u);
    EXPECT_TRUE(token->GetListingProblems().empty());
}

TEST_F(ScriptedToken, ObjectWhoseAttributesCannotBeReadIsSkippedAlone)
{
    const TBytes cert = Certificate("one", "/CN=One");
    AddCertificate(cert, {0x01}, "first");
    const CK_OBJECT_HANDLE broken = AddCertificate(cert, {0x02}, "broken");
    AddCertificate(cert, {0x03}, "third");
    m_tm.fail_object(broken, CKR_DEVICE_REMOVED);

    CPKCS11Token* token = Open();
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->ReadObjects());
    ASSERT_EQ(token->GetCertificateCount(), 2u);
    EXPECT_STREQ(token->GetCertificate(0)->GetLabel(), "first");
    EXPECT_STREQ(token->GetCertificate(1)->GetLabel(), "third");
    ASSERT_EQ(token->GetListingProblems().size(), 1u);
    const CPKCS11Token::TListingProblem& p = token->GetListingProblems()[0];
    EXPECT_EQ(p.nClass, CKO_CERTIFICATE);
    EXPECT_EQ(p.rvSearch, CKR_OK);
    EXPECT_EQ(p.nUnreadable, 1u);
    EXPECT_EQ(p.rvUnreadable, CKR_DEVICE_REMOVED);
}

TEST_F(ScriptedToken, LongIDPairsAndLongNameIsShownWhole)
{
    // A name text past every buffer the decoder and the layer used to have.
    const std::string longName(2500, 'n');
    const TBytes cert = Certificate("long", "/O=Long Org/tessalyLongName=" + longName);
    TBytes id(2000);
    for (size_t i = 0; i < id.size(); ++i)
        id[i] = static_cast<unsigned char>(i * 7 + 1);
    AddCertificate(cert, id, "long");
    AddKey(g_public, id, Modulus(), {0x01, 0x00, 0x01});

    CPKCS11Token* token = Open();
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->ReadObjects());
    EXPECT_TRUE(token->GetListingProblems().empty());
    ASSERT_EQ(token->GetCertificateCount(), 1u);
    ASSERT_EQ(token->GetAsymmetricKeyCount(), 1u);
    CPKCS11Certificate* c = token->GetCertificate(0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->GetIDBytes(), id);
    EXPECT_EQ(std::string(c->GetID()), fixture::ToHex(id));
    EXPECT_EQ(c->GetPublicKeyIndex(), 0);
    EXPECT_TRUE(c->IsDecoded());
    EXPECT_EQ(std::string(c->GetSubject()), longName);
    EXPECT_EQ(std::string(c->GetOrganization()), "Long Org");
    EXPECT_TRUE(token->GetAsymmetricKey(0)->HasCertificate());
}

// A common name with a NUL inside (the null-prefix spoof, www.bank.com\0.badguy.com): the
// layer keeps the whole value, and the information pane shows the NUL instead of cutting there.
TEST_F(ScriptedToken, NameWithANulInsideIsKeptWholeAndShownVisibly)
{
    const std::string bank("www.bank.com\0.badguy.com", 24);
    const TBytes plain = Certificate("nul", "/O=Bank\x01Org/CN=www.bank.com");
    for (unsigned char tag : {0x0C, 0x13}) {
        m_context.reset();
        m_tm.reset();
        m_tm.add_slot(1, "Reader", "Maker");
        m_tm.insert_token(1, nullptr, "87654321", "1234", 0);
        AddCertificate(dertest::WithCommonName(plain, tag, TBytes(bank.begin(), bank.end())), {0x01}, "nul");
        CPKCS11Token* token = Open();
        ASSERT_TRUE(token);
        EXPECT_TRUE(token->ReadObjects());
        ASSERT_EQ(token->GetCertificateCount(), 1u);
        CPKCS11Certificate* c = token->GetCertificate(0);
        ASSERT_TRUE(c && c->IsDecoded());
        EXPECT_EQ(c->GetSubject(), bank);
        EXPECT_EQ(c->GetIssuer(), bank);
        CFieldList fields;
        c->PopulateFields(&fields);
        EXPECT_EQ(fields[QObject::tr("Subject")].toStdString(), "www.bank.com\\x00.badguy.com") << int(tag);
        EXPECT_EQ(fields[QObject::tr("Issuer")].toStdString(), "www.bank.com\\x00.badguy.com") << int(tag);
        EXPECT_EQ(fields[QObject::tr("Organization")].toStdString(), "Bank\\x01Org") << int(tag);
    }
}

// A value with a line break posing as another attribute (its one common name is "Evil"), and one
// with a right-to-left override: each field of the pane is the attribute it names, on one line.
TEST_F(ScriptedToken, NameValuesPosingAsOtherAttributesAreShownEscaped)
{
    const struct {
        const char* subject;
        const char* simple;        // the Subject and Issuer fields
        const char* organization;  // empty: no such field
    } cases[] = {
        {"/CN=Evil/O=x\nCN=Trusted Bank", "Evil", "x\\x0aCN=Trusted Bank"},
        {"/O=x\nCN=Trusted Bank", "x\\x0aCN=Trusted Bank", "x\\x0aCN=Trusted Bank"},
        {"/O=Bank\r\nO=Other/CN=Evil\xE2\x80\xA8" "CN=Bank", "Evil\\u2028CN=Bank", "Bank\\x0d\\x0aO=Other"},
        {"/O=Org/CN=Bank\xE2\x80\xAE" "gpj.exe", "Bank\\u202egpj.exe", "Org"},
    };
    int n = 0;
    for (const auto& c : cases) {
        m_context.reset();
        m_tm.reset();
        m_tm.add_slot(1, "Reader", "Maker");
        m_tm.insert_token(1, nullptr, "87654321", "1234", 0);
        const std::string name = "spoof" + std::to_string(n++);
        m_key = fixture::MakeKey(m_dir, name, "rsa:1024");
        AddCertificate(fixture::ReadBytes(fixture::MakeSelfSigned(m_dir, name, m_key, c.subject, 30, "", "-utf8")),
                       {0x01}, "spoof");
        CPKCS11Token* token = Open();
        ASSERT_TRUE(token);
        EXPECT_TRUE(token->ReadObjects());
        ASSERT_EQ(token->GetCertificateCount(), 1u);
        CPKCS11Certificate* cert = token->GetCertificate(0);
        ASSERT_TRUE(cert && cert->IsDecoded()) << c.subject;
        CFieldList fields;
        cert->PopulateFields(&fields);
        EXPECT_EQ(fields[QObject::tr("Subject")], QString::fromUtf8(c.simple)) << c.subject;
        EXPECT_EQ(fields[QObject::tr("Issuer")], QString::fromUtf8(c.simple)) << c.subject;
        EXPECT_EQ(fields.IndexOf(QObject::tr("Organization")) >= 0, *c.organization != 0) << c.subject;
        if (*c.organization) {
            EXPECT_EQ(fields[QObject::tr("Organization")], QString::fromUtf8(c.organization)) << c.subject;
        }
        for (int i = 0; i < fields.GetCount(); ++i)
            EXPECT_FALSE(fields.GetValue(i)->contains(QRegularExpression("[\\n\\r\\x{2028}\\x{202e}]")))
                << c.subject << ": " << fields.GetName(i)->toStdString();
    }
}

// A key pair with an old and a renewed certificate: both pair with it, and a new certificate
// for it asks before it replaces them.
TEST_F(ScriptedToken, PairWithTwoCertificatesIsAskedAboutOnceAndReplacedWhole)
{
    const TBytes old = Certificate("old", "/CN=Old");
    const TBytes renewed = fixture::ReadBytes(fixture::MakeSelfSigned(m_dir, "renewed", m_key, "/CN=Renewed"));
    TBytes newest = fixture::ReadBytes(fixture::MakeSelfSigned(m_dir, "newest", m_key, "/CN=Newest"));
    AddKey(g_public, {0x0E}, Modulus(), {0x01, 0x00, 0x01});
    AddCertificate(old, {0x0E}, "Pair");
    AddCertificate(renewed, {0x0E}, "Pair");

    CPKCS11Token* token = Open();
    ASSERT_TRUE(token);
    EXPECT_TRUE(token->ReadObjects());
    ASSERT_EQ(token->GetCertificateCount(), 2u);
    for (unsigned long i = 0; i < 2; ++i)
        EXPECT_EQ(token->GetCertificate(i)->GetPublicKeyIndex(), 0) << i;
    EXPECT_TRUE(token->GetAsymmetricKey(0)->HasCertificate());

    EXPECT_FALSE(token->InstallCertificate(newest.data(), uint32_t(newest.size()), false));
    EXPECT_EQ(m_sink.GetCode(), TSY_CERT_ALREADY_EXISTS);
    EXPECT_EQ(m_tm.object_count(1), 3);
    m_sink.Reset();
    EXPECT_TRUE(token->InstallCertificate(newest.data(), uint32_t(newest.size()), true)) << m_sink.GetCode();
    token->ReadObjects();
    ASSERT_EQ(token->GetCertificateCount(), 1u);
    const _CPBLOB* value = token->GetCertificate(0)->GetValue();
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(TBytes(value->pbData, value->pbData + value->cbData), newest);
}

// Integers a token keeps with leading zero bytes are the same numbers as the certificate's.
TEST_F(ScriptedToken, KeyStoredWithLeadingZerosMatchesItsCertificate)
{
    struct Case {
        const char* name;
        size_t modulusZeros, exponentZeros;
    } cases[] = {{"modulus", 1, 0}, {"exponent", 0, 2}, {"both", 3, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_context.reset();
        m_tm.reset();
        SetUp();
        const TBytes cert = Certificate(c.name, std::string("/CN=") + c.name);
        TBytes modulus(c.modulusZeros, 0), exponent(c.exponentZeros, 0);
        const TBytes magnitude = Modulus();
        modulus.insert(modulus.end(), magnitude.begin(), magnitude.end());
        exponent.insert(exponent.end(), {0x01, 0x00, 0x01});
        AddKey(g_public, {0x0C}, modulus, exponent);
        AddKey(g_private, {0x0C}, modulus, exponent);

        CPKCS11Token* token = Open();
        ASSERT_TRUE(token);
        TBytes der = cert;
        EXPECT_TRUE(token->InstallCertificate(der.data(), uint32_t(der.size()), false))
            << (m_sink.GetMessage() ? m_sink.GetMessage() : "") << " " << std::hex << m_sink.GetCode();
        token->ReadObjects();
        ASSERT_EQ(token->GetCertificateCount(), 1u);
        EXPECT_EQ(token->GetCertificate(0)->GetIDBytes(), TBytes{0x0C});
        EXPECT_EQ(token->GetCertificate(0)->GetPublicKeyIndex(), 0);
    }

    // Another key is still no match.
    m_context.reset();
    m_tm.reset();
    SetUp();
    const TBytes cert = Certificate("other", "/CN=Other");
    Certificate("unrelated", "/CN=Unrelated");
    TBytes modulus{0x00};
    const TBytes magnitude = Modulus();
    modulus.insert(modulus.end(), magnitude.begin(), magnitude.end());
    AddKey(g_public, {0x0D}, modulus, {0x01, 0x00, 0x01});
    CPKCS11Token* token = Open();
    ASSERT_TRUE(token);
    TBytes der = cert;
    EXPECT_FALSE(token->InstallCertificate(der.data(), uint32_t(der.size()), false));
    EXPECT_EQ(m_sink.GetCode(), TSY_KEYSET_NOT_EXISTS);
}

} // namespace
