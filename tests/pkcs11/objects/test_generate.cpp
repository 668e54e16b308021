// Key-pair generation and random data on a SoftHSM2 token.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <sorvit/AutoArray.h>
#include "FieldList.h"
#include "ObjectsSupport.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"

using namespace objtest;

namespace {

typedef std::vector<unsigned char> Bytes;
Store* g_store = nullptr;

class GenerateTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_store = new Store("pkcs11_generate");
        Module::Load();
    }
    static void TearDownTestSuite()
    {
        Module::Unload();
        delete g_store;
        g_store = nullptr;
    }

    void SetUp() override
    {
        CurrentFaults().Reset();
        CK_SLOT_ID slot = Module::FindSlot(g_store->label);
        ASSERT_NE(slot, (CK_SLOT_ID)-1);
        m_slot.reset(new CPKCS11Slot(slot, FaultyFunctions(), &m_sink));
        m_token = m_slot->GetToken();
    }
    void TearDown() override { m_slot.reset(); }

    void OpenAndLogin()
    {
        ASSERT_TRUE(m_token->OpenSession(false));
        ASSERT_TRUE(m_token->Login("1234", NormalUser));
    }

    Bytes Raw(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type)
    {
        unsigned char buf[512];
        CK_ATTRIBUTE a = {type, buf, sizeof buf};
        if (Module::Functions()->C_GetAttributeValue(m_token->GetSession(), h, &a, 1) != CKR_OK)
            return Bytes{0xEE, 0xEE};
        return Bytes(buf, buf + a.ulValueLen);
    }

    std::vector<std::string> Lines(CPKCS11AsymmetricKey* key)
    {
        CFieldList fields;
        key->PopulateFields(&fields);
        std::vector<std::string> out;
        for (int i = 0; i < fields.GetCount(); ++i)
            out.push_back(fields.GetName(i)->toStdString() + "=" + fields.GetValue(i)->toStdString());
        return out;
    }

    CTSYException m_sink;
    std::unique_ptr<CPKCS11Slot> m_slot;
    CPKCS11Token* m_token = nullptr;
};

TEST_F(GenerateTest, PairFollowsTheTemplatesAndBelongsToTheCaller)
{
    OpenAndLogin();
    m_token->ReadObjects();
    unsigned long before = m_token->GetAsymmetricKeyCount();
    unsigned char id[] = {0x11, 0x22};
    CPKCS11AsymmetricKey* pub = nullptr;
    CPKCS11AsymmetricKey* priv = nullptr;
    ASSERT_TRUE(m_token->GenerateRSAKeyPair(1024, true, id, 2, "gen label", &pub, &priv)) << m_sink.what();
    std::unique_ptr<CPKCS11AsymmetricKey> ownPub(pub), ownPriv(priv);
    ASSERT_NE(pub, nullptr);
    ASSERT_NE(priv, nullptr);

    Faults& f = CurrentFaults();
    EXPECT_EQ(f.publicTemplate, (std::vector<CK_ATTRIBUTE_TYPE>{CKA_TOKEN, CKA_ID, CKA_ENCRYPT, CKA_VERIFY, CKA_WRAP,
                                                                 CKA_MODULUS_BITS, CKA_PUBLIC_EXPONENT, CKA_LABEL}));
    EXPECT_EQ(f.privateTemplate, (std::vector<CK_ATTRIBUTE_TYPE>{CKA_TOKEN, CKA_PRIVATE, CKA_ID, CKA_SENSITIVE,
                                                                  CKA_DECRYPT, CKA_SIGN, CKA_UNWRAP, CKA_LABEL}));

    EXPECT_EQ(pub->GetKeyFlags(), 0x21u);
    EXPECT_EQ(priv->GetKeyFlags(), 0x41u);
    EXPECT_EQ(pub->GetPairIndex(), -1);
    EXPECT_EQ(priv->GetPairIndex(), -1);
    EXPECT_FALSE(pub->HasCertificate());
    EXPECT_STREQ(pub->GetID(), "1122");
    EXPECT_STREQ(priv->GetLabel(), "gen label");
    EXPECT_EQ(pub->GetModulusBits(), 1024u);
    EXPECT_EQ(Raw(pub->GetHandle(), CKA_PUBLIC_EXPONENT), Bytes{0x03});
    EXPECT_EQ(Raw(pub->GetHandle(), CKA_TOKEN), Bytes{1});
    EXPECT_EQ(Raw(priv->GetHandle(), CKA_SENSITIVE), Bytes{1});
    EXPECT_EQ(Raw(priv->GetHandle(), CKA_PRIVATE), Bytes{1});

    EXPECT_EQ(Lines(pub), (std::vector<std::string>{"RSA Public Key=", "Key supports=Encryption,Verification,Wrapping",
                                                    "Key Length=1024 bits"}));
    EXPECT_EQ(Lines(priv),
              (std::vector<std::string>{"RSA Private Key=", "Key supports=Decryption,Signing,Unwrapping"}));

    // The pair works, and the token's lists show it only after a new read.
    unsigned char hash[20] = {9};
    TByteArrayAutoPtr sig;
    ASSERT_TRUE(priv->SignHash(hash, 20, "1.3.14.3.2.26", sig)) << m_sink.what();
    EXPECT_EQ(pub->VerifyHash(hash, 20, "1.3.14.3.2.26", sig.get(), DWORD(sig.size())), 0);
    EXPECT_EQ(m_token->GetAsymmetricKeyCount(), before);
    m_token->ReadObjects();
    EXPECT_EQ(m_token->GetAsymmetricKeyCount(), before + 2);

    // Its public key encodes with the one-byte exponent 3.
    TByteArrayAutoPtr encoded;
    ASSERT_TRUE(pub->GetEncodedPublicKey(encoded, nullptr)) << m_sink.what();
    ASSERT_GE(encoded.size(), 5u);
    EXPECT_EQ(Bytes(encoded.get() + encoded.size() - 3, encoded.get() + encoded.size()), (Bytes{0x02, 0x01, 0x03}));
}

TEST_F(GenerateTest, EmptyLabelAndNoOutPointers)
{
    OpenAndLogin();
    unsigned char id[] = {0x33};
    CPKCS11AsymmetricKey* pub = nullptr;
    ASSERT_TRUE(m_token->GenerateRSAKeyPair(1024, false, id, 1, "", &pub, nullptr)) << m_sink.what();
    std::unique_ptr<CPKCS11AsymmetricKey> own(pub);
    EXPECT_EQ(CurrentFaults().publicTemplate.size(), 7u);
    EXPECT_EQ(CurrentFaults().privateTemplate.size(), 7u);
    EXPECT_EQ(std::count(CurrentFaults().publicTemplate.begin(), CurrentFaults().publicTemplate.end(), CKA_LABEL), 0);
    ASSERT_NE(pub, nullptr);
    EXPECT_STREQ(pub->GetLabel(), "(no label)");
    EXPECT_EQ(Raw(pub->GetHandle(), CKA_TOKEN), Bytes{0}) << "a session key pair";

    m_token->ReadObjects();
    unsigned long before = m_token->GetAsymmetricKeyCount();
    unsigned char id2[] = {0x44};
    EXPECT_TRUE(m_token->GenerateRSAKeyPair(1024, true, id2, 1, "no objects", nullptr, nullptr));
    m_token->ReadObjects();
    EXPECT_EQ(m_token->GetAsymmetricKeyCount(), before + 2);
}

TEST_F(GenerateTest, RefusedGenerationReportsTheModulesCode)
{
    ASSERT_TRUE(m_token->OpenSession(true));
    unsigned char id[] = {0x55};
    CPKCS11AsymmetricKey* pub = nullptr;
    EXPECT_FALSE(m_token->GenerateRSAKeyPair(1024, true, id, 1, "refused", &pub, nullptr));
    EXPECT_EQ(pub, nullptr);
    EXPECT_STREQ(m_sink.GetMessage(), "Unable to generate RSA keypair");
    EXPECT_EQ(m_sink.GetCode(), CKR_SESSION_READ_ONLY);
    EXPECT_EQ(m_sink.GetFlag(), 1u);

    // Without a sink the same failure throws.
    CPKCS11Slot bare(m_slot->GetSlotID(), FaultyFunctions(), nullptr);
    ASSERT_TRUE(bare.GetToken()->OpenSession(true));
    try {
        bare.GetToken()->GenerateRSAKeyPair(1024, true, id, 1, "refused", nullptr, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const CTSYException& e) {
        EXPECT_STREQ(e.what(), "Unable to generate RSA keypair");
        EXPECT_EQ(e.GetCode(), CKR_SESSION_READ_ONLY);
    }
}

TEST_F(GenerateTest, SecondKeyObjectFailingLeaksNothing)
{
    OpenAndLogin();
    // The private key cannot be read back: the public key object already built
    // must go (LeakSanitizer checks), and nothing is handed out.
    CurrentFaults().getAttributeClass = CKO_PRIVATE_KEY;
    CurrentFaults().getAttributeRv = CKR_DEVICE_ERROR;
    unsigned char id[] = {0x66};
    CPKCS11AsymmetricKey* pub = nullptr;
    CPKCS11AsymmetricKey* priv = nullptr;
    try {
        m_token->GenerateRSAKeyPair(1024, false, id, 1, "half", &pub, &priv);
        ADD_FAILURE() << "no exception";
    } catch (const CTSYException& e) {
        EXPECT_EQ(e.GetCode(), CKR_DEVICE_ERROR);
        EXPECT_EQ(e.GetFlag(), 1u);
    }
    EXPECT_EQ(pub, nullptr);
    EXPECT_EQ(priv, nullptr);
}

TEST_F(GenerateTest, KeyObjectFailingDestroysTheGeneratedPair)
{
    OpenAndLogin();
    // The pair is on the token when its objects fail to build: it goes again, so that nothing
    // the caller never received is left behind (for the session or on the token).
    CurrentFaults().getAttributeClass = CKO_PUBLIC_KEY;
    CurrentFaults().getAttributeRv = CKR_DEVICE_ERROR;
    for (bool onToken : {false, true}) {
        unsigned char id[] = {0x67};
        CPKCS11AsymmetricKey* pub = nullptr;
        CPKCS11AsymmetricKey* priv = nullptr;
        EXPECT_THROW(m_token->GenerateRSAKeyPair(1024, onToken, id, 1, "orphan", &pub, &priv), CTSYException);
        EXPECT_EQ(pub, nullptr);
        EXPECT_EQ(priv, nullptr);
        CK_ATTRIBUTE byId = {CKA_ID, id, 1};
        CK_OBJECT_HANDLE found[4];
        CK_ULONG n = 99;
        CK_FUNCTION_LIST_PTR fl = Module::Functions();
        ASSERT_EQ(fl->C_FindObjectsInit(m_token->GetSession(), &byId, 1), CKR_OK);
        ASSERT_EQ(fl->C_FindObjects(m_token->GetSession(), found, 4, &n), CKR_OK);
        fl->C_FindObjectsFinal(m_token->GetSession());
        EXPECT_EQ(n, 0u) << (onToken ? "token objects" : "session objects") << " left behind";
        EXPECT_EQ(CurrentFaults().calls["C_DestroyObject"], onToken ? 4 : 2);
    }
}

TEST_F(GenerateTest, RandomDataFromTheTokenOrTheSystem)
{
    OpenAndLogin();
    TByteArrayAutoPtr a, b;
    EXPECT_TRUE(m_token->GenerateRandom(0, a));
    EXPECT_EQ(a.size(), 0u);
    EXPECT_TRUE(m_token->GenerateRandom(32, a));
    EXPECT_TRUE(m_token->GenerateRandom(32, b));
    ASSERT_EQ(a.size(), 32u);
    EXPECT_NE(Bytes(a.get(), a.get() + 32), Bytes(b.get(), b.get() + 32));
    EXPECT_EQ(CurrentFaults().calls["C_GenerateRandom"], 2);

    // The token refuses: the system's generator fills the whole range 0..255.
    CurrentFaults().generateRandomRv = CKR_RANDOM_NO_RNG;
    TByteArrayAutoPtr big;
    EXPECT_TRUE(m_token->GenerateRandom(65536, big));
    ASSERT_EQ(big.size(), 65536u);
    std::vector<int> seen(256, 0);
    for (size_t i = 0; i < big.size(); ++i)
        ++seen[big[i]];
    EXPECT_GT(seen[0xFF], 0) << "bytes never reach 0xFF: a rand() % 255 fallback";
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0), 0);
    EXPECT_EQ(m_sink.GetMessage(), nullptr);

    // No session at all: still random bytes.
    m_token->CloseSession();
    TByteArrayAutoPtr c, d;
    EXPECT_TRUE(m_token->GenerateRandom(16, c));
    EXPECT_TRUE(m_token->GenerateRandom(16, d));
    EXPECT_NE(Bytes(c.get(), c.get() + 16), Bytes(d.get(), d.get() + 16));
}

} // namespace
