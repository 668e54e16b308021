// PIN change and unblocking: user and administrative PIN with right and wrong current PINs on
// SoftHSM2 (checked from outside with pkcs11-tool), unblocking a blocked PIN on the test module,
// and a table of PIN texts through every PIN dialog: what the module receives, or that it
// receives nothing.
#include <QtTest>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Token.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoft = "SoftHSM2 PINs";
const char* const kModule = "Test Module";
const char* const kSoPin = "12345678";
const char* const kUserPin = "1234";

std::string Latin1(const QString& text)
{
    return text.toLatin1().toStdString();
}
} // namespace

class PinsTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

    void Settings(bool withSoftHsm)
    {
        std::vector<TTestProvider> providers;
        if (withSoftHsm)
            providers.push_back({kSoft, QString::fromStdString(fixture::SoftHsm::ModulePath()), false});
        providers.push_back({kModule, testmodule::ModulePath(), false});
        WriteProviderSettings(m_home, providers);
    }

private slots:
    void initTestCase()
    {
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        for (const char* label : {"UserRight", "UserWrong", "AdminRight", "AdminWrong", "Cancelled"}) {
            QVERIFY(hsm.InitToken(label, kSoPin, kUserPin));
            const fixture::KeyFiles key = fixture::MakeKey(store, label, "rsa:1024");
            QVERIFY(hsm.ImportKey(key.keyPem, label, "Key", "01", kUserPin));
        }
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
    }

    void cleanup()
    {
        m_tm.reset();
    }

    void changePin_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("pinType");  // 0 user, 1 administrative
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("box");
        QTest::newRow("user PIN") << "UserRight" << 0 << kUserPin << "The PIN was successfully changed.";
        QTest::newRow("user PIN, wrong current")
            << "UserWrong" << 0 << "9999" << "Unable to change PIN.\nThe specified PIN is incorrect.";
        QTest::newRow("administrative PIN") << "AdminRight" << 1 << kSoPin << "The PIN was successfully changed.";
        QTest::newRow("administrative PIN, wrong current")
            << "AdminWrong" << 1 << "99999999" << "Unable to change PIN.\nThe specified PIN is incorrect.";
    }

    // Afterwards only the new PIN opens the token (or, after a refusal, only the old one), and
    // the window shows the token logged out.
    void changePin()
    {
        QFETCH(QString, token);
        QFETCH(int, pinType);
        QFETCH(QString, current);
        QFETCH(QString, box);
        Settings(true);
        const QString newPin = pinType == 0 ? QStringLiteral("4711") : QStringLiteral("87654321");
        const std::string label = token.toStdString();

        MainWindow window;
        MemoryLogger logger(0xFF);
        CDebugCapture debug;
        window.show();
        CPKCS11Token* pToken = SelectToken(window, kSoft, label.c_str());
        QVERIFY(pToken);
        // Logged in before: the change starts from no login and ends with none.
        QVERIFY(pToken->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(pToken);
        SelectToken(window, kSoft, label.c_str());

        QString shown;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            ChooseIndex(w, "cbUserType", pinType);
            TypeText(Field(w, "editPIN"), current);
            TypeText(Field(w, "editNewPIN"), newPin);
            TypeText(Field(w, "editNewPIN2"), newPin);
            OkButton(w)->click();
        }, "ChangePINDialog");
        driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionChangePIN")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(shown, box);

        const bool changed = box.startsWith("The PIN");
        const bool so = pinType == 1;
        const std::string oldPin = so ? kSoPin : kUserPin;
        QCOMPARE(PinOpensToken(label, newPin.toStdString(), so), changed);
        QCOMPARE(PinOpensToken(label, oldPin, so), !changed);
        // The other PIN is untouched.
        QVERIFY(PinOpensToken(label, so ? kUserPin : kSoPin, !so));

        QVERIFY(!pToken->IsLoggedIn());
        QCOMPARE(TokenRows(window, kSoft, label.c_str()), QStringList{"Public key(Key) [7]"});
        QVERIFY(Action(window, "actionLogin")->isEnabled());
        QVERIFY(!Action(window, "actionLogout")->isEnabled());
        for (const QString& pin : {current, newPin}) {
            QCOMPARE(logger.CountWith(pin.toStdWString()), size_t(0));
            QVERIFY(!debug.Lines().join("\n").contains(pin));
        }
        QVERIFY(!window.IsOperationRunning());
    }

    // A cancelled change still leaves the token logged out, and the rows say so.
    void cancelledChangeLeavesTheTokenLoggedOut()
    {
        Settings(true);
        MainWindow window;
        window.show();
        CPKCS11Token* pToken = SelectToken(window, kSoft, "Cancelled");
        QVERIFY(pToken);
        QVERIFY(pToken->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(pToken);
        SelectToken(window, kSoft, "Cancelled");
        QCOMPARE(TokenRows(window, kSoft, "Cancelled"), QStringList({"Public key(Key) [7]", "Private key(Key) [8]"}));

        for (const char* action : {"actionChangePIN", "actionUnblockPIN"}) {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { fixture::ModalDriver::Click(w, "Cancel"); });
            Action(window, action)->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            QVERIFY(!pToken->IsLoggedIn());
            QCOMPARE(TokenRows(window, kSoft, "Cancelled"), QStringList{"Public key(Key) [7]"});
            QVERIFY(Action(window, "actionLogin")->isEnabled());
        }
        QVERIFY(PinOpensToken("Cancelled", kUserPin));
    }

    // A blocked user PIN: a wrong administrative PIN is refused and the PIN stays blocked; the
    // right one sets the new PIN, and the pane no longer says blocked.
    void unblockBlockedPin()
    {
        CK_TOKEN_INFO info = TestTokenInfo("Blocked", CKF_USER_PIN_LOCKED);
        m_tm->insert_token(1, &info, kSoPin, kUserPin, 0);
        AddTestKey(*m_tm, 1, CKO_PRIVATE_KEY, 0x31, "Hidden");
        Settings(false);
        const QString blockedLine = QStringLiteral("The user PIN of the card is blocked.=");

        MainWindow window;
        window.show();
        CPKCS11Token* pToken = SelectToken(window, kModule, "Blocked");
        QVERIFY(pToken);
        QVERIFY(PaneLines(TreeOf(window, kModule)).contains(blockedLine));

        struct TRound {
            const char* soPin;
            QString box;
        } rounds[] = {{"87654320", "Unable to login.\nThe specified PIN is incorrect."},
                      {kSoPin, "The user PIN was successfully unblocked."}};
        for (const TRound& round : rounds) {
            QString shown;
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) {
                TypeText(Field(w, "editSOPIN"), QLatin1String(round.soPin));
                TypeText(Field(w, "editNewPIN"), "5678");
                TypeText(Field(w, "editNewPIN_2"), "5678");
                OkButton(w)->click();
            }, "UnblockPINDialog");
            driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
            Action(window, "actionUnblockPIN")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            QCOMPARE(shown, round.box);
            QVERIFY(!pToken->IsLoggedIn());
            QCOMPARE(TokenRows(window, kModule, "Blocked"), QStringList());
        }
        QCOMPARE(m_tm->LastPin(), std::string("5678"));
        QVERIFY(!PaneLines(TreeOf(window, kModule)).contains(blockedLine));
        QVERIFY(!pToken->IsUserPINLocked());
        // Only the new PIN logs in.
        QVERIFY(!pToken->Login(kUserPin, NormalUser));
        window.GetErrorSink().Reset();
        QVERIFY(pToken->Login("5678", NormalUser));
    }

    void everyRoadEndsLoggedOut_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("failing");
        QTest::addColumn<qulonglong>("rv");
        QTest::addColumn<int>("skip");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("new PIN refused after the login")
            << "actionChangePIN" << "C_SetPIN" << qulonglong(CKR_PIN_INVALID) << 0
            << QStringList{"Unable to change PIN.\nThe specified PIN has invalid characters in it."};
        QTest::newRow("user PIN refused after the administrator's login")
            << "actionUnblockPIN" << "C_InitPIN" << qulonglong(CKR_PIN_INVALID) << 0
            << QStringList{"Unable to unblock user PIN.\nThe specified PIN has invalid characters in it."};
        QTest::newRow("logout refused at the end of a change")
            << "actionChangePIN" << "C_Logout" << qulonglong(CKR_DEVICE_ERROR) << 1
            << QStringList{"Unable to logout.\nSome problem has occurred with the smart-card and/or slot",
                           "The PIN was successfully changed."};
    }

    // Whatever fails after the action's own login, the token ends logged out in the window and
    // in the module, with its rows and actions read again.
    void everyRoadEndsLoggedOut()
    {
        QFETCH(QString, action);
        QFETCH(QString, failing);
        QFETCH(qulonglong, rv);
        QFETCH(int, skip);
        QFETCH(QStringList, boxes);
        m_tm->insert_token(1, nullptr, kSoPin, kUserPin, 0);
        AddTestKey(*m_tm, 1, CKO_PRIVATE_KEY, 0x41, "Hidden");
        Settings(false);
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        CPKCS11Token* pToken = SelectToken(window, kModule, "Test token");
        QVERIFY(pToken);
        m_tm->fail(qPrintable(failing), CK_RV(rv), skip, 1);

        QStringList shown;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            if (action == "actionChangePIN")
                for (const char* name : {"editPIN", "editNewPIN", "editNewPIN2"})
                    TypeText(Field(w, name), name == std::string("editPIN") ? kUserPin : "5678");
            else
                for (const char* name : {"editSOPIN", "editNewPIN", "editNewPIN_2"})
                    TypeText(Field(w, name), name == std::string("editSOPIN") ? kSoPin : "5678");
            OkButton(w)->click();
        });
        for (int i = 0; i < boxes.size(); ++i)
            driver.Expect([&](QWidget* w) { shown << AnswerBox(w); }, "QMessageBox");
        Action(window, qPrintable(action))->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(shown, boxes);

        QVERIFY(!pToken->IsLoggedIn());
        CK_SESSION_INFO info;
        QCOMPARE(pToken->GetFunctionList()->C_GetSessionInfo(pToken->GetSession(), &info), CKR_OK);
        QCOMPARE(info.state, CK_STATE(CKS_RW_PUBLIC_SESSION));
        QCOMPARE(TokenRows(window, kModule, "Test token"), QStringList());
        QVERIFY(Action(window, "actionLogin")->isEnabled());
        QVERIFY(!Action(window, "actionLogout")->isEnabled());
    }

    void pinTextsThroughEveryDialog_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<bool>("carried");
        const QList<QPair<QString, bool>> texts = {
            {QStringLiteral("4321"), true},
            {QString::fromUtf8("p\xC3\xA4ss w\xC3\xB6"), true},     // Latin-1, with a blank
            {QString::fromUtf8("\xC3\xBF\xC3\xBF\xC3\xBF\xC3\xBF"), true},  // U+00FF, the last that fits
            {QString::fromUtf8("\xD0\xBF\xD0\xB8\xD0\xBD" "12"), false},    // Cyrillic
            {QString::fromUtf8("12\xE2\x82\xAC" "4"), false},               // euro sign
            {QString::fromUtf8("\xC4\x80" "123"), false},                   // U+0100, the first that does not
            {QString::fromUtf8("ab\xF0\x9F\x98\x80" "cd"), false},          // outside the BMP
        };
        for (const char* action : {"actionLogin", "actionChangePIN", "actionUnblockPIN"})
            for (const auto& t : texts)
                QTest::newRow(qPrintable(QStringLiteral("%1 %2").arg(action, t.first)))
                    << QString::fromLatin1(action) << t.first << t.second;
    }

    // Every PIN field: a text the 8-bit conversion carries reaches the module byte for byte;
    // any other is refused in the dialog with a reason and reaches the module not at all.
    void pinTextsThroughEveryDialog()
    {
        QFETCH(QString, action);
        QFETCH(QString, pin);
        QFETCH(bool, carried);
        const std::string bytes = carried ? Latin1(pin) : std::string("0000");
        m_tm->insert_token(1, nullptr, bytes.c_str(), bytes.c_str(), 0);
        Settings(false);

        MainWindow window;
        MemoryLogger logger(0xFF);
        CDebugCapture debug;
        window.show();
        CPKCS11Token* pToken = SelectToken(window, kModule, "Test token");
        QVERIFY(pToken);

        bool okEnabled = !carried;
        QString warning;
        bool stillOpen = false;
        QString shown;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            QList<QLineEdit*> fields;
            if (action == "actionLogin")
                fields = {Field(w, "edtPassword")};
            else if (action == "actionChangePIN")
                fields = {Field(w, "editPIN"), Field(w, "editNewPIN"), Field(w, "editNewPIN2")};
            else
                fields = {Field(w, "editSOPIN"), Field(w, "editNewPIN"), Field(w, "editNewPIN_2")};
            for (QLineEdit* field : fields)
                TypeText(field, pin);
            okEnabled = OkButton(w)->isEnabled();
            warning = PinWarning(w);
            OkButton(w)->click();
            if (!carried) {
                // Neither the button nor a direct accept gets past the check.
                qobject_cast<QDialog*>(w)->accept();
                QCoreApplication::processEvents();
                stillOpen = w->isVisible();
                fixture::ModalDriver::Click(w, "Cancel");
            }
        });
        // A login that works shows nothing; the PIN actions tell their success.
        if (carried && action != "actionLogin")
            driver.Expect([&](QWidget* w) { shown = AnswerBox(w); }, "QMessageBox");
        Action(window, qPrintable(action))->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));

        QCOMPARE(okEnabled, carried);
        QCOMPARE(warning.isEmpty(), carried);
        if (!carried) {
            QVERIFY(stillOpen);
            for (const char* call : {"C_Login", "C_SetPIN", "C_InitPIN"})
                QCOMPARE(m_tm->call_count(call), 0);
        } else if (action == "actionLogin") {
            QVERIFY(pToken->IsLoggedIn());
            QCOMPARE(m_tm->LastPin(), bytes);
        } else {
            QVERIFY2(shown.startsWith("The "), qPrintable(shown));
            QCOMPARE(m_tm->LastPin(), bytes);
            if (action == "actionChangePIN")
                QCOMPARE(m_tm->LastOldPin(), bytes);
        }
        QCOMPARE(logger.CountWith(pin.toStdWString()), size_t(0));
        QVERIFY(!debug.Lines().join("\n").contains(pin));
    }
};

QTEST_MAIN(PinsTest)
#include "test_pins.moc"
