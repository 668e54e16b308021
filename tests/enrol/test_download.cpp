// The enrolment driver's download road: key identifiers, the state of every key's
// request with its row and icon, the proof of possession as the loopback service
// records it (checked with openssl), and hostile answers of a canned service: no
// answer aborts the road, only a certificate of the asked key is installed, one
// key's failure leaves the others to go on, and every failure has its own message.
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QTreeWidget>
#include <QtTest>

#include <algorithm>
#include <map>
#include <memory>

#include "CannedServer.h"
#include "CertReqWrapper.h"
#include "DownloadCertDialog.h"
#include "EnrolGuiSupport.h"
#include "EnrolSupport.h"
#include "ModalDriver.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"
#include "RequestService.h"

using namespace enroltest;

namespace {

const char* const kIconNames[] = {"unknown", "approved", "pending", "rejected"};
const QString kInstalled = QStringLiteral("The request is approved and the certificate was installed.");
const QString kPending = QStringLiteral("The request is pending.");
const QString kRejected = QStringLiteral("The request is rejected.");
const QString kNoRequest = QStringLiteral("There are no requests for this key-set.");
const QString kUnknownState = QStringLiteral("The request service answered with a state that this program does not know: %1.");

struct TRowSeen {
    QString icon, label, message;
};

QString IconOf(const QTreeWidgetItem* item)
{
    const QImage shown = item->icon(0).pixmap(16, 16).toImage();
    for (int n = 0; n < 4; ++n)
        if (QIcon(DownloadCertDialog::StatusIcon(n)).pixmap(16, 16).toImage() == shown)
            return QLatin1String(kIconNames[n]);
    return QStringLiteral("?");
}

// Reads the summary's rows and action text, then closes it.
fixture::ModalDriver::Handler Summary(QList<TRowSeen>& rows, QString& action)
{
    return [&rows, &action](QWidget* w) {
        action = w->findChild<QLabel*>(QStringLiteral("labelAction"))->text();
        QTreeWidget* tree = w->findChild<QTreeWidget*>(QStringLiteral("treeStatus"));
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* item = tree->topLevelItem(i);
            rows << TRowSeen{IconOf(item), item->text(0), item->text(1)};
        }
        fixture::ModalDriver::Click(w, QStringLiteral("Close"));
    };
}

QString Lower(const std::string& s)
{
    return QString::fromStdString(s).toLower();
}

std::vector<unsigned char> Random(size_t n)
{
    std::vector<unsigned char> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i * 7 + 1);
    return bytes;
}

} // namespace

class DownloadTest : public QObject
{
    Q_OBJECT
private:
    struct TKey {
        std::string name, alg, idHex, label, state; // state filed at the service; empty: none
        fixture::KeyFiles files;
        std::string keyId;
    };
    std::unique_ptr<SoftHsmToken> m_hsm;
    std::unique_ptr<fixture::RequestService> m_service;
    CPKCS11Token* m_token = nullptr;
    QString m_data;
    std::vector<TKey> m_keys;
    std::map<std::string, std::string> m_certs; // self-signed certificate DER path by key name

    const TKey& K(const std::string& name) const
    {
        for (const TKey& k : m_keys)
            if (k.name == name)
                return k;
        throw std::runtime_error("no key " + name);
    }

    // The token's private keys for these labels (every pair without labels).
    TKeysVector Keys(const QStringList& labels = QStringList())
    {
        TKeysVector keys;
        for (CPKCS11AsymmetricKey* k : CollectEnrolmentKeys(*m_token, KeysForDownload, nullptr))
            if (labels.isEmpty() || labels.contains(QString::fromUtf8(k->GetLabel())))
                keys.push_back(k);
        return keys;
    }

    TEnrolmentPlaces Places(const std::string& endpoint) const
    {
        return {m_data, QStringLiteral("en"), QString::fromStdString(endpoint)};
    }

    // Runs the road; the summary's rows (none when it did not show) and what the host got.
    struct TRun {
        QList<TRowSeen> rows;
        QString action;
        bool summary = false;
        bool changed = false;
        QStringList errors, logs;
        int installs = 0;
        QStringList unexpected;
    };
    TRun Download(TKeysVector keys, const std::string& endpoint, bool replace = false, bool summary = true)
    {
        TRun run;
        TestHost host;
        host.replace = replace;
        CCertReqWrapper driver(&host, keys, *m_token, Places(endpoint));
        fixture::ModalDriver modals(30000);
        if (summary)
            modals.Expect(Summary(run.rows, run.action), "DownloadCertDialog");
        modals.RejectUnexpected();
        driver.DownloadAndInstallCertificates();
        run.summary = summary && modals.Finished();
        run.unexpected = modals.Unexpected() + modals.Failures();
        run.changed = driver.IsTokenChanged();
        run.errors = host.errors;
        run.logs = host.logs;
        run.installs = host.installs.size();
        return run;
    }

    // Expected rows in the order of the keys' identifiers.
    QList<TRowSeen> Expected(std::vector<std::pair<std::string, TRowSeen>> rows) const
    {
        std::sort(rows.begin(), rows.end(),
                  [this](const auto& a, const auto& b) { return K(a.first).keyId < K(b.first).keyId; });
        QList<TRowSeen> out;
        for (const auto& r : rows)
            out << r.second;
        return out;
    }

    static QString Dump(const QList<TRowSeen>& rows)
    {
        QStringList out;
        for (const TRowSeen& r : rows)
            out << QStringLiteral("[%1] %2: %3").arg(r.icon, r.label, r.message);
        return out.join(QStringLiteral("; "));
    }

    // openssl's verdict on a recorded proof with the key's public key.
    bool OpensslVerifies(const fixture::RequestService::Proof& proof, const TKey& key)
    {
        std::vector<unsigned char> data = proof.serverNonce;
        data.insert(data.end(), proof.clientNonce.begin(), proof.clientNonce.end());
        const std::string dir = m_hsm->Dir();
        fixture::WriteBytes(dir + "/proof.data", data);
        fixture::WriteBytes(dir + "/proof.sig", proof.signature);
        std::string out;
        return fixture::Run("openssl dgst -sha1 -verify " + fixture::Quote(key.files.publicDer) +
                                " -keyform DER -signature " + fixture::Quote(dir + "/proof.sig") + " " +
                                fixture::Quote(dir + "/proof.data"),
                            &out) == 0;
    }

private slots:
    void initTestCase()
    {
        m_hsm.reset(new SoftHsmToken("enrol_download", "Download"));
        const std::string dir = m_hsm->Dir();
        QDir().mkpath(QString::fromStdString(dir) + QStringLiteral("/service"));
        m_service.reset(new fixture::RequestService(dir + "/service"));
        QVERIFY(m_service->Start(600));

        m_keys = {{"alpha", "rsa:1024", "0A", "Alpha", "approved", {}, {}},
                  {"bravo", "rsa:1024", "0B", "Bravo", "pending", {}, {}},
                  {"charlie", "rsa:1024", "0C", "Charlie", "deleted", {}, {}},
                  {"delta", "dsa:1024", "0D", "Delta", "approved", {}, {}},
                  {"echo", "ec:prime256v1", "0E", "Echo", "", {}, {}},
                  {"kilo", "rsa:1024", "1A", "Kilo", "unknown", {}, {}},
                  {"lima", "rsa:1024", "1B", "Lima", "7", {}, {}},
                  {"mike", "rsa:1024", "1C", "Mike", "", {}, {}}};
        for (TKey& k : m_keys) {
            k.files = ImportKey(*m_hsm, k.name, k.alg, k.idHex, k.label);
            k.keyId = fixture::KeyIdOf(fixture::ReadBytes(k.files.publicDer));
            if (!k.state.empty())
                QCOMPARE(m_service->FileRequest(fixture::MakeCsr(dir, k.files, "/CN=" + k.label), k.state), k.keyId);
        }
        for (const char* name : {"alpha", "bravo"})
            m_certs[name] = fixture::MakeSelfSigned(dir, std::string(name) + "-cert", K(name).files,
                                                    "/CN=" + K(name).label);

        m_data = QString::fromStdString(dir) + QStringLiteral("/xdg/Veskora");
        QDir().mkpath(m_data);
        QFile::copy(QString::fromStdString(m_service->TrustFile()), m_data + QStringLiteral("/chain.pem"));
    }

    void init()
    {
        CurrentFaults() = Faults();
        m_token = &m_hsm->Open();
    }

    void cleanup()
    {
        m_hsm->RemoveCertificates();
        m_hsm->Close();
    }

    void cleanupTestCase()
    {
        m_service.reset();
        m_hsm.reset();
    }

    // The identifier is the SHA-1 of the key's DER SubjectPublicKeyInfo, as OpenSSL
    // writes it from the key, for RSA and DSA.
    void identifierIsTheDigestOfThePublicKeyInfo()
    {
        TestHost host;
        TKeysVector none;
        CCertReqWrapper driver(&host, none, *m_token, Places(m_service->Endpoint()));
        for (const char* name : {"alpha", "delta"}) {
            TByteArrayAutoPtr digest;
            QVERIFY(driver.DigestSubjPubKeyInfo(m_hsm->Key(K(name).idHex, true), digest));
            QCOMPARE(fixture::ToHex(digest.get(), digest.size()), K(name).keyId);
        }
    }

    // One run over every pair: a row each, by identifier, with its icon; the EC pair is
    // left out with a log line; the approved pairs get their certificates, and only they
    // were asked for a nonce.
    void everyKeyHasItsRow()
    {
        const size_t before = m_service->Proofs().size();
        const TRun run = Download(Keys(), m_service->Endpoint());
        QVERIFY2(run.summary && run.unexpected.isEmpty(), qPrintable(run.unexpected.join("; ")));
        QCOMPARE(run.action, QStringLiteral("The results are summarized below:"));
        const QList<TRowSeen> expected = Expected({{"alpha", {"approved", "Alpha", kInstalled}},
                                                   {"bravo", {"pending", "Bravo", kPending}},
                                                   {"charlie", {"rejected", "Charlie", kRejected}},
                                                   {"delta", {"approved", "Delta", kInstalled}},
                                                   {"kilo", {"unknown", "Kilo", kNoRequest}},
                                                   {"lima", {"unknown", "Lima", kUnknownState.arg(7)}},
                                                   {"mike", {"unknown", "Mike", kNoRequest}}});
        QCOMPARE(Dump(run.rows), Dump(expected));
        QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join("; ")));
        QCOMPARE(run.logs.filter(QStringLiteral("\"Echo\" is not an RSA or DSA pair")).size(), 1);
        QVERIFY(run.changed);
        QCOMPARE(run.installs, 2);

        // On the token beside their pairs, the very bytes the service issued.
        std::map<Bytes, Bytes> onToken;
        for (const SoftHsmToken::Certificate& c : m_hsm->Certificates())
            onToken[c.id] = c.value;
        QCOMPARE(int(onToken.size()), 2);
        for (const char* name : {"alpha", "delta"}) {
            QVERIFY(!m_service->IssuedCertificate(K(name).keyId).empty());
            QVERIFY2(onToken[fixture::FromHex(K(name).idHex)] == m_service->IssuedCertificate(K(name).keyId), name);
        }
        std::vector<std::string> proved;
        const std::vector<fixture::RequestService::Proof> proofs = m_service->Proofs();
        for (size_t i = before; i < proofs.size(); ++i)
            proved.push_back(proofs[i].keyId);
        std::sort(proved.begin(), proved.end());
        std::vector<std::string> approved = {K("alpha").keyId, K("delta").keyId};
        std::sort(approved.begin(), approved.end());
        QVERIFY(proved == approved);
    }

    // The proof as the service recorded it verifies with openssl and the token's public
    // key over server nonce and client bytes; each download sends new client bytes, also
    // when the token has no generator of its own; a recorded proof replayed is refused.
    void proofOfPossessionCheckedIndependently()
    {
        const size_t before = m_service->Proofs().size();
        TRun run = Download(Keys({"Alpha", "Delta"}), m_service->Endpoint(), true);
        QCOMPARE(run.installs, 2);
        m_hsm->Close();
        CurrentFaults().generateRandom = true;
        m_token = &m_hsm->Open(true);
        run = Download(Keys({"Alpha", "Delta"}), m_service->Endpoint(), true);
        QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join("; ")));
        QCOMPARE(run.installs, 2);

        const std::vector<fixture::RequestService::Proof> proofs = m_service->Proofs();
        QCOMPARE(proofs.size(), before + 4);
        std::vector<Bytes> clientParts;
        for (size_t i = before; i < proofs.size(); ++i) {
            const fixture::RequestService::Proof& proof = proofs[i];
            const TKey& key = proof.keyId == K("alpha").keyId ? K("alpha") : K("delta");
            QCOMPARE(proof.verdict, std::string("accepted"));
            QCOMPARE(proof.algorithm,
                     std::string(key.name == "alpha" ? "1.2.840.113549.1.1.5" : "1.2.840.10040.4.3"));
            QCOMPARE(proof.clientNonce.size(), size_t(CCertReqWrapper::kClientNonceSize));
            QVERIFY2(OpensslVerifies(proof, key), key.name.c_str());
            QVERIFY(std::find(clientParts.begin(), clientParts.end(), proof.clientNonce) == clientParts.end());
            clientParts.push_back(proof.clientNonce);
        }

        const fixture::RequestService::Proof& recorded = proofs.back();
        TByteArrayAutoPtr serverNonce(new unsigned char[recorded.serverNonce.size()], recorded.serverNonce.size());
        std::copy(recorded.serverNonce.begin(), recorded.serverNonce.end(), serverNonce.get());
        TByteArrayAutoPtr clientNonce(new unsigned char[recorded.clientNonce.size()], recorded.clientNonce.size());
        std::copy(recorded.clientNonce.begin(), recorded.clientNonce.end(), clientNonce.get());
        TByteArrayAutoPtr signature(new unsigned char[recorded.signature.size()], recorded.signature.size());
        std::copy(recorded.signature.begin(), recorded.signature.end(), signature.get());
        TByteArrayAutoPtr cert;
        bool refused = false;
        try {
            CVarnockSingleton::instance()
                .trustedCerts(m_service->TrustFile().c_str())
                .endpointURL(m_service->Endpoint().c_str())
                .downloadCertificate(serverNonce, clientNonce, signature, recorded.algorithm.c_str(), cert);
        } catch (const CVarnockError& e) {
            refused = e.Kind() == CVarnockError::ekFault;
        }
        QVERIFY(refused);
        QCOMPARE(cert.size(), size_t(0));
    }

    // Hostile answers of a canned service, each with the asked keys Alpha and Bravo: no
    // abort, nothing wrongly installed, a message (with its log entry) each, and no nonce
    // asked for what is not approved.
    void hostileAnswers_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<QString>("cert");
        QTest::addColumn<QString>("alphaRow");
        QTest::addColumn<QString>("bravoRow");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<int>("installed");

        const QString alpha = QString::fromStdString(K("alpha").keyId);
        const QString bravo = QString::fromStdString(K("bravo").keyId);
        const QString approved = QStringLiteral("approved");
        const QString nonce = QString::fromStdString(fixture::NonceAnswer("AQIDBAUGBwgJCgsMDQ4PEA=="));
        const QString alphaCert =
            QString::fromStdString(fixture::CertificateAnswer(fixture::Base64(fixture::ReadBytes(m_certs["alpha"]))));
        const QString bravoCert =
            QString::fromStdString(fixture::CertificateAnswer(fixture::Base64(fixture::ReadBytes(m_certs["bravo"]))));
        auto status = [](const QString& records) { return QString::fromStdString(fixture::StatusAnswer(records.toStdString())); };
        auto record = [](const QString& id, const QString& state) {
            return QString::fromStdString(fixture::StatusRecord(id.toStdString(), state.toStdString()));
        };
        const QStringList askedAll = {"RetrieveRequestStatusInfo", "DownloadServerNonce", "DownloadCertificate"};
        const QStringList askedNonce = {"RetrieveRequestStatusInfo", "DownloadServerNonce"};
        const QStringList askedStatus = {"RetrieveRequestStatusInfo"};
        const QString fault = QString::fromStdString(fixture::FaultAnswer(
            "SOAP-ENV:Sender", "Proof of possession failed", "<reason>signature does not verify</reason>"));

        QTest::newRow("digest not asked about")
            << status(record(QString(40, QLatin1Char('0')), approved) + record(bravo, "pending")) << nonce << alphaCert
            << "unknown|" + kNoRequest << "pending|" + kPending << QString() << askedStatus << 0;
        QTest::newRow("lower-case digest of an asked key")
            << status(record(alpha.toLower(), approved)) << nonce << alphaCert << "approved|" + kInstalled
            << "unknown|" + kNoRequest << QString() << askedAll << 1;
        // A state outside the four says so with its number, never "no requests".
        QTest::newRow("state 7") << status(record(alpha, "7") + record(bravo, "deleted")) << nonce << alphaCert
                                 << "unknown|" + kUnknownState.arg(7) << "rejected|" + kRejected << QString()
                                 << askedStatus << 0;
        QTest::newRow("state -1") << status(record(alpha, "-1") + record(bravo, "unknown")) << nonce << alphaCert
                                  << "unknown|" + kUnknownState.arg(-1) << "unknown|" + kNoRequest << QString()
                                  << askedStatus << 0;
        QTest::newRow("empty nonce") << status(record(alpha, approved)) << QString::fromStdString(fixture::NonceAnswer(""))
                                     << alphaCert << "approved|The service sent an empty nonce."
                                     << "unknown|" + kNoRequest << "The service sent an empty nonce." << askedNonce
                                     << 0;
        const std::string longNonce = fixture::Base64(Random(CCertReqWrapper::kMaxServerNonceSize + 1));
        QTest::newRow("nonce over 1 KiB")
            << status(record(alpha, approved)) << QString::fromStdString(fixture::NonceAnswer(longNonce)) << alphaCert
            << "approved|The service sent a nonce of 1025 bytes, more than 1024; it was not signed."
            << "unknown|" + kNoRequest << "it was not signed" << askedNonce << 0;
        const std::string fullNonce = fixture::Base64(Random(CCertReqWrapper::kMaxServerNonceSize));
        QTest::newRow("nonce of 1 KiB")
            << status(record(alpha, approved)) << QString::fromStdString(fixture::NonceAnswer(fullNonce)) << alphaCert
            << "approved|" + kInstalled << "unknown|" + kNoRequest << QString() << askedAll << 1;
        QTest::newRow("nonce refused")
            << status(record(alpha, approved))
            << QString::fromStdString(fixture::FaultAnswer("SOAP-ENV:Sender", "The request is not approved", ""))
            << alphaCert << "approved|The service refused to give a nonce for the key."
            << "unknown|" + kNoRequest << "The request is not approved" << askedNonce << 0;
        QTest::newRow("transport failure at the nonce")
            << status(record(alpha, approved))
            << QString::fromStdString(fixture::CannedHttpsServer::HttpAnswer("<html>busy</html>", "", 503))
            << alphaCert << "approved|The connection to the server failed." << "unknown|" + kNoRequest << "503"
            << askedNonce << 0;
        QTest::newRow("proof refused") << status(record(alpha, approved)) << nonce << fault
                                       << "approved|The service refused the proof of possession."
                                       << "unknown|" + kNoRequest << "signature does not verify" << askedAll << 0;
        QTest::newRow("empty certificate")
            << status(record(alpha, approved)) << nonce << QString::fromStdString(fixture::CertificateAnswer(""))
            << "approved|The remote server returned an empty file." << "unknown|" + kNoRequest
            << "The remote server returned an empty file." << askedAll << 0;
        QTest::newRow("certificate of another pair on the token")
            << status(record(alpha, approved)) << nonce << bravoCert
            << "approved|The service sent a certificate that is not for this key pair." << "unknown|" + kNoRequest
            << "The certificate carries the public key of another key pair." << askedAll << 0;
        QTest::newRow("bytes that are no certificate")
            << status(record(alpha, approved)) << nonce
            << QString::fromStdString(fixture::CertificateAnswer(fixture::Base64({'h', 'e', 'l', 'l', 'o'})))
            << "approved|The service sent data that is not a certificate." << "unknown|" + kNoRequest
            << "not a certificate" << askedAll << 0;
    }

    void hostileAnswers()
    {
        QFETCH(QString, status);
        QFETCH(QString, nonce);
        QFETCH(QString, cert);
        QFETCH(QString, alphaRow);
        QFETCH(QString, bravoRow);
        QFETCH(QString, error);
        QFETCH(QStringList, operations);
        QFETCH(int, installed);

        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start({{"RetrieveRequestStatusInfo", status.toStdString()},
                              {"DownloadServerNonce", nonce.toStdString()},
                              {"DownloadCertificate", cert.toStdString()}}));
        const TRun run = Download(Keys({"Alpha", "Bravo"}), canned.Endpoint());
        QVERIFY2(run.summary && run.unexpected.isEmpty(), qPrintable(run.unexpected.join("; ")));

        const QString alphaIcon = alphaRow.section(QLatin1Char('|'), 0, 0);
        const QString bravoIcon = bravoRow.section(QLatin1Char('|'), 0, 0);
        const QList<TRowSeen> expected =
            Expected({{"alpha", {alphaIcon, "Alpha", alphaRow.section(QLatin1Char('|'), 1)}},
                      {"bravo", {bravoIcon, "Bravo", bravoRow.section(QLatin1Char('|'), 1)}}});
        QCOMPARE(Dump(run.rows), Dump(expected));
        if (error.isEmpty()) {
            QVERIFY2(run.errors.isEmpty(), qPrintable(run.errors.join("; ")));
        } else {
            QCOMPARE(run.errors.size(), 1);
            QVERIFY2(run.errors[0].contains(error), qPrintable(run.errors[0]));
            QVERIFY2(run.errors[0].startsWith(QStringLiteral("The certificate of the key pair \"Alpha\" was not installed.")),
                     qPrintable(run.errors[0]));
        }
        QStringList asked;
        for (const std::string& op : canned.Operations())
            asked << QString::fromStdString(op);
        QCOMPARE(asked, operations);
        QCOMPARE(int(m_hsm->Certificates().size()), installed);
        QCOMPARE(run.installs, installed);
        QCOMPARE(run.changed, installed > 0);
        if (QTest::currentDataTag() == QLatin1String("digest not asked about"))
            QCOMPARE(run.logs.filter(QStringLiteral("a key it was not asked about: \"") + QString(40, QLatin1Char('0')))
                         .size(),
                     1);
        if (QTest::currentDataTag() == QLatin1String("state 7"))
            QCOMPARE(run.logs.filter(QStringLiteral("answered for the key \"") + QString::fromStdString(K("alpha").keyId) +
                                     QStringLiteral("\" with the state 7"))
                         .size(),
                     1);
        if (QTest::currentDataTag() == QLatin1String("lower-case digest of an asked key"))
            QVERIFY(QString::fromStdString(canned.Requests()[1]).contains(Lower(K("alpha").keyId)));
    }

    // Two approved keys and a service that sends Bravo's certificate for both: Alpha's
    // failure is reported, Bravo's certificate is installed and shown in the summary.
    void oneKeysFailureLeavesTheOthers()
    {
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start(
            {{"RetrieveRequestStatusInfo", fixture::StatusAnswer(fixture::StatusRecord(K("alpha").keyId, "approved") +
                                                                 fixture::StatusRecord(K("bravo").keyId, "approved"))},
             {"DownloadServerNonce", fixture::NonceAnswer("AQIDBAUGBwgJCgsMDQ4PEA==")},
             {"DownloadCertificate", fixture::CertificateAnswer(fixture::Base64(fixture::ReadBytes(m_certs["bravo"])))}}));
        const TRun run = Download(Keys({"Alpha", "Bravo"}), canned.Endpoint());
        QVERIFY(run.summary);
        const QList<TRowSeen> expected = Expected(
            {{"alpha", {"approved", "Alpha", "The service sent a certificate that is not for this key pair."}},
             {"bravo", {"approved", "Bravo", kInstalled}}});
        QCOMPARE(Dump(run.rows), Dump(expected));
        QCOMPARE(run.errors.size(), 1);
        QVERIFY(run.changed);
        const std::vector<SoftHsmToken::Certificate> certs = m_hsm->Certificates();
        QCOMPARE(int(certs.size()), 1);
        QVERIFY(certs[0].id == fixture::FromHex("0B"));
    }

    // Token failures of one key: its row and a report each; the road goes on.
    void tokenFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("operations");
        QTest::newRow("digest") << "digest" << "The identifier of the key pair cannot be computed on the token."
                                << QStringList();
        QTest::newRow("signature") << "sign" << "Unable to sign data."
                                   << QStringList{"RetrieveRequestStatusInfo", "DownloadServerNonce"};
    }

    void tokenFailures()
    {
        QFETCH(QString, fault);
        QFETCH(QString, row);
        QFETCH(QStringList, operations);
        m_hsm->Close();
        m_token = &m_hsm->Open(true);
        if (fault == QLatin1String("digest"))
            CurrentFaults().digestInit = true;
        else
            CurrentFaults().signInit = true;
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start(
            {{"RetrieveRequestStatusInfo", fixture::StatusAnswer(fixture::StatusRecord(K("alpha").keyId, "approved"))},
             {"DownloadServerNonce", fixture::NonceAnswer("AQIDBAUGBwgJCgsMDQ4PEA==")}}));
        const TRun run = Download(Keys({"Alpha"}), canned.Endpoint());
        QVERIFY(run.summary);
        QCOMPARE(run.rows.size(), 1);
        QCOMPARE(run.rows[0].message, row);
        QCOMPARE(run.errors.size(), 1);
        QStringList asked;
        for (const std::string& op : canned.Operations())
            asked << QString::fromStdString(op);
        QCOMPARE(asked, operations);
        QCOMPARE(run.installs, 0);
    }

    // Before any key was handled: a box, no summary.
    void statusQueryFailures_data()
    {
        QTest::addColumn<bool>("serviceUp");
        QTest::addColumn<QString>("error");
        QTest::newRow("service stopped") << false << "The connection to the server failed.\n";
        QTest::newRow("status refused") << true << "The request service did not tell the state of the requests.\n";
    }

    void statusQueryFailures()
    {
        QFETCH(bool, serviceUp);
        QFETCH(QString, error);
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start(fixture::FaultAnswer("SOAP-ENV:Receiver", "Service closed", "")));
        fixture::RefusingPort stopped;
        const std::string endpoint = serviceUp ? canned.Endpoint() : fixture::EndpointOn(stopped.Port());
        const TRun run = Download(Keys({"Alpha", "Bravo"}), endpoint, false, false);
        QVERIFY2(run.unexpected.isEmpty(), qPrintable(run.unexpected.join("; ")));
        QCOMPARE(run.errors.size(), 1);
        QVERIFY2(run.errors[0].startsWith(error), qPrintable(run.errors[0]));
        QVERIFY(!run.changed);
    }

    // The client's error text carries the faults of earlier calls of the process: after
    // one failed run, the next failure's box holds its own fault only, and the log keeps
    // the whole text.
    void boxHoldsThisCallsFaultOnly_data()
    {
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<bool>("summary");
        QTest::newRow("status query refused") << QString() << false;
        QTest::newRow("nonce refused")
            << QString::fromStdString(fixture::FaultAnswer("SOAP-ENV:Sender", "Later nonce fault", "")) << true;
    }

    void boxHoldsThisCallsFaultOnly()
    {
        QFETCH(QString, nonce);
        QFETCH(bool, summary);
        const std::string earlier = "Earlier fault " + std::string(QTest::currentDataTag());
        {
            fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
            QVERIFY(canned.Start(fixture::FaultAnswer("SOAP-ENV:Receiver", earlier, "")));
            const TRun first = Download(Keys({"Alpha"}), canned.Endpoint(), false, false);
            QCOMPARE(first.errors.size(), 1);
            QVERIFY2(first.errors[0].contains(QString::fromStdString(earlier)), qPrintable(first.errors[0]));
        }
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        if (nonce.isEmpty())
            QVERIFY(canned.Start(fixture::FaultAnswer("SOAP-ENV:Receiver", "Later status fault", "")));
        else
            QVERIFY(canned.Start({{"RetrieveRequestStatusInfo",
                                   fixture::StatusAnswer(fixture::StatusRecord(K("alpha").keyId, "approved"))},
                                  {"DownloadServerNonce", nonce.toStdString()}}));
        const TRun run = Download(Keys({"Alpha"}), canned.Endpoint(), false, summary);
        QVERIFY2(run.unexpected.isEmpty(), qPrintable(run.unexpected.join("; ")));
        QCOMPARE(run.errors.size(), 1);
        const QString later = nonce.isEmpty() ? QStringLiteral("Later status fault") : QStringLiteral("Later nonce fault");
        QVERIFY2(run.errors[0].contains(later), qPrintable(run.errors[0]));
        QVERIFY2(!run.errors[0].contains(QStringLiteral("Earlier fault")), qPrintable(run.errors[0]));
        QVERIFY2(run.logs.join('\n').contains(QString::fromStdString(earlier)), qPrintable(run.logs.join("; ")));
    }

    // Only an EC pair: nothing to ask about, and the user is told.
    void noRsaOrDsaPair()
    {
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start(fixture::StatusAnswer("")));
        TestHost host;
        TKeysVector keys = Keys({"Echo"});
        QCOMPARE(int(keys.size()), 1);
        CCertReqWrapper driver(&host, keys, *m_token, Places(canned.Endpoint()));
        QString shown;
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        modals.Expect(
            [&](QWidget* w) {
                shown = qobject_cast<QMessageBox*>(w)->text();
                fixture::ModalDriver::Click(w, QStringLiteral("OK"));
            },
            "QMessageBox");
        driver.DownloadAndInstallCertificates();
        QVERIFY2(modals.Finished() && modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        QCOMPARE(shown, QStringLiteral("The smart card holds no RSA or DSA key pair to download a certificate for."));
        QCOMPARE(canned.Connections(), 0);
    }
};

QTEST_MAIN(DownloadTest)
#include "test_download.moc"
