// The enrolment driver's request road against the loopback request service: where it
// finds its files and its service, the upload recorded under the key's identifier
// with the chosen policy, each answer of the service shown with its text, and the
// failures it reports itself: nothing reaches the caller, nothing unsafe is sent.
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSplashScreen>
#include <QTimer>
#include <QtTest>

#include <memory>

#include "CannedServer.h"
#include "CertReqWrapper.h"
#include "EnrolGuiSupport.h"
#include "EnrolSupport.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"
#include "RequestService.h"
#include "Settings.h"

using namespace enroltest;

namespace {

const char* const kGenerate = "1.3.6.1.4.1.32473.1.1";
const char* const kExistingRsa = "1.3.6.1.4.1.32473.1.2";
const char* const kExistingDsa = "1.3.6.1.4.1.32473.1.3";

struct TBox {
    QString title, text;
    QMessageBox::Icon icon;
    size_t entriesBefore;  // log entries when the box showed, counted by Logged()
};

// The log of the running test, when it watches one.
const MemoryLogger* g_pLog = nullptr;
size_t Logged()
{
    return g_pLog ? g_pLog->Count() : 0;
}

// Fills the form for a policy and key, then presses OK (or Cancel).
fixture::ModalDriver::Handler FillIn(const char* policy, const QString& key, const QString& name, bool ok = true)
{
    return [=](QWidget* w) {
        QComboBox* types = Combo(w, "comboCertType");
        types->setCurrentIndex(types->findData(QLatin1String(policy)));
        if (!key.isEmpty())
            Combo(w, "comboKeyPair")->setCurrentIndex(Combo(w, "comboKeyPair")->findText(key));
        Type(Field(w, "2.5.4.3"), name);
        fixture::ModalDriver::Click(w, ok ? QStringLiteral("btnOK") : QStringLiteral("btnCancel"));
    };
}

fixture::ModalDriver::Handler Answer(QList<TBox>& boxes)
{
    return [&boxes](QWidget* w) {
        QMessageBox* box = qobject_cast<QMessageBox*>(w);
        boxes << TBox{box->windowTitle(), box->text(), box->icon(), Logged()};
        fixture::ModalDriver::Click(w, "OK");
    };
}

void Copy(const QString& from, const QString& to)
{
    QFile::remove(to);
    QVERIFY(QFile::copy(from, to));
}

} // namespace

class DriverTest : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<SoftHsmToken> m_hsm;
    std::unique_ptr<fixture::RequestService> m_service;
    CPKCS11Token* m_token = nullptr;
    TKeysVector m_keys;
    QString m_scratch;
    QString m_data; // the data folder: policy files and chain.pem
    std::string m_rsaKeyId;

    TEnrolmentPlaces Places(const QString& url = QString()) const
    {
        return {m_data, QStringLiteral("en"), url.isEmpty() ? QString::fromStdString(m_service->Endpoint()) : url};
    }

    // Runs the road with the form answered by form and the boxes that follow noted.
    bool Road(const TEnrolmentPlaces& places, fixture::ModalDriver::Handler form, QList<TBox>& boxes,
              int expectedBoxes = 1)
    {
        TestHost host;
        CCertReqWrapper driver(&host, m_keys, *m_token, places);
        fixture::ModalDriver modals(20000);
        if (form)
            modals.Expect(form, "CertRequestDialog");
        for (int i = 0; i < expectedBoxes; ++i)
            modals.Expect(Answer(boxes), "QMessageBox");
        modals.RejectUnexpected();
        driver.GenerateAndSendRequest();
        if (!modals.Finished() || !modals.Unexpected().isEmpty())
            qWarning() << modals.Failures() << modals.Unexpected();
        m_tokenChanged = driver.IsTokenChanged();
        return modals.Finished() && modals.Unexpected().isEmpty();
    }
    bool m_tokenChanged = false;

private slots:
    void initTestCase()
    {
        m_hsm.reset(new SoftHsmToken("enrol_driver", "Driver"));
        const std::string dir = m_hsm->Dir();
        m_scratch = QString::fromStdString(dir);
        const fixture::KeyFiles rsa = ImportKey(*m_hsm, "rsa", "rsa:1024", "0A01", "Existing RSA");
        m_rsaKeyId = fixture::KeyIdOf(fixture::ReadBytes(rsa.publicDer));
        ImportKey(*m_hsm, "dsa", "dsa:1024", "0B01", "Existing DSA");
        // A private key paired by its CKA_ID with the public key of another pair.
        ImportKey(*m_hsm, "crossed", "rsa:1024", "0E0E", "Crossed");
        const fixture::KeyFiles other = fixture::MakeKey(dir, "other", "rsa:1024");
        const std::string tool = "pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) +
                                 " --login --pin 1234 --token-label Driver ";
        std::string out;
        QVERIFY2(fixture::Run("env -u LD_PRELOAD SOFTHSM2_CONF=" + fixture::Quote(m_hsm->Hsm().Conf()) + " " + tool +
                                  "--delete-object --type pubkey --id 0E0E",
                              &out) == 0,
                 out.c_str());
        QVERIFY2(fixture::Run("env -u LD_PRELOAD SOFTHSM2_CONF=" + fixture::Quote(m_hsm->Hsm().Conf()) + " " + tool +
                                  "--write-object " + fixture::Quote(other.publicDer) +
                                  " --type pubkey --id 0E0E --label Crossed",
                              &out) == 0,
                 out.c_str());

        QDir().mkpath(m_scratch + QStringLiteral("/service"));
        m_service.reset(new fixture::RequestService(dir + "/service"));
        m_service->SetPolicies({kGenerate, kExistingRsa});
        QVERIFY(m_service->Start(600));

        m_data = m_scratch + QStringLiteral("/xdg/Veskora");
        QDir().mkpath(m_data);
        for (const char* file : {"Schema.xml", "SchemaResources.en.xml", "SchemaResources.bg.xml"})
            Copy(ShippedFolder() + QLatin1Char('/') + QLatin1String(file),
                 m_data + QLatin1Char('/') + QLatin1String(file));
        Copy(QString::fromStdString(m_service->TrustFile()), m_data + QStringLiteral("/chain.pem"));
    }

    void init()
    {
        CurrentFaults() = Faults();
        m_token = &m_hsm->Open();
        m_keys = CollectEnrolmentKeys(*m_token, KeysForRequest, nullptr);
    }

    void cleanup() { m_hsm->Close(); }

    void cleanupTestCase()
    {
        m_service.reset();
        m_hsm.reset();
    }

    // The data folder comes from XDG_CONFIG_DIRS, the address from the settings file
    // or the build; a language without its texts reads English, with a log line.
    void placesFromTheEnvironment()
    {
        MemoryLogger log(0xFF);
        const QByteArray saved = qgetenv("XDG_CONFIG_DIRS");
        qputenv("XDG_CONFIG_DIRS",
                QFile::encodeName(QStringLiteral("relative/dir::/nonexistent:") + m_scratch + QStringLiteral("/xdg")));
        const QString ini = m_scratch + QStringLiteral("/tessaly.ini");
        fixture::WriteText(ini.toStdString(),
                           "[General]\nRequestServiceURL=https://ca.example.test/axis2/services/RequestService\n");
        CSettings::Instance().Load(ini);
        TEnrolmentPlaces places = TEnrolmentPlaces::FromEnvironment();
        QCOMPARE(places.qsDataFolder, m_data);
        QCOMPARE(places.qsServiceURL, QStringLiteral("https://ca.example.test/axis2/services/RequestService"));
        QCOMPARE(places.qsLanguageCode, QStringLiteral("en"));

        qputenv("XDG_CONFIG_DIRS", "");
        fixture::WriteText(ini.toStdString(), "[General]\nLanguage=C\n");
        CSettings::Instance().Load(ini);
        places = TEnrolmentPlaces::FromEnvironment();
        QCOMPARE(places.qsDataFolder, QStringLiteral("/etc/xdg/Veskora"));
        QCOMPARE(places.qsServiceURL, QStringLiteral("https://ca.veskora.example/axis2/services/RequestService"));
        qputenv("XDG_CONFIG_DIRS", saved);

        TestHost host;
        CCertReqWrapper english(&host, m_keys, *m_token, {m_data, QStringLiteral("en"), QString()});
        QCOMPARE(english.SchemaFile(), m_data + QStringLiteral("/Schema.xml"));
        QCOMPARE(english.ResourceFile(), m_data + QStringLiteral("/SchemaResources.en.xml"));
        QCOMPARE(english.TrustedCertsFile(), m_data + QStringLiteral("/chain.pem"));
        CCertReqWrapper bulgarian(&host, m_keys, *m_token, {m_data, QStringLiteral("bg"), QString()});
        QCOMPARE(bulgarian.ResourceFile(), m_data + QStringLiteral("/SchemaResources.bg.xml"));
        QCOMPARE(log.Count(), size_t(0));
        CCertReqWrapper german(&host, m_keys, *m_token, {m_data, QStringLiteral("de"), QString()});
        QCOMPARE(german.ResourceFile(), m_data + QStringLiteral("/SchemaResources.en.xml"));
        QVERIFY2(log.CountWith(L"SchemaResources.de.xml") == 1, qPrintable(QString::fromStdWString(log.Dump())));
        CCertReqWrapper odd(&host, m_keys, *m_token, {m_data, QStringLiteral("../x"), QString()});
        QCOMPARE(odd.ResourceFile(), m_data + QStringLiteral("/SchemaResources.en.xml"));
    }

    // Accepted: the service files the request under the key's identifier with the
    // chosen policy, and its subject is what was typed.
    void acceptedRequestIsFiledUnderTheKey()
    {
        const size_t before = m_service->Uploads().size();
        QList<TBox> boxes;
        QVERIFY(Road(Places(), FillIn(kExistingRsa, QStringLiteral("Existing RSA"), QString::fromUtf8("Мария Иванова")),
                     boxes));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Certificate Request"));
        QCOMPARE(boxes[0].text, QStringLiteral("The certificate request was accepted."));
        QVERIFY(!m_tokenChanged);
        const auto uploads = m_service->Uploads();
        QCOMPARE(uploads.size(), before + 1);
        QCOMPARE(uploads.back().verdict, std::string("accepted"));
        QCOMPARE(uploads.back().keyId, m_rsaKeyId);
        QCOMPARE(uploads.back().policy, std::string(kExistingRsa));
        QCOMPARE(m_service->Policy(m_rsaKeyId), std::string(kExistingRsa));
        const RequestView view = ReadRequest(m_service->RequestDer(m_rsaKeyId));
        QVERIFY(view.verified);
        QCOMPARE(int(view.subject.size()), 2);
        QCOMPARE(view.subject[1].content, Utf8("Мария Иванова"));

        // A second request for the same key is rejected by the service.
        boxes.clear();
        QVERIFY(Road(Places(), FillIn(kExistingRsa, QStringLiteral("Existing RSA"), QStringLiteral("Again")), boxes));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("The certificate request was rejected."));
        QCOMPARE(m_service->Uploads().back().reason, std::string("a request for this key is open"));
    }

    void unknownPolicyIsRejected()
    {
        QList<TBox> boxes;
        QVERIFY(Road(Places(), FillIn(kExistingDsa, QStringLiteral("Existing DSA"), QStringLiteral("Dora")), boxes));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("The certificate request was rejected."));
        QCOMPARE(m_service->Uploads().back().reason, std::string("unknown policy"));
        QCOMPARE(m_service->Uploads().back().policy, std::string(kExistingDsa));
    }

    // What a canned service answers, and what the user is told: each answer says what
    // happened, and the log has the client's text.
    void cannedAnswers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");   // the box's text starts with it
        QTest::addColumn<QString>("logged"); // a critical log entry holds it; empty: none
        auto upload = [](const char* state) {
            return QString::fromStdString(fixture::CannedHttpsServer::HttpAnswer(fixture::SoapEnvelope(
                std::string("<ns1:UploadCertificateRequestResponse><ns1:UploadCertificateRequestResult>") + state +
                "</ns1:UploadCertificateRequestResult></ns1:UploadCertificateRequestResponse>")));
        };
        const QString unknown = QStringLiteral("The request service answered with a state that this program does not "
                                               "know; the request may have been filed.\n");
        QTest::newRow("malformed") << upload("malformed") << "Certificate Request"
                                   << "The certificate request is malformed." << QString();
        QTest::newRow("unknown state number")
            << upload("7") << "Error" << unknown + "The request service answered with an upload state that this "
                                                   "client does not know: 7."
            << "does not know: 7.";
        QTest::newRow("state that is no number") << upload("Accepted") << "Error" << unknown
                                                 << "invalid value in element 'ns1:UploadCertificateRequestResult'";
        QTest::newRow("fault")
            << QString::fromStdString(fixture::FaultAnswer("SOAP-ENV:Sender", "Unknown policy", "<reason>x</reason>"))
            << "Error" << "The request service refused the certificate request.\nSOAP 1.2 fault SOAP-ENV:Sender"
            << "\"Unknown policy\"";
    }

    void cannedAnswers()
    {
        QFETCH(QString, answer);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QFETCH(QString, logged);
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start(answer.toStdString()));
        MemoryLogger log(0xFF);
        QList<TBox> boxes;
        QVERIFY(Road(Places(QString::fromStdString(canned.Endpoint())),
                     FillIn(kExistingDsa, QStringLiteral("Existing DSA"), QStringLiteral("Dora")), boxes));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, title);
        QVERIFY2(boxes[0].text.startsWith(text), qPrintable(boxes[0].text));
        QVERIFY2(!boxes[0].text.contains(QStringLiteral("connection to the server failed")), qPrintable(boxes[0].text));
        QCOMPARE(int(canned.Requests().size()), 1);
        if (!logged.isEmpty())
            QCOMPARE(log.CountWith(logged.toStdWString(), 0x20), size_t(1));
    }

    // A stopped service: the connection message and then (it asks for an error report) a
    // critical log entry; the pair generated before is reported as a change of the token all
    // the same.
    void stoppedServiceAfterAGeneratedPair()
    {
        fixture::RefusingPort stopped;
        const QString url = QString::fromStdString(fixture::EndpointOn(stopped.Port()));
        MemoryLogger log(0xFF);
        g_pLog = &log;
        QList<TBox> boxes;
        const size_t before = log.Count();
        QVERIFY(Road(Places(url), FillIn(kGenerate, QString(), QStringLiteral("Gen")), boxes));
        g_pLog = nullptr;
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].entriesBefore, before);
        QCOMPARE(boxes[0].title, QStringLiteral("Error"));
        QCOMPARE(boxes[0].icon, QMessageBox::Critical);
        QVERIFY2(boxes[0].text.startsWith(QStringLiteral("The connection to the server failed\n")),
                 qPrintable(boxes[0].text));
        QVERIFY(m_tokenChanged);
        QCOMPARE(log.CountWith(L"std::runtime_error in CCertReqWrapper::GenerateAndSendRequest:\n", 0x20), size_t(1));
    }

    // A slow service: while the upload waits for the answer (the splash is up only then),
    // the window's timers run and it repaints, with the wait cursor on. The service answers
    // only once the window has shown it is alive: with the exchange on the GUI thread it
    // never would, and the client's own limit would end the call.
    void windowPaintsWhileTheServiceIsSlow()
    {
        class CPaintCounter : public QWidget
        {
        public:
            int paints = 0;

        protected:
            void paintEvent(QPaintEvent*) override { ++paints; }
        };
        CPaintCounter window;
        window.resize(120, 80);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const size_t before = m_service->Uploads().size();
        int ticks = 0, paintsBefore = -1, paintsDuring = 0;
        bool waitCursor = true;
        QTimer timer;
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [&] {
            bool splashUp = false;
            for (QWidget* w : QApplication::topLevelWidgets())
                splashUp = splashUp || (qobject_cast<QSplashScreen*>(w) && w->isVisible());
            if (!splashUp || !QFile::exists(QString::fromStdString(m_service->Dir() + "/hold")))
                return;
            if (paintsBefore < 0)
                paintsBefore = window.paints;
            ++ticks;
            window.update();
            paintsDuring = window.paints - paintsBefore;
            waitCursor = waitCursor && QApplication::overrideCursor() &&
                         QApplication::overrideCursor()->shape() == Qt::WaitCursor;
            if (ticks >= 10 && paintsDuring >= 3)
                m_service->HoldAnswers(false);
        });
        m_service->HoldAnswers(true);
        timer.start();
        QList<TBox> boxes;
        const bool driven = Road(Places(), FillIn(kGenerate, QString(), QStringLiteral("Slow")), boxes);
        timer.stop();
        m_service->HoldAnswers(false);
        QVERIFY(driven);
        QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
        QVERIFY2(paintsDuring >= 3, qPrintable(QString::number(paintsDuring)));
        QVERIFY(waitCursor);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].text, QStringLiteral("The certificate request was accepted."));
        QCOMPARE(m_service->Uploads().size(), before + 1);
    }

    // A service that takes the request and then says nothing: after the client's own limit
    // the user is told that the connection failed, and that the service did not answer in
    // time; the window has painted all along (the timer ran).
    void silentServiceIsNamedInTheBox()
    {
        fixture::CannedHttpsServer silent(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(silent.Start("", fixture::CannedHttpsServer::Mode::StallAfterHandshake, 300));
        int ticks = 0;
        QTimer timer;
        timer.setInterval(50);
        QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
        timer.start();
        QList<TBox> boxes;
        const bool driven = Road(Places(QString::fromStdString(silent.Endpoint())),
                                 FillIn(kGenerate, QString(), QStringLiteral("Silent")), boxes);
        timer.stop();
        silent.Stop();
        QVERIFY(driven);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].icon, QMessageBox::Critical);
        QVERIFY2(boxes[0].text.startsWith(QStringLiteral("The connection to the server failed\n")),
                 qPrintable(boxes[0].text));
        QVERIFY2(boxes[0].text.contains(QStringLiteral("did not answer within 30 seconds")), qPrintable(boxes[0].text));
        QVERIFY(ticks > 0);
    }

    void cancelSendsNothing()
    {
        const size_t before = m_service->Uploads().size();
        QList<TBox> boxes;
        QVERIFY(Road(Places(), FillIn(kGenerate, QString(), QStringLiteral("Nobody"), false), boxes, 0));
        QVERIFY(boxes.isEmpty());
        QVERIFY(!m_tokenChanged);
        QCOMPARE(m_service->Uploads().size(), before);
    }

    // A request whose signature does not verify against the key it carries (the
    // private key was paired with another pair's public key) is never sent.
    void requestThatDoesNotVerifyIsNotSent()
    {
        fixture::CannedHttpsServer canned(m_service->Pki().certPem, m_service->Pki().keyPem);
        QVERIFY(canned.Start(fixture::CannedHttpsServer::HttpAnswer("unused")));
        MemoryLogger log(0xFF);
        QList<TBox> boxes;
        QVERIFY(Road(Places(QString::fromStdString(canned.Endpoint())),
                     FillIn(kExistingRsa, QStringLiteral("Crossed"), QStringLiteral("Crossed")), boxes));
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(
            boxes[0].text.contains(QStringLiteral("The signed request does not verify against its own public key.")),
            qPrintable(boxes[0].text));
        QCOMPARE(canned.Connections(), 0);
        QCOMPARE(log.CountWith(L"CEnrolmentError in CCertReqWrapper::GenerateAndSendRequest:\n", 0x20), size_t(1));
    }

    // Addresses and trust files that cannot be used stop the road before the form is
    // shown, so no key pair is made for a request that cannot go out; a trust file
    // under a non-ASCII folder name is found.
    void unsafeAddressesAndTrustFiles()
    {
        struct Case {
            const char* what;
            QString url;
            QString folder;
            const char* text;
        };
        const QString endpoint = QString::fromStdString(m_service->Endpoint());
        const QString noChain = m_scratch + QStringLiteral("/nochain");
        QDir().mkpath(noChain);
        for (const char* file : {"Schema.xml", "SchemaResources.en.xml"})
            Copy(m_data + QLatin1Char('/') + QLatin1String(file), noChain + QLatin1Char('/') + QLatin1String(file));
        const QString unicode = m_scratch + QString::fromUtf8("/Вескора данни/Veskora");
        QDir().mkpath(unicode);
        for (const char* file : {"Schema.xml", "SchemaResources.en.xml", "chain.pem"})
            Copy(m_data + QLatin1Char('/') + QLatin1String(file), unicode + QLatin1Char('/') + QLatin1String(file));
        const Case cases[] = {
            {"clear text", QString(endpoint).replace(QStringLiteral("https:"), QStringLiteral("http:")), m_data,
             "The address of the request service is not an https address"},
            {"no address", QStringLiteral("https://"), m_data,
             "The address of the request service is not an https address"},
            {"no chain.pem", endpoint, noChain, "The trusted certificates file cannot be read"},
            {"non-ASCII folder", endpoint, unicode, "The certificate request was accepted."},
        };
        for (const Case& c : cases) {
            // The request that goes out is made with a new pair; the others see no form.
            const bool sent = QLatin1String(c.what) == QLatin1String("non-ASCII folder");
            const size_t before = m_service->Uploads().size();
            QList<TBox> boxes;
            QVERIFY2(Road({c.folder, QStringLiteral("en"), c.url},
                          sent ? FillIn(kGenerate, QString(), QStringLiteral("Safe")) : nullptr, boxes),
                     c.what);
            QCOMPARE(boxes.size(), 1);
            QVERIFY2(boxes[0].text.contains(QLatin1String(c.text)),
                     qPrintable(QLatin1String(c.what) + ": " + boxes[0].text));
            QCOMPARE(m_service->Uploads().size(), before + (sent ? 1 : 0));
            QVERIFY2(m_tokenChanged == sent, c.what);
        }
    }

    // Policy files that cannot be used: a message and a log entry, and the caller
    // gets control back.
    void missingSchemaIsReported()
    {
        const QString empty = m_scratch + QStringLiteral("/empty");
        QDir().mkpath(empty);
        MemoryLogger log(0xFF);
        QList<TBox> boxes;
        QVERIFY(Road({empty, QStringLiteral("en"), QString::fromStdString(m_service->Endpoint())}, nullptr, boxes));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title, QStringLiteral("Error"));
        QVERIFY2(boxes[0].text.startsWith(QStringLiteral("The certificate request form cannot be opened.\n"
                                                         "Could not open the template file.\n")),
                 qPrintable(boxes[0].text));
        QVERIFY(boxes[0].text.contains(empty + QStringLiteral("/Schema.xml")));
        QCOMPARE(log.CountWith(L"Could not open the template file.", 0x20), size_t(1));
        QVERIFY(!m_tokenChanged);
    }
};

QTEST_MAIN(DriverTest)
#include "test_driver.moc"
