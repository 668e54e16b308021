// The main window's certificate request: the PIN is asked for first when nobody is logged in,
// the key list holds the pairs without a certificate (only the selected one when a key is
// selected), a generated pair shows in the token's rows afterwards, whatever became of the
// upload, a slot event during the form waits until the action has ended, and policy files
// that cannot be read give a message and a log entry.
#include <QComboBox>
#include <QDir>
#include <QtTest>

#include <memory>

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
const char* const kSoft = "SoftHSM2 Enrolment";
const char* const kModule = "Test Module";
const char* const kUserPin = "1234";
const char* const kGenerate = "1.3.6.1.4.1.32473.1.1";
const char* const kExistingRsa = "1.3.6.1.4.1.32473.1.2";
const char* const kExistingDsa = "1.3.6.1.4.1.32473.1.3";

std::string g_store;

QComboBox* Combo(QWidget* form, const char* name)
{
    return form->findChild<QComboBox*>(QLatin1String(name));
}

QStringList Items(QComboBox* combo)
{
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

void ChoosePolicy(QWidget* form, const char* id)
{
    QComboBox* types = Combo(form, "comboCertType");
    types->setCurrentIndex(types->findData(QLatin1String(id)));
}

// The text box of the form's subject field with this OID.
QLineEdit* SubjectBox(QWidget* form, const char* oid)
{
    for (QOIDInput* field : form->findChildren<QOIDInput*>())
        if (field->isVisible() && field->GetOID() == QLatin1String(oid))
            return field->TextBox();
    return nullptr;
}
} // namespace

class EnrolmentTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    QString m_xdg;
    std::unique_ptr<fixture::RequestService> m_service;
    std::unique_ptr<testmodule::Control> m_tm;

    CPKCS11Token* Token(MainWindow& window, const char* label) { return TokenOf(window, kSoft, label); }
    QStringList Rows(MainWindow& window, const char* label) { return TokenRows(window, kSoft, label); }
    bool Select(MainWindow& window, const char* token, const QString& row)
    {
        return SelectInToken(window, kSoft, token, row);
    }

    // The settings file names the service (absent url: the build's placeholder address).
    void WriteSettings(const QString& url)
    {
        WriteSoftHsmAndModuleSettings(m_home, kSoft, kModule, testmodule::ModulePath(), false);
        AddRequestServiceUrl(m_home, url.toUtf8());
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
        for (const char* label : {"Keys", "Fresh", "Down"})
            QVERIFY(hsm.InitToken(label));
        const fixture::KeyFiles alpha = fixture::MakeKey(g_store, "alpha", "rsa:1024");
        const fixture::KeyFiles beta = fixture::MakeKey(g_store, "beta", "rsa:1024");
        const fixture::KeyFiles gamma = fixture::MakeKey(g_store, "gamma", "rsa:1024");
        const fixture::KeyFiles delta = fixture::MakeKey(g_store, "delta", "dsa:1024");
        const fixture::KeyFiles lone = fixture::MakeKey(g_store, "lone", "rsa:1024");
        QVERIFY(hsm.ImportKey(alpha.keyPem, "Keys", "Alpha", "0A"));
        QVERIFY(hsm.ImportKey(beta.keyPem, "Keys", "Beta", "0B"));
        QVERIFY(hsm.ImportKey(gamma.keyPem, "Keys", "Gamma", "0C"));
        QVERIFY(hsm.WriteCert(fixture::MakeSelfSigned(g_store, "gamma", gamma, "/CN=Gamma"), "Keys", "Gamma", "0C"));
        QVERIFY(hsm.ImportKey(delta.keyPem, "Keys", "Delta", "0D"));
        QVERIFY(hsm.ImportKey(lone.keyPem, "Keys", "Lone", "0E"));
        std::string out;
        QVERIFY2(fixture::Run("env -u LD_PRELOAD SOFTHSM2_CONF=" + fixture::Quote(hsm.Conf()) +
                                  " pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) +
                                  " --login --pin 1234 --token-label Keys --delete-object --type pubkey --id 0E",
                              &out) == 0,
                 out.c_str());

        // The operator's folder: the shipped policy files and the service's CA as chain.pem.
        m_service = MakeRequestService(g_store, {kGenerate, kExistingRsa, kExistingDsa});
        QVERIFY(m_service->Start(600));
        m_xdg = MakeOperatorFolder(QString::fromStdString(g_store), *m_service);
    }

    void init()
    {
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_xdg));
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
        WriteSettings(QString::fromStdString(m_service->Endpoint()));
    }

    void cleanup() { m_tm.reset(); }

    void cleanupTestCase() { m_service.reset(); }

    // The key list the form offers, by what is selected: pairs without a certificate (no
    // lone key, no pair that has one), narrowed to the pair of a selected key.
    void keyListBySelection_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<bool>("loginFirst");
        QTest::addColumn<QStringList>("rsaKeys");
        QTest::addColumn<QStringList>("dsaKeys");
        QTest::newRow("token") << QString() << false << QStringList{"Alpha", "Beta"} << QStringList{"Delta"};
        QTest::newRow("public key") << "Public key(Beta)" << false << QStringList{"Beta"} << QStringList();
        QTest::newRow("private key") << "Private key(Alpha)" << true << QStringList{"Alpha"} << QStringList();
        QTest::newRow("DSA public key") << "Public key(Delta)" << false << QStringList() << QStringList{"Delta"};
        QTest::newRow("pair with certificate") << "Public key(Gamma)" << false << QStringList() << QStringList();
    }

    void keyListBySelection()
    {
        QFETCH(QString, row);
        QFETCH(bool, loginFirst);
        QFETCH(QStringList, rsaKeys);
        QFETCH(QStringList, dsaKeys);
        MainWindow window;
        window.show();
        if (loginFirst) {
            QVERIFY(Token(window, "Keys")->Login(kUserPin, NormalUser));
            window.RefreshTokenRow(Token(window, "Keys"));
        }
        QVERIFY2(Select(window, "Keys", row), qPrintable(row));

        QStringList rsa, dsa, boxes;
        fixture::ModalDriver driver(20000);
        driver.RejectUnexpected();
        if (!loginFirst)
            driver.Expect(Login(), "LoginDialog");
        driver.Expect(
            [&](QWidget* w) {
                ChoosePolicy(w, kExistingRsa);
                rsa = Items(Combo(w, "comboKeyPair"));
                ChoosePolicy(w, kExistingDsa);
                dsa = Items(Combo(w, "comboKeyPair"));
                fixture::ModalDriver::Click(w, "btnCancel");
            },
            "CertRequestDialog");
        // An empty list shows its notice while its policy is being chosen.
        for (int i = int(rsaKeys.isEmpty()) + int(dsaKeys.isEmpty()); i > 0; --i)
            driver.Expect([&](QWidget* box) { boxes << AnswerBox(box); }, "QMessageBox");
        Action(window, "actionRequestCertificate")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(rsa, rsaKeys);
        QCOMPARE(dsa, dsaKeys);
        QCOMPARE(boxes.size(), int(rsaKeys.isEmpty()) + int(dsaKeys.isEmpty()));
        QVERIFY(Token(window, "Keys")->IsLoggedIn());
        QCOMPARE(m_service->Uploads().size(), size_t(0));
    }

    // A pair generated for the request shows in the token's rows afterwards, whether the
    // service accepted the request or could not be reached; a slot event that comes while
    // the form is open waits until the action has ended.
    void generatedPairShowsAfterTheRequest_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<bool>("serviceUp");
        QTest::addColumn<QString>("answer");
        QTest::newRow("accepted") << "Fresh" << true << "The certificate request was accepted.";
        QTest::newRow("service stopped") << "Down" << false << "The connection to the server failed";
    }

    void generatedPairShowsAfterTheRequest()
    {
        QFETCH(QString, token);
        QFETCH(bool, serviceUp);
        QFETCH(QString, answer);
        const std::string label = token.toStdString();
        if (!serviceUp) {
            QDir().mkpath(QString::fromStdString(g_store) + QStringLiteral("/stopped"));
            fixture::RequestService stopped(g_store + "/stopped", m_service->Pki());
            QVERIFY(stopped.Start());
            WriteSettings(QString::fromStdString(stopped.Endpoint()));
        }
        const size_t uploads = m_service->Uploads().size();
        MainWindow window;
        // Newer than the window's loggers, it takes the critical entries: no report wizard.
        MemoryLogger logger(0xFF);
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QVERIFY(Select(window, label.c_str(), QString()));
        QCOMPARE(Rows(window, label.c_str()), QStringList());

        int heldBack = 0;
        bool runningDuringForm = false;
        QString shown;
        fixture::ModalDriver driver(30000);
        driver.RejectUnexpected();
        driver.Expect(Login(), "LoginDialog");
        driver.Expect(
            [&](QWidget* w) {
                m_tm->insert_token(1, nullptr, "87654321", kUserPin, 1);
                (void)QTest::qWaitFor([&] { return window.GetHeldBackEventCount() > 0; }, 5000);
                heldBack = window.GetHeldBackEventCount();
                runningDuringForm = window.IsOperationRunning();
                TypeText(SubjectBox(w, "2.5.4.3"), QStringLiteral("Window User"));
                fixture::ModalDriver::Click(w, "btnOK");
            },
            "CertRequestDialog");
        driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionRequestCertificate")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY2(shown.startsWith(answer), qPrintable(shown));
        QVERIFY(heldBack >= 1);
        QVERIFY(runningDuringForm);

        // The new pair's rows, labelled by their identifier.
        const QStringList rows = Rows(window, label.c_str());
        QCOMPARE(rows.size(), 2);
        const QRegularExpression pairLabel(
            QStringLiteral("^(Public|Private) key\\([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\)"));
        for (const QString& r : rows)
            QVERIFY2(pairLabel.match(r).hasMatch(), qPrintable(rows.join("; ")));
        QCOMPARE(m_service->Uploads().size(), uploads + (serviceUp ? 1 : 0));
        if (serviceUp)
            QCOMPARE(m_service->Uploads().back().policy, std::string(kGenerate));
        else
            QCOMPARE(logger.CountWith(L"std::runtime_error in CCertReqWrapper::GenerateAndSendRequest", 0x20),
                     size_t(1));
        // The held-back insertion is applied once the action has ended.
        QTRY_COMPARE(window.GetHeldBackEventCount(), 0);
        QVERIFY(!window.IsOperationRunning());
        QTRY_VERIFY2(TokenRow(TreeOf(window, kModule), QStringLiteral("Test token")),
                     qPrintable(DumpTree(TreeOf(window, kModule)).join("; ")));
    }

    // Policy files that cannot be read: a message and a log entry; the program keeps running
    // and the next request works again.
    void missingSchemaIsReported()
    {
        const QString empty = QString::fromStdString(g_store) + QStringLiteral("/empty-xdg");
        QDir().mkpath(empty + QStringLiteral("/Veskora"));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(empty));
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QVERIFY(Token(window, "Keys")->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(Token(window, "Keys"));
        QVERIFY(Select(window, "Keys", QString()));
        {
            QString shown;
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
            Action(window, "actionRequestCertificate")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            QVERIFY2(shown.startsWith(QStringLiteral("The certificate request form cannot be opened.\n"
                                                     "Could not open the template file.")),
                     qPrintable(shown));
            QVERIFY2(shown.contains(empty + QStringLiteral("/Veskora/Schema.xml")), qPrintable(shown));
            QCOMPARE(logger.CountWith(L"Could not open the template file.", 0x20), size_t(1));
            QVERIFY(!window.IsOperationRunning());
        }

        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_xdg));
        fixture::ModalDriver again;
        again.RejectUnexpected();
        again.Expect([](QWidget* w) { fixture::ModalDriver::Click(w, "btnCancel"); }, "CertRequestDialog");
        Action(window, "actionRequestCertificate")->trigger();
        QVERIFY2(AllAnswered(again), qPrintable(Problems(again)));
    }
};

QTEST_MAIN(EnrolmentTest)
#include "test_enrolment.moc"
