// Certificate installation beside the key pair on a SoftHSM2 token:
// placement, replacement, and the refusals.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <sorvit/AutoArray.h>
#include "Der.h"
#include "ObjectsSupport.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"

using namespace objtest;

namespace {

typedef std::vector<unsigned char> Bytes;

struct InstallContents {
    std::unique_ptr<Store> store;
    Bytes alpha, alphaRenewed, delta, stranger, lonely, carol, noid, noidRenewed, curve;
    fixture::KeyFiles alphaKey;
    fixture::Ca ca;
};
InstallContents* g_c = nullptr;

class InstallTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_c = new InstallContents;
        g_c->store.reset(new Store("pkcs11_install"));
        Store& st = *g_c->store;
        fixture::KeyFiles alpha = fixture::MakeKey(st.dir, "alpha", "rsa:1024");
        g_c->alphaKey = alpha;
        g_c->ca = fixture::MakeCa(st.dir, "/CN=Serial CA/O=Tessaly");
        fixture::KeyFiles delta = fixture::MakeKey(st.dir, "delta", "dsa:1024");
        fixture::KeyFiles stranger = fixture::MakeKey(st.dir, "stranger", "rsa:1024");
        fixture::KeyFiles lonely = fixture::MakeKey(st.dir, "lonely", "rsa:1024");
        fixture::KeyFiles carol = fixture::MakeKey(st.dir, "carol", "rsa:1024");
        fixture::KeyFiles noid = fixture::MakeKey(st.dir, "noid", "rsa:1024");
        ASSERT_TRUE(st.hsm.ImportKey(alpha.keyPem, st.label, "alpha key", "0A01")) << st.hsm.LastOutput();
        ASSERT_TRUE(st.hsm.ImportKey(delta.keyPem, st.label, "delta key", "0B01")) << st.hsm.LastOutput();
        ASSERT_TRUE(st.hsm.ImportKey(lonely.keyPem, st.label, "lonely key", "0D01")) << st.hsm.LastOutput();
        ASSERT_TRUE(st.hsm.ImportKey(noid.keyPem, st.label, "noid key", "0E01")) << st.hsm.LastOutput();
        auto cert = [&](const std::string& name, const fixture::KeyFiles& k, const std::string& subject) {
            return fixture::ReadBytes(fixture::MakeSelfSigned(st.dir, name, k, subject));
        };
        g_c->alpha = cert("alpha", alpha, "/CN=Alpha");
        g_c->alphaRenewed = cert("alpha2", alpha, "/CN=Alpha Renewed");
        g_c->delta = cert("delta", delta, "/CN=Delta");
        g_c->stranger = cert("stranger", stranger, "/CN=Stranger");
        g_c->lonely = cert("lonely", lonely, "/CN=Lonely");
        g_c->carol = cert("carol", carol, "/CN=Carol");
        g_c->noid = cert("noid", noid, "/CN=No ID");
        g_c->noidRenewed = cert("noid2", noid, "/CN=No ID Renewed");
        // An EC key pair on the token, and its certificate.
        fixture::KeyFiles curve = fixture::MakeKey(st.dir, "curve", "ec:prime256v1");
        ASSERT_TRUE(st.hsm.ImportKey(curve.keyPem, st.label, "curve key", "0F01")) << st.hsm.LastOutput();
        g_c->curve = cert("curve", curve, "/CN=Curve");

        CK_FUNCTION_LIST_PTR fl = Module::Load();
        // The lonely key keeps only its private half.
        CK_SLOT_ID slot = Module::FindSlot(st.label);
        CK_SESSION_HANDLE s = 0;
        ASSERT_EQ(fl->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s), CKR_OK);
        ASSERT_EQ(fl->C_Login(s, CKU_USER, (CK_UTF8CHAR_PTR) "1234", 4), CKR_OK);
        CK_OBJECT_CLASS cls = CKO_PUBLIC_KEY;
        Bytes id = {0x0D, 0x01};
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, id.data(), 2}};
        CK_OBJECT_HANDLE h = 0;
        CK_ULONG n = 0;
        ASSERT_EQ(fl->C_FindObjectsInit(s, t, 2), CKR_OK);
        ASSERT_EQ(fl->C_FindObjects(s, &h, 1, &n), CKR_OK);
        fl->C_FindObjectsFinal(s);
        ASSERT_EQ(n, 1u);
        ASSERT_EQ(fl->C_DestroyObject(s, h), CKR_OK);
        // Both halves of the noid key pair lose their CKA_ID.
        Bytes noidId = {0x0E, 0x01};
        CK_ATTRIBUTE byId = {CKA_ID, noidId.data(), 2};
        CK_OBJECT_HANDLE halves[4];
        ASSERT_EQ(fl->C_FindObjectsInit(s, &byId, 1), CKR_OK);
        ASSERT_EQ(fl->C_FindObjects(s, halves, 4, &n), CKR_OK);
        fl->C_FindObjectsFinal(s);
        ASSERT_EQ(n, 2u);
        CK_ATTRIBUTE noId = {CKA_ID, nullptr, 0};
        for (CK_ULONG i = 0; i < n; ++i)
            ASSERT_EQ(fl->C_SetAttributeValue(s, halves[i], &noId, 1), CKR_OK);
        fl->C_CloseSession(s);
    }

    static void TearDownTestSuite()
    {
        Module::Unload();
        delete g_c;
        g_c = nullptr;
    }

    void SetUp() override
    {
        CurrentFaults().Reset();
        CK_SLOT_ID slot = Module::FindSlot(g_c->store->label);
        ASSERT_NE(slot, (CK_SLOT_ID)-1);
        m_slot.reset(new CPKCS11Slot(slot, FaultyFunctions(), &m_sink));
        m_token = m_slot->GetToken();
        ASSERT_TRUE(m_token->OpenSession(false));
        ASSERT_TRUE(m_token->Login("1234", NormalUser));
        // Every test starts without certificates.
        for (CK_OBJECT_HANDLE h : Certificates())
            Module::Functions()->C_DestroyObject(m_token->GetSession(), h);
    }
    void TearDown() override { m_slot.reset(); }

    std::vector<CK_OBJECT_HANDLE> Certificates()
    {
        CK_FUNCTION_LIST_PTR fl = Module::Functions();
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
        std::vector<CK_OBJECT_HANDLE> out(256);
        CK_ULONG n = 0;
        fl->C_FindObjectsInit(m_token->GetSession(), &t, 1);
        fl->C_FindObjects(m_token->GetSession(), out.data(), CK_ULONG(out.size()), &n);
        fl->C_FindObjectsFinal(m_token->GetSession());
        out.resize(n);
        return out;
    }

    Bytes Attr(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type)
    {
        Bytes buf(4096);
        CK_ATTRIBUTE a = {type, buf.data(), CK_ULONG(buf.size())};
        if (Module::Functions()->C_GetAttributeValue(m_token->GetSession(), h, &a, 1) != CKR_OK)
            return Bytes{0xEE};
        buf.resize(a.ulValueLen);
        return buf;
    }

    // Values of the certificate objects on the token.
    std::vector<Bytes> Values()
    {
        std::vector<Bytes> out;
        for (CK_OBJECT_HANDLE h : Certificates())
            out.push_back(Attr(h, CKA_VALUE));
        return out;
    }

    bool Install(const Bytes& cert, bool replace)
    {
        return m_token->InstallCertificate(const_cast<unsigned char*>(cert.data()), uint32_t(cert.size()), replace);
    }

    void ExpectFailure(unsigned long code, uint32_t kind)
    {
        EXPECT_STREQ(m_sink.GetMessage(), "Unable to install certificate");
        EXPECT_EQ(m_sink.GetCode(), code);
        EXPECT_EQ(m_sink.GetFlag(), kind);
        m_sink.Reset();
    }

    CTSYException m_sink;
    std::unique_ptr<CPKCS11Slot> m_slot;
    CPKCS11Token* m_token = nullptr;
};

TEST_F(InstallTest, CertificateJoinsItsKeyPairWithTheKeysIDAndLabel)
{
    ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
    ASSERT_TRUE(Install(g_c->delta, false)) << m_sink.what();
    std::vector<CK_OBJECT_HANDLE> certs = Certificates();
    ASSERT_EQ(certs.size(), 2u);
    m_token->ReadObjects();
    ASSERT_EQ(m_token->GetCertificateCount(), 2u);
    struct Case {
        const char* id;
        const char* label;
        const Bytes* value;
    } cases[] = {{"0A01", "alpha key", &g_c->alpha}, {"0B01", "delta key", &g_c->delta}};
    for (unsigned long i = 0; i < 2; ++i) {
        CPKCS11Certificate* cert = m_token->GetCertificate(i);
        ASSERT_NE(cert, nullptr);
        EXPECT_STREQ(cert->GetID(), cases[i].id);
        EXPECT_STREQ(cert->GetLabel(), cases[i].label);
        EXPECT_TRUE(cert->IsDecoded());
        EXPECT_EQ(Bytes(cert->GetValue()->pbData, cert->GetValue()->pbData + cert->GetValue()->cbData),
                  *cases[i].value);
        ASSERT_NE(cert->GetPublicKeyIndex(), -1);
        ASSERT_NE(cert->GetPrivateKeyIndex(), -1);
        EXPECT_STREQ(m_token->GetAsymmetricKey(cert->GetPublicKeyIndex())->GetID(), cases[i].id);
    }
}

TEST_F(InstallTest, SecondInstallIsRefusedUnlessReplacing)
{
    ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
    EXPECT_FALSE(Install(g_c->alphaRenewed, false));
    ExpectFailure(TSY_CERT_ALREADY_EXISTS, 0);
    EXPECT_EQ(Values(), std::vector<Bytes>{g_c->alpha});

    ASSERT_TRUE(Install(g_c->alphaRenewed, true)) << m_sink.what();
    EXPECT_EQ(Values(), std::vector<Bytes>{g_c->alphaRenewed});
}

TEST_F(InstallTest, FailedRemovalStopsTheReplacement)
{
    ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
    ASSERT_EQ(Certificates().size(), 1u);
    // The old certificate refuses to go; the new one, stored first, is taken away again.
    CurrentFaults().destroyRv = CKR_ACTION_PROHIBITED;
    CurrentFaults().destroyHandle = Certificates().front();
    EXPECT_FALSE(Install(g_c->alphaRenewed, true));
    ExpectFailure(CKR_ACTION_PROHIBITED, 1);
    EXPECT_EQ(Values(), std::vector<Bytes>{g_c->alpha}) << "old certificate kept, no second one";
}

TEST_F(InstallTest, FailedCreationKeepsTheOldCertificate)
{
    ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
    // The new certificate is stored before the old one goes: when storing fails for another
    // reason than room, nothing is destroyed.
    CurrentFaults().createRv = CKR_DEVICE_ERROR;
    EXPECT_FALSE(Install(g_c->alphaRenewed, true));
    ExpectFailure(CKR_DEVICE_ERROR, 1);
    EXPECT_EQ(CurrentFaults().calls["C_DestroyObject"], 0);
    EXPECT_EQ(Values(), std::vector<Bytes>{g_c->alpha});
}

// A card with room for one certificate per key pair refuses the new one beside the old one (for
// lack of room, or by the template): the old one goes first and the new one takes its place.
TEST_F(InstallTest, RefusalForRoomReplacesInPlace)
{
    for (CK_RV refusal : {CKR_DEVICE_MEMORY, CKR_TEMPLATE_INCONSISTENT, CKR_ATTRIBUTE_VALUE_INVALID}) {
        for (CK_OBJECT_HANDLE h : Certificates())
            Module::Functions()->C_DestroyObject(m_token->GetSession(), h);
        CurrentFaults().Reset();
        ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
        CurrentFaults().createRv = refusal;
        CurrentFaults().createRvTimes = 1;
        EXPECT_TRUE(Install(g_c->alphaRenewed, true)) << std::hex << refusal << " " << m_sink.what();
        EXPECT_EQ(Values(), std::vector<Bytes>{g_c->alphaRenewed}) << std::hex << refusal;
        EXPECT_EQ(CurrentFaults().calls["C_DestroyObject"], 1) << std::hex << refusal;
    }
}

// When the new certificate cannot be stored in the old one's place either, the old one is put
// back from what was read before, with its attributes; the second refusal is reported.
TEST_F(InstallTest, FailedReplacementInPlacePutsTheOldCertificateBack)
{
    ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
    const std::vector<CK_OBJECT_HANDLE> before = Certificates();
    ASSERT_EQ(before.size(), 1u);
    const CK_ATTRIBUTE_TYPE kept[] = {CKA_LABEL, CKA_ID, CKA_SUBJECT, CKA_ISSUER, CKA_SERIAL_NUMBER, CKA_VALUE};
    std::vector<Bytes> attributes;
    for (CK_ATTRIBUTE_TYPE type : kept)
        attributes.push_back(Attr(before[0], type));

    CurrentFaults().createRv = CKR_DEVICE_MEMORY;
    CurrentFaults().createRvTimes = 2;
    EXPECT_FALSE(Install(g_c->alphaRenewed, true));
    ExpectFailure(CKR_DEVICE_MEMORY, 1);
    const std::vector<CK_OBJECT_HANDLE> after = Certificates();
    ASSERT_EQ(after.size(), 1u) << "the old certificate is not back";
    for (size_t i = 0; i < attributes.size(); ++i)
        EXPECT_EQ(Attr(after[0], kept[i]), attributes[i]) << "attribute 0x" << std::hex << kept[i];
}

// A self-signed certificate whose subject and issuer hold an RDN of two organisations stored
// out of DER order, as real certificates have them.
Bytes WithUnsortedRdn(const fixture::KeyFiles& key)
{
    const std::string dir = g_c->store->dir;
    dertest::Node cert = dertest::Parse(fixture::ReadBytes(
        fixture::MakeSelfSigned(dir, "unsorted", key, "/O=Zeta+O=Alpha Group/CN=Unsorted", 365, "", "-multivalue-rdn")));
    for (dertest::TbsIndex which : {dertest::kIssuer, dertest::kSubject}) {
        dertest::Node& rdn = dertest::TbsPart(cert, which)[0];
        if (rdn.children.size() == 2)
            std::swap(rdn.children[0], rdn.children[1]);
    }
    return dertest::Write(cert);
}

// Other programs find a card's certificate by issuer and serial number: the installed object
// carries the DER of the certificate's own subject, issuer and serial number (as an INTEGER).
TEST_F(InstallTest, CertificateCarriesSubjectIssuerAndSerialNumber)
{
    const fixture::KeyFiles& key = g_c->alphaKey;
    const fixture::Ca& ca = g_c->ca;
    const time_t now = time(nullptr);
    const Bytes unsorted = WithUnsortedRdn(key);
    dertest::Node unsortedCert = dertest::Parse(unsorted);
    const Bytes unsortedSubject = dertest::Write(dertest::TbsPart(unsortedCert, dertest::kSubject));
    struct Case {
        const char* name;
        Bytes cert;
    } cases[] = {
        {"self-signed, serial 1", MakeCertificate(key.keyPem, "/CN=One", 1, now, now + 86400)},
        {"serial with the high bit set", MakeCertificate(key.keyPem, "/CN=High", 0x80, now, now + 86400)},
        {"long serial", MakeCertificate(key.keyPem, "/CN=Long", 0x7FFFFFFFFFFFL, now, now + 86400)},
        {"issued by a CA", fixture::ReadBytes(fixture::IssueCert(ca, "issued", key, "/CN=Issued/O=Tessaly"))},
        {"an RDN of two values out of DER order", unsorted},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.cert.empty()) << c.name;
        for (CK_OBJECT_HANDLE h : Certificates())
            Module::Functions()->C_DestroyObject(m_token->GetSession(), h);
        ASSERT_TRUE(Install(c.cert, false)) << c.name << ": " << m_sink.what();
        const std::vector<CK_OBJECT_HANDLE> certs = Certificates();
        ASSERT_EQ(certs.size(), 1u) << c.name;

        const fixture::CertificateFields own = fixture::ReadCertificateFields(c.cert);
        ASSERT_FALSE(own.serial.empty()) << c.name;
        EXPECT_EQ(Attr(certs[0], CKA_SUBJECT), own.subject) << c.name;
        EXPECT_EQ(Attr(certs[0], CKA_ISSUER), own.issuer) << c.name;
        EXPECT_EQ(Attr(certs[0], CKA_SERIAL_NUMBER), own.serial) << c.name;
    }
    // The bytes OpenSSL handed back above are the stored ones, not a sorted encoding.
    EXPECT_EQ(fixture::ReadCertificateFields(unsorted).subject, unsortedSubject);
}

TEST_F(InstallTest, TokenThatDestroysNothingLosesNoCertificate)
{
    ASSERT_TRUE(Install(g_c->alpha, false)) << m_sink.what();
    CurrentFaults().destroyRv = CKR_ACTION_PROHIBITED;
    EXPECT_FALSE(Install(g_c->alphaRenewed, true));
    ExpectFailure(CKR_ACTION_PROHIBITED, 1);
    // Neither could go: both stay, and the failure is reported.
    std::vector<Bytes> values = Values();
    EXPECT_EQ(values.size(), 2u);
    EXPECT_NE(std::find(values.begin(), values.end(), g_c->alpha), values.end());
}

TEST_F(InstallTest, EmptyKeyIDNeverMatchesAnUnrelatedCertificate)
{
    // The "noid" key pair has an empty CKA_ID; so has a certificate of another key.
    Bytes emptyId;
    std::string label = "unrelated";
    ASSERT_NE(CreateCertificateObject(m_token->GetSession(), g_c->carol, &emptyId, &label), 0u);

    ASSERT_TRUE(Install(g_c->noid, true)) << m_sink.what();
    std::vector<Bytes> values = Values();
    EXPECT_EQ(values.size(), 2u);
    EXPECT_NE(std::find(values.begin(), values.end(), g_c->carol), values.end()) << "unrelated certificate destroyed";

    // The key pair's own certificate is still recognised by its public key.
    EXPECT_FALSE(Install(g_c->noidRenewed, false));
    ExpectFailure(TSY_CERT_ALREADY_EXISTS, 0);
    ASSERT_TRUE(Install(g_c->noidRenewed, true)) << m_sink.what();
    values = Values();
    ASSERT_EQ(values.size(), 2u);
    EXPECT_NE(std::find(values.begin(), values.end(), g_c->carol), values.end());
    EXPECT_NE(std::find(values.begin(), values.end(), g_c->noidRenewed), values.end());
}

TEST_F(InstallTest, Refusals)
{
    // No key pair on the token for it.
    EXPECT_FALSE(Install(g_c->stranger, false));
    ExpectFailure(TSY_KEYSET_NOT_EXISTS, 0);
    // Only the private half is there.
    EXPECT_FALSE(Install(g_c->lonely, false));
    ExpectFailure(TSY_KEYSET_NOT_EXISTS, 0);
    // A certificate that decodes, for a key pair that is on the token, but of a kind the
    // program cannot pair: said as such, not as a file that is no certificate.
    EXPECT_FALSE(Install(g_c->curve, false));
    ExpectFailure(TSY_KEY_TYPE_NOT_SUPPORTED, 0);
    // Not DER.
    Bytes junk = {0x30, 0x03, 0x02, 0x01};
    EXPECT_FALSE(Install(junk, false));
    ExpectFailure(TSY_CERT_DECODE_FAILED, 0);
    EXPECT_TRUE(Values().empty());

    // A read-only session finds the key and fails to create.
    ASSERT_TRUE(m_token->OpenSession(true));
    EXPECT_FALSE(Install(g_c->alpha, false));
    ExpectFailure(CKR_SESSION_READ_ONLY, 1);

    // No session: refused before decoding.
    m_token->CloseSession();
    EXPECT_FALSE(Install(junk, false));
    EXPECT_STREQ(m_sink.GetMessage(), "No opened session");
    EXPECT_EQ(m_sink.GetCode(), 0u);
    EXPECT_EQ(m_sink.GetFlag(), 0u);
}

} // namespace
