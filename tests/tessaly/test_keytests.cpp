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
    std::string m_ecCertificate;  // DER file of the certificate of the EC pair "Elliptic"

    // A certificate from a CA of the test's own for a public key the test holds no private
    // key of (one generated on the token): the request is made with a throwaway key.
    static std::string CertificateForPublicKey(const std::string& dir, const std::string& name,
                                               const std::string& publicDer, const std::string& subject)
    {
        const fixture::Ca ca = fixture::MakeCa(dir, "/O=Tessaly/CN=Tessaly EC Test CA");
        const fixture::KeyFiles throwaway = fixture::MakeKey(dir, name + "-request", "ec:prime256v1");
        const std::string pem = dir + "/" + name + ".pub.pem", csr = dir + "/" + name + ".csr",
                          der = dir + "/" + name + ".der", ext = dir + "/" + name + ".ext";
        // An extension makes it version 3 whatever OpenSSL's version.
        fixture::WriteText(ext, "keyUsage=critical,digitalSignature\n");
        if (!fixture::RunOrReport("openssl pkey -pubin -inform DER -in " + fixture::Quote(publicDer) + " -out " +
                                  fixture::Quote(pem)) ||
            !fixture::RunOrReport("openssl req -new -key " + fixture::Quote(throwaway.keyPem) + " -subj " +
                                  fixture::Quote(subject) + " -config /dev/null -out " + fixture::Quote(csr)) ||
            !fixture::RunOrReport("openssl x509 -req -in " + fixture::Quote(csr) + " -CA " +
                                  fixture::Quote(ca.certDer) + " -CAform DER -CAkey " + fixture::Quote(ca.keyPem) + " -force_pubkey " +
                                  fixture::Quote(pem) + " -extfile " + fixture::Quote(ext) +
                                  " -set_serial 0x0801 -days 30 -outform DER -out " +
                                  fixture::Quote(der)))
            return std::string();
        return der;
    }

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

        // An EC pair generated on the token, as a card's is, and its certificate from a CA.
        QVERIFY(fixture::RunOrReport(Tool("--keypairgen --key-type EC:prime256v1 --id 08 --label Elliptic")));
        const std::string ecPublic = store + "/elliptic.pub.der";
        QVERIFY(fixture::RunOrReport(Tool("--read-object --type pubkey --id 08 --output-file " +
                                          fixture::Quote(ecPublic))));
        m_ecCertificate = CertificateForPublicKey(store, "elliptic", ecPublic, "/O=Tessaly/CN=Elliptic");
        QVERIFY(!m_ecCertificate.empty());
        QVERIFY(hsm.WriteCert(m_ecCertificate, "Keys", "Elliptic", "08"));

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
        // A pair made on the token with its certificate: each test says in words why it cannot run.
        QTest::newRow("EC pair made on the token")
            << "Private key(Elliptic)" << "actionTestKey" << true
            << "Unable to sign with the private key.\nThe program can sign only with RSA and DSA keys."
            << "only with RSA and DSA keys";
        QTest::newRow("EC certificate") << "Certificate(Elliptic)" << "actionTestCertificate" << false
                                        << "Unable to sign with the private key.\nThe program can sign only with "
                                           "RSA and DSA keys."
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

    // The EC pair and its certificate: listed and paired by CKA_ID, the certificate decoded with its
    // key named in the pane and in the view, which shows what OpenSSL reads.
    void ecCertificateListedPairedAndViewed()
    {
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        CPKCS11Token* token = TokenOf(window, kSoft, "Keys");
        QVERIFY(token);
        QVERIFY(token->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(token);
        CProviderTreeWidget* tree = SelectInToken(window, kSoft, "Keys", "Certificate(Elliptic)");
        QVERIFY(tree);
        QTreeWidgetItem* certRow = tree->currentItem();
        QCOMPARE(CProviderTreeWidget::GetItemIcon(certRow), 5);
        QCOMPARE(DumpChildren(certRow), QStringList({"Public key(Elliptic) [7]", "Private key(Elliptic) [8]"}));
        QStringList rows = TokenRows(window, kSoft, "Keys");
        QCOMPARE(rows.filter("(Elliptic)").size(), 3);

        const QStringList pane = PaneLines(tree);
        for (const char* line : {"Serial number=0801", "Subject=Elliptic", "Organization=Tessaly",
                                 "Issuer=Tessaly EC Test CA", "Public key=EC P-256"})
            QVERIFY2(pane.contains(QLatin1String(line)), qPrintable(pane.join(" | ")));
        QVERIFY2(pane.filter("can not be decoded").isEmpty(), qPrintable(pane.join(" | ")));
        SelectRow(tree, FindRow(certRow, QStringLiteral("Private key(Elliptic)")));
        QVERIFY2(PaneLines(tree).contains("Elliptic Curve Private Key="), qPrintable(PaneLines(tree).join(" | ")));

        // The view, against OpenSSL's reading of the same file.
        std::string text;
        QCOMPARE(fixture::Run("openssl x509 -noout -inform DER -in " + fixture::Quote(m_ecCertificate) +
                                  " -startdate -enddate",
                              &text),
                 0);
        SelectRow(tree, certRow);
        QStringList view;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect(
            [&](QWidget* w) {
                QTreeWidget* list = w->findChild<QTreeWidget*>(QStringLiteral("treeWidget"));
                for (int i = 0; list && i < list->topLevelItemCount(); ++i)
                    view << list->topLevelItem(i)->text(0) + QLatin1Char('=') + list->topLevelItem(i)->text(1);
                fixture::ModalDriver::Click(w, QStringLiteral("Close"));
            },
            "CertViewDialog");
        Action(window, "actionCertView")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QStringList certRows;
        DumpRows(certRow, 0, certRows);
        qInfo("rows: %s\npane: %s\nview: %s", qPrintable(certRows.join(" | ")), qPrintable(pane.join(" | ")),
              qPrintable(view.join(" | ")));
        QCOMPARE(view.size(), 7);
        QCOMPARE(view[0], QStringLiteral("Version=3"));
        QCOMPARE(view[1], QStringLiteral("Serial No=0801"));
        QCOMPARE(view[2], QStringLiteral("Issuer=Tessaly EC Test CA"));
        QCOMPARE(view[5], QStringLiteral("Subject=Elliptic"));
        QCOMPARE(view[6], QStringLiteral("Public key=EC P-256"));
        // "notBefore=Dec 11 15:55:00 2026 GMT": the year and the time of day as the view has them.
        const QString openssl = QString::fromStdString(text);
        for (int i : {3, 4}) {
            const QStringList date = openssl.section(QLatin1String(i == 3 ? "notBefore=" : "notAfter="), 1)
                                         .section(QLatin1Char('\n'), 0, 0)
                                         .simplified()
                                         .split(QLatin1Char(' '));
            QCOMPARE(date.size(), 5);
            const QDate day = QLocale::c().toDate(date[0] + QLatin1Char(' ') + date[1] + QLatin1Char(' ') + date[3],
                                                  QStringLiteral("MMM d yyyy"));
            QCOMPARE(view[i].section(QLatin1Char('='), 1),
                     day.toString(QStringLiteral("dd/MM/yyyy")) + QLatin1Char(' ') + date[2].left(5) +
                         QStringLiteral(" GMT"));
        }
        QCOMPARE(logger.Count(), size_t(0));
    }

    // A blank token (SoftHSM2's free slot, which reports its SO PIN locked, and a test-module
    // token with both lock flags) reads as not initialised, without PIN-state lines.
    void blankTokenPaneSaysNotInitialised()
    {
        m_tm->add_slot(4, "Reader Four", "Tessaly");
        const CK_TOKEN_INFO blank = testmodule::TokenInfo(
            "Locked blank", "0005",
            CKF_RNG | CKF_LOGIN_REQUIRED | CKF_RESTORE_KEY_NOT_NEEDED | CKF_SO_PIN_LOCKED | CKF_SO_PIN_TO_BE_CHANGED |
                CKF_USER_PIN_LOCKED);
        m_tm->insert_token(4, &blank, "87654321", kUserPin, 0);
        MainWindow window;
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.show();
        for (const auto& token : {std::make_pair(kSoft, "(no label)"), std::make_pair(kModule, "Locked blank")}) {
            CProviderTreeWidget* tree = SelectInToken(window, token.first, token.second);
            QVERIFY2(tree, token.second);
            const QStringList pane = PaneLines(tree);
            QVERIFY2(pane.contains("The card is not initialized.="), qPrintable(pane.join(" | ")));
            QVERIFY2(pane.filter("blocked").isEmpty(), qPrintable(pane.join(" | ")));
        }
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
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
