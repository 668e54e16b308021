// Digest, sign and verify on SoftHSM2 keys imported with softhsm2-util; every
// signature is also checked by OpenSSL, and the public-key encodings compared
// with OpenSSL's.

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <memory>

#include <CertModule.h>
#include <sorvit/ber.h>
#include <sorvit/oids.h>

#include <sorvit/AutoArray.h>
#include "ObjectsSupport.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"

using namespace objtest;

namespace {

typedef std::vector<unsigned char> Bytes;

struct SignKeys {
    std::unique_ptr<Store> store;
    std::map<std::string, fixture::KeyFiles> keys;  // by ID hex
};
SignKeys* g_keys = nullptr;

const char kSha1[] = "1.3.14.3.2.26";
const char kSha256[] = "2.16.840.1.101.3.4.2.1";

Bytes Random(size_t n)
{
    Bytes b(n);
    RAND_bytes(b.data(), int(n));
    return b;
}

Bytes Held(const TByteArrayAutoPtr& a)
{
    return Bytes(a.get(), a.get() + a.size());
}

// The subjectPublicKey bits of a SubjectPublicKeyInfo file: the DER RSAPublicKey
// of an RSA key, the DER INTEGER y of a DSA key.
Bytes PublicKeyBits(const std::string& der)
{
    Bytes b = fixture::ReadBytes(der);
    const unsigned char* p = b.data();
    X509_PUBKEY* spki = d2i_X509_PUBKEY(nullptr, &p, long(b.size()));
    const unsigned char* bits = nullptr;
    int len = 0;
    Bytes out;
    if (spki && X509_PUBKEY_get0_param(nullptr, &bits, &len, nullptr, spki) == 1)
        out.assign(bits, bits + len);
    X509_PUBKEY_free(spki);
    return out;
}

EVP_PKEY* LoadPublic(const std::string& der)
{
    Bytes b = fixture::ReadBytes(der);
    const unsigned char* p = b.data();
    return d2i_PUBKEY(nullptr, &p, long(b.size()));
}

class SignTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_keys = new SignKeys;
        g_keys->store.reset(new Store("pkcs11_sign"));
        Store& st = *g_keys->store;
        std::string src = std::getenv("TESSALY_SOURCE_DIR") ? std::getenv("TESSALY_SOURCE_DIR") : ".";
        std::string fixtures = src + "/tests/fixtures/softhsm";
        auto add = [&](const std::string& id, const fixture::KeyFiles& k) {
            g_keys->keys[id] = k;
            ASSERT_TRUE(st.hsm.ImportKey(k.keyPem, st.label, "key " + id, id)) << st.hsm.LastOutput();
        };
        add("0A01", fixture::MakeKey(st.dir, "rsa1024", "rsa:1024"));
        add("0B01", fixture::MakeKey(st.dir, "dsa1024", "dsa:1024"));
        add("0C01", fixture::MakeKey(st.dir, "ec", "ec:prime256v1"));
        // DSA with a 256-bit subprime (64-byte signatures) and RSA past 4096 bits.
        fixture::KeyFiles dsa256{st.dir + "/dsa256.key.pem", st.dir + "/dsa256.pub.der"};
        ASSERT_EQ(fixture::Run("openssl genpkey -paramfile " + fixture::Quote(fixtures + "/dsa2048-256.param.pem") +
                               " -out " + fixture::Quote(dsa256.keyPem)),
                  0);
        fixture::KeyFiles rsa4608{fixtures + "/rsa4608.p8.pem", st.dir + "/rsa4608.pub.der"};
        for (const fixture::KeyFiles* k : {&dsa256, &rsa4608})
            ASSERT_EQ(fixture::Run("openssl pkey -in " + fixture::Quote(k->keyPem) + " -pubout -outform DER -out " +
                                   fixture::Quote(k->publicDer)),
                      0);
        add("0B02", dsa256);
        add("0A09", rsa4608);
        Module::Load();
    }

    static void TearDownTestSuite()
    {
        Module::Unload();
        delete g_keys;
        g_keys = nullptr;
    }

    void SetUp() override
    {
        CurrentFaults().Reset();
        CK_SLOT_ID slot = Module::FindSlot(g_keys->store->label);
        ASSERT_NE(slot, (CK_SLOT_ID)-1);
        m_slot.reset(new CPKCS11Slot(slot, FaultyFunctions(), &m_sink));
        m_token = m_slot->GetToken();
        ASSERT_TRUE(m_token->OpenSession(false));
        ASSERT_TRUE(m_token->Login("1234", NormalUser));
        m_token->ReadObjects();
        ASSERT_EQ(m_token->GetAsymmetricKeyCount(), 10u);
    }

    void TearDown() override { m_slot.reset(); }

    CPKCS11AsymmetricKey* Key(const std::string& id, bool pub)
    {
        for (unsigned long i = 0; i < m_token->GetAsymmetricKeyCount(); ++i) {
            CPKCS11AsymmetricKey* k = m_token->GetAsymmetricKey(i);
            if (k && id == k->GetID() && ((k->GetKeyFlags() & KEY_CLASS_PUBLIC) != 0) == pub)
                return k;
        }
        return nullptr;
    }

    CTSYException m_sink;
    std::unique_ptr<CPKCS11Slot> m_slot;
    CPKCS11Token* m_token = nullptr;
};

TEST_F(SignTest, SignHashAndVerifyHashRoundTripAndOpenSSLAgrees)
{
    struct Case {
        const char* id;
        const char* digest;
        const char* oid;
        int rounds;
    } cases[] = {
        {"0A01", "SHA1", kSha1, 4},
        {"0A01", "SHA256", kSha256, 4},
        // Many DSA rounds: r and s with the top bit set or a leading zero byte turn up.
        {"0B01", "SHA1", kSha1, 200},
        {"0B02", "SHA256", kSha256, 60},
        {"0A09", "SHA256", kSha256, 1},
    };
    for (const Case& c : cases) {
        CPKCS11AsymmetricKey* priv = Key(c.id, false);
        CPKCS11AsymmetricKey* pub = Key(c.id, true);
        ASSERT_NE(priv, nullptr) << c.id;
        ASSERT_NE(pub, nullptr) << c.id;
        for (int round = 0; round < c.rounds; ++round) {
            Bytes hash = OpenSslDigest(c.digest, Random(100));
            TByteArrayAutoPtr sig;
            ASSERT_TRUE(priv->SignHash(hash.data(), DWORD(hash.size()), c.oid, sig)) << c.id << " " << m_sink.what();
            Bytes s = Held(sig);
            bool rsa = c.id[1] == 'A';
            const std::string& pubDer = g_keys->keys[c.id].publicDer;
            ASSERT_TRUE(rsa ? OpenSslVerifyRsa(pubDer, c.digest, hash, s) : OpenSslVerifyDsa(pubDer, hash, s))
                << c.id << " round " << round << ": " << fixture::ToHex(s);
            ASSERT_EQ(pub->VerifyHash(hash.data(), DWORD(hash.size()), c.oid, s.data(), DWORD(s.size())), 0)
                << c.id << " " << m_sink.what();
            hash[0] ^= 0x01;
            ASSERT_EQ(pub->VerifyHash(hash.data(), DWORD(hash.size()), c.oid, s.data(), DWORD(s.size())), 1) << c.id;
        }
    }
    EXPECT_EQ(m_sink.GetMessage(), nullptr);
}

TEST_F(SignTest, RawSignatureLengthsFollowTheKey)
{
    struct Case {
        const char* id;
        size_t length;
    } cases[] = {{"0A01", 128}, {"0B01", 40}, {"0B02", 64}, {"0A09", 576}};
    for (const Case& c : cases) {
        Bytes hash = OpenSslDigest("SHA256", Random(10));
        if (c.length == 40)
            hash.resize(20);
        TByteArrayAutoPtr sig;
        ASSERT_TRUE(Key(c.id, false)->Sign(hash.data(), DWORD(hash.size()), sig)) << c.id << " " << m_sink.what();
        EXPECT_EQ(sig.size(), c.length) << c.id;
        EXPECT_EQ(Key(c.id, true)->Verify(hash.data(), DWORD(hash.size()), sig.get(), DWORD(sig.size())), 0) << c.id;
    }
}

TEST_F(SignTest, RsaSignHashSignsTheDigestInfoWithNullParameters)
{
    Bytes hash = OpenSslDigest("SHA1", Random(33));
    Bytes digestInfo = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    digestInfo.insert(digestInfo.end(), hash.begin(), hash.end());
    ASSERT_EQ(digestInfo.size(), 35u);
    TByteArrayAutoPtr viaHash, viaRaw;
    ASSERT_TRUE(Key("0A01", false)->SignHash(hash.data(), DWORD(hash.size()), kSha1, viaHash));
    ASSERT_TRUE(Key("0A01", false)->Sign(digestInfo.data(), DWORD(digestInfo.size()), viaRaw));
    EXPECT_EQ(Held(viaHash), Held(viaRaw));
}

TEST_F(SignTest, VerifyGivesZeroOneOrMinusOne)
{
    CPKCS11AsymmetricKey* priv = Key("0A01", false);
    CPKCS11AsymmetricKey* pub = Key("0A01", true);
    Bytes data = Random(20);
    TByteArrayAutoPtr sig;
    ASSERT_TRUE(priv->Sign(data.data(), 20, sig));
    Bytes s = Held(sig);
    EXPECT_EQ(pub->Verify(data.data(), 20, s.data(), DWORD(s.size())), 0);

    s[5] ^= 0x40;
    EXPECT_EQ(pub->Verify(data.data(), 20, s.data(), DWORD(s.size())), 1);
    EXPECT_EQ(m_sink.GetMessage(), nullptr) << "an invalid signature is no error";

    EXPECT_EQ(pub->Verify(data.data(), 20, s.data(), DWORD(s.size() - 1)), -1);
    EXPECT_STREQ(m_sink.GetMessage(), "C_Verify failed");
    EXPECT_EQ(m_sink.GetCode(), CKR_SIGNATURE_LEN_RANGE);
    EXPECT_EQ(m_sink.GetFlag(), 1u);

    m_sink.Reset();
    EXPECT_EQ(pub->Verify(data.data(), 20, nullptr, 10), -1);
    EXPECT_EQ(m_sink.GetMessage(), nullptr);

    EXPECT_EQ(priv->Verify(data.data(), 20, s.data(), DWORD(s.size())), -1);
    EXPECT_STREQ(m_sink.GetMessage(), "Use public key instead");
    EXPECT_EQ(m_sink.GetFlag(), 0u);
    m_sink.Reset();
    EXPECT_FALSE(pub->Sign(data.data(), 20, sig));
    EXPECT_STREQ(m_sink.GetMessage(), "Use private key instead");
    m_sink.Reset();
    EXPECT_FALSE(priv->Sign(nullptr, 20, sig));
    EXPECT_EQ(m_sink.GetMessage(), nullptr);
}

TEST_F(SignTest, DsaVerifyHashChecksTheSignatureBounds)
{
    CPKCS11AsymmetricKey* pub = Key("0B01", true);
    Bytes hash = OpenSslDigest("SHA1", Random(5));
    // Not DER: an error with the decoder's text.
    Bytes junk = {0x30, 0x05, 0x02, 0x01};
    EXPECT_EQ(pub->VerifyHash(hash.data(), 20, kSha1, junk.data(), DWORD(junk.size())), -1);
    EXPECT_NE(m_sink.GetMessage(), nullptr);
    m_sink.Reset();
    // r of 21 significant bytes cannot be below a 160-bit q: invalid, and nothing
    // is written past the 40-byte raw form.
    Bytes big = {0x30, 0x1D, 0x02, 0x16, 0x00};
    big.insert(big.end(), 21, 0x7F);
    big.insert(big.end(), {0x02, 0x03, 0x01, 0x02, 0x03});
    big[1] = uint8_t(big.size() - 2);
    EXPECT_EQ(pub->VerifyHash(hash.data(), 20, kSha1, big.data(), DWORD(big.size())), 1);
    EXPECT_EQ(m_sink.GetMessage(), nullptr);
    // Short r and s are right-aligned in their halves: a valid signature re-encoded
    // with minimal integers still verifies (covered in the round trips); small
    // values of a wrong signature simply fail.
    Bytes small = {0x30, 0x06, 0x02, 0x01, 0x05, 0x02, 0x01, 0x07};
    EXPECT_EQ(pub->VerifyHash(hash.data(), 20, kSha1, small.data(), DWORD(small.size())), 1);
}

TEST_F(SignTest, DsaSignatureOfOddLengthIsRefused)
{
    // r and s are the two halves: a raw signature that cannot be split evenly is
    // refused rather than read past its end.
    Bytes hash = OpenSslDigest("SHA1", Random(7));
    CurrentFaults().signShortBy = 1;
    TByteArrayAutoPtr sig;
    EXPECT_FALSE(Key("0B01", false)->SignHash(hash.data(), 20, kSha1, sig));
    EXPECT_STREQ(m_sink.GetMessage(), "The token returned a DSA signature of unexpected length");
    CurrentFaults().signShortBy = 0;
    m_sink.Reset();
    EXPECT_TRUE(Key("0B01", false)->SignHash(hash.data(), 20, kSha1, sig)) << m_sink.what();
}

TEST_F(SignTest, BuffersAreSizedByTheModuleAndFailuresLeaveNoOperationActive)
{
    CPKCS11AsymmetricKey* priv = Key("0A01", false);
    Bytes data = Random(20);
    // The module asks for more on the data call: the layer answers with that size.
    CurrentFaults().growLength = 300;
    TByteArrayAutoPtr sig;
    ASSERT_TRUE(priv->Sign(data.data(), 20, sig)) << m_sink.what();
    EXPECT_EQ(sig.size(), 128u);
    EXPECT_EQ(CurrentFaults().calls["C_Sign"], 3);

    // Data too long for a 1024-bit key: C_Sign fails, and the next signature works.
    Bytes tooLong = Random(200);
    EXPECT_FALSE(priv->Sign(tooLong.data(), DWORD(tooLong.size()), sig));
    EXPECT_STREQ(m_sink.GetMessage(), "C_Sign failed");
    m_sink.Reset();
    ASSERT_TRUE(priv->Sign(data.data(), 20, sig)) << m_sink.what();

    // Digests of every length, also when the module grows its answer.
    struct Case {
        CK_MECHANISM_TYPE mechanism;
        const char* name;
    } cases[] = {{CKM_SHA_1, "SHA1"}, {CKM_SHA256, "SHA256"}, {CKM_SHA512, "SHA512"}};
    for (const Case& c : cases) {
        CurrentFaults().growLength = 200;
        TByteArrayAutoPtr digest;
        ASSERT_TRUE(m_token->Digest(c.mechanism, data.data(), 20, digest)) << c.name << " " << m_sink.what();
        EXPECT_EQ(Held(digest), OpenSslDigest(c.name, data)) << c.name;
    }
    // An unknown mechanism fails at init and leaves the session usable.
    TByteArrayAutoPtr digest;
    EXPECT_FALSE(m_token->Digest(CKM_VENDOR_DEFINED | 0x77, data.data(), 20, digest));
    EXPECT_STREQ(m_sink.GetMessage(), "C_DigestInit failed");
    EXPECT_EQ(m_sink.GetFlag(), 1u);
    EXPECT_TRUE(m_token->Digest(CKM_SHA_1, data.data(), 20, digest));
}

TEST_F(SignTest, DsaMechanismOnlyForDsaKeys)
{
    // An RSA key whose type could not be read carries no type bit: the layer
    // refuses it instead of trying CKM_DSA (which crashes SoftHSM2).
    CPKCS11AsymmetricKey* rsa = Key("0A01", false);
    CK_OBJECT_HANDLE h = rsa->GetHandle();
    CurrentFaults().getAttributeHandle = h;
    CurrentFaults().getAttributeType = CKA_KEY_TYPE;
    std::unique_ptr<CPKCS11AsymmetricKey> untyped(new CPKCS11AsymmetricKey(
        KEY_CLASS_PRIVATE, h, m_token->GetSession(), -1, false, FaultyFunctions(), m_token, &m_sink));
    EXPECT_STREQ(m_sink.GetMessage(), "GetAttributeValue failed");
    // A caller that says DSA for it is not believed either.
    std::unique_ptr<CPKCS11AsymmetricKey> claimed(new CPKCS11AsymmetricKey(
        KEY_CLASS_PRIVATE | KEY_TYPE_DSA, h, m_token->GetSession(), -1, false, FaultyFunctions(), m_token, &m_sink));
    CurrentFaults().Reset();
    EXPECT_EQ(untyped->GetKeyFlags(), (unsigned long)KEY_CLASS_PRIVATE);

    Bytes hash = OpenSslDigest("SHA1", Random(3));
    TByteArrayAutoPtr sig;
    m_sink.Reset();
    EXPECT_FALSE(untyped->SignHash(hash.data(), 20, kSha1, sig));
    EXPECT_STREQ(m_sink.GetMessage(), "The program can sign only with RSA and DSA keys");
    EXPECT_EQ(m_sink.GetCode(), CKR_KEY_TYPE_INCONSISTENT);  // so the box can explain it
    m_sink.Reset();
    EXPECT_FALSE(claimed->SignHash(hash.data(), 20, kSha1, sig));
    EXPECT_STREQ(m_sink.GetMessage(), "CKM_DSA can be used only with a DSA key");
    EXPECT_EQ(CurrentFaults().calls["C_SignInit"], 0);
}

TEST_F(SignTest, SubjectPublicKeyInfoBuiltFromTheEncodingIsOpenSSLs)
{
    // What enrolment does with the encoding: a SubjectPublicKeyInfo whose DER (and
    // so the key identifier hashed from it) must be the key's standard form.
    for (const char* id : {"0A01", "0B01", "0B02"}) {
        bool rsa = id[1] == 'A';
        SNACC::SubjectPublicKeyInfo spki;
        spki.algorithm.algorithm = SNACC::AsnOid(rsa ? id_RSA_rsa : id_X957_dsa);
        if (!rsa)
            spki.algorithm.parameters = new SNACC::AsnAny;
        TByteArrayAutoPtr encoded;
        ASSERT_TRUE(Key(id, true)->GetEncodedPublicKey(encoded, spki.algorithm.parameters)) << id << m_sink.what();
        spki.subjectPublicKey.Set(encoded.get(), encoded.size() * 8);
        SNACC::AsnBuf buf;
        std::string err;
        uint64_t n = ExtractAnyBuf(&buf, &spki, &err);
        ASSERT_GT(n, 0u) << id << " " << err;
        Bytes ours(n);
        buf.GetUSeg(ours.data(), long(n));
        EXPECT_EQ(fixture::ToHex(ours), fixture::ToHex(fixture::ReadBytes(g_keys->keys[id].publicDer))) << id;
    }
}

TEST_F(SignTest, EncodedPublicKeysMatchOpenSSL)
{
    // RSA: the DER RSAPublicKey, the ANY untouched.
    TByteArrayAutoPtr encoded;
    SNACC::AsnAny params;
    ASSERT_TRUE(Key("0A01", true)->GetEncodedPublicKey(encoded, &params)) << m_sink.what();
    EXPECT_EQ(params.value, nullptr);
    EXPECT_EQ(Held(encoded), PublicKeyBits(g_keys->keys["0A01"].publicDer));

    // DSA: the DER INTEGER y, and the ANY holds p, q and g.
    for (const char* id : {"0B01", "0B02"}) {
        SNACC::AsnAny dsaParams;
        ASSERT_TRUE(Key(id, true)->GetEncodedPublicKey(encoded, &dsaParams)) << m_sink.what();
        ASSERT_NE(dsaParams.value, nullptr);
        EXPECT_EQ(Held(encoded), PublicKeyBits(g_keys->keys[id].publicDer)) << id;
        EVP_PKEY* dsa = LoadPublic(g_keys->keys[id].publicDer);
        unsigned char* der = nullptr;
        int len = i2d_KeyParams(dsa, &der);
        SNACC::AsnBuf buf;
        std::string err;
        uint64_t n = ExtractAnyBuf(&buf, dsaParams.value, &err);
        Bytes ours(n);
        buf.GetUSeg(ours.data(), long(n));
        EXPECT_EQ(ours, Bytes(der, der + len)) << id;
        OPENSSL_free(der);
        EVP_PKEY_free(dsa);
    }

    // EC cannot be encoded: an error, never an empty success.
    m_sink.Reset();
    EXPECT_FALSE(Key("0C01", true)->GetEncodedPublicKey(encoded, &params));
    EXPECT_STREQ(m_sink.GetMessage(), "The program can encode only RSA and DSA public keys");
    // A private key: false with nothing recorded.
    m_sink.Reset();
    EXPECT_FALSE(Key("0A01", false)->GetEncodedPublicKey(encoded, &params));
    EXPECT_EQ(m_sink.GetMessage(), nullptr);
}

} // namespace
