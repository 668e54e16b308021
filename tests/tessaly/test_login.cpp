// Login and logout through each road: the PIN dialog (SoftHSM2 and the test module), the PIN
// pad of the test module (user choice, accepted, cancelled on the device, wrong PIN), a logout
// the module refuses, and the tree's context menu.
#include <QMenu>
#include <QTimer>
#include <QtTest>

#include "Fixture.h"
#include "LoginDialog.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Token.h"
#include "ProtectedAuthPathDialog.h"
#include "SelectUserDialog.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoft = "SoftHSM2 Login";
const char* const kModule = "Test Module";
const char* const kWrongPin = "7gQ9zX";  // distinctive, to be looked for in the logs

QStringList VisibleActions(QMenu* menu)
{
    QStringList names;
    for (QAction* action : menu->actions())
        if (action->isVisible() && !action->isSeparator())
            names << action->objectName();
    return names;
}

// Runs the login action and types pin into its dialog; empty when that dialog came and
// nothing else did, else what went wrong.
QString LogInThroughDialog(MainWindow& window, const QString& pin)
{
    fixture::ModalDriver driver;
    driver.RejectUnexpected();
    driver.Expect([&](QWidget* w) { AnswerLogin(w, pin); }, "LoginDialog");
    Action(window, "actionLogin")->trigger();
    return AllAnswered(driver) ? QString() : QStringLiteral("login dialog: ") + Problems(driver);
}
} // namespace

class LoginTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

private slots:
    void initTestCase()
    {
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY(hsm.InitToken("Demo"));
        const fixture::KeyFiles key = fixture::MakeKey(store, "demo", "rsa:1024");
        QVERIFY(hsm.ImportKey(key.keyPem, "Demo", "Demo key", "01"));
        QVERIFY(hsm.InitToken("WithCert"));
        const fixture::KeyFiles other = fixture::MakeKey(store, "other", "rsa:1024");
        QVERIFY(hsm.ImportKey(other.keyPem, "WithCert", "Signer", "02"));
        QVERIFY(hsm.WriteCert(fixture::MakeSelfSigned(store, "other", other, "/CN=Signer"), "WithCert", "Signer", "02"));
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
        m_tm->add_slot(2, "Pad Reader", "Tessaly");
        m_tm->insert_token(1, nullptr, "87654321", "p\xE4" "55", 0);  // a Latin-1 user PIN
        CK_TOKEN_INFO pad = TestTokenInfo("Pad token", CKF_PROTECTED_AUTHENTICATION_PATH);
        m_tm->insert_token(2, &pad, "87654321", "1234", 0);
        for (CK_SLOT_ID slot : {CK_SLOT_ID(1), CK_SLOT_ID(2)}) {
            AddTestKey(*m_tm, slot, CKO_PUBLIC_KEY, 0x21, "Pad key");
            AddTestKey(*m_tm, slot, CKO_PRIVATE_KEY, 0x21, "Pad key");
        }
        WriteSoftHsmAndModuleSettings(m_home, kSoft, kModule, testmodule::ModulePath(), false);
    }

    void cleanup()
    {
        m_tm.reset();
    }

    // The PIN dialog: the private key appears with the login and goes with the logout; the
    // actions and the pane follow.
    void dialogLoginThenLogout()
    {
        MainWindow window;
        window.show();
        CPKCS11Token* token = SelectToken(window, kSoft, "Demo");
        QVERIFY(token);
        QCOMPARE(TokenRows(window, kSoft, "Demo"), QStringList{"Public key(Demo key) [7]"});
        QVERIFY(Action(window, "actionLogin")->isEnabled());
        QVERIFY(!Action(window, "actionLogout")->isEnabled());

        bool choiceOpen = false;
        bool okBefore = true;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            choiceOpen = w->findChild<QComboBox*>("cboxUserType")->isEnabled();
            okBefore = OkButton(w)->isEnabled();
            AnswerLogin(w, "1234");
        }, "LoginDialog");
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY(choiceOpen);
        QVERIFY(!okBefore);

        QCOMPARE(token->GetLoggedInUser(), 2u);
        QCOMPARE(TokenRows(window, kSoft, "Demo"), QStringList({"Public key(Demo key) [7]", "Private key(Demo key) [8]"}));
        QVERIFY(!Action(window, "actionLogin")->isEnabled());
        QVERIFY(Action(window, "actionLogout")->isEnabled());
        QVERIFY(PaneLines(TreeOf(window, kSoft)).contains("Card label=Demo"));
        QVERIFY(!window.IsOperationRunning());
        QVERIFY(!QApplication::overrideCursor());

        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        Action(window, "actionLogout")->trigger();
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        QVERIFY(!token->IsLoggedIn());
        QCOMPARE(TokenRows(window, kSoft, "Demo"), QStringList{"Public key(Demo key) [7]"});
        QVERIFY(Action(window, "actionLogin")->isEnabled());
        QVERIFY(!Action(window, "actionLogout")->isEnabled());
        QVERIFY(PaneLines(TreeOf(window, kSoft)).contains("Card label=Demo"));
    }

    // A wrong PIN: the module's explanation in the box; the PIN in no log entry and no
    // debug line.
    void wrongPinIsExplainedAndNeverLogged()
    {
        CDebugCapture debug;
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        CPKCS11Token* token = SelectToken(window, kSoft, "Demo");
        QVERIFY(token);

        QString box;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { AnswerLogin(w, kWrongPin); }, "LoginDialog");
        driver.Expect([&](QWidget* w) { box = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));

        QCOMPARE(box, QStringLiteral("Unable to login.\nThe specified PIN is incorrect."));
        QVERIFY(!token->IsLoggedIn());
        QCOMPARE(TokenRows(window, kSoft, "Demo"), QStringList{"Public key(Demo key) [7]"});
        QCOMPARE(logger.CountWith(L"Unable to login."), size_t(1));
        QCOMPARE(logger.CountWith(L"CKR_PIN_INCORRECT"), size_t(1));
        QCOMPARE(logger.CountWith(QString::fromLatin1(kWrongPin).toStdWString()), size_t(0));
        QVERIFY(!CDebugCapture::Lines().join("\n").contains(QLatin1String(kWrongPin)));
        QVERIFY(!window.GetErrorSink().GetMessage());
    }

    // The PIN reaches the module byte for byte (Latin-1 here); a cancelled dialog sends
    // nothing and shows nothing.
    void pinGoesAsTypedOrNotAtAll()
    {
        MainWindow window;
        window.show();
        CPKCS11Token* token = SelectToken(window, kModule, "Test token");
        QVERIFY(token);

        {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { fixture::ModalDriver::Click(w, "Cancel"); }, "LoginDialog");
            Action(window, "actionLogin")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(m_tm->call_count("C_Login"), 0);
        QVERIFY(!token->IsLoggedIn());

        const QString problems = LogInThroughDialog(window, QString::fromUtf8("p\xC3\xA4" "55"));
        QVERIFY2(problems.isEmpty(), qPrintable(problems));
        QCOMPARE(m_tm->LastPin(), std::string("p\xE4" "55"));
        QVERIFY(token->IsLoggedIn());
        QCOMPARE(TokenRows(window, kModule, "Test token"), QStringList({"Public key(Pad key) [7]", "Private key(Pad key) [8]"}));
        QVERIFY(!QApplication::activeModalWidget());
    }

    void cardGoneUnderTheLoginDialog_data()
    {
        QTest::addColumn<bool>("putBack");
        QTest::addColumn<bool>("event");  // the module reports the removal
        QTest::addColumn<QStringList>("reader");
        const QStringList empty{"Reader One [0]"};
        const QStringList again{"Reader One [1]", "  Test token [3]", "    Public key(Pad key) [7]"};
        QTest::newRow("removed") << false << true << empty;
        QTest::newRow("removed, no event from the module") << false << false << empty;
        QTest::newRow("removed and put back") << true << true << again;
    }

    // The card goes (or goes and comes back) while the PIN dialog is open: OK says so and that
    // the token must be chosen anew, and the reader's rows are read again.
    void cardGoneUnderTheLoginDialog()
    {
        QFETCH(bool, putBack);
        QFETCH(bool, event);
        QFETCH(QStringList, reader);
        MainWindow window;
        window.show();
        QVERIFY(SelectToken(window, kModule, "Test token"));

        QString box;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            m_tm->remove_token(1, event ? 1 : 0);
            if (putBack)
                m_tm->insert_token(1, nullptr, "87654321", "1234", 1);
            AnswerLogin(w, "1234");
        }, "LoginDialog");
        driver.Expect([&](QWidget* w) { box = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(box, QStringLiteral("Unable to login.\nThe card was removed or replaced. Please select the token again."));
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        auto readerRows = [&] {
            QStringList out;
            DumpRows(FindRow(tree, "Reader One"), 0, out);
            return out;
        };
        QTRY_COMPARE(readerRows(), reader);
        QVERIFY(!window.IsOperationRunning());
    }

    void selectionStaysAfterTheLogin_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("box");     // the box after the login
        QTest::addColumn<QString>("button");  // its answer
        QTest::addColumn<QStringList>("rows");
        const QStringList pair{"Public key(Demo key) [7]", "Private key(Demo key) [8]"};
        QTest::newRow("test key on the public key") << "Public key(Demo key)" << "actionTestKey"
                                                    << "This key pair works fine!" << "OK" << pair;
        QTest::newRow("delete of the public key, declined")
            << "Public key(Demo key)" << "actionDelete"
            << "You are trying to delete key from key-pair.\nIf you do so, you will not be able to use this "
               "key-pair.\nAre you sure you want to continue?"
            << "No" << pair;
    }

    // An action that logs in first re-reads the token; the row the user chose stays selected,
    // with its actions.
    void selectionStaysAfterTheLogin()
    {
        QFETCH(QString, row);
        QFETCH(QString, action);
        QFETCH(QString, box);
        QFETCH(QString, button);
        QFETCH(QStringList, rows);
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = SelectInToken(window, kSoft, "Demo", row);
        QVERIFY(tree);

        QString shown;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { AnswerLogin(w, "1234"); }, "LoginDialog");
        driver.Expect([&](QWidget* w) {
            shown = qobject_cast<QMessageBox*>(w)->text();
            fixture::ModalDriver::Click(w, button);
        }, "QMessageBox");
        Action(window, action.toLatin1().constData())->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(shown, box);
        QCOMPARE(TokenRows(window, kSoft, "Demo"), rows);
        const QList<QTreeWidgetItem*> selected = tree->selectedItems();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.first()->text(0), row);
        QVERIFY(window.GetSelectedItem());
        QCOMPARE(window.GetSelectedItem()->GetObjectType(), CryptokiAsymmetricKey);
        QVERIFY(Action(window, "actionTestKey")->isVisible());
    }

    void pinPadRoads_data()
    {
        QTest::addColumn<int>("choice");  // -1 cancels the user choice
        QTest::addColumn<qulonglong>("answer");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<qulonglong>("user");
        QTest::addColumn<QString>("box");
        QTest::newRow("user accepted") << 0 << qulonglong(CKR_OK) << true << qulonglong(CKU_USER) << QString();
        QTest::newRow("administrator accepted") << 1 << qulonglong(CKR_OK) << true << qulonglong(CKU_SO) << QString();
        QTest::newRow("cancelled on the device") << 0 << qulonglong(CKR_FUNCTION_CANCELED) << false
                                                 << qulonglong(CKU_USER) << QString();
        QTest::newRow("wrong PIN on the pad") << 0 << qulonglong(CKR_PIN_INCORRECT) << false << qulonglong(CKU_USER)
                                              << QStringLiteral("Unable to login.\nThe specified PIN is incorrect.");
        QTest::newRow("user choice cancelled") << -1 << qulonglong(CKR_OK) << false << qulonglong(0) << QString();
    }

    // The PIN pad: the user choice, the wait that cannot be dismissed, and the three answers.
    void pinPadRoads()
    {
        QFETCH(int, choice);
        QFETCH(qulonglong, answer);
        QFETCH(bool, loggedIn);
        QFETCH(qulonglong, user);
        QFETCH(QString, box);

        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        CPKCS11Token* token = SelectToken(window, kModule, "Pad token");
        QVERIFY(token);
        QVERIFY(token->HasProtectedAuthenticationPath());

        bool stayedOpen = false;
        bool closeButton = true;
        QString shown;
        fixture::ModalDriver driver(15000);
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            if (choice < 0) {
                fixture::ModalDriver::Click(w, "Cancel");
                return;
            }
            ChooseIndex(w, "cboxUserType", choice);
            OkButton(w)->click();
        }, "SelectUserDialog");
        if (choice >= 0) {
            driver.Expect([&](QWidget* w) {
                const Qt::WindowFlags flags = w->windowFlags();
                closeButton = flags.testFlag(Qt::WindowCloseButtonHint) || !flags.testFlag(Qt::CustomizeWindowHint);
                // Neither Escape nor closing ends the wait while the login runs.
                QTest::keyClick(w, Qt::Key_Escape);
                w->close();
                if (QDialog* d = qobject_cast<QDialog*>(w))
                    d->reject();
                QCoreApplication::processEvents();
                stayedOpen = w->isVisible();
                QCOMPARE(m_tm->wait_for_pinpad(5000), 1);
                m_tm->pinpad_answer(CK_RV(answer));
            }, "ProtectedAuthPathDialog");
        }
        if (!box.isEmpty())
            driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));

        QCOMPARE(shown, box);
        QCOMPARE(token->IsLoggedIn(), loggedIn);
        if (choice >= 0) {
            QVERIFY(stayedOpen);
            QVERIFY(!closeButton);
            QCOMPARE(qulonglong(m_tm->last_login_user()), user);
            QCOMPARE(m_tm->LastPin(), std::string("<null>"));
        } else {
            QCOMPARE(m_tm->call_count("C_Login"), 0);
        }
        // A cancel on the device leaves nothing behind to report.
        QVERIFY(!window.GetErrorSink().GetMessage());
        QCOMPARE(window.GetErrorSink().GetCode(), 0UL);
        QCOMPARE(logger.Count(), size_t(box.isEmpty() ? 0 : 1));
        QCOMPARE(TokenRows(window, kModule, "Pad token"),
                 loggedIn && user == CKU_USER ? QStringList({"Public key(Pad key) [7]", "Private key(Pad key) [8]"})
                                              : QStringList{"Public key(Pad key) [7]"});
        QCOMPARE(Action(window, "actionLogin")->isEnabled(), !loggedIn);
        QCOMPARE(Action(window, "actionLogout")->isEnabled(), loggedIn);
        QVERIFY(!window.IsOperationRunning());
        QVERIFY(!QApplication::activeModalWidget());
    }

    // A second PIN-pad login shows the same notice again; it belongs to the window.
    void pinPadNoticeIsReused()
    {
        MainWindow window;
        window.show();
        CPKCS11Token* token = SelectToken(window, kModule, "Pad token");
        QVERIFY(token);
        QList<QWidget*> notices;
        for (int round = 0; round < 2; ++round) {
            fixture::ModalDriver driver(15000);
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { OkButton(w)->click(); }, "SelectUserDialog");
            driver.Expect([&](QWidget* w) {
                notices << w;
                QCOMPARE(m_tm->wait_for_pinpad(5000), 1);
                m_tm->pinpad_answer(CKR_OK);
            }, "ProtectedAuthPathDialog");
            Action(window, "actionLogin")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            QVERIFY(token->IsLoggedIn());
            Action(window, "actionLogout")->trigger();
            QVERIFY(!token->IsLoggedIn());
        }
        QCOMPARE(notices.size(), 2);
        QCOMPARE(notices[0], notices[1]);
        QCOMPARE(notices[0]->parentWidget(), static_cast<QWidget*>(&window));
        QCOMPARE(window.findChildren<ProtectedAuthPathDialog*>().size(), 1);
    }

    // A logout the module refuses is reported; the token gets a new session, so the window
    // shows it logged out and the module agrees.
    void refusedLogoutIsReportedAndTheLoginEnds()
    {
        MainWindow window;
        window.show();
        CPKCS11Token* token = SelectToken(window, kModule, "Test token");
        QVERIFY(token);
        const QString loginProblems = LogInThroughDialog(window, QString::fromUtf8("p\xC3\xA4" "55"));
        QVERIFY2(loginProblems.isEmpty(), qPrintable(loginProblems));
        QVERIFY(token->IsLoggedIn());

        m_tm->fail("C_Logout", CKR_DEVICE_ERROR, 0, 1);
        QString shown;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionLogout")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY2(shown.startsWith("Unable to logout.\n"), qPrintable(shown));

        QVERIFY(!token->IsLoggedIn());
        CK_SESSION_INFO info;
        QCOMPARE(token->GetFunctionList()->C_GetSessionInfo(token->GetSession(), &info), CKR_OK);
        QCOMPARE(info.state, CK_STATE(CKS_RW_PUBLIC_SESSION));
        QCOMPARE(TokenRows(window, kModule, "Test token"), QStringList{"Public key(Pad key) [7]"});
        QVERIFY(Action(window, "actionLogin")->isEnabled());
        QVERIFY(!Action(window, "actionLogout")->isEnabled());
    }

    void contextMenuShowsTheActionsOfTheRowKind_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<QStringList>("actions");
        QTest::newRow("token") << "WithCert"
                               << QStringList{"actionLogin", "actionLogout", "actionChangePIN", "actionUnblockPIN",
                                              "actionInitialize", "actionTestToken", "actionCertImport",
                                              "actionRequestCertificate", "actionDownloadCertificate"};
        QTest::newRow("certificate") << "Certificate(Signer)"
                                     << QStringList{"actionCertExport", "actionCertView", "actionTestCertificate",
                                                    "actionDelete"};
        QTest::newRow("key with certificate") << "Public key(Signer)" << QStringList{"actionTestKey", "actionDelete"};
        QTest::newRow("slot") << "@slot" << QStringList();
        QTest::newRow("nothing selected") << QString() << QStringList();
    }

    void contextMenuShowsTheActionsOfTheRowKind()
    {
        QFETCH(QString, row);
        QFETCH(QStringList, actions);
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = TreeOf(window, kSoft);
        QVERIFY(tree);
        if (row.isEmpty()) {
            tree->clearSelection();
        } else {
            QTreeWidgetItem* item = row == "@slot" ? TokenRow(tree, "WithCert")->parent() : FindRow(tree, row);
            QVERIFY(item);
            SelectRow(tree, item);
        }
        QStringList shown;
        bool popup = false;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, [&] {
            if (QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                popup = true;
                shown = VisibleActions(menu);
                menu->close();
            }
        });
        poll.start();
        emit tree->customContextMenuRequested(QPoint(1, 1));
        QTest::qWait(50);
        poll.stop();
        QCOMPARE(popup, !actions.isEmpty());
        QCOMPARE(shown, actions);
        QVERIFY(!window.IsOperationRunning());
    }
};

QTEST_MAIN(LoginTest)
#include "test_login.moc"
