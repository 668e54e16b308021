// The proof of possession at the loopback service (each proof recorded; a client part
// that is not 20 bytes or was seen before is refused; the demo mode's approval), and
// the kinds of failure the client tells apart for its caller.
#include "TestSupport.h"

#include <openssl/rand.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using fixture::CannedHttpsServer;

const char kSha1Rsa[] = "1.2.840.113549.1.1.5";

std::vector<unsigned char> Random(size_t n)
{
    std::vector<unsigned char> bytes(n);
    RAND_bytes(bytes.data(), static_cast<int>(n));
    return bytes;
}

// The kind of the failure a call ended with; "none" when it did not fail, "other"
// for a failure that is not the client's own kind.
std::string KindOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const CVarnockError& e) {
        switch (e.Kind()) {
        case CVarnockError::ekTransport:
            return "transport";
        case CVarnockError::ekFault:
            return "fault";
        case CVarnockError::ekNoResult:
            return "no result";
        case CVarnockError::ekBadAnswer:
            return "bad answer";
        }
    } catch (const std::exception&) {
        return "other";
    }
    return "none";
}

class Possession : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new std::string(fixture::ScratchDir("possession"));
        s_key = new fixture::KeyFiles(fixture::MakeKey(*s_dir, "user", "rsa:2048"));
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        delete s_key;
    }

    // A service with one approved request for the key.
    void SetUp() override
    {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        m_service.reset(new fixture::RequestService(*s_dir + "/" + name, vtest::Pki()));
        ASSERT_TRUE(m_service->Start());
        m_keyId = m_service->FileRequest(vtest::MakeCsr(*s_dir, *s_key, "/CN=" + name), "approved");
        ASSERT_EQ(m_keyId, fixture::KeyIdOf(fixture::ReadBytes(s_key->publicDer)));
    }

    CVarnockSingleton& Client() { return vtest::Client(m_service->Endpoint()); }

    // Sends a proof over a fresh nonce with the given client part; the error kind.
    std::string Prove(const std::vector<unsigned char>& clientNonce, TByteArrayAutoPtr& cert)
    {
        TByteArrayAutoPtr serverNonce, client, signature;
        Client().downloadNonce(m_keyId.c_str(), serverNonce);
        std::vector<unsigned char> joined = vtest::ToVector(serverNonce);
        joined.insert(joined.end(), clientNonce.begin(), clientNonce.end());
        vtest::Fill(client, clientNonce);
        vtest::Fill(signature, vtest::SignSha1(s_key->keyPem, joined));
        return KindOf([&] { Client().downloadCertificate(serverNonce, client, signature, kSha1Rsa, cert); });
    }

    static std::string* s_dir;
    static fixture::KeyFiles* s_key;
    std::unique_ptr<fixture::RequestService> m_service;
    std::string m_keyId;
};
std::string* Possession::s_dir = nullptr;
fixture::KeyFiles* Possession::s_key = nullptr;

TEST_F(Possession, EveryProofIsRecordedAndVerifiesWithOpenssl)
{
    const std::vector<unsigned char> clientNonce = Random(20);
    TByteArrayAutoPtr cert;
    ASSERT_EQ(Prove(clientNonce, cert), "none");
    const std::vector<fixture::RequestService::Proof> proofs = m_service->Proofs();
    ASSERT_EQ(proofs.size(), 1u);
    const fixture::RequestService::Proof& proof = proofs[0];
    EXPECT_EQ(proof.keyId, m_keyId);
    EXPECT_EQ(proof.clientNonce, clientNonce);
    EXPECT_EQ(proof.serverNonce.size(), 32u);
    EXPECT_EQ(proof.algorithm, kSha1Rsa);
    EXPECT_EQ(proof.verdict, "accepted");

    // Checked from outside: openssl over server nonce and client part with the public key.
    std::vector<unsigned char> data = proof.serverNonce;
    data.insert(data.end(), proof.clientNonce.begin(), proof.clientNonce.end());
    fixture::WriteBytes(*s_dir + "/recorded.data", data);
    fixture::WriteBytes(*s_dir + "/recorded.sig", proof.signature);
    std::string out;
    EXPECT_EQ(fixture::Run("openssl dgst -sha1 -verify " + fixture::Quote(s_key->publicDer) +
                               " -keyform DER -signature " + fixture::Quote(*s_dir + "/recorded.sig") + " " +
                               fixture::Quote(*s_dir + "/recorded.data"),
                           &out),
              0)
        << out;
}

TEST_F(Possession, ClientPartMustBeTwentyNewBytes)
{
    struct Case {
        const char* what;
        std::vector<unsigned char> clientNonce;
        const char* kind;
        const char* reason;
    };
    const std::vector<unsigned char> used = Random(20);
    TByteArrayAutoPtr cert;
    ASSERT_EQ(Prove(used, cert), "none");
    const Case cases[] = {
        {"one byte short", Random(19), "fault", "client nonce is not 20 bytes"},
        {"one byte more", Random(21), "fault", "client nonce is not 20 bytes"},
        {"seen before", used, "fault", "client nonce seen before"},
        {"fresh", Random(20), "none", ""},
    };
    for (const Case& c : cases) {
        const size_t before = m_service->Proofs().size();
        TByteArrayAutoPtr got;
        EXPECT_EQ(Prove(c.clientNonce, got), c.kind) << c.what;
        const std::vector<fixture::RequestService::Proof> proofs = m_service->Proofs();
        ASSERT_EQ(proofs.size(), before + 1) << c.what;
        EXPECT_EQ(proofs.back().reason, c.reason) << c.what;
        EXPECT_EQ(proofs.back().verdict, std::string(*c.reason ? "refused" : "accepted")) << c.what;
        EXPECT_EQ(got.size() > 0, !*c.reason) << c.what;
    }
}

// A proof replayed as it was recorded is refused: its nonce was good once.
TEST_F(Possession, ReplayedProofIsRefused)
{
    TByteArrayAutoPtr cert;
    ASSERT_EQ(Prove(Random(20), cert), "none");
    const fixture::RequestService::Proof proof = m_service->Proofs().back();
    TByteArrayAutoPtr serverNonce, clientNonce, signature, again;
    vtest::Fill(serverNonce, proof.serverNonce);
    vtest::Fill(clientNonce, proof.clientNonce);
    vtest::Fill(signature, proof.signature);
    EXPECT_EQ(KindOf([&] { Client().downloadCertificate(serverNonce, clientNonce, signature, kSha1Rsa, again); }),
              "fault");
    EXPECT_EQ(again.size(), 0u);
}

// Demo mode: a pending request reads as approved once it is old enough.
TEST(DemoMode, PendingRequestsAreApproved)
{
    const std::string dir = fixture::ScratchDir("demo-mode");
    const fixture::KeyFiles key = fixture::MakeKey(dir, "user", "rsa:2048");
    const std::vector<unsigned char> csr = vtest::MakeCsr(dir, key, "/CN=Demo");
    for (int after : {0, 3600}) {
        fixture::RequestService service(dir + "/after" + std::to_string(after), vtest::Pki());
        service.SetPolicies({fixture::RequestService::kDefaultPolicy});
        service.SetApproveAfter(after);
        ASSERT_TRUE(service.Start());
        ASSERT_EQ(vtest::Client(service.Endpoint())
                      .uploadCertRequest(csr.data(), csr.size(), fixture::RequestService::kDefaultPolicy),
                  CVarnockSingleton::usAccepted);
        std::map<std::string, CVarnockSingleton::TRequestStatus> states;
        const std::string keyId = fixture::KeyIdOf(fixture::ReadBytes(key.publicDer));
        vtest::Client(service.Endpoint()).retrieveRequestStatusInfo({keyId}, states);
        EXPECT_EQ(states[keyId], after == 0 ? CVarnockSingleton::rsApproved : CVarnockSingleton::rsPending) << after;
    }
}

// What the caller learns of a failure: the service was not reached, it refused the
// call, or it answered without a result.
TEST(FailureKinds, ToldApart)
{
    struct Case {
        const char* what;
        std::string answer;
        const char* kind;
    };
    const Case cases[] = {
        {"fault", fixture::FaultAnswer("SOAP-ENV:Sender", "Unknown key", "<reason>none</reason>"), "fault"},
        {"HTTP error", CannedHttpsServer::HttpAnswer("<html>gateway down</html>", "", 502), "transport"},
        {"empty nonce", fixture::NonceAnswer(""), "no result"},
        {"answer of another call", fixture::CertificateAnswer("AQID"), "transport"},
        {"nonce", fixture::NonceAnswer("AQID"), "none"},
    };
    for (const Case& c : cases) {
        CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
        ASSERT_TRUE(server.Start(c.answer));
        TByteArrayAutoPtr nonce;
        EXPECT_EQ(KindOf([&] { vtest::Client(server.Endpoint()).downloadNonce("AA", nonce); }), c.kind) << c.what;
    }
    // Nobody listening.
    fixture::RefusingPort nobody;
    const std::string endpoint = fixture::EndpointOn(nobody.Port());
    TByteArrayAutoPtr nonce;
    EXPECT_EQ(KindOf([&] { vtest::Client(endpoint).downloadNonce("AA", nonce); }), "transport");
    // A state that is no state.
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start(fixture::StatusAnswer(fixture::StatusRecord("AA", "Approved"))));
    std::map<std::string, CVarnockSingleton::TRequestStatus> states;
    EXPECT_EQ(KindOf([&] { vtest::Client(server.Endpoint()).retrieveRequestStatusInfo({"AA"}, states); }),
              "bad answer");
}

// One canned server plays a whole conversation, answering by the operation asked.
TEST(CannedConversation, AnswersByOperation)
{
    CannedHttpsServer server(vtest::Pki().certPem, vtest::Pki().keyPem);
    ASSERT_TRUE(server.Start({{"RetrieveRequestStatusInfo", fixture::StatusAnswer(fixture::StatusRecord("AA", "1"))},
                              {"DownloadServerNonce", fixture::NonceAnswer("AQID")}},
                             fixture::FaultAnswer("SOAP-ENV:Receiver", "not played", "")));
    CVarnockSingleton& client = vtest::Client(server.Endpoint());
    TByteArrayAutoPtr nonce, cert;
    client.downloadNonce("AA", nonce);
    EXPECT_EQ(vtest::ToVector(nonce), (std::vector<unsigned char>{1, 2, 3}));
    std::map<std::string, CVarnockSingleton::TRequestStatus> states;
    client.retrieveRequestStatusInfo({"AA"}, states);
    EXPECT_EQ(states["AA"], CVarnockSingleton::rsApproved);
    EXPECT_EQ(KindOf([&] { client.downloadCertificate(nonce, nonce, nonce, kSha1Rsa, cert); }), "fault");
    EXPECT_EQ(server.Operations(),
              (std::vector<std::string>{"DownloadServerNonce", "RetrieveRequestStatusInfo", ""}));
}

} // namespace
