// Token objects on a SoftHSM2 token filled with softhsm2-util, pkcs11-tool and
// a few objects made through PKCS#11: enumeration, pairing by CKA_ID, private
// keys only after login, re-reading, and the certificate fields from libpellum.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <stdexcept>

#include <sorvit/AutoArray.h>
#include "FieldList.h"
#include "ObjectsSupport.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"

using namespace objtest;

namespace {

struct Contents {
    std::unique_ptr<Store> store;
    fixture::KeyFiles alice, bob, dave, eve;
    std::string aliceCert, bigCert, carolCert;
};
Contents* g_contents = nullptr;

class ObjectsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_contents = new Contents;
        Contents& c = *g_contents;
        c.store.reset(new Store("pkcs11_objects"));
        const std::string& dir = c.store->dir;
        fixture::SoftHsm& hsm = c.store->hsm;
        c.alice = fixture::MakeKey(dir, "alice", "rsa:1024");
        c.bob = fixture::MakeKey(dir, "bob", "rsa:1024");
        c.dave = fixture::MakeKey(dir, "dave", "dsa:1024");
        c.eve = fixture::MakeKey(dir, "eve", "ec:prime256v1");
        fixture::KeyFiles carol = fixture::MakeKey(dir, "carol", "rsa:1024");
        ASSERT_TRUE(hsm.ImportKey(c.alice.keyPem, c.store->label, "alice key", "0A01")) << hsm.LastOutput();
        ASSERT_TRUE(hsm.ImportKey(c.bob.keyPem, c.store->label, "bob key", "0A02")) << hsm.LastOutput();
        ASSERT_TRUE(hsm.ImportKey(c.dave.keyPem, c.store->label, "dave key", "0B01")) << hsm.LastOutput();
        ASSERT_TRUE(hsm.ImportKey(c.eve.keyPem, c.store->label, "eve key", "0C01")) << hsm.LastOutput();
        c.aliceCert = fixture::MakeSelfSigned(dir, "alice", c.alice, "/C=DE/O=Veskora Test/CN=Alice", 365, "",
                                              "-set_serial 0x1234ABCD");
        ASSERT_TRUE(hsm.WriteCert(c.aliceCert, c.store->label, "alice cert", "0A01")) << hsm.LastOutput();
        std::string carolCert = fixture::MakeSelfSigned(dir, "carol", carol, "/CN=Carol");
        c.carolCert = carolCert;
        ASSERT_TRUE(hsm.WriteCert(carolCert, c.store->label, "carol cert", "0A03")) << hsm.LastOutput();
        // Organisation as the last line of the name text, and a common name holding "O=".
        std::string daveCert = fixture::MakeSelfSigned(dir, "dave", c.dave, "/O=Dave Org/CN=Dave O=Not This");
        ASSERT_TRUE(hsm.WriteCert(daveCert, c.store->label, "dave cert", "0B01")) << hsm.LastOutput();

        CK_FUNCTION_LIST_PTR fl = Module::Load();
        CK_SLOT_ID slot = Module::FindSlot(c.store->label);
        ASSERT_NE(slot, (CK_SLOT_ID)-1);
        CK_SESSION_HANDLE s = 0;
        ASSERT_EQ(fl->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
        ASSERT_EQ(fl->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK);
        std::vector<unsigned char> first = fixture::ReadBytes(carolCert);
        std::vector<unsigned char> second = fixture::ReadBytes(c.aliceCert);
        std::vector<unsigned char> dupId = {0x0A, 0x05}, emptyId, junkId = {0x0A, 0x07};
        std::string dupLabel = "duplicate";
        ASSERT_NE(CreateCertificateObject(s, first, &dupId, &dupLabel), 0u);
        ASSERT_NE(CreateCertificateObject(s, second, &dupId, &dupLabel), 0u);
        // No label at all, and an empty CKA_ID.
        ASSERT_NE(CreateCertificateObject(s, first, &emptyId, nullptr), 0u);
        // A value past the usual buffer, a long label, and a fixed validity start.
        std::string big = fixture::MakeSelfSigned(dir, "big", c.bob, "/CN=Big",
                                                  365, "nsComment=" + std::string(5000, 'x'));
        std::vector<unsigned char> bigId = {0x0A, 0x08};
        std::string longLabel(300, 'L');
        ASSERT_NE(CreateCertificateObject(s, fixture::ReadBytes(big), &bigId, &longLabel), 0u);
        std::vector<unsigned char> datedId = {0x0A, 0x09};
        std::string datedLabel = "dated";
        std::vector<unsigned char> dated =
            MakeCertificate(c.bob.keyPem, "/CN=Dated", 7, 1234567890, 1234567890 + 86400L * 400);
        ASSERT_FALSE(dated.empty());
        ASSERT_NE(CreateCertificateObject(s, dated, &datedId, &datedLabel), 0u);
        c.bigCert = big;
        std::string junkLabel = "junk";
        ASSERT_NE(CreateCertificateObject(s, {0x01, 0x02, 0x03}, &junkId, &junkLabel), 0u);
        fl->C_CloseSession(s);
    }

    static void TearDownTestSuite()
    {
        Module::Unload();
        delete g_contents;
        g_contents = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(g_contents && g_contents->store);
        CurrentFaults().Reset();
        CK_SLOT_ID slot = Module::FindSlot(g_contents->store->label);
        ASSERT_NE(slot, (CK_SLOT_ID)-1);
        m_slot.reset(new CPKCS11Slot(slot, FaultyFunctions(), &m_sink));
        m_token = m_slot->GetToken();
        ASSERT_NE(m_token, nullptr);
    }

    void TearDown() override { m_slot.reset(); }

    void OpenAndRead(bool login)
    {
        ASSERT_TRUE(m_token->OpenSession(false));
        if (login) {
            ASSERT_TRUE(m_token->Login("1234", NormalUser));
        }
        m_token->ReadObjects();
    }

    // Index of the certificate with this ID, -1 when not listed.
    int CertIndex(const std::string& idHex)
    {
        for (unsigned long i = 0; i < m_token->GetCertificateCount(); ++i) {
            CPKCS11Certificate* c = m_token->GetCertificate(i);
            if (c && idHex == c->GetID())
                return int(i);
        }
        return -1;
    }

    CTSYException m_sink;
    std::unique_ptr<CPKCS11Slot> m_slot;
    CPKCS11Token* m_token = nullptr;
};

TEST_F(ObjectsTest, WithoutLoginOnlyCertificatesAndPublicKeysAreListed)
{
    OpenAndRead(false);
    // alice, carol, dave, both of the duplicate pair, the unlabelled, big, dated and junk ones.
    EXPECT_EQ(m_token->GetCertificateCount(), 9u);
    ASSERT_EQ(m_token->GetAsymmetricKeyCount(), 4u);
    std::vector<std::string> ids;
    for (unsigned long i = 0; i < 4; ++i) {
        CPKCS11AsymmetricKey* key = m_token->GetAsymmetricKey(i);
        ASSERT_NE(key, nullptr);
        EXPECT_TRUE(key->GetKeyFlags() & KEY_CLASS_PUBLIC);
        EXPECT_EQ(key->GetPairIndex(), -1) << "no private key is visible";
        ids.push_back(key->GetID());
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"0A01", "0A02", "0B01", "0C01"}));
    EXPECT_EQ(m_token->GetAsymmetricKey(4), nullptr);
    EXPECT_EQ(m_sink.GetMessage(), nullptr);
}

TEST_F(ObjectsTest, AfterLoginPrivateKeysFollowAllPublicKeysAndPairByID)
{
    OpenAndRead(true);
    ASSERT_EQ(m_token->GetAsymmetricKeyCount(), 8u);
    for (unsigned long i = 0; i < 8; ++i) {
        CPKCS11AsymmetricKey* key = m_token->GetAsymmetricKey(i);
        ASSERT_NE(key, nullptr) << i;
        EXPECT_EQ((key->GetKeyFlags() & KEY_CLASS_PUBLIC) != 0, i < 4) << i;
        // Every imported key has its partner.
        ASSERT_NE(key->GetPairIndex(), -1) << i;
        CPKCS11AsymmetricKey* pair = m_token->GetAsymmetricKey(key->GetPairIndex());
        ASSERT_NE(pair, nullptr);
        EXPECT_STREQ(pair->GetID(), key->GetID());
        EXPECT_NE(pair->GetKeyFlags() & KEY_CLASS_PUBLIC, key->GetKeyFlags() & KEY_CLASS_PUBLIC);
    }

    struct Case {
        const char* id;
        bool hasKeys;
        unsigned long type;
    } cases[] = {{"0A01", true, KEY_TYPE_RSA}, {"0A03", false, 0}, {"0B01", true, KEY_TYPE_DSA}};
    for (const Case& c : cases) {
        int i = CertIndex(c.id);
        ASSERT_GE(i, 0) << c.id;
        CPKCS11Certificate* cert = m_token->GetCertificate(i);
        if (!c.hasKeys) {
            EXPECT_EQ(cert->GetPublicKeyIndex(), -1) << c.id;
            EXPECT_EQ(cert->GetPrivateKeyIndex(), -1) << c.id;
            continue;
        }
        CPKCS11AsymmetricKey* pub = m_token->GetAsymmetricKey(cert->GetPublicKeyIndex());
        CPKCS11AsymmetricKey* priv = m_token->GetAsymmetricKey(cert->GetPrivateKeyIndex());
        ASSERT_NE(pub, nullptr) << c.id;
        ASSERT_NE(priv, nullptr) << c.id;
        EXPECT_EQ(pub->GetKeyFlags(), KEY_CLASS_PUBLIC | c.type) << c.id;
        EXPECT_EQ(priv->GetKeyFlags(), KEY_CLASS_PRIVATE | c.type) << c.id;
        EXPECT_TRUE(pub->HasCertificate());
        EXPECT_TRUE(priv->HasCertificate());
    }
    // bob's keys have no certificate; eve's key is an EC key.
    for (unsigned long i = 0; i < 8; ++i) {
        CPKCS11AsymmetricKey* key = m_token->GetAsymmetricKey(i);
        std::string id = key->GetID();
        if (id == "0A02") {
            EXPECT_FALSE(key->HasCertificate());
        }
        if (id == "0C01") {
            EXPECT_TRUE(key->GetKeyFlags() & KEY_TYPE_EC);
        }
    }
}

TEST_F(ObjectsTest, CertificateFieldsComeFromTheDecodedValue)
{
    OpenAndRead(false);
    int i = CertIndex("0A01");
    ASSERT_GE(i, 0);
    CPKCS11Certificate* cert = m_token->GetCertificate(i);
    ASSERT_TRUE(cert->IsDecoded());
    EXPECT_STREQ(cert->GetLabel(), "alice cert");
    EXPECT_STREQ(cert->GetSerialNumber(), "1234ABCD");
    EXPECT_EQ(cert->GetSubject(), "Alice");
    EXPECT_EQ(cert->GetIssuer(), "Alice");
    EXPECT_EQ(cert->GetOrganization(), "Veskora Test");
    ASSERT_NE(cert->GetValue(), nullptr);
    EXPECT_EQ(std::vector<unsigned char>(cert->GetValue()->pbData, cert->GetValue()->pbData + cert->GetValue()->cbData),
              fixture::ReadBytes(g_contents->aliceCert));

    CFieldList fields;
    cert->PopulateFields(&fields);
    std::vector<std::string> names;
    for (int n = 0; n < fields.GetCount(); ++n)
        names.push_back(fields.GetName(n)->toStdString());
    EXPECT_EQ(names, (std::vector<std::string>{"Serial number", "Subject", "Organization", "Issuer", "Valid from",
                                               "Valid to"}));
    EXPECT_EQ(fields[QStringLiteral("Organization")], QStringLiteral("Veskora Test"));
}

TEST_F(ObjectsTest, OrganisationIsReadOnlyFromTheStartOfANameLine)
{
    OpenAndRead(false);
    CPKCS11Certificate* dave = m_token->GetCertificate(CertIndex("0B01"));
    ASSERT_NE(dave, nullptr);
    EXPECT_EQ(dave->GetSubject(), "Dave O=Not This");
    EXPECT_EQ(dave->GetOrganization(), "Dave Org");
    CPKCS11Certificate* carol = m_token->GetCertificate(CertIndex("0A03"));
    ASSERT_NE(carol, nullptr);
    EXPECT_EQ(carol->GetOrganization(), "");
    CFieldList fields;
    carol->PopulateFields(&fields);
    EXPECT_EQ(fields.IndexOf(QStringLiteral("Organization")), -1);

    struct Case {
        const char* text;
        const char* organisation;
    } cases[] = {
        {"CN=Smith O=Evil\nO=Real", "Real"},
        {"CN=Smith O=Evil", ""},
        {"O=Only", "Only"},
        {"CN=A\nOU=Unit\nO=Org\nC=DE", "Org"},
        {"CN=A\nOU=Unit", ""},
        {"CN=CO=x\nO=", ""},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CPKCS11Certificate::OrganizationFromNameText(c.text), c.organisation) << c.text;
}

TEST_F(ObjectsTest, LargeValuesAndLabelsAreReadWhole)
{
    OpenAndRead(false);
    CPKCS11Certificate* big = m_token->GetCertificate(CertIndex("0A08"));
    ASSERT_NE(big, nullptr);
    std::vector<unsigned char> expected = fixture::ReadBytes(g_contents->bigCert);
    ASSERT_GT(expected.size(), 5000u);
    ASSERT_NE(big->GetValue(), nullptr);
    EXPECT_EQ(std::vector<unsigned char>(big->GetValue()->pbData, big->GetValue()->pbData + big->GetValue()->cbData),
              expected);
    EXPECT_TRUE(big->IsDecoded());
    EXPECT_EQ(std::string(big->GetLabel()), std::string(300, 'L'));
}

TEST_F(ObjectsTest, ValidityIsShownInUtcWhateverTheTimeZone)
{
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    OpenAndRead(false);
    CPKCS11Certificate* dated = m_token->GetCertificate(CertIndex("0A09"));
    ASSERT_NE(dated, nullptr);
    EXPECT_EQ(dated->GetValidFrom(), 1234567890);
    CFieldList fields;
    dated->PopulateFields(&fields);
    EXPECT_EQ(fields[QStringLiteral("Valid from")], QStringLiteral("13/02/2009 23:31 GMT"));
    EXPECT_EQ(fields[QStringLiteral("Valid to")], QStringLiteral("20/03/2010 23:31 GMT"));
    EXPECT_EQ(fields.IndexOf(QStringLiteral("Organization")), -1);
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(ObjectsTest, ObjectsSharingAnIDAreEachListedAndEmptyIDsSortFirst)
{
    OpenAndRead(false);
    // Both certificates of 0A05, one after the other.
    std::vector<std::string> subjects;
    std::vector<unsigned long> positions;
    for (unsigned long i = 0; i < m_token->GetCertificateCount(); ++i) {
        CPKCS11Certificate* c = m_token->GetCertificate(i);
        ASSERT_NE(c, nullptr) << i;
        if (std::string(c->GetID()) == "0A05") {
            subjects.push_back(c->GetSubject());
            positions.push_back(i);
        }
    }
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"Alice", "Carol"}));
    ASSERT_EQ(positions.size(), 2u);
    EXPECT_EQ(positions[1], positions[0] + 1);

    CPKCS11Certificate* first = m_token->GetCertificate(0);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->GetID(), "");
    EXPECT_STREQ(first->GetLabel(), "(no label)");
}

TEST_F(ObjectsTest, EveryCertificateOfAKeyPairFindsItAndDeletingOneKeepsTheOther)
{
    OpenAndRead(true);
    std::vector<unsigned char> id = {0x0A, 0x01};
    std::string label = "alice renewed";
    const std::vector<unsigned char> renewed =
        MakeCertificate(g_contents->alice.keyPem, "/CN=Alice Renewed", 99, time(nullptr) - 60, time(nullptr) + 86400);
    ASSERT_FALSE(renewed.empty());
    ASSERT_NE(CreateCertificateObject(m_token->GetSession(), renewed, &id, &label), 0u);
    m_token->ReadObjects();

    std::vector<CPKCS11Certificate*> alice;
    for (unsigned long i = 0; i < m_token->GetCertificateCount(); ++i)
        if (std::string(m_token->GetCertificate(i)->GetID()) == "0A01")
            alice.push_back(m_token->GetCertificate(i));
    ASSERT_EQ(alice.size(), 2u);
    for (CPKCS11Certificate* c : alice) {
        ASSERT_NE(c->GetPublicKeyIndex(), -1) << c->GetSubject();
        ASSERT_NE(c->GetPrivateKeyIndex(), -1) << c->GetSubject();
        EXPECT_EQ(c->GetPublicKeyIndex(), alice[0]->GetPublicKeyIndex());
        EXPECT_EQ(c->GetPrivateKeyIndex(), alice[0]->GetPrivateKeyIndex());
    }
    EXPECT_TRUE(m_token->GetAsymmetricKey(alice[0]->GetPublicKeyIndex())->HasCertificate());
    EXPECT_TRUE(m_token->GetAsymmetricKey(alice[0]->GetPrivateKeyIndex())->HasCertificate());

    // Through a new session the object looks its handle up again: among the two of its ID,
    // its own.
    CPKCS11Certificate* doomed = std::string(alice[0]->GetSubject()) == "Alice Renewed" ? alice[0] : alice[1];
    ASSERT_TRUE(m_token->OpenSession(false));
    ASSERT_TRUE(m_token->Login("1234", NormalUser));
    EXPECT_TRUE(doomed->Destroy()) << m_sink.what();
    m_token->ReadObjects();
    alice.clear();
    for (unsigned long i = 0; i < m_token->GetCertificateCount(); ++i)
        if (std::string(m_token->GetCertificate(i)->GetID()) == "0A01")
            alice.push_back(m_token->GetCertificate(i));
    ASSERT_EQ(alice.size(), 1u);
    EXPECT_EQ(alice[0]->GetSubject(), "Alice");
    EXPECT_STREQ(alice[0]->GetLabel(), "alice cert");
}

TEST_F(ObjectsTest, GettersAreBoundedAndCacheTheirObjects)
{
    OpenAndRead(false);
    unsigned long n = m_token->GetCertificateCount();
    EXPECT_EQ(m_token->GetCertificate(n), nullptr);
    EXPECT_EQ(m_token->GetCertificate((unsigned long)-1), nullptr);
    EXPECT_EQ(m_token->GetAsymmetricKey(m_token->GetAsymmetricKeyCount()), nullptr);
    CPKCS11Certificate* c = m_token->GetCertificate(1);
    EXPECT_EQ(m_token->GetCertificate(1), c);
    std::string id = c->GetID();
    m_token->FreeCertificate(c);
    CPKCS11Certificate* again = m_token->GetCertificate(1);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(id, again->GetID());
    m_token->FreeCertificate((CPKCS11Certificate*)nullptr);
    m_token->FreeAsymmetricKey(12345);
}

TEST_F(ObjectsTest, UndecodableValueGivesOneLineWithSinkAndThrowsWithout)
{
    OpenAndRead(false);
    int i = CertIndex("0A07");
    ASSERT_GE(i, 0);
    CPKCS11Certificate* junk = m_token->GetCertificate(i);
    ASSERT_NE(junk, nullptr);
    EXPECT_FALSE(junk->IsDecoded());
    ASSERT_NE(m_sink.GetMessage(), nullptr);
    EXPECT_EQ(std::string(m_sink.GetMessage()).rfind("Unable to decode certificate:\n", 0), 0u);
    EXPECT_EQ(m_sink.GetCode(), 0u);
    EXPECT_EQ(m_sink.GetFlag(), 0u);
    CFieldList fields;
    junk->PopulateFields(&fields);
    ASSERT_EQ(fields.GetCount(), 1);
    EXPECT_EQ(*fields.GetName(0), QStringLiteral("The certificate can not be decoded."));
    EXPECT_TRUE(fields.GetValue(0)->isEmpty());

    // The same object read by a token without a sink: the report throws.
    CPKCS11Slot bare(m_slot->GetSlotID(), FaultyFunctions(), nullptr);
    CPKCS11Token* token = bare.GetToken();
    ASSERT_TRUE(token->OpenSession(true));
    token->ReadObjects();
    try {
        token->GetCertificate(i);
        ADD_FAILURE() << "no exception";
    } catch (const CTSYException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Unable to decode certificate:\n", 0), 0u);
        EXPECT_EQ(e.GetFlag(), 0u);
    }
}

TEST_F(ObjectsTest, UnreadableAttributeMakesTheConstructorThrowAndCachesNothing)
{
    OpenAndRead(false);
    int i = CertIndex("0A03");
    ASSERT_GE(i, 0);
    CK_OBJECT_HANDLE h = m_token->GetCertificate(i)->GetHandle();
    m_token->FreeCertificate(i);
    CurrentFaults().getAttributeHandle = h;
    CurrentFaults().getAttributeType = CKA_VALUE;
    CurrentFaults().getAttributeRv = CKR_DEVICE_ERROR;
    try {
        m_token->GetCertificate(i);
        ADD_FAILURE() << "no exception";
    } catch (const CTSYException& e) {
        EXPECT_STREQ(e.what(), "GetAttributeValue failed to determine size");
        EXPECT_EQ(e.GetCode(), CKR_DEVICE_ERROR);
        EXPECT_EQ(e.GetFlag(), 1u);
    }
    // The sink holds the same three values.
    EXPECT_STREQ(m_sink.GetMessage(), "GetAttributeValue failed to determine size");
    CurrentFaults().Reset();
    CPKCS11Certificate* c = m_token->GetCertificate(i);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->IsDecoded());
}

TEST_F(ObjectsTest, RereadingReplacesTheListsAndObjects)
{
    OpenAndRead(true);
    ASSERT_EQ(m_token->GetAsymmetricKeyCount(), 8u);
    unsigned long certs = m_token->GetCertificateCount();
    for (unsigned long i = 0; i < 8; ++i)
        ASSERT_NE(m_token->GetAsymmetricKey(i), nullptr);

    // A second read gives the same lists, not twice as long ones.
    m_token->ReadObjects();
    EXPECT_EQ(m_token->GetAsymmetricKeyCount(), 8u);
    EXPECT_EQ(m_token->GetCertificateCount(), certs);

    // After logout the private keys of the earlier read are gone from the lists.
    m_token->Logout();
    m_token->ReadObjects();
    EXPECT_EQ(m_token->GetAsymmetricKeyCount(), 4u);
    for (unsigned long i = 0; i < 8; ++i) {
        CPKCS11AsymmetricKey* key = m_token->GetAsymmetricKey(i);
        if (i < 4) {
            ASSERT_NE(key, nullptr);
            EXPECT_TRUE(key->GetKeyFlags() & KEY_CLASS_PUBLIC);
        } else {
            EXPECT_EQ(key, nullptr) << i;
        }
    }
}

TEST_F(ObjectsTest, NoStalePrivateKeyHandleAfterLogoutLoginOrNewSession)
{
    OpenAndRead(true);
    // Private key of alice, listed but not yet built, and one already built.
    unsigned long privateIndex = 0, builtIndex = 0;
    for (unsigned long i = 4; i < 8; ++i) {
        std::string id;
        CPKCS11AsymmetricKey* probe = m_token->GetAsymmetricKey(i);
        id = probe->GetID();
        if (id == "0A01")
            privateIndex = i;
        if (id == "0A02")
            builtIndex = i;
    }
    ASSERT_NE(privateIndex, 0u);
    ASSERT_NE(builtIndex, 0u);
    m_token->FreeAsymmetricKey(int(privateIndex));
    CPKCS11AsymmetricKey* built = m_token->GetAsymmetricKey(builtIndex);
    CK_OBJECT_HANDLE oldHandle = built->GetHandle();

    // SoftHSM2 renumbers private objects at logout and login.
    m_token->Logout();
    ASSERT_TRUE(m_token->Login("1234", NormalUser));
    unsigned char hash[20] = {1, 2, 3};
    TByteArrayAutoPtr sig;
    EXPECT_TRUE(built->SignHash(hash, sizeof hash, "1.3.14.3.2.26", sig)) << m_sink.what();
    EXPECT_NE(built->GetHandle(), oldHandle);
    CPKCS11AsymmetricKey* late = m_token->GetAsymmetricKey(privateIndex);
    ASSERT_NE(late, nullptr) << m_sink.what();
    EXPECT_STREQ(late->GetID(), "0A01");
    EXPECT_TRUE(late->SignHash(hash, sizeof hash, "1.3.14.3.2.26", sig)) << m_sink.what();

    // A new session: the key object follows the token's current session.
    ASSERT_TRUE(m_token->OpenSession(false));
    ASSERT_TRUE(m_token->Login("1234", NormalUser));
    EXPECT_TRUE(built->SignHash(hash, sizeof hash, "1.3.14.3.2.26", sig)) << m_sink.what();
    EXPECT_EQ(built->GetSession(), m_token->GetSession());

    // Logged out, the key is not visible: refused before any signing starts.
    m_token->Logout();
    m_sink.Reset();
    CurrentFaults().calls.clear();
    EXPECT_FALSE(built->SignHash(hash, sizeof hash, "1.3.14.3.2.26", sig));
    EXPECT_EQ(m_sink.GetCode(), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(CurrentFaults().calls["C_SignInit"], 0);
}

TEST_F(ObjectsTest, DestroyRemovesTheObjectAndReportsTheModulesRefusal)
{
    OpenAndRead(true);
    std::vector<unsigned char> id = {0x0F, 0x01};
    std::string label = "doomed";
    ASSERT_NE(CreateCertificateObject(m_token->GetSession(), fixture::ReadBytes(g_contents->aliceCert), &id, &label),
              0u);
    m_token->ReadObjects();
    unsigned long before = m_token->GetCertificateCount();
    CPKCS11Certificate* doomed = m_token->GetCertificate(CertIndex("0F01"));
    ASSERT_NE(doomed, nullptr);

    CurrentFaults().destroyRv = CKR_ACTION_PROHIBITED;
    EXPECT_FALSE(doomed->Destroy());
    EXPECT_STREQ(m_sink.GetMessage(), "Unable to delete object");
    EXPECT_EQ(m_sink.GetCode(), CKR_ACTION_PROHIBITED);
    EXPECT_EQ(m_sink.GetFlag(), 1u);
    CurrentFaults().destroyRv = CKR_OK;
    m_sink.Reset();

    EXPECT_TRUE(doomed->Destroy()) << m_sink.what();
    // The lists are the caller's to re-read.
    EXPECT_EQ(m_token->GetCertificateCount(), before);
    m_token->ReadObjects();
    EXPECT_EQ(m_token->GetCertificateCount(), before - 1);
    EXPECT_EQ(CertIndex("0F01"), -1);

    // Without a session nothing is destroyed.
    CPKCS11Certificate* alice = m_token->GetCertificate(CertIndex("0A01"));
    ASSERT_NE(alice, nullptr);
    m_token->CloseSession();
    CurrentFaults().calls.clear();
    EXPECT_FALSE(alice->Destroy());
    EXPECT_STREQ(m_sink.GetMessage(), "No opened session");
    EXPECT_EQ(CurrentFaults().calls["C_DestroyObject"], 0);
}

TEST_F(ObjectsTest, KeyFieldsNameTheKindUsesAndLength)
{
    OpenAndRead(true);
    CK_FUNCTION_LIST_PTR fl = Module::Functions();
    CK_SESSION_HANDLE s = m_token->GetSession();
    // Session objects the tools do not make: a Diffie-Hellman key and an RSA key
    // that permits only verify-recover.
    CK_OBJECT_CLASS pubClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE dh = CKK_DH, rsa = CKK_RSA;
    CK_BBOOL no = CK_FALSE, yes = CK_TRUE;
    unsigned char prime[64], base[] = {2}, value[64], modulus[128], exponent[] = {1, 0, 1};
    memset(prime, 0xC5, sizeof prime);
    memset(value, 0x3A, sizeof value);
    memset(modulus, 0xB7, sizeof modulus);
    CK_ATTRIBUTE dhTemplate[] = {{CKA_CLASS, &pubClass, sizeof pubClass}, {CKA_KEY_TYPE, &dh, sizeof dh},
                                 {CKA_TOKEN, &no, sizeof no},             {CKA_PRIME, prime, sizeof prime},
                                 {CKA_BASE, base, sizeof base},           {CKA_VALUE, value, sizeof value}};
    CK_ATTRIBUTE recoverTemplate[] = {{CKA_CLASS, &pubClass, sizeof pubClass},
                                      {CKA_KEY_TYPE, &rsa, sizeof rsa},
                                      {CKA_TOKEN, &no, sizeof no},
                                      {CKA_MODULUS, modulus, sizeof modulus},
                                      {CKA_PUBLIC_EXPONENT, exponent, sizeof exponent},
                                      {CKA_ENCRYPT, &no, sizeof no},
                                      {CKA_VERIFY, &no, sizeof no},
                                      {CKA_WRAP, &no, sizeof no},
                                      {CKA_VERIFY_RECOVER, &yes, sizeof yes}};
    CK_OBJECT_HANDLE hDH = 0, hRecover = 0;
    ASSERT_EQ(fl->C_CreateObject(s, dhTemplate, 6, &hDH), CKR_OK);
    ASSERT_EQ(fl->C_CreateObject(s, recoverTemplate, 9, &hRecover), CKR_OK);

    auto listed = [&](const char* id, bool pub) -> CPKCS11AsymmetricKey* {
        for (unsigned long i = 0; i < m_token->GetAsymmetricKeyCount(); ++i) {
            CPKCS11AsymmetricKey* k = m_token->GetAsymmetricKey(i);
            if (k && std::string(k->GetID()) == id && ((k->GetKeyFlags() & KEY_CLASS_PUBLIC) != 0) == pub)
                return k;
        }
        return nullptr;
    };
    std::unique_ptr<CPKCS11AsymmetricKey> dhKey(
        new CPKCS11AsymmetricKey(KEY_CLASS_PUBLIC, hDH, s, -1, false, FaultyFunctions(), m_token, &m_sink));
    std::unique_ptr<CPKCS11AsymmetricKey> recoverKey(
        new CPKCS11AsymmetricKey(KEY_CLASS_PUBLIC, hRecover, s, -1, false, FaultyFunctions(), m_token, &m_sink));

    struct Case {
        const char* name;
        CPKCS11AsymmetricKey* key;
        const char* kind;
        bool hasLength;
    } cases[] = {
        {"RSA public", listed("0A01", true), "RSA Public Key", true},
        {"RSA private", listed("0A01", false), "RSA Private Key", false},
        {"DSA public", listed("0B01", true), "DSA Public Key", false},
        {"DSA private", listed("0B01", false), "DSA Private Key", false},
        {"EC public", listed("0C01", true), "Elliptic Curve Public Key", false},
        {"EC private", listed("0C01", false), "Elliptic Curve Private Key", false},
        {"DH public", dhKey.get(), "Diffie-Hellman Public Key", false},
        {"verify-recover", recoverKey.get(), "RSA Public Key", true},
    };
    for (const Case& c : cases) {
        ASSERT_NE(c.key, nullptr) << c.name;
        CFieldList fields;
        c.key->PopulateFields(&fields);
        ASSERT_GE(fields.GetCount(), 1) << c.name;
        EXPECT_EQ(fields.GetName(0)->toStdString(), c.kind) << c.name;
        EXPECT_TRUE(fields.GetValue(0)->isEmpty()) << c.name;
        EXPECT_EQ(fields.IndexOf(QStringLiteral("Key Length")) != -1, c.hasLength) << c.name;
    }
    CFieldList fields;
    listed("0A01", true)->PopulateFields(&fields);
    EXPECT_EQ(fields[QStringLiteral("Key Length")], QStringLiteral("1024 bits"));
    // A use without a word of its own still shows the line, with nothing in it.
    CFieldList recover;
    recoverKey->PopulateFields(&recover);
    EXPECT_EQ(recoverKey->GetKeyUsage(), (unsigned long)KEY_USAGE_VERIFY_RECOVER);
    ASSERT_NE(recover.IndexOf(QStringLiteral("Key supports")), -1);
    EXPECT_EQ(recover[QStringLiteral("Key supports")], QString());
    EXPECT_EQ(recover[QStringLiteral("Key Length")], QStringLiteral("1024 bits"));
    EXPECT_EQ(m_sink.GetMessage(), nullptr) << m_sink.what();
}

TEST(ByteArrayHolder, ElementAccessIsCheckedAndResetFreesTheOldArray)
{
    TByteArrayAutoPtr holder;
    EXPECT_EQ(holder.get(), nullptr);
    EXPECT_EQ(holder.size(), 0u);
    unsigned char* p = new unsigned char[3]{7, 8, 9};
    holder.reset(p, 3);
    EXPECT_EQ(holder[2], 9);
    try {
        holder[3];
        ADD_FAILURE() << "no exception";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "The specified index is out of range");
    }
    holder.reset(p, 2);  // same array: kept, only the size changes
    EXPECT_EQ(holder[1], 8);
    holder.reset(new unsigned char[1]{5}, 1);  // the old one is freed (LeakSanitizer watches)
    EXPECT_EQ(holder[0], 5);
}

} // namespace
