// The request road without the form, and the download road without its summary,
// each against the bare cost of its parts, side by side in one run on the same
// SoftHSM2 RSA-2048 key and the same loopback service:
//
//   request road:  CASN1Name::EncodeAndSign (subject and key encoding, digest and
//          signature on the token) and CCertReqWrapper::UploadRequest (the request
//          checked against its key, then sent through libvarnock over TLS);
//   bare:  C_DigestInit/C_Digest and C_SignInit/C_Sign on the same bytes through the
//          module's own function list, plus one TLS POST of the very bytes the
//          client puts on the wire to the same service, made from scratch as every
//          upload is (TLS context trusting the trust file alone, connection,
//          handshake with the server verified, request, answer).
//
//   download road:  CCertReqWrapper::DownloadRows for the approved key: its
//          identifier digested on the token, the status query, the nonce, the
//          client's random bytes, digest and signature on the token, the download,
//          the certificate's checks and its installation beside the pair;
//   bare:  the three TLS POSTs of the bytes the client sends (status and nonce as
//          recorded, the download with the fresh nonce's proof put in), so that the
//          service does the same work, plus C_Digest, C_Sign and C_CreateObject of
//          the certificate alone. The installed certificates are removed between
//          rounds, outside the clock.
//
//   bench_enrol [rounds, default 40]
//
// Rounds alternate between a road and its bare parts; the figures are medians.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <sorvit/oids.h>

#include "BenchSupport.h"
#include "ASN1Name.h"
#include "CannedServer.h"
#include "CertReqWrapper.h"
#include "EnrolmentKeys.h"
#include "Fixture.h"
#include "IEnrolmentHost.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "RequestService.h"

namespace {

using bench::Milliseconds;
using bench::Median;

const char kPolicy[] = "1.3.6.1.4.1.32473.1.2";
const char kLabel[] = "bench";

using bench::Clock;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what);
}

// The bytes of the first element inside a DER SEQUENCE: the request information.
std::vector<unsigned char> FirstElement(const unsigned char* der, size_t size)
{
    auto header = [&](size_t at, size_t& length) {
        size_t l = der[at + 1], h = 2;
        if (l & 0x80) {
            const size_t octets = l & 0x7F;
            l = 0;
            for (size_t i = 0; i < octets; ++i)
                l = (l << 8) | der[at + 2 + i];
            h += octets;
        }
        length = l;
        return h;
    };
    size_t outer = 0, inner = 0;
    const size_t at = header(0, outer);
    const size_t h = header(at, inner);
    if (at + h + inner > size)
        Fail("request too short");
    return std::vector<unsigned char>(der + at, der + at + h + inner);
}

// SHA-1 on the token, then an RSA PKCS#1 signature of its DigestInfo: the bare calls
// that signing a request or a proof of possession makes.
std::vector<unsigned char> BareDigestAndSign(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session,
                                             CK_OBJECT_HANDLE hPrivate, const std::vector<unsigned char>& data)
{
    CK_MECHANISM sha1 = {CKM_SHA_1, nullptr, 0};
    unsigned char digest[64];
    CK_ULONG digestLength = sizeof digest;
    if (f->C_DigestInit(session, &sha1) != CKR_OK ||
        f->C_Digest(session, const_cast<unsigned char*>(data.data()), data.size(), digest, &digestLength) != CKR_OK)
        Fail("C_Digest failed");
    std::vector<unsigned char> digestInfo = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                             0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
    digestInfo.insert(digestInfo.end(), digest, digest + digestLength);
    CK_MECHANISM pkcs = {CKM_RSA_PKCS, nullptr, 0};
    std::vector<unsigned char> signature(512);
    CK_ULONG signatureLength = signature.size();
    if (f->C_SignInit(session, &pkcs, hPrivate) != CKR_OK ||
        f->C_Sign(session, digestInfo.data(), digestInfo.size(), signature.data(), &signatureLength) != CKR_OK)
        Fail("C_Sign failed");
    signature.resize(signatureLength);
    return signature;
}

// One POST of the recorded bytes from scratch, as any client makes one: a TLS client
// context that trusts the trust file alone, connect, TLS with the server's chain and
// name verified, send, read the answer to its end.
std::string BarePost(const std::string& trustFile, int port, const std::string& bytes)
{
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx, trustFile.c_str(), nullptr) != 1)
        Fail("cannot load the trust file");
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        Fail("connect failed");
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    SSL_set1_host(ssl, "127.0.0.1");
    if (SSL_connect(ssl) != 1)
        Fail("TLS handshake failed");
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = SSL_write(ssl, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
        if (n <= 0)
            Fail("write failed");
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    char buf[4096];
    int n;
    while ((n = SSL_read(ssl, buf, sizeof buf)) > 0)
        answer.append(buf, static_cast<size_t>(n));
    SSL_shutdown(ssl);
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    ERR_clear_error();
    return answer;
}

// The window's part in the download road: installation without a question, and
// every report kept to be shown.
class BenchHost : public IEnrolmentHost
{
public:
    QWidget* HostWidget() override { return nullptr; }
    void ShowError(const QString& text, bool, bool) override { reports.push_back(text.toStdString()); }
    void LogError(const QString& text, bool) override { reports.push_back(text.toStdString()); }
    bool InstallCertificate(CPKCS11Token& token, unsigned char* pbCert, uint32_t cbCert) override
    {
        return token.InstallCertificate(pbCert, cbCert, false);
    }
    std::vector<std::string> reports;
};

std::string Base64(const unsigned char* p, size_t n)
{
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    out.resize(size_t(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), p, int(n))));
    return out;
}

std::vector<unsigned char> Unbase64(const std::string& text)
{
    std::vector<unsigned char> out(text.size());
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), int(text.size()));
    if (n < 0)
        Fail("not base64");
    size_t size = size_t(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        --size; // the decoder counts the padding as bytes
    out.resize(size);
    return out;
}

// The text of the first element whose name ends in name, and where it starts.
std::string ElementText(const std::string& xml, const std::string& name, size_t* pAt = nullptr)
{
    const size_t open = xml.find(name + ">");
    if (open == std::string::npos)
        Fail("no element " + name);
    const size_t begin = open + name.size() + 1;
    const size_t end = xml.find('<', begin);
    if (pAt)
        *pAt = begin;
    return xml.substr(begin, end - begin);
}

// Puts text in place of an element's text of the same length (the request's
// Content-Length stays right).
void Replace(std::string& request, const std::string& name, const std::string& text)
{
    size_t at = 0;
    if (ElementText(request, name, &at).size() != text.size())
        Fail("element " + name + " changes its length");
    request.replace(at, text.size(), text);
}

// Every certificate object of the session, removed.
void RemoveCertificates(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session)
{
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE t = {CKA_CLASS, &cls, sizeof cls};
    CK_OBJECT_HANDLE found[16];
    CK_ULONG n = 0;
    f->C_FindObjectsInit(session, &t, 1);
    f->C_FindObjects(session, found, 16, &n);
    f->C_FindObjectsFinal(session);
    for (CK_ULONG i = 0; i < n; ++i)
        f->C_DestroyObject(session, found[i]);
}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;
    try {
        const std::string dir = fixture::ScratchDir("bench_enrol");
        fixture::SoftHsm hsm(dir + "/hsm");
        if (!hsm.InitToken(kLabel))
            Fail("cannot make the token: " + hsm.LastOutput());
        const fixture::KeyFiles key = fixture::MakeKey(dir, "rsa2048", "rsa:2048");
        if (!hsm.ImportKey(key.keyPem, kLabel, "bench key", "0A01"))
            Fail("cannot import the key: " + hsm.LastOutput());

        std::filesystem::create_directories(dir + "/service");
        fixture::RequestService service(dir + "/service");
        service.SetPolicies({kPolicy});
        if (!service.Start(600))
            Fail("the loopback service did not start");
        const QString trust = QString::fromStdString(service.TrustFile());
        const QString url = QString::fromStdString(service.Endpoint());

        CTSYException sink;
        CPKCS11Context context(fixture::SoftHsm::ModulePath().c_str(), "bench", &sink);
        CPKCS11Token* token = nullptr;
        for (unsigned long i = 0; i < context.GetSlotCount() && !token; ++i) {
            CPKCS11Slot* slot = context.GetSlot(i);
            if (slot && slot->IsTokenPresent() && std::string(slot->GetToken()->GetLabel()) == kLabel)
                token = slot->GetToken();
        }
        if (!token || !token->OpenSession(false) || !token->Login("1234", NormalUser) || !token->ReadObjects())
            Fail("cannot open the token");
        CPKCS11AsymmetricKey *priv = nullptr, *pub = nullptr;
        for (unsigned long i = 0; i < token->GetAsymmetricKeyCount(); ++i) {
            CPKCS11AsymmetricKey* k = token->GetAsymmetricKey(i);
            (k->GetKeyFlags() & KEY_CLASS_PRIVATE ? priv : pub) = k;
        }
        if (!priv || !pub)
            Fail("no key pair");

        // The subject of the shipped policies.
        CASN1Name name;
        const struct {
            const char* oid;
            int type;
            const char* text;
        } fields[] = {{"2.5.4.6", ASN1_PRINTABLE_STRING, "BG"},
                      {"2.5.4.10", ASN1_UTF8_STRING, "Тесали ООД"},
                      {"2.5.4.3", ASN1_UTF8_STRING, "Мария Иванова"},
                      {"1.2.840.113549.1.9.1", ASN1_IA5_STRING, "maria@example.org"}};
        for (const auto& f : fields) {
            CASN1AVBlock* block = new CASN1AVBlock;
            CASN1AttributeValue* value = new CASN1AttributeValue(QString::fromLatin1(f.oid));
            value->GetType() = f.type;
            value->GetValue() = QString::fromUtf8(f.text);
            block->append(value);
            name.append(block);
        }

        // What the bare parts work on: the request information the road signs, its
        // DigestInfo as the token signs it, and the HTTP request the client sends.
        TByteArrayAutoPtr request;
        if (!name.EncodeAndSign(*priv, *pub, request))
            Fail(std::string("cannot sign: ") + sink.what());
        const std::vector<unsigned char> info = FirstElement(request.get(), request.size());
        std::string wire;
        {
            fixture::CannedHttpsServer canned(service.Pki().certPem, service.Pki().keyPem);
            if (!canned.Start(fixture::CannedHttpsServer::HttpAnswer(fixture::SoapEnvelope(
                    "<ns1:UploadCertificateRequestResponse><ns1:UploadCertificateRequestResult>accepted"
                    "</ns1:UploadCertificateRequestResult></ns1:UploadCertificateRequestResponse>"))))
                Fail("canned server did not start");
            CCertReqWrapper::UploadRequest(request, kPolicy, trust, QString::fromStdString(canned.Endpoint()));
            wire = canned.WaitForRequest();
        }
        if (wire.find("UploadCertificateRequest") == std::string::npos)
            Fail("the client's request was not recorded");

        CK_FUNCTION_LIST_PTR f = context.GetFunctionList();
        const CK_SESSION_HANDLE session = token->GetSession();
        const CK_OBJECT_HANDLE hPrivate = priv->GetHandle();

        std::vector<double> road, roadEncode, roadUpload, tokenParts, post;
        int answered = 0;
        for (int round = -3; round < rounds; ++round) { // three rounds to warm up
            Clock::time_point t0 = Clock::now();
            TByteArrayAutoPtr signedRequest;
            if (!name.EncodeAndSign(*priv, *pub, signedRequest))
                Fail(std::string("cannot sign: ") + sink.what());
            Clock::time_point tm = Clock::now();
            const CVarnockSingleton::TUploadStatus status =
                CCertReqWrapper::UploadRequest(signedRequest, kPolicy, trust, url);
            Clock::time_point t1 = Clock::now();

            const std::vector<unsigned char> signature = BareDigestAndSign(f, session, hPrivate, info);
            Clock::time_point t2 = Clock::now();
            const std::string answer = BarePost(service.TrustFile(), service.Port(), wire);
            Clock::time_point t3 = Clock::now();

            if (answer.find("UploadCertificateRequestResult") == std::string::npos)
                Fail("the bare POST got no answer of the service");
            if (round < 0)
                continue;
            // The key's first request is accepted (in the warm-up), the later ones are
            // rejected as a second request for the key: both checked in full by the service.
            answered += status == CVarnockSingleton::usRejected || status == CVarnockSingleton::usAccepted;
            road.push_back(Milliseconds(t0, t1));
            roadEncode.push_back(Milliseconds(t0, tm));
            roadUpload.push_back(Milliseconds(tm, t1));
            tokenParts.push_back(Milliseconds(t1, t2));
            post.push_back(Milliseconds(t2, t3));
        }

        // ----- The download road for the key, approved at the service. -----
        const std::string keyId = fixture::KeyIdOf(fixture::ReadBytes(key.publicDer));
        service.SetState(keyId, "approved");
        const std::string data = dir + "/data";
        std::filesystem::create_directories(data);
        fixture::WriteText(data + "/chain.pem", fixture::ReadText(service.TrustFile()));
        BenchHost host;
        TKeysVector keys = CollectEnrolmentKeys(*token, KeysForDownload, nullptr);
        const QString installed = QStringLiteral("The request is approved and the certificate was installed.");
        auto downloadRoad = [&](const std::string& endpoint) {
            CCertReqWrapper driver(&host, keys, *token, {QString::fromStdString(data), QStringLiteral("en"),
                                                         QString::fromStdString(endpoint)});
            std::vector<CCertReqWrapper::TDownloadRow> rows;
            if (driver.DownloadRows(rows) != CCertReqWrapper::DownloadDone || rows.size() != 1 ||
                rows[0].qsMessage != installed)
                Fail("the download road did not install: " +
                     (rows.empty() ? std::string("no row") : rows[0].qsMessage.toStdString()) +
                     (host.reports.empty() ? std::string() : " / " + host.reports.back()));
        };
        downloadRoad(service.Endpoint());
        const std::vector<unsigned char> issued = service.IssuedCertificate(keyId);
        RemoveCertificates(f, session);

        // What the client sends, recorded by a canned service that answers as the real one.
        std::vector<std::string> sent;
        {
            unsigned char nonce[32];
            RAND_bytes(nonce, sizeof nonce);
            fixture::CannedHttpsServer canned(service.Pki().certPem, service.Pki().keyPem);
            if (!canned.Start({{"RetrieveRequestStatusInfo",
                                fixture::StatusAnswer(fixture::StatusRecord(keyId, "approved"))},
                               {"DownloadServerNonce", fixture::NonceAnswer(Base64(nonce, sizeof nonce))},
                               {"DownloadCertificate", fixture::CertificateAnswer(fixture::Base64(issued))}}))
                Fail("canned server did not start");
            downloadRoad(canned.Endpoint());
            sent = canned.Requests();
        }
        RemoveCertificates(f, session);
        if (sent.size() != 3)
            Fail("the download road did not make three exchanges");

        // The certificate object as the installation makes it, for C_CreateObject alone.
        const unsigned char* pIssued = issued.data();
        X509* x509 = d2i_X509(nullptr, &pIssued, long(issued.size()));
        unsigned char* subjectDer = nullptr;
        const int subjectLength = x509 ? i2d_X509_NAME(X509_get_subject_name(x509), &subjectDer) : 0;
        X509_free(x509);
        if (subjectLength <= 0)
            Fail("the issued certificate cannot be read");
        const std::vector<unsigned char> subject(subjectDer, subjectDer + subjectLength);
        OPENSSL_free(subjectDer);

        std::vector<double> downRoad, downToken, downPosts;
        for (int round = -3; round < rounds; ++round) {
            Clock::time_point t0 = Clock::now();
            downloadRoad(service.Endpoint());
            Clock::time_point t1 = Clock::now();
            RemoveCertificates(f, session);

            double tokenMs = 0, postMs = 0;
            Clock::time_point a = Clock::now();
            const std::string statusAnswer = BarePost(service.TrustFile(), service.Port(), sent[0]);
            const std::string nonceAnswer = BarePost(service.TrustFile(), service.Port(), sent[1]);
            Clock::time_point b = Clock::now();
            postMs += Milliseconds(a, b);
            if (statusAnswer.find("approved") == std::string::npos)
                Fail("the bare status query got no state");
            std::vector<unsigned char> joined = Unbase64(ElementText(nonceAnswer, "DownloadServerNonceResult"));
            const std::vector<unsigned char> serverNonce = joined;
            unsigned char clientNonce[20];
            RAND_bytes(clientNonce, sizeof clientNonce);
            joined.insert(joined.end(), clientNonce, clientNonce + sizeof clientNonce);

            a = Clock::now();
            const std::vector<unsigned char> signature = BareDigestAndSign(f, session, hPrivate, joined);
            b = Clock::now();
            tokenMs += Milliseconds(a, b);

            std::string download = sent[2];
            Replace(download, "bstrServerNonce", Base64(serverNonce.data(), serverNonce.size()));
            Replace(download, "bstrClientNonce", Base64(clientNonce, sizeof clientNonce));
            Replace(download, "bstrSignature", Base64(signature.data(), signature.size()));
            a = Clock::now();
            const std::string certAnswer = BarePost(service.TrustFile(), service.Port(), download);
            b = Clock::now();
            postMs += Milliseconds(a, b);
            std::vector<unsigned char> cert = Unbase64(ElementText(certAnswer, "DownloadCertificateResult"));

            CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
            CK_CERTIFICATE_TYPE certType = CKC_X_509;
            CK_BBOOL yes = CK_TRUE;
            unsigned char id[] = {0x0A, 0x01};
            CK_ATTRIBUTE object[] = {{CKA_CLASS, &certClass, sizeof certClass},
                                     {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
                                     {CKA_TOKEN, &yes, sizeof yes},
                                     {CKA_LABEL, const_cast<char*>("bench key"), 9},
                                     {CKA_SUBJECT, const_cast<unsigned char*>(subject.data()), subject.size()},
                                     {CKA_ID, id, sizeof id},
                                     {CKA_VALUE, cert.data(), cert.size()}};
            CK_OBJECT_HANDLE hCert = 0;
            a = Clock::now();
            if (f->C_CreateObject(session, object, sizeof object / sizeof object[0], &hCert) != CKR_OK)
                Fail("C_CreateObject failed");
            b = Clock::now();
            tokenMs += Milliseconds(a, b);
            RemoveCertificates(f, session);
            if (round < 0)
                continue;
            downRoad.push_back(Milliseconds(t0, t1));
            downToken.push_back(tokenMs);
            downPosts.push_back(postMs);
        }

        const double bare = Median(tokenParts) + Median(post);
        std::printf("request road on SoftHSM2 RSA-2048 and the loopback service, %d rounds (medians)\n", rounds);
        std::printf("  road (encode, sign on the token, check, upload):  %8.3f ms\n", Median(road));
        std::printf("    of it encoding and signing on the token:         %8.3f ms\n", Median(roadEncode));
        std::printf("    of it the check and the upload:                  %8.3f ms\n", Median(roadUpload));
        std::printf("  bare C_Digest + C_Sign:                            %8.3f ms\n", Median(tokenParts));
        std::printf("  bare TLS POST of the same bytes:                   %8.3f ms\n", Median(post));
        std::printf("  bare parts together:                               %8.3f ms\n", bare);
        std::printf("  road / bare parts:                                 %8.2f (goal: at most 1.30)\n",
                    Median(road) / bare);
        std::printf("  service answers: %d of %d\n", answered, rounds);

        const double downBare = Median(downToken) + Median(downPosts);
        std::printf("download road for one approved RSA-2048 key, %d rounds (medians)\n", rounds);
        std::printf("  road (identifier, status, nonce, proof on the token, download, check, install): %8.3f ms\n",
                    Median(downRoad));
        std::printf("  bare C_Digest + C_Sign + C_CreateObject:          %8.3f ms\n", Median(downToken));
        std::printf("  bare TLS POSTs of the same three exchanges:        %8.3f ms\n", Median(downPosts));
        std::printf("  bare parts together:                               %8.3f ms\n", downBare);
        std::printf("  road / bare parts:                                 %8.2f (goal: at most 1.30)\n",
                    Median(downRoad) / downBare);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_enrol: %s\n", e.what());
        return 1;
    }
}
