// TLS refusals: the client verifies the server's chain (to the trust file or the
// platform's store), its dates and its host name, and a trust file it cannot use
// stops the call before any connection.
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

using fixture::CannedHttpsServer;

namespace {

const char kSan[] = "subjectAltName=IP:127.0.0.1,DNS:localhost";

struct Material {
    std::string platformCaKey;
    std::string otherCaCert, otherCaKey; // server certificate of a CA the client does not trust
    std::string platformCaCert;          // server certificate of a CA of the platform's store only
    std::string expiredCert, expiredKey;
    std::string wrongHostCert, wrongHostKey;
    std::string selfSignedCert, selfSignedKey;
    std::string garbageTrust, emptyTrust, dirTrust, missingTrust;
    std::string platformStore; // what the client reads as the platform's CA store
};

const Material& M()
{
    static const Material m = [] {
        Material m;
        const std::string dir = fixture::ScratchDir("tls");
        const fixture::KeyFiles key = fixture::MakeKey(dir, "server", "rsa:2048");
        std::filesystem::create_directories(dir + "/other");
        const fixture::Ca other = fixture::MakeCa(dir + "/other", "/CN=Unknown Test CA");
        auto pem = [](const std::string& der) { return der.substr(0, der.size() - 4) + ".pem"; };
        m.otherCaCert = pem(fixture::IssueCert(other, "server", key, "/CN=localhost", 30, kSan));
        std::filesystem::create_directories(dir + "/platform");
        const fixture::Ca platform = fixture::MakeCa(dir + "/platform", "/CN=Platform Test CA");
        m.platformCaCert = pem(fixture::IssueCert(platform, "server", key, "/CN=localhost", 30, kSan));
        m.platformStore = platform.certPem;
        const fixture::Ca& ca = vtest::Pki().ca;
        m.expiredCert = pem(fixture::IssueCert(ca, "expired", key, "/CN=localhost", -2, kSan));
        m.wrongHostCert =
            pem(fixture::IssueCert(ca, "wronghost", key, "/CN=other.example", 30, "subjectAltName=DNS:other.example"));
        m.selfSignedCert = pem(fixture::MakeSelfSigned(dir, "selfsigned", key, "/CN=localhost", 30, kSan));
        m.otherCaKey = m.platformCaKey = m.expiredKey = m.wrongHostKey = m.selfSignedKey = key.keyPem;
        m.garbageTrust = dir + "/garbage.pem";
        fixture::WriteText(m.garbageTrust, "this is no certificate\n");
        m.emptyTrust = dir + "/empty.pem";
        fixture::WriteText(m.emptyTrust, "");
        m.dirTrust = dir + "/folder.pem";
        std::filesystem::create_directories(m.dirTrust);
        m.missingTrust = dir + "/no-such-file.pem";
        return m;
    }();
    return m;
}

// The client reads the platform's store once per process: before any call, it is
// pointed at a scratch store that holds one CA of its own (OpenSSL's names for the
// platform's file and folder).
class PlatformStore : public ::testing::Environment {
public:
    void SetUp() override
    {
        const std::string dir = fixture::ScratchDir("platformstore");
        setenv("SSL_CERT_FILE", M().platformStore.c_str(), 1);
        setenv("SSL_CERT_DIR", dir.c_str(), 1);
    }
};
::testing::Environment* const g_platformStore = ::testing::AddGlobalTestEnvironment(new PlatformStore);

struct TlsCase {
    const char* name;
    std::function<std::string()> cert, key, trust;
    std::string host;
    bool connects;     // the refusal comes at the connection, after the server was reached
    std::string error; // text the error must hold; empty for a case that must succeed
};

void PrintTo(const TlsCase& c, std::ostream* os)
{
    *os << c.name;
}

std::string GoodCert() { return vtest::Pki().certPem; }
std::string GoodKey() { return vtest::Pki().keyPem; }
std::string GoodTrust() { return vtest::Pki().ca.certPem; }

class TlsRefusal : public ::testing::TestWithParam<TlsCase> {};

TEST_P(TlsRefusal, Refused)
{
    const TlsCase& c = GetParam();
    CannedHttpsServer server(c.cert(), c.key());
    ASSERT_TRUE(server.Start(CannedHttpsServer::HttpAnswer(fixture::SoapEnvelope(
        "<ns1:DownloadServerNonceResponse><ns1:DownloadServerNonceResult>AQID</ns1:DownloadServerNonceResult>"
        "</ns1:DownloadServerNonceResponse>"))));
    TByteArrayAutoPtr nonce;
    std::string error;
    try {
        vtest::Client(server.Endpoint(c.host), c.trust()).downloadNonce("AA", nonce);
    } catch (const std::runtime_error& e) {
        error = e.what();
    }
    if (c.error.empty()) {
        EXPECT_EQ(error, "");
        EXPECT_EQ(nonce.size(), 3u);
        return;
    }
    EXPECT_NE(error.find(c.error), std::string::npos) << "error: " << error;
    EXPECT_EQ(nonce.get(), nullptr);
    EXPECT_EQ(server.Connections() > 0, c.connects) << "connections: " << server.Connections();
    EXPECT_TRUE(server.Requests().empty()) << "a request was sent over a refused connection";
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, TlsRefusal,
    ::testing::Values(
        TlsCase{"TrustedByIp", GoodCert, GoodKey, GoodTrust, "127.0.0.1", true, ""},
        TlsCase{"TrustedByName", GoodCert, GoodKey, GoodTrust, "localhost", true, ""},
        TlsCase{"UnknownCa", [] { return M().otherCaCert; }, [] { return M().otherCaKey; }, GoodTrust, "127.0.0.1",
                true, "certificate verify failed"},
        TlsCase{"SelfSigned", [] { return M().selfSignedCert; }, [] { return M().selfSignedKey; }, GoodTrust,
                "127.0.0.1", true, "certificate verify failed"},
        TlsCase{"Expired", [] { return M().expiredCert; }, [] { return M().expiredKey; }, GoodTrust, "127.0.0.1", true,
                "certificate verify failed"},
        TlsCase{"WrongHostName", [] { return M().wrongHostCert; }, [] { return M().wrongHostKey; }, GoodTrust,
                "127.0.0.1", true, "host name mismatch"},
        TlsCase{"WrongHostNameByName", [] { return M().wrongHostCert; }, [] { return M().wrongHostKey; },
                GoodTrust, "localhost", true, "host name mismatch"},
        TlsCase{"MissingTrustFile", GoodCert, GoodKey, [] { return M().missingTrust; }, "127.0.0.1", false,
                "CA PEM file"},
        TlsCase{"TrustFileNotPem", GoodCert, GoodKey, [] { return M().garbageTrust; }, "127.0.0.1", false,
                "CA PEM file"},
        TlsCase{"EmptyTrustFile", GoodCert, GoodKey, [] { return M().emptyTrust; }, "127.0.0.1", false,
                "CA PEM file"},
        TlsCase{"TrustPathIsFolder", GoodCert, GoodKey, [] { return M().dirTrust; }, "127.0.0.1", false,
                "CA PEM file"},
        TlsCase{"NoTrustFileGiven", GoodCert, GoodKey, [] { return std::string(); }, "127.0.0.1", false,
                "No trusted-certificate file"}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

// Trusted are the CAs of the trust file and those of the platform's store: a server
// whose chain leads only to a CA of the platform's store is accepted.
TEST(TlsTrust, PlatformStoreCountsBesideTheTrustFile)
{
    CannedHttpsServer server(M().platformCaCert, M().platformCaKey);
    ASSERT_TRUE(server.Start(CannedHttpsServer::HttpAnswer(fixture::SoapEnvelope(
        "<ns1:DownloadServerNonceResponse><ns1:DownloadServerNonceResult>AQID</ns1:DownloadServerNonceResult>"
        "</ns1:DownloadServerNonceResponse>"))));
    for (int call = 0; call < 2; ++call) { // the second from the store read once
        std::string error;
        TByteArrayAutoPtr nonce;
        try {
            vtest::Client(server.Endpoint(), GoodTrust()).downloadNonce("AA", nonce);
        } catch (const std::runtime_error& e) {
            error = e.what();
        }
        EXPECT_EQ(error, "") << "call " << call;
        EXPECT_EQ(vtest::ToVector(nonce), (std::vector<unsigned char>{1, 2, 3})) << "call " << call;
    }
}

} // namespace
