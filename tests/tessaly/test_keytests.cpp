// The key, certificate and token tests: a good pair works, a mismatched pair is invalid, a lone
// private key or a certificate without keys says what is missing, an EC key and a key that may
// not sign show their error, objects are found again after the login, and the token test
// leaves no key behind (SoftHSM2) or reports that it cannot generate one (test module); what
// an uninitialised token and one nobody logs in to offer, and a certificate test there.
#include <QtTest>

#include <algorithm>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Token.h"
#include "SoftHsmSession.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoft = "SoftHSM2 Keys";
const char* const kModule = "Test Module";
const char* const kUserPin = "1234";

std::string Tool(const std::string& args)
{
    return "pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) +
           " --token-label Keys --login --pin " + kUserPin + " " + args;
}

// Takes CKA_SIGN from the private key with this ID, through PKCS#11 before any window loads
// the module (the tools cannot).
bool ForbidSigning(const char* tokenLabel, unsigned char id)
{
    return fixture::WithSoftHsmSession(tokenLabel, kUserPin, [&](CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE s) {
        CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, &id, 1}};
        CK_OBJECT_HANDLE h = 0;
        CK_ULONG n = 0;
        f->C_FindObjectsInit(s, t, 2);
        f->C_FindObjects(s, &h, 1, &n);
        f->C_FindObjectsFinal(s);
        CK_BBOOL no = CK_FALSE;
        CK_ATTRIBUTE sign = {CKA_SIGN, &no, sizeof no};
        return n == 1 && f->C_SetAttributeValue(s, h, &sign, 1) == CKR_OK;
    });
}
} // namespace

class KeyTestsTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;
    std::vector<unsigned char> m_rootCertificate;

    // Runs the action; answers a login dialog with the PIN when one comes, and the box.
    QString RunTest(MainWindow& window, const char* action, bool expectLogin, const char* pin = kUserPin)
    {
        QString text;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        if (expectLogin)
            driver.Expect([&](QWidget* w) { AnswerLogin(w, QLatin1String(pin)); }, "LoginDialog");
        driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
        Action(window, action)->trigger();
        if (!AllAnswered(driver))
            return QStringLiteral("driver: ") + Problems(driver);
        return text;
    }

    // An uninitialised token in slot 2 and, in slot 3, a write-protected token that needs no
    // login and has no user PIN, holding a certificate without keys.
    void AddStateTokens()
    {
        m_tm->add_slot(2, "Reader Two", "Tessaly");
        const CK_TOKEN_INFO blank = testmodule::TokenInfo("Blank", "0003", CKF_LOGIN_REQUIRED);
        m_tm->insert_token(2, &blank, "87654321", kUserPin, 0);
        m_tm->add_slot(3, "Reader Three", "Tessaly");
        const CK_TOKEN_INFO trust = testmodule::TokenInfo("Trust", "0004", CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED);
        m_tm->insert_token(3, &trust, "87654321", kUserPin, 0);
        AddTestCertificate(*m_tm, 3, m_rootCertificate, 0x31, "Root");
    }

private slots:
    void initTestCase()
    {
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY(hsm.InitToken("Keys"));
        const fixture::KeyFiles good = fixture::MakeKey(store, "good", "rsa:1024");
        QVERIFY(hsm.ImportKey(good.keyPem, "Keys", "Good", "01"));
        QVERIFY(hsm.WriteCert(fixture::MakeSelfSigned(store, "good", good, "/CN=Good"), "Keys", "Good", "01"));

        // The private key of one pair with the public key of another.
        const fixture::KeyFiles a = fixture::MakeKey(store, "a", "rsa:1024");
        const fixture::KeyFiles b = fixture::MakeKey(store, "b", "rsa:1024");
        QVERIFY(hsm.ImportKey(b.keyPem, "Keys", "Mismatch", "02"));
        QVERIFY(fixture::RunOrReport(Tool("--delete-object --type pubkey --id 02")));
        QVERIFY(fixture::RunOrReport(Tool("--write-object " + fixture::Quote(a.publicDer) + " --type pubkey --id 02 --label Mismatch")));

        const fixture::KeyFiles lonely = fixture::MakeKey(store, "lonely", "rsa:1024");
        QVERIFY(hsm.ImportKey(lonely.keyPem, "Keys", "Lonely", "03"));
        QVERIFY(fixture::RunOrReport(Tool("--delete-object --type pubkey --id 03")));

        const fixture::KeyFiles curve = fixture::MakeKey(store, "curve", "ec:prime256v1");
        QVERIFY(hsm.ImportKey(curve.keyPem, "Keys", "Curve", "04"));

        const fixture::KeyFiles orphan = fixture::MakeKey(store, "orphan", "rsa:1024");
        QVERIFY(hsm.WriteCert(fixture::MakeSelfSigned(store, "orphan", orphan, "/CN=Orphan"), "Keys", "Orphan", "05"));
        const fixture::KeyFiles root = fixture::MakeKey(store, "root", "rsa:1024");
        m_rootCertificate = fixture::ReadBytes(fixture::MakeSelfSigned(store, "root", root, "/CN=Root"));

        const fixture::KeyFiles nosign = fixture::MakeKey(store, "nosign", "rsa:1024");
        QVERIFY(hsm.ImportKey(nosign.keyPem, "Keys", "NoSign", "06"));
        QVERIFY(ForbidSigning("Keys", 0x06));
    }

    void init()
    {
        m_home = SoftHsmAndTestModuleHome(m_tm, kSoft, kModule, kUserPin);
    }

    void cleanup()
    {
        m_tm.reset();
    }

    void keyAndCertificateTests_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("loggedInBefore");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("logged");  // a text of the log entry, empty for none
        QTest::newRow("good pair, public key") << "Public key(Good)" << "actionTestKey" << false
                                               << "This key pair works fine!" << QString();
        QTest::newRow("good pair, private key") << "Private key(Good)" << "actionTestKey" << true
                                                << "This key pair works fine!" << QString();
        QTest::newRow("certificate") << "Certificate(Good)" << "actionTestCertificate" << false
                                     << "This certificate works fine!" << QString();
        QTest::newRow("mismatched pair") << "Public key(Mismatch)" << "actionTestKey" << false
                                         << "The signature produced with this key pair is invalid!" << QString();
        QTest::newRow("lone private key") << "Private key(Lonely)" << "actionTestKey" << true
                                          << "Could not find public key on token!" << QString();
        QTest::newRow("certificate without keys") << "Certificate(Orphan)" << "actionTestCertificate" << false
                                                  << "Could not find private key on token!" << QString();
        QTest::newRow("EC key") << "Public key(Curve)" << "actionTestKey" << false
                                << "Unable to sign with the private key.\nThe program can sign only with RSA and DSA "
                                   "keys."
                                << "only with RSA and DSA keys";
        // The box says what failed and why, the log also which call.
        QTest::newRow("key that may not sign")
            << "Public key(NoSign)" << "actionTestKey" << false
            << "Unable to sign with the private key.\nThe key is not allowed to perform the requested operation."
            << "C_SignInit failed";
    }

    void keyAndCertificateTests()
    {
        QFETCH(QString, row);
        QFETCH(QString, action);
        QFETCH(bool, loggedInBefore);
        QFETCH(QString, box);
        QFETCH(QString, logged);
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        CPKCS11Token* token = TokenOf(window, kSoft, "Keys");
        QVERIFY(token);
        if (loggedInBefore) {
            QVERIFY(token->Login(kUserPin, NormalUser));
            window.RefreshTokenRow(token);
        }
        QVERIFY2(SelectInToken(window, kSoft, "Keys", row), qPrintable(row));
        const QString shown = RunTest(window, qPrintable(action), !loggedInBefore);
        QVERIFY2(shown.startsWith(box), qPrintable(shown + " / " + QString::fromStdWString(logger.Dump())));
        if (logged.isEmpty())
            QCOMPARE(logger.Count(), size_t(0));
        else
            QVERIFY2(logger.CountWith(logged.toStdWString()) == 1, qPrintable(QString::fromStdWString(logger.Dump())));
        // The login stays, and the rows show it.
        QVERIFY(token->IsLoggedIn());
        QVERIFY(TokenRows(window, kSoft, "Keys").contains("Private key(Lonely) [8]"));
        QVERIFY(!window.IsOperationRunning());
    }

    // The key goes while the PIN is asked for: after the re-read it is not found again.
    void keyGoneDuringLoginIsReported()
    {
        const CK_OBJECT_HANDLE handle = AddVanishingPair(*m_tm, 1, 0x71);
        MainWindow window;
        window.show();
        QVERIFY(SelectInToken(window, kModule, "Test token", "Public key(Vanishing)"));
        CPKCS11Token* token = TokenOf(window, kModule, "Test token");
        QCOMPARE(RunWhileObjectGoes(window, "actionTestKey", token, handle, kUserPin),
                 QStringLiteral("Could not find public key on token!"));
        QCOMPARE(m_tm->call_count("C_SignInit"), 0);
    }

    // The token test on SoftHSM2: the pair it generates is gone afterwards, and the rows are
    // those of the login it made.
    void tokenTestLeavesNoKeyBehind()
    {
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        CPKCS11Token* token = TokenOf(window, kSoft, "Keys");
        QVERIFY(SelectInToken(window, kSoft, "Keys", QString()));
        QVERIFY(Action(window, "actionTestToken")->isVisible());
        QCOMPARE(RunTest(window, "actionTestToken", true), QStringLiteral("This smart-card works fine!"));
        QVERIFY(token->IsLoggedIn());
        const QStringList rows = TokenRows(window, kSoft, "Keys");
        QVERIFY(rows.contains("Private key(Lonely) [8]"));
        QVERIFY2(rows.filter("Test Key").isEmpty(), qPrintable(rows.join("\n")));

        // Nothing labelled "Test Key" and nothing with its ID, in the session or on the token.
        CK_FUNCTION_LIST_PTR fl = token->GetFunctionList();
        for (int what = 0; what < 2; ++what) {
            unsigned char id = 0x7B;
            CK_ATTRIBUTE byLabel = {CKA_LABEL, (void*)"Test Key", 8};
            CK_ATTRIBUTE byId = {CKA_ID, &id, 1};
            CK_OBJECT_HANDLE found[4];
            CK_ULONG n = 99;
            QCOMPARE(fl->C_FindObjectsInit(token->GetSession(), what == 0 ? &byLabel : &byId, 1), CKR_OK);
            QCOMPARE(fl->C_FindObjects(token->GetSession(), found, 4, &n), CKR_OK);
            fl->C_FindObjectsFinal(token->GetSession());
            QCOMPARE(n, CK_ULONG(0));
        }
        QCOMPARE(logger.Count(), size_t(0));
    }

    // Logged in already: no PIN is asked, and the test runs again.
    void tokenTestWhenLoggedIn()
    {
        MainWindow window;
        window.show();
        CPKCS11Token* token = TokenOf(window, kSoft, "Keys");
        QVERIFY(token->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(token);
        QVERIFY(SelectInToken(window, kSoft, "Keys", QString()));
        QCOMPARE(RunTest(window, "actionTestToken", false), QStringLiteral("This smart-card works fine!"));
        QCOMPARE(RunTest(window, "actionTestToken", false), QStringLiteral("This smart-card works fine!"));
    }

    // What the selected object offers by the state of its token: an uninitialised one (the
    // test module's and SoftHSM2's free slot) only its initialisation; a store of trusted
    // certificates that nobody logs in to (write-protected, no login, no user PIN) no login,
    // and its certificates without a private key no test.
    void actionsOfferedByTokenState_data()
    {
        QTest::addColumn<QString>("provider");
        QTest::addColumn<QString>("token");  // "@uninitialised": SoftHSM2's free slot
        QTest::addColumn<QString>("row");    // empty: the token row
        QTest::addColumn<QStringList>("visible");
        const QStringList all = {"actionLogin",      "actionLogout",    "actionCertImport",
                                 "actionChangePIN",  "actionInitialize", "actionUnblockPIN",
                                 "actionTestToken",  "actionRequestCertificate", "actionDownloadCertificate"};
        QTest::newRow("initialised") << kModule << "Test token" << QString() << all;
        QTest::newRow("uninitialised") << kModule << "Blank" << QString() << QStringList{"actionInitialize"};
        QTest::newRow("SoftHSM2's free slot") << kSoft << "(no label)" << QString()
                                              << QStringList{"actionInitialize"};
        QTest::newRow("trust store") << kModule << "Trust" << QString() << QStringList();
        QTest::newRow("trust store's certificate") << kModule << "Trust" << "Certificate(Root)"
                                                   << QStringList{"actionCertView", "actionCertExport"};
        QTest::newRow("certificate without keys, login token") << kSoft << "Keys" << "Certificate(Orphan)"
                                                               << QStringList{"actionCertView", "actionCertExport",
                                                                              "actionTestCertificate", "actionDelete"};
    }

    void actionsOfferedByTokenState()
    {
        QFETCH(QString, provider);
        QFETCH(QString, token);
        QFETCH(QString, row);
        QFETCH(QStringList, visible);
        AddStateTokens();
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = ShowProvider(window, provider);
        QVERIFY(tree);
        QTreeWidgetItem* tokenRow = TokenRow(tree, token);
        QTreeWidgetItem* item = !tokenRow || row.isEmpty() ? tokenRow : FindRow(tokenRow, row);
        QVERIFY2(item, qPrintable(token + " " + row));
        SelectRow(tree, item);
        QStringList shown;
        for (const char* name : {"actionLogin", "actionLogout", "actionDelete", "actionCertView", "actionCertExport",
                                 "actionCertImport", "actionChangePIN", "actionInitialize", "actionTestToken",
                                 "actionTestKey", "actionTestCertificate", "actionUnblockPIN",
                                 "actionRequestCertificate", "actionDownloadCertificate"})
            if (Action(window, name)->isVisible())
                shown << QLatin1String(name);
        std::sort(shown.begin(), shown.end());
        std::sort(visible.begin(), visible.end());
        QCOMPARE(shown, visible);
    }

    // The certificate test on a token nobody logs in to asks for no PIN and says why it cannot
    // run: the certificate has no private key there.
    void certificateTestWithoutLogin()
    {
        AddStateTokens();
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QVERIFY(SelectInToken(window, kModule, "Trust", "Certificate(Root)"));
        QCOMPARE(RunTest(window, "actionTestCertificate", false),
                 QStringLiteral("The certificate has no private key on the token."));
        QCOMPARE(m_tm->call_count("C_Login"), 0);
        QCOMPARE(logger.Count(), size_t(0));
    }

    // The test module generates no keys: the test says so with the module's answer.
    void tokenTestWithoutKeyGeneration()
    {
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QVERIFY(SelectInToken(window, kModule, "Test token", QString()));
        const QString shown = RunTest(window, "actionTestToken", true);
        QVERIFY2(shown.startsWith("Unable to generate RSA keypair."), qPrintable(shown));
        QCOMPARE(logger.CountWith(L"CKR_FUNCTION_NOT_SUPPORTED"), size_t(1));
        QCOMPARE(m_tm->call_count("C_GenerateKeyPair"), 1);
        QCOMPARE(m_tm->call_count("C_SignInit"), 0);
        QVERIFY(TokenOf(window, kModule, "Test token")->IsLoggedIn());
    }
};

QTEST_MAIN(KeyTestsTest)
#include "test_keytests.moc"
