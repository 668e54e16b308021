// The main window's certificate download: the key list by what is selected (the PIN
// asked for first when nobody is logged in), the whole road from the request through
// the window to the certificate on the token beside its pair for RSA and DSA, the
// question before a certificate is replaced (a slot event meanwhile waits until the
// action has ended, No leaves the token as it was), and a refused certificate
// reported with a box and a log entry.
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QtTest>

#include <memory>

#include "CannedServer.h"
#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "OIDInput.h"
#include "PKCS11Token.h"
#include "RequestService.h"
#include "EnrolmentSupport.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoft = "SoftHSM2 Download";
const char* const kModule = "Test Module";
const char* const kUserPin = "1234";
const char* const kExistingRsa = "1.3.6.1.4.1.32473.1.2";
const char* const kExistingDsa = "1.3.6.1.4.1.32473.1.3";
const QString kInstalled = QStringLiteral("The request is approved and the certificate was installed.");
const QString kNotInstalled = QStringLiteral("The request is approved, but the certificate was not installed.");
// The question names the key pair: a token-wide download asks once for each.
const QString kReplace =
    QStringLiteral("A certificate for the key-pair \"Alpha\" already exists. Would you like to replace it?");

std::string g_store;

struct TKey {
    const char* token;
    const char* name;
    const char* alg;
    const char* idHex;
    const char* label;
    fixture::KeyFiles files;
    std::string keyId;
};

// pkcs11-tool's listing of the token's objects, from another process.
std::string ListObjects(const std::string& token)
{
    std::string out;
    fixture::Run("pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) + " --token-label " +
                     fixture::Quote(token) + " --login --pin 1234 --list-objects --type cert",
                 &out);
    return out;
}

// The DER value of the token's certificate with this CKA_ID, read by pkcs11-tool.
std::vector<unsigned char> ReadCertificate(const std::string& token, const std::string& idHex)
{
    const std::string file = g_store + "/read-" + idHex + ".der";
    std::remove(file.c_str());
    std::string out;
    if (fixture::Run("pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) + " --token-label " +
                     fixture::Quote(token) + " --login --pin 1234 --read-object --type cert --id " + idHex +
                     " --output-file " + fixture::Quote(file),
                     &out) != 0)
        return {};
    return fixture::ReadBytes(file);
}

// The CKA_ID (hexadecimal, lower case) of every certificate object the session sees.
QStringList CertificateIds(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE session)
{
    QStringList ids;
    CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
    CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}};
    CK_OBJECT_HANDLE found[16];
    CK_ULONG n = 0;
    if (fl->C_FindObjectsInit(session, t, 1) != CKR_OK)
        return {QStringLiteral("C_FindObjectsInit failed")};
    fl->C_FindObjects(session, found, 16, &n);
    fl->C_FindObjectsFinal(session);
    for (CK_ULONG i = 0; i < n; ++i) {
        CK_ATTRIBUTE id = {CKA_ID, nullptr, 0};
        QByteArray value;
        if (fl->C_GetAttributeValue(session, found[i], &id, 1) == CKR_OK && id.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
            value.resize(int(id.ulValueLen));
            id.pValue = value.data();
            if (fl->C_GetAttributeValue(session, found[i], &id, 1) != CKR_OK)
                value = "?";
        }
        ids << QString::fromLatin1(value.toHex());
    }
    return ids;
}

} // namespace

class DownloadWindowTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    QString m_xdg;
    std::unique_ptr<fixture::RequestService> m_service;
    std::unique_ptr<testmodule::Control> m_tm;
    std::vector<TKey> m_keys;

    const TKey& K(const char* name) const
    {
        for (const TKey& k : m_keys)
            if (QLatin1String(k.name) == QLatin1String(name))
                return k;
        throw std::runtime_error(std::string("no key ") + name);
    }

    CPKCS11Token* Token(MainWindow& window, const char* label) { return TokenOf(window, kSoft, label); }
    QStringList Rows(MainWindow& window, const char* label) { return TokenRows(window, kSoft, label); }
    bool Select(MainWindow& window, const char* token, const QString& row)
    {
        return SelectInToken(window, kSoft, token, row);
    }

    bool LogIn(MainWindow& window, const char* token)
    {
        CPKCS11Token* pToken = Token(window, token);
        if (!pToken || !pToken->Login(kUserPin, NormalUser))
            return false;
        window.RefreshTokenRow(pToken);
        return true;
    }

    void WriteSettings(const std::string& url)
    {
        WriteSoftHsmAndModuleSettings(m_home, kSoft, kModule, testmodule::ModulePath(), false);
        AddRequestServiceUrl(m_home, QByteArray::fromStdString(url));
    }

    static fixture::ModalDriver::Handler Login()
    {
        return [](QWidget* w) { AnswerLogin(w, kUserPin); };
    }

private slots:
    void initTestCase()
    {
        g_store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(g_store);
        for (const char* label : {"Keys", "Bare", "Road"})
            QVERIFY(hsm.InitToken(label));
        m_keys = {{"Keys", "alpha", "rsa:1024", "0A", "Alpha", {}, {}}, {"Keys", "beta", "rsa:1024", "0B", "Beta", {}, {}},
                  {"Keys", "gamma", "rsa:1024", "0C", "Gamma", {}, {}}, {"Keys", "delta", "dsa:1024", "0D", "Delta", {}, {}},
                  {"Keys", "lone", "rsa:1024", "0E", "Lone", {}, {}},   {"Keys", "echo", "ec:prime256v1", "0F", "Echo", {}, {}},
                  {"Bare", "single", "rsa:1024", "1A", "Single", {}, {}}, {"Road", "rsa", "rsa:2048", "2A", "Road RSA", {}, {}},
                  {"Road", "dsa", "dsa:1024", "2D", "Road DSA", {}, {}}};
        for (TKey& k : m_keys) {
            k.files = fixture::MakeKey(g_store, k.name, k.alg);
            k.keyId = fixture::KeyIdOf(fixture::ReadBytes(k.files.publicDer));
            QVERIFY2(hsm.ImportKey(k.files.keyPem, k.token, k.label, k.idHex), hsm.LastOutput().c_str());
        }
        QVERIFY(hsm.WriteCert(fixture::MakeSelfSigned(g_store, "gamma", K("gamma").files, "/CN=Gamma"), "Keys",
                              "Gamma", "0C"));
        // Lone keys: private keys without their public pair; Bare also holds a certificate alone.
        for (const auto& lone : {std::make_pair("Keys", "0E"), std::make_pair("Bare", "1A")}) {
            std::string out;
            QVERIFY2(fixture::Run("env -u LD_PRELOAD SOFTHSM2_CONF=" + fixture::Quote(hsm.Conf()) +
                                      " pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) +
                                      " --login --pin 1234 --token-label " + lone.first +
                                      " --delete-object --type pubkey --id " + lone.second,
                                  &out) == 0,
                     out.c_str());
        }
        const fixture::KeyFiles stranger = fixture::MakeKey(g_store, "stranger", "rsa:1024");
        QVERIFY(hsm.WriteCert(fixture::MakeSelfSigned(g_store, "stranger", stranger, "/CN=Stranger"), "Bare",
                              "Stranger", "1F"));

        m_service = MakeRequestService(g_store, {kExistingRsa, kExistingDsa});
        QVERIFY(m_service->Start(600));
        m_xdg = MakeOperatorFolder(QString::fromStdString(g_store), *m_service);
    }

    void init()
    {
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_xdg));
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
        WriteSettings(m_service->Endpoint());
    }

    void cleanup() { m_tm.reset(); }

    void cleanupTestCase() { m_service.reset(); }

    // The keys the download asks about, by what is selected: every pair (also one with a
    // certificate, also an EC pair, which the driver leaves out), none of the lone keys,
    // only the selected key's pair; the PIN is asked for first when nobody is logged in.
    void keyListBySelection_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("row");
        QTest::addColumn<bool>("loginFirst");
        QTest::addColumn<QStringList>("asked");
        QTest::newRow("token") << "Keys" << QString() << false << QStringList{"Alpha", "Beta", "Gamma", "Delta"};
        QTest::newRow("token, logged in")
            << "Keys" << QString() << true << QStringList{"Alpha", "Beta", "Gamma", "Delta"};
        QTest::newRow("public key") << "Keys" << "Public key(Beta)" << false << QStringList{"Beta"};
        QTest::newRow("private key") << "Keys" << "Private key(Delta)" << true << QStringList{"Delta"};
        QTest::newRow("lone key") << "Keys" << "Private key(Lone)" << true << QStringList();
        QTest::newRow("only a certificate and a lone key") << "Bare" << QString() << false << QStringList();
    }

    void keyListBySelection()
    {
        QFETCH(QString, token);
        QFETCH(QString, row);
        QFETCH(bool, loginFirst);
        QFETCH(QStringList, asked);
        const std::string label = token.toStdString();
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start({{"RetrieveRequestStatusInfo", fixture::StatusAnswer("")}}));
        WriteSettings(canned.Endpoint());
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        if (loginFirst)
            QVERIFY(LogIn(window, label.c_str()));
        QVERIFY2(Select(window, label.c_str(), row), qPrintable(Rows(window, label.c_str()).join("; ")));

        QStringList rows, boxes;
        fixture::ModalDriver driver(20000);
        driver.RejectUnexpected();
        if (!loginFirst)
            driver.Expect(Login(), "LoginDialog");
        if (asked.isEmpty())
            driver.Expect([&](QWidget* box) { boxes << AnswerBox(box); }, "QMessageBox");
        else
            driver.Expect(Summary(rows), "DownloadCertDialog");
        Action(window, "actionDownloadCertificate")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY(Token(window, label.c_str())->IsLoggedIn());
        if (asked.isEmpty()) {
            QCOMPARE(boxes, QStringList{"The smart card does not contain keys."});
            QCOMPARE(canned.Connections(), 0);
            return;
        }
        // Every key asked about has its row (the service knew none of them).
        QStringList labels;
        for (const QString& r : rows) {
            QVERIFY2(r.endsWith(QStringLiteral(": There are no requests for this key-set.")), qPrintable(r));
            labels << r.section(QStringLiteral(": "), 0, 0);
        }
        labels.sort();
        asked.sort();
        QCOMPARE(labels, asked);
        QCOMPARE(canned.Operations(), std::vector<std::string>{"RetrieveRequestStatusInfo"});
        const QString request = QString::fromStdString(canned.Requests()[0]);
        for (const QString& key : asked)
            for (const TKey& k : m_keys)
                if (key == QLatin1String(k.label))
                    QVERIFY2(request.contains(QString::fromStdString(k.keyId)), k.label);
        QCOMPARE(logger.CountWith(L"\"Echo\" is not an RSA or DSA pair"), size_t(token == "Keys" && row.isEmpty()));
    }

    // Request through the window, approval at the service, download through the window:
    // the certificate the service issued lands on the token beside its pair, with its
    // CKA_ID; the tree shows it with its keys and pkcs11-tool reads it by that CKA_ID.
    void wholeRoad_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("policy");
        QTest::newRow("RSA") << "rsa" << kExistingRsa;
        QTest::newRow("DSA") << "dsa" << kExistingDsa;
    }

    void wholeRoad()
    {
        QFETCH(QString, key);
        QFETCH(QString, policy);
        const TKey& k = K(key.toLatin1().constData());
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QVERIFY(LogIn(window, "Road"));
        QVERIFY(Select(window, "Road", QStringLiteral("Public key(%1)").arg(QLatin1String(k.label))));

        QString answer;
        {
            fixture::ModalDriver request(30000);
            request.RejectUnexpected();
            request.Expect(
                [&](QWidget* w) {
                    QComboBox* types = w->findChild<QComboBox*>(QStringLiteral("comboCertType"));
                    types->setCurrentIndex(types->findData(policy));
                    for (QOIDInput* field : w->findChildren<QOIDInput*>())
                        if (field->isVisible() && field->GetOID() == QLatin1String("2.5.4.3"))
                            TypeText(field->TextBox(), QStringLiteral("Road User"));
                    fixture::ModalDriver::Click(w, "btnOK");
                },
                "CertRequestDialog");
            request.Expect([&](QWidget* w) { answer = AnswerBox(w); }, "QMessageBox");
            Action(window, "actionRequestCertificate")->trigger();
            QVERIFY2(AllAnswered(request), qPrintable(Problems(request)));
        }
        QCOMPARE(answer, QStringLiteral("The certificate request was accepted."));
        QCOMPARE(m_service->State(k.keyId), std::string("pending"));

        m_service->SetState(k.keyId, "approved");
        QVERIFY(Select(window, "Road", QStringLiteral("Private key(%1)").arg(QLatin1String(k.label))));
        QStringList rows;
        fixture::ModalDriver download(30000);
        download.RejectUnexpected();
        download.Expect(Summary(rows), "DownloadCertDialog");
        Action(window, "actionDownloadCertificate")->trigger();
        QVERIFY2(AllAnswered(download), qPrintable(Problems(download)));
        QCOMPARE(rows, QStringList{QLatin1String(k.label) + QStringLiteral(": ") + kInstalled});

        const std::vector<unsigned char> issued = m_service->IssuedCertificate(k.keyId);
        QVERIFY(!issued.empty());
        QVERIFY(ReadCertificate("Road", k.idHex) == issued);
        CPKCS11Token* road = Token(window, "Road");
        QVERIFY(road);
        QCOMPARE(CertificatesFoundByIssuerAndSerial(road->GetFunctionList(), road->GetSession(), issued), 1);
        // One certificate object of the token carries the pair's CKA_ID.
        const QStringList ids = CertificateIds(road->GetFunctionList(), road->GetSession());
        QVERIFY2(ids.count(QString::fromLatin1(k.idHex).toLower()) == 1, qPrintable(ids.join(" ")));
        const QStringList tree = Rows(window, "Road");
        const QString certRow = QStringLiteral("Certificate(%1) [5]").arg(QLatin1String(k.label));
        const int at = tree.indexOf(certRow);
        QVERIFY2(at >= 0, qPrintable(tree.join("; ")));
        QVERIFY2(tree.mid(at + 1, 2).contains(QStringLiteral("  Public key(%1) [7]").arg(QLatin1String(k.label))),
                 qPrintable(tree.join("; ")));
        QCOMPARE(logger.CountWith(L"", 0x20), size_t(0));
    }

    // A second download asks before it replaces: No leaves the token as it was and nothing
    // in the error sink, while a slot event waits for the action's end; Yes replaces the
    // certificate with the newly issued one.
    void secondDownloadAsksToReplace()
    {
        const TKey& k = K("alpha");
        m_service->FileRequest(fixture::MakeCsr(g_store, k.files, "/CN=Alpha"), "approved", kExistingRsa);
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QVERIFY(LogIn(window, "Keys"));
        QVERIFY(Select(window, "Keys", QStringLiteral("Public key(Alpha)")));
        auto run = [&](bool replace, int& heldBack, bool& running) {
            QStringList rows, questions, titles;
            fixture::ModalDriver driver(30000);
            driver.RejectUnexpected();
            driver.Expect(
                [&](QWidget* w) {
                    if (!replace) {
                        m_tm->insert_token(1, nullptr, "87654321", kUserPin, 1);
                        (void)QTest::qWaitFor([&] { return window.GetHeldBackEventCount() > 0; }, 5000);
                        heldBack = window.GetHeldBackEventCount();
                        running = window.IsOperationRunning();
                    }
                    titles << w->windowTitle();
                    questions << AnswerBox(w, replace ? QMessageBox::Yes : QMessageBox::No);
                },
                "QMessageBox");
            driver.Expect(Summary(rows), "DownloadCertDialog");
            Action(window, "actionDownloadCertificate")->trigger();
            [&] { QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver))); }();
            [&] { QCOMPARE(questions, QStringList{kReplace}); }();
            // A download imports nothing by hand: the question is about replacing.
            [&] { QCOMPARE(titles, QStringList{QStringLiteral("Replace Certificate")}); }();
            return rows;
        };

        // The first download installs without a question.
        {
            QStringList rows;
            fixture::ModalDriver driver(30000);
            driver.RejectUnexpected();
            driver.Expect(Summary(rows), "DownloadCertDialog");
            Action(window, "actionDownloadCertificate")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            QCOMPARE(rows, QStringList{QStringLiteral("Alpha: ") + kInstalled});
        }
        const std::vector<unsigned char> first = ReadCertificate("Keys", "0A");
        QVERIFY(first == m_service->IssuedCertificate(k.keyId));

        QVERIFY(Select(window, "Keys", QStringLiteral("Public key(Alpha)")));
        int heldBack = 0;
        bool running = false;
        QStringList rows = run(false, heldBack, running);
        QCOMPARE(rows, QStringList{QStringLiteral("Alpha: ") + kNotInstalled});
        QVERIFY(heldBack >= 1);
        QVERIFY(running);
        QVERIFY(ReadCertificate("Keys", "0A") == first);
        QVERIFY(m_service->IssuedCertificate(k.keyId) != first);
        QCOMPARE(window.GetErrorSink().GetCode(), 0ul);
        QVERIFY(!window.GetErrorSink().GetMessage());
        QCOMPARE(logger.CountWith(L"", 0x20), size_t(0));
        QTRY_COMPARE(window.GetHeldBackEventCount(), 0);
        QVERIFY(!window.IsOperationRunning());
        QTRY_VERIFY(TokenRow(TreeOf(window, kModule), QStringLiteral("Test token")));

        QVERIFY(Select(window, "Keys", QStringLiteral("Public key(Alpha)")));
        rows = run(true, heldBack, running);
        QCOMPARE(rows, QStringList{QStringLiteral("Alpha: ") + kInstalled});
        const std::vector<unsigned char> replaced = ReadCertificate("Keys", "0A");
        QVERIFY(replaced != first);
        QVERIFY(replaced == m_service->IssuedCertificate(k.keyId));
        size_t certificates = 0;
        for (size_t at = ListObjects("Keys").find("Certificate Object"); at != std::string::npos;
             at = ListObjects("Keys").find("Certificate Object", at + 1))
            ++certificates;
        QCOMPARE(certificates, size_t(2)); // Gamma's and Alpha's
        QVERIFY(Rows(window, "Keys").contains(QStringLiteral("Certificate(Alpha) [5]")));
    }

    // A certificate for another pair of the token: nothing installed, a box and a critical
    // log entry with the reason, and the summary row.
    void certificateOfAnotherPairIsRefused()
    {
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        const std::string betaCert = fixture::MakeSelfSigned(g_store, "beta-cert", K("beta").files, "/CN=Beta");
        QVERIFY(canned.Start(
            {{"RetrieveRequestStatusInfo", fixture::StatusAnswer(fixture::StatusRecord(K("delta").keyId, "approved"))},
             {"DownloadServerNonce", fixture::NonceAnswer("AQIDBAUGBwgJCgsMDQ4PEA==")},
             {"DownloadCertificate", fixture::CertificateAnswer(fixture::Base64(fixture::ReadBytes(betaCert)))}}));
        WriteSettings(canned.Endpoint());
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QVERIFY(LogIn(window, "Keys"));
        QVERIFY(Select(window, "Keys", QStringLiteral("Public key(Delta)")));
        const QStringList before = Rows(window, "Keys");
        QStringList rows, boxes;
        fixture::ModalDriver driver(30000);
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { boxes << AnswerBox(w); }, "QMessageBox");
        driver.Expect(Summary(rows), "DownloadCertDialog");
        Action(window, "actionDownloadCertificate")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(rows, QStringList{QStringLiteral("Delta: The service sent a certificate that is not for this key pair.")});
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(QStringLiteral("The certificate of the key pair \"Delta\" was not installed.\n"
                                                    "The service sent a certificate that is not for this key pair.")),
                 qPrintable(boxes[0]));
        QCOMPARE(logger.CountWith(L"The certificate carries the public key of another key pair.", 0x20), size_t(1));
        QCOMPARE(Rows(window, "Keys"), before);
        QVERIFY(ReadCertificate("Keys", "0B").empty());
        QVERIFY(ReadCertificate("Keys", "0D").empty());
    }
};

QTEST_MAIN(DownloadWindowTest)
#include "test_download.moc"
