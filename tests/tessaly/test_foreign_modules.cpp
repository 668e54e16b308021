// Modules that behave as modules nobody here wrote do, scripted on the test module: a module whose
// own dependency must stay mapped (Reload), a write-protected token (shown read-only, no write
// actions), UTF-8 token and slot texts in the information pane, and the failure texts that say
// why (a module that does not initialise, key generation refused, an EC key, a login on a
// write-protected token, PIN actions on a token without a session).
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kModule = "Test Module";

// The visible governed actions, by name.
QStringList VisibleWriteActions(MainWindow& window)
{
    QStringList visible;
    for (const char* name : {"actionCertImport", "actionDelete", "actionInitialize", "actionChangePIN",
                             "actionUnblockPIN", "actionTestToken", "actionRequestCertificate",
                             "actionDownloadCertificate"})
        if (Action(window, name)->isVisible())
            visible << QLatin1String(name);
    return visible;
}
} // namespace

class ForeignModulesTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;
    std::vector<unsigned char> m_certificate;

    // A token in slot 1 with a certificate and its key pair, labelled "Pair".
    void TokenWithPair(const CK_TOKEN_INFO* info, const char* userPin = "1234")
    {
        m_tm->add_slot(1, "Reader One", "Tessaly");
        m_tm->insert_token(1, info, "87654321", userPin, 0);
        QVERIFY(AddTestKeyPairFor(*m_tm, 1, m_certificate, 0x21, "Pair"));
        AddTestCertificate(*m_tm, 1, m_certificate, 0x21, "Pair");
    }

private slots:
    void initTestCase()
    {
        const std::string dir = fixture::ScratchDir("foreign");
        const fixture::KeyFiles key = fixture::MakeKey(dir, "pair", "rsa:1024");
        m_certificate = fixture::ReadBytes(fixture::MakeSelfSigned(dir, "pair", key, "/CN=Pair"));
        QVERIFY(!m_certificate.empty());
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        WriteProviderSettings(m_home, {{kModule, testmodule::ModulePath(), false}});
    }

    void cleanup() { m_tm.reset(); }

    // The module's dependency cannot be mapped twice in one process (as openCryptoki's libitm):
    // Reload, again and again, finds the module as it was, with no box.
    void reloadKeepsTheModuleMapped()
    {
        m_tm.reset(new testmodule::Control(testmodule::NeedsDependencyPath()));
        m_tm->add_slot(1, "Reader One", "Tessaly");
        m_tm->insert_token(1, nullptr, "87654321", "1234", 0);
        WriteProviderSettings(m_home, {{"Dependent", testmodule::NeedsDependencyPath(), false}});
        MainWindow window;
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.show();
        QVERIFY(TokenOf(window, "Dependent", "Test token"));
        // From here on only the window's provider holds the module.
        m_tm->Close();
        for (int round = 0; round < 4; ++round) {
            Action(window, "actionReload")->trigger();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            QVERIFY2(TokenOf(window, "Dependent", "Test token"), qPrintable(QString::number(round)));
            QCOMPARE(TabLabels(window), QStringList{"Dependent"});
        }
        testmodule::Control after(testmodule::NeedsDependencyPath());
        QCOMPARE(after.is_initialized(), 1);
    }

    // The Preferences free every provider and load them again: the same holds there.
    void preferencesKeepTheModuleMapped()
    {
        m_tm.reset(new testmodule::Control(testmodule::NeedsDependencyPath()));
        m_tm->add_slot(1, "Reader One", "Tessaly");
        m_tm->insert_token(1, nullptr, "87654321", "1234", 0);
        WriteProviderSettings(m_home, {{"Dependent", testmodule::NeedsDependencyPath(), false},
                                       {"Other", testmodule::ModulePath(), false}});
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList({"Dependent", "Other"}));
        m_tm->Close();

        fixture::ModalDriver driver(15000);
        driver.RejectUnexpected();
        driver.Expect([](QWidget* prefs) {
            QTreeWidget* list = prefs->findChild<QTreeWidget*>(QStringLiteral("treeWidget"));
            for (int i = 0; list && i < list->topLevelItemCount(); ++i)
                list->topLevelItem(i)->setSelected(list->topLevelItem(i)->text(0) == QLatin1String("Other"));
            QTimer::singleShot(0, [prefs] { fixture::ModalDriver::Click(prefs, "removeButton"); });
        }, "ProvidersDialog");
        driver.Expect([](QWidget* question) { fixture::ModalDriver::Click(question, "OK"); }, "QMessageBox");
        driver.Expect([](QWidget* prefs) { fixture::ModalDriver::Click(prefs, "closeButton"); }, "ProvidersDialog");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(TabLabels(window), QStringList{"Dependent"});
        QVERIFY(TokenOf(window, "Dependent", "Test token"));
    }

    void writeProtectedToken_data()
    {
        QTest::addColumn<bool>("flagged");
        QTest::newRow("reports CKF_WRITE_PROTECTED") << true;
        QTest::newRow("refuses read-write sessions") << false;
    }

    // A write-protected token is opened read-only and shown in full, with no box; nothing that
    // would write to it is offered, while what only reads stays.
    void writeProtectedToken()
    {
        QFETCH(bool, flagged);
        const CK_TOKEN_INFO info = TestTokenInfo("Read only", flagged ? CKF_WRITE_PROTECTED : 0);
        TokenWithPair(&info);
        if (!flagged)
            m_tm->fail("C_OpenSession", CKR_TOKEN_WRITE_PROTECTED, 0, 1);
        MainWindow window;
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.show();
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        QCOMPARE(TokenRows(window, kModule, "Read only"),
                 QStringList({"Certificate(Pair) [5]", "  Public key(Pair) [7]"}));
        QCOMPARE(m_tm->last_session_flags(), CK_FLAGS(CKF_SERIAL_SESSION));

        QVERIFY(SelectInToken(window, kModule, "Read only"));
        QVERIFY(Action(window, "actionLogin")->isVisible());
        QCOMPARE(VisibleWriteActions(window), QStringList());
        QVERIFY(SelectInToken(window, kModule, "Read only", "Certificate(Pair)"));
        QVERIFY(Action(window, "actionCertView")->isVisible());
        QVERIFY(Action(window, "actionCertExport")->isVisible());
        QCOMPARE(VisibleWriteActions(window), QStringList());
        QVERIFY(SelectInToken(window, kModule, "Read only", "Public key(Pair)"));
        QVERIFY(Action(window, "actionTestKey")->isVisible());
        QCOMPARE(VisibleWriteActions(window), QStringList());
    }

    // The same texts the tree shows, read as UTF-8, in the pane: token label, manufacturer,
    // model and serial number, and the slot description.
    void utf8TextsInThePane()
    {
        const char* const description = "Четец на карти";
        m_tm->add_slot(1, description, "Производител");
        CK_TOKEN_INFO info = TestTokenInfo("Тест карта", 0);
        auto pad = [](unsigned char* field, size_t width, const char* text) {
            memset(field, ' ', width);
            memcpy(field, text, std::min(width, strlen(text)));
        };
        pad(info.manufacturerID, sizeof info.manufacturerID, "Фирма");
        pad(info.model, sizeof info.model, "Модел");
        pad(info.serialNumber, sizeof info.serialNumber, "№7");
        m_tm->insert_token(1, &info, "87654321", "1234", 0);
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = ShowProvider(window, kModule);
        QVERIFY(tree);
        QTreeWidgetItem* slotRow = tree->topLevelItem(0);
        QVERIFY(slotRow);
        QCOMPARE(slotRow->text(0), QString::fromUtf8(description));
        SelectRow(tree, slotRow);
        QVERIFY2(PaneLines(tree).contains(QStringLiteral("Description=") + slotRow->text(0)),
                 qPrintable(PaneLines(tree).join(" | ")));
        QVERIFY2(PaneLines(tree).contains(QString::fromUtf8("Manufacturer=Производител")),
                 qPrintable(PaneLines(tree).join(" | ")));

        QTreeWidgetItem* tokenRow = TokenRow(tree, QString::fromUtf8("Тест карта"));
        QVERIFY(tokenRow);
        SelectRow(tree, tokenRow);
        const QStringList pane = PaneLines(tree);
        for (const char* line : {"Card label=Тест карта", "Manufacturer=Фирма", "Card model=Модел",
                                 "Serial number=№7"})
            QVERIFY2(pane.contains(QString::fromUtf8(line)), qPrintable(pane.join(" | ")));
    }

    void failureTexts_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("dialogs");
        QTest::addColumn<QString>("box");
        const QString initFailed = QStringLiteral("%1: Unable to initialize the Cryptoki module\nThe module answered "
                                                  "CKR_GENERAL_ERROR.\nSome unrecoverable error has occurred.")
                                       .arg(QLatin1String(kModule));
        QTest::newRow("module that does not initialise, at start")
            << "no initialisation" << "start" << QString() << QStringList() << initFailed;
        QTest::newRow("module that does not initialise, on Reload")
            << "initialisation lost" << "actionReload" << QString() << QStringList() << initFailed;
        QTest::newRow("token test, no key generation")
            << "token" << "actionTestToken" << QString() << QStringList{"LoginDialog"}
            << "Unable to generate RSA keypair.\nThe module answered CKR_FUNCTION_NOT_SUPPORTED.\nThe requested "
               "operation is not supported by this token.";
        QTest::newRow("token test, session keys refused")
            << "no session keys" << "actionTestToken" << QString() << QStringList{"LoginDialog"}
            << "Unable to generate RSA keypair.\nThe module answered CKR_ATTRIBUTE_VALUE_INVALID.\nThe module does "
               "not accept temporary key pairs, which the token test generates.\nThe module does not accept the value "
               "of one of the attributes given to it.";
        QTest::newRow("key test on an EC key")
            << "EC key" << "actionTestKey" << "Public key(Curve)" << QStringList{"LoginDialog"}
            << "Unable to sign with the private key.\nThe program can sign only with RSA and DSA keys.";
        QTest::newRow("login on a write-protected token that needs none")
            << "trust store" << "actionLogin" << QString() << QStringList{"LoginDialog"}
            << "Unable to login.\nThe smart-card is write-protected and was opened read-only.\nThe smart-card does "
               "not require a login.\nThe normal user's PIN has not yet been initialized.";
        QTest::newRow("login on a write-protected token, wrong PIN")
            << "write-protected" << "actionLogin" << QString() << QStringList{"LoginDialog"}
            << "Unable to login.\nThe smart-card is write-protected and was opened read-only.\nThe specified PIN is "
               "incorrect.";
        // No box at all: the logout before the dialog has nothing to end on a token without a session.
        QTest::newRow("Change PIN on a token without a session")
            << "no session" << "actionChangePIN" << QString() << QStringList{"ChangePINDialog"} << QString();
        QTest::newRow("Unblock PIN on a token without a session")
            << "no session" << "actionUnblockPIN" << QString() << QStringList{"UnblockPINDialog"} << QString();
    }

    // What the box says, for each failure that used to give no reason (or a wrong one).
    void failureTexts()
    {
        QFETCH(QString, setup);
        QFETCH(QString, action);
        QFETCH(QString, row);
        QFETCH(QStringList, dialogs);
        QFETCH(QString, box);
        const char* token = "Test token";
        m_tm->add_slot(1, "Reader One", "Tessaly");
        if (setup == "no initialisation") {
            m_tm->set_initialize_mode(2);
        } else if (setup == "EC key") {
            m_tm->insert_token(1, nullptr, "87654321", "1234", 0);
            // The program signs only with RSA and DSA keys.
            AddTestKey(*m_tm, 1, CKO_PUBLIC_KEY, 0x31, "Curve", CKK_EC);
            AddTestKey(*m_tm, 1, CKO_PRIVATE_KEY, 0x31, "Curve", CKK_EC);
        } else if (setup == "trust store" || setup == "write-protected") {
            token = "Read only";
            const CK_TOKEN_INFO info = setup == "trust store"
                                           ? testmodule::TokenInfo(token, "1", CKF_TOKEN_INITIALIZED | CKF_WRITE_PROTECTED)
                                           : TestTokenInfo(token, CKF_WRITE_PROTECTED);
            m_tm->insert_token(1, &info, nullptr, setup == "trust store" ? nullptr : "1234", 0);
        } else if (setup == "no session") {
            const CK_TOKEN_INFO info = testmodule::TokenInfo("Blank", "2", 0);
            token = "Blank";
            m_tm->insert_token(1, &info, nullptr, nullptr, 0);
            m_tm->fail("C_OpenSession", CKR_TOKEN_NOT_RECOGNIZED, 0, -1);
        } else {
            m_tm->insert_token(1, nullptr, "87654321", "1234", 0);
        }
        if (setup == "no session keys")
            m_tm->fail("C_GenerateKeyPair", CKR_ATTRIBUTE_VALUE_INVALID, 0, -1);

        MainWindow window;
        MemoryLogger logger(0xFF);
        QString shown;
        bool boxSeen = false;
        fixture::ModalDriver driver(15000);
        driver.RejectUnexpected();
        // The wrong PIN only where the row is about it.
        const QString pin = setup == "write-protected" ? QStringLiteral("9999") : QStringLiteral("1234");
        for (const QString& dialog : dialogs) {
            driver.Expect([dialog, pin](QWidget* w) {
                if (dialog == "LoginDialog")
                    AnswerLogin(w, pin);
                else
                    fixture::ModalDriver::Reject(w);
            }, qPrintable(dialog));
        }
        if (!box.isEmpty())
            driver.Expect([&](QWidget* w) {
                boxSeen = true;
                shown = AnswerBox(w);
            }, "QMessageBox");

        if (action == "start") {
            window.show();
        } else {
            window.show();
            if (setup == "initialisation lost")
                m_tm->set_initialize_mode(2);
            if (action != "actionReload")
                QVERIFY2(SelectInToken(window, kModule, QLatin1String(token), row), qPrintable(row));
            Action(window, qPrintable(action))->trigger();
        }
        QVERIFY2(driver.WaitFinished(15000), qPrintable(Problems(driver)));
        QVERIFY2(driver.Unexpected().isEmpty(), qPrintable(Problems(driver)));
        if (!box.isEmpty()) {
            QVERIFY(boxSeen);
            QCOMPARE(shown, box);
        }
        m_tm->set_initialize_mode(0);
    }
};

QTEST_MAIN(ForeignModulesTest)
#include "test_foreign_modules.moc"
