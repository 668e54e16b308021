// The whole exchange against the loopback request service: upload a PKCS#10
// request, follow its state, fetch a nonce, prove possession and download the
// certificate, for RSA and DSA keys.
#include "TestSupport.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <algorithm>
#include <functional>

#include <gtest/gtest.h>

#include <memory>

namespace {

using Status = CVarnockSingleton::TRequestStatus;
using StatusMap = std::map<std::string, Status>;

const char kSha1Rsa[] = "1.2.840.113549.1.1.5";
const char kDsaSha1[] = "1.2.840.10040.4.3";

struct KeyCase {
    const char* name;
    const char* alg;
    const char* sigOid;
};

void PrintTo(const KeyCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string ErrorOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return std::string();
}

// The proof of possession as the enrolment driver makes it.
struct Proof {
    TByteArrayAutoPtr serverNonce, clientNonce, signature;
};

void MakeProof(const fixture::KeyFiles& key, const TByteArrayAutoPtr& nonce, Proof& proof)
{
    std::vector<unsigned char> sn = vtest::ToVector(nonce);
    // The service takes each client part once.
    std::vector<unsigned char> cn(20);
    RAND_bytes(cn.data(), static_cast<int>(cn.size()));
    std::vector<unsigned char> joined = sn;
    joined.insert(joined.end(), cn.begin(), cn.end());
    vtest::Fill(proof.serverNonce, sn);
    vtest::Fill(proof.clientNonce, cn);
    vtest::Fill(proof.signature, vtest::SignSha1(key.keyPem, joined));
}

class ServiceFlow : public ::testing::TestWithParam<KeyCase> {
protected:
    void SetUp() override
    {
        m_dir = fixture::ScratchDir(std::string("flow-") + GetParam().name);
        m_service.reset(new fixture::RequestService(m_dir + "/service", vtest::Pki()));
        ASSERT_TRUE(m_service->Start());
        m_key = fixture::MakeKey(m_dir, "user", GetParam().alg);
        m_keyId = fixture::KeyIdOf(fixture::ReadBytes(m_key.publicDer));
        m_csr = vtest::MakeCsr(m_dir, m_key, "/CN=Test User/O=Tessaly");
    }

    CVarnockSingleton& Client() { return vtest::Client(m_service->Endpoint()); }

    std::string m_dir;
    std::unique_ptr<fixture::RequestService> m_service;
    fixture::KeyFiles m_key;
    std::string m_keyId;
    std::vector<unsigned char> m_csr;
};

TEST_P(ServiceFlow, UploadStatusNonceDownload)
{
    const KeyCase& c = GetParam();
    ASSERT_EQ(Client().uploadCertRequest(m_csr.data(), m_csr.size(), fixture::RequestService::kDefaultPolicy),
              CVarnockSingleton::usAccepted);
    EXPECT_EQ(m_service->State(m_keyId), "pending");
    EXPECT_EQ(m_service->RequestDer(m_keyId), m_csr);
    EXPECT_EQ(m_service->Policy(m_keyId), fixture::RequestService::kDefaultPolicy);

    // Only known keys are answered; the map keeps what it held for others.
    const std::string unknownId(40, 'F');
    StatusMap states{{unknownId, CVarnockSingleton::rsDeleted}};
    Client().retrieveRequestStatusInfo({m_keyId, unknownId}, states);
    EXPECT_EQ(states, (StatusMap{{m_keyId, CVarnockSingleton::rsPending}, {unknownId, CVarnockSingleton::rsDeleted}}));

    TByteArrayAutoPtr nonce;
    EXPECT_NE(ErrorOf([&] { Client().downloadNonce(m_keyId.c_str(), nonce); }).find("not approved"),
              std::string::npos);

    m_service->SetState(m_keyId, "approved");
    states.clear();
    Client().retrieveRequestStatusInfo({m_keyId}, states);
    EXPECT_EQ(states, (StatusMap{{m_keyId, CVarnockSingleton::rsApproved}}));

    Client().downloadNonce(m_keyId.c_str(), nonce);
    ASSERT_EQ(nonce.size(), 32u);
    Proof proof;
    MakeProof(m_key, nonce, proof);
    TByteArrayAutoPtr cert;
    Client().downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, c.sigOid, cert);
    ASSERT_GT(cert.size(), 0u);
    EXPECT_EQ(vtest::ToVector(cert), m_service->IssuedCertificate(m_keyId));

    // The certificate is the service CA's, for the request's key and subject.
    const unsigned char* p = cert.get();
    std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &p, static_cast<long>(cert.size())), X509_free);
    ASSERT_TRUE(x509);
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(vtest::Pki().ca.certPem.c_str(), "r"), fclose);
    std::unique_ptr<X509, decltype(&X509_free)> ca(PEM_read_X509(f.get(), nullptr, nullptr, nullptr), X509_free);
    ASSERT_TRUE(ca);
    EXPECT_EQ(X509_verify(x509.get(), X509_get0_pubkey(ca.get())), 1);
    unsigned char* spki = nullptr;
    const int n = i2d_PUBKEY(X509_get0_pubkey(x509.get()), &spki);
    EXPECT_EQ(std::vector<unsigned char>(spki, spki + n), fixture::ReadBytes(m_key.publicDer));
    OPENSSL_free(spki);
    char subject[256];
    X509_NAME_oneline(X509_get_subject_name(x509.get()), subject, sizeof subject);
    EXPECT_STREQ(subject, "/CN=Test User/O=Tessaly");

    // The nonce was good for one download only.
    TByteArrayAutoPtr again;
    EXPECT_NE(ErrorOf([&] {
                  Client().downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, c.sigOid, again);
              }).find("Unknown or used nonce"),
              std::string::npos);
    EXPECT_EQ(again.get(), nullptr);
}

TEST_P(ServiceFlow, ProofOfPossessionIsChecked)
{
    const KeyCase& c = GetParam();
    ASSERT_EQ(Client().uploadCertRequest(m_csr.data(), m_csr.size(), fixture::RequestService::kDefaultPolicy),
              CVarnockSingleton::usAccepted);
    m_service->SetState(m_keyId, "approved");

    // A signature by another key of the same kind.
    const fixture::KeyFiles other = fixture::MakeKey(m_dir, "other", c.alg);
    TByteArrayAutoPtr nonce, cert;
    Proof proof;
    Client().downloadNonce(m_keyId.c_str(), nonce);
    MakeProof(other, nonce, proof);
    std::string error =
        ErrorOf([&] { Client().downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, c.sigOid, cert); });
    EXPECT_NE(error.find("Proof of possession failed"), std::string::npos) << error;
    EXPECT_NE(error.find("signature does not verify"), std::string::npos) << error;

    // The right signature under the other algorithm's identifier.
    Client().downloadNonce(m_keyId.c_str(), nonce);
    MakeProof(m_key, nonce, proof);
    const char* wrongOid = std::string(c.sigOid) == kSha1Rsa ? kDsaSha1 : kSha1Rsa;
    error = ErrorOf([&] { Client().downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, wrongOid, cert); });
    EXPECT_NE(error.find("algorithm does not fit the key"), std::string::npos) << error;
    EXPECT_EQ(cert.get(), nullptr);

    // A new nonce replaces the old one: the earlier nonce no longer works.
    TByteArrayAutoPtr first, second;
    Client().downloadNonce(m_keyId.c_str(), first);
    Client().downloadNonce(m_keyId.c_str(), second);
    EXPECT_NE(vtest::ToVector(first), vtest::ToVector(second));
    MakeProof(m_key, first, proof);
    EXPECT_NE(ErrorOf([&] { Client().downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, c.sigOid, cert); })
                  .find("Unknown or used nonce"),
              std::string::npos);
    MakeProof(m_key, second, proof);
    Client().downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, c.sigOid, cert);
    EXPECT_GT(cert.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Keys, ServiceFlow,
                         ::testing::Values(KeyCase{"Rsa", "rsa:2048", kSha1Rsa}, KeyCase{"Dsa", "dsa:1024", kDsaSha1}),
                         [](const ::testing::TestParamInfo<KeyCase>& info) { return std::string(info.param.name); });

class ServiceUpload : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new std::string(fixture::ScratchDir("upload"));
        s_key = new fixture::KeyFiles(fixture::MakeKey(*s_dir, "user", "rsa:2048"));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        delete s_key;
    }
    static std::string* s_dir;
    static fixture::KeyFiles* s_key;
};
std::string* ServiceUpload::s_dir = nullptr;
fixture::KeyFiles* ServiceUpload::s_key = nullptr;

TEST_F(ServiceUpload, RequestsAreCheckedBeforeTheyAreFiled)
{
    fixture::RequestService service(*s_dir + "/checked", vtest::Pki());
    service.SetPolicies({"1.3.6.1.4.1.99999.10.1", "1.3.6.1.4.1.99999.10.2"});
    ASSERT_TRUE(service.Start());
    auto& client = vtest::Client(service.Endpoint());
    std::vector<unsigned char> csr = vtest::MakeCsr(*s_dir, *s_key, "/CN=Checked");
    const std::string keyId = fixture::KeyIdOf(fixture::ReadBytes(s_key->publicDer));

    EXPECT_EQ(client.uploadCertRequest(csr.data(), csr.size(), "1.3.6.1.4.1.99999.10.9"), CVarnockSingleton::usRejected);
    std::vector<unsigned char> tampered = csr;
    tampered[tampered.size() - 3] ^= 0x01; // inside the signature
    EXPECT_EQ(client.uploadCertRequest(tampered.data(), tampered.size(), "1.3.6.1.4.1.99999.10.2"),
              CVarnockSingleton::usMalformed);
    const unsigned char notDer[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(client.uploadCertRequest(notDer, sizeof notDer, "1.3.6.1.4.1.99999.10.2"), CVarnockSingleton::usMalformed);
    EXPECT_FALSE(service.HasRequest(keyId));

    EXPECT_EQ(client.uploadCertRequest(csr.data(), csr.size(), "1.3.6.1.4.1.99999.10.2"), CVarnockSingleton::usAccepted);
    EXPECT_EQ(service.Policy(keyId), "1.3.6.1.4.1.99999.10.2");
    // One open request per key.
    EXPECT_EQ(client.uploadCertRequest(csr.data(), csr.size(), "1.3.6.1.4.1.99999.10.2"), CVarnockSingleton::usRejected);
    service.SetState(keyId, "deleted");
    EXPECT_EQ(client.uploadCertRequest(csr.data(), csr.size(), "1.3.6.1.4.1.99999.10.1"), CVarnockSingleton::usAccepted);
}

// States the service sends that the client does not know read as unknown.
TEST_F(ServiceUpload, StatesSetByTheTest)
{
    fixture::RequestService service(*s_dir + "/states", vtest::Pki());
    ASSERT_TRUE(service.Start());
    auto& client = vtest::Client(service.Endpoint());
    std::vector<unsigned char> csr = vtest::MakeCsr(*s_dir, *s_key, "/CN=States");
    const std::string keyId = fixture::KeyIdOf(fixture::ReadBytes(s_key->publicDer));
    ASSERT_EQ(client.uploadCertRequest(csr.data(), csr.size(), fixture::RequestService::kDefaultPolicy),
              CVarnockSingleton::usAccepted);
    for (const auto& state : std::vector<std::pair<std::string, Status>>{{"deleted", CVarnockSingleton::rsDeleted},
                                                                         {"7", CVarnockSingleton::rsUnknown},
                                                                         {"2", CVarnockSingleton::rsPending},
                                                                         {"unknown", CVarnockSingleton::rsUnknown}}) {
        service.SetState(keyId, state.first);
        StatusMap states;
        client.retrieveRequestStatusInfo({keyId}, states);
        EXPECT_EQ(states, (StatusMap{{keyId, state.second}})) << state.first;
    }
    // The key identifier is looked up without regard to case; the answer names it as the service files it.
    StatusMap states;
    std::string lower = keyId;
    for (char& ch : lower)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    client.retrieveRequestStatusInfo({lower}, states);
    EXPECT_EQ(states.count(keyId), 1u);
}

// Requests as the enrolment signs them on a token: SHA-1, and for DSA a signature
// algorithm identifier that carries NULL parameters.
TEST_F(ServiceUpload, AcceptsRequestsSignedAsOnAToken)
{
    fixture::RequestService service(*s_dir + "/token", vtest::Pki());
    ASSERT_TRUE(service.Start());
    auto& client = vtest::Client(service.Endpoint());
    const fixture::KeyFiles dsa = fixture::MakeKey(*s_dir, "token-dsa", "dsa:1024");
    std::vector<unsigned char> withNull = vtest::MakeCsr(*s_dir, dsa, "/CN=DSA on a token", "-sha1");
    // 30 09 06 07 <dsaWithSHA1> becomes 30 0B 06 07 <dsaWithSHA1> 05 00; the outer length grows by 2.
    const std::vector<unsigned char> bare = {0x30, 0x09, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x38, 0x04, 0x03};
    auto at = std::search(withNull.begin(), withNull.end(), bare.begin(), bare.end());
    ASSERT_NE(at, withNull.end());
    ASSERT_EQ(withNull[1], 0x82);
    *(at + 1) = 0x0B;
    withNull.insert(at + static_cast<long>(bare.size()), {0x05, 0x00});
    const unsigned outer = ((withNull[2] << 8) | withNull[3]) + 2u;
    withNull[2] = static_cast<unsigned char>(outer >> 8);
    withNull[3] = static_cast<unsigned char>(outer & 0xFF);

    const std::vector<unsigned char> rsaSha1 = vtest::MakeCsr(*s_dir, *s_key, "/CN=RSA on a token", "-sha1");
    for (const std::vector<unsigned char>& csr : {withNull, rsaSha1}) {
        EXPECT_EQ(client.uploadCertRequest(csr.data(), csr.size(), fixture::RequestService::kDefaultPolicy),
                  CVarnockSingleton::usAccepted);
    }
    EXPECT_TRUE(service.HasRequest(fixture::KeyIdOf(fixture::ReadBytes(dsa.publicDer))));
    EXPECT_TRUE(service.HasRequest(fixture::KeyIdOf(fixture::ReadBytes(s_key->publicDer))));
}

TEST_F(ServiceUpload, ServiceAsChildProcess)
{
    fixture::RequestService service(*s_dir + "/child", vtest::Pki());
    ASSERT_TRUE(service.StartChild());
    auto& client = vtest::Client(service.Endpoint("localhost"));
    std::vector<unsigned char> csr = vtest::MakeCsr(*s_dir, *s_key, "/CN=Child");
    const std::string keyId = fixture::KeyIdOf(fixture::ReadBytes(s_key->publicDer));
    ASSERT_EQ(client.uploadCertRequest(csr.data(), csr.size(), fixture::RequestService::kDefaultPolicy),
              CVarnockSingleton::usAccepted);
    EXPECT_EQ(service.State(keyId), "pending");
    service.SetState(keyId, "approved");
    StatusMap states;
    client.retrieveRequestStatusInfo({keyId}, states);
    EXPECT_EQ(states, (StatusMap{{keyId, CVarnockSingleton::rsApproved}}));
    TByteArrayAutoPtr nonce, cert;
    client.downloadNonce(keyId.c_str(), nonce);
    Proof proof;
    MakeProof(*s_key, nonce, proof);
    client.downloadCertificate(proof.serverNonce, proof.clientNonce, proof.signature, kSha1Rsa, cert);
    EXPECT_EQ(vtest::ToVector(cert), service.IssuedCertificate(keyId));
    service.Stop();
    EXPECT_NE(ErrorOf([&] { client.retrieveRequestStatusInfo({keyId}, states); }), "") << "the child still serves";
}

} // namespace
