// The window's life with its providers: a close that comes during an operation (from a timer,
// or the desktop's session: its dialog closed first) waits for the operation's end and frees
// nothing it uses; the desktop's logout request saves the settings and frees nothing; SoftHSM2
// and a pass-through wrapper over it as two providers close cleanly, process after process, and a
// Reload of one says in the other what happened; a module whose C_Initialize never returns is
// left behind after the time limit, and a close during that wait is honoured at once.
#include <csignal>
#include <cstdio>
#include <functional>

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSessionManager>
#include <QSettings>
#include <QSplashScreen>
#include <QTimer>
#include <QtTest>

#include "BackgroundCall.h"
#include "CloseSignals.h"
#include "ContextLoad.h"
#include "EnrolmentSupport.h"
#include "Fixture.h"
#include "ModalDriver.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoftHsm = "SoftHSM2";
const char* const kWrapper = "Wrapper";
const char* const kToken = "Road";
const char* const kKeyLabel = "Road RSA";
const char* const kUserPin = "1234";
// The test runs itself as a child for the cases that end a process: "start-and-close" closes the
// window from the event loop once it has started; "close-while-loading" asks for the close while
// the providers still load.
const char* const kChildMode = "TESSALY_LIFECYCLE_CHILD";

// Calls back on every event of one type that reaches the object, before the object sees it.
class CEventSpy : public QObject
{
public:
    CEventSpy(QObject* pWatched, QEvent::Type type, std::function<void()> onEvent)
        : m_type(type), m_onEvent(std::move(onEvent))
    {
        pWatched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* pEvent) override
    {
        if (pEvent->type() == m_type)
            m_onEvent();
        return false;
    }

private:
    QEvent::Type m_type;
    std::function<void()> m_onEvent;
};

const char* const kChildWait = "TESSALY_LIFECYCLE_WAIT";
const char* const kPad = "Pad";

// The child that is ended from outside ("signal"): its window takes the termination signals as
// the program does. It prints "ready" once it is where the parent's signal is to find it
// (TESSALY_LIFECYCLE_WAIT): "idle" after the start, "initialize" while a module's C_Initialize is
// waited for, "pinpad" while a PIN-pad login waits in the module's C_Login, which it then lets
// answer once the close is held. "close-the-splash" closes the splash, the only window shown
// while a module's C_Initialize is waited for.
int RunChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QByteArray mode = qgetenv(kChildMode);
    const QByteArray wait = qgetenv(kChildWait);
    std::unique_ptr<testmodule::Control> tm;
    if (wait == "pinpad") {
        tm.reset(new testmodule::Control);
        tm->add_slot(2, "Pad Reader", "Tessaly");
        CK_TOKEN_INFO pad = TestTokenInfo("Pad token", CKF_PROTECTED_AUTHENTICATION_PATH);
        tm->insert_token(2, &pad, "87654321", "1234", 0);
        AddTestKey(*tm, 2, CKO_PUBLIC_KEY, 0x21, "Pad key");
        AddTestKey(*tm, 2, CKO_PRIVATE_KEY, 0x21, "Pad key");
    }
    auto ready = [] {
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
    };
    CCloseSignals closeSignals;
    MainWindow window;
    QObject::connect(&closeSignals, &CCloseSignals::CloseRequested, &window, [&window] { window.close(); });
    if (mode == "close-while-loading")
        QTimer::singleShot(300, &window, &QWidget::close);
    // What the window held when its close was let through.
    QString atClose;
    CEventSpy spy(&window, QEvent::Close, [&] {
        if (window.IsOperationRunning() || !atClose.isEmpty())
            return;
        CPKCS11Token* token = tm ? TokenOf(window, kPad, "Pad token") : nullptr;
        atClose = QStringLiteral("closed with %1 providers, logged in %2")
                      .arg(window.GetProviders().size())
                      .arg(token && token->IsLoggedIn() ? 1 : 0);
    });
    QTimer poll;
    poll.setInterval(10);
    bool bDone = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (bDone || qApp->property(tessaly::kBackgroundCallsProperty).toInt() == 0)
            return;
        bDone = true;
        if (mode == "signal" && wait == "initialize") {
            ready();
        } else if (mode == "close-the-splash") {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (QSplashScreen* splash = qobject_cast<QSplashScreen*>(w))
                    if (splash->isVisible()) {
                        std::fputs("closing the splash\n", stdout);
                        splash->close();
                    }
        }
    });
    poll.start();
    window.show();
    poll.stop();
    if (mode == "start-and-close")
        QTimer::singleShot(0, &window, &QWidget::close);
    if (wait == "idle")
        QTimer::singleShot(0, ready);
    if (wait == "pinpad") {
        fixture::ModalDriver driver(60000);
        driver.RejectUnexpected();
        driver.Expect([](QWidget* w) {
            ChooseIndex(w, "cboxUserType", 0);
            OkButton(w)->click();
        }, "SelectUserDialog");
        driver.Expect([&](QWidget*) {
            if (tm->wait_for_pinpad(30000) != 1)
                return;
            ready();
            QElapsedTimer held;
            held.start();
            while (!window.IsClosePending() && held.elapsed() < 60000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
            std::printf("close pending %d, visible %d, providers %d, in C_Login %d\n", window.IsClosePending() ? 1 : 0,
                        window.isVisible() ? 1 : 0, int(window.GetProviders().size()), tm->pinpad_waiting());
            tm->pinpad_answer(CKR_OK);
        }, "ProtectedAuthPathDialog");
        if (SelectToken(window, kPad, "Pad token"))
            Action(window, "actionLogin")->trigger();
        if (!driver.Unexpected().isEmpty())
            std::printf("unexpected: %s\n", qPrintable(driver.Unexpected().join("; ")));
    }
    const int status = app.exec();
    std::printf("%s\n", qPrintable(atClose));
    return status;
}

struct TChildRun {
    int status = -1;  // -1: ended by a signal, or did not end
    qint64 ms = 0;
    qint64 signalledAtMs = -1;
    QString output;
};

// signalNumber not 0: sent to the child once it has printed "ready".
TChildRun RunSelf(const char* mode, const QProcessEnvironment& extra, int signalNumber = 0)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(extra);
    env.insert(kChildMode, QString::fromLatin1(mode));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    TChildRun run;
    if (signalNumber) {
        QByteArray seen;
        while (!seen.contains("ready\n") && child.state() != QProcess::NotRunning && timer.elapsed() < 120000)
            if (child.waitForReadyRead(1000))
                seen += child.readAll();
        run.output = QString::fromLocal8Bit(seen);
        if (seen.contains("ready\n")) {
            run.signalledAtMs = timer.elapsed();
            ::kill(pid_t(child.processId()), signalNumber);
        }
    }
    if (child.waitForFinished(120000) && child.exitStatus() == QProcess::NormalExit)
        run.status = child.exitCode();
    run.ms = timer.elapsed();
    run.output += QString::fromLocal8Bit(child.readAll());
    return run;
}

// The environment that makes the test module's wrapper wrap SoftHSM2, its calls noted in a file.
// The wrapper plays the part of a tracing wrapper such as OpenSC's pkcs11-spy.so, which from
// OpenSC 0.27 opens its module with RTLD_DEEPBIND, refused by the sanitizers' runtime.
QProcessEnvironment WrapperEnvironment(const QString& home)
{
    QProcessEnvironment env;
    env.insert("TESSALY_WRAPPED_MODULE", QString::fromStdString(fixture::SoftHsm::ModulePath()));
    env.insert("TESSALY_WRAPPER_LOG", home + "/wrapper.log");
    return env;
}

// What the window looked like right after a close was asked for.
struct TAtClose {
    bool asked = false;
    bool visible = false;
    int providers = -1;
};

void AskToClose(MainWindow& window, TAtClose& seen)
{
    seen.asked = true;
    window.close();
    seen.visible = window.isVisible();
    seen.providers = int(window.GetProviders().size());
}
} // namespace

class LifecycleTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    QString m_xdg;
    std::string m_store;
    std::unique_ptr<fixture::RequestService> m_service;
    std::string m_keyId;

    void WriteSoftHsmSettings()
    {
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        AddRequestServiceUrl(m_home, QByteArray::fromStdString(m_service->Endpoint()));
    }

    void WriteSoftHsmAndWrapperSettings()
    {
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false},
                                       {kWrapper, QStringLiteral(TESSALY_TESTMODULE_WRAPPER_PATH), false}});
    }

private slots:
    void initTestCase()
    {
        m_store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(m_store);
        QVERIFY(hsm.InitToken(kToken));
        const fixture::KeyFiles key = fixture::MakeKey(m_store, "road", "rsa:1024");
        QVERIFY2(hsm.ImportKey(key.keyPem, kToken, kKeyLabel, "2A"), hsm.LastOutput().c_str());
        m_service = MakeRequestService(m_store, {fixture::RequestService::kDefaultPolicy});
        QVERIFY(m_service->Start(600));
        m_xdg = MakeOperatorFolder(QString::fromStdString(m_store), *m_service);
        m_keyId = m_service->FileRequest(fixture::MakeCsr(m_store, key, "/CN=Road User"), "approved");
        QVERIFY(!m_keyId.empty());
    }

    void init()
    {
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(m_xdg));
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
    }

    void cleanupTestCase() { m_service.reset(); }

    // A close from a timer while the download waits for the service's answer: the window stays
    // with every provider until the download has ended (the certificate is installed with the
    // token the close would have freed), then closes.
    void closeDuringBackgroundCall()
    {
        WriteSoftHsmSettings();
        MainWindow window;
        window.show();
        CPKCS11Token* token = SelectToken(window, kSoftHsm, kToken);
        QVERIFY(token);
        QVERIFY(token->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(token);
        QVERIFY(SelectToken(window, kSoftHsm, kToken));

        m_service->HoldAnswers(true);
        TAtClose seen;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, [&] {
            if (seen.asked || qApp->property(tessaly::kBackgroundCallsProperty).toInt() == 0)
                return;
            AskToClose(window, seen);
            m_service->HoldAnswers(false);
        });
        poll.start();
        QStringList rows;
        fixture::ModalDriver driver(30000);
        driver.RejectUnexpected();
        driver.Expect(Summary(rows), "DownloadCertDialog");
        Action(window, "actionDownloadCertificate")->trigger();
        poll.stop();
        m_service->HoldAnswers(false);
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY(seen.asked);
        QVERIFY(seen.visible);
        QCOMPARE(seen.providers, 1);
        QCOMPARE(rows, QStringList{QStringLiteral("Road RSA: The request is approved and the certificate was "
                                                  "installed.")});
        QVERIFY(!m_service->IssuedCertificate(m_keyId).empty());
        QTRY_VERIFY(!window.isVisible());
        QVERIFY(window.GetProviders().empty());
    }

    // A close while an operation's dialog is open: from a timer, the dialog staying open (the
    // person then logs in with the token the close would have freed; a failed login would show a
    // box), or as the desktop's session does it, the dialog closed first. The window closes once
    // the operation has ended.
    void closeDuringModalDialog_data()
    {
        QTest::addColumn<bool>("dialogClosedFirst");
        QTest::newRow("timer, the login dialog stays") << false;
        QTest::newRow("session: the login dialog, then the window") << true;
    }

    void closeDuringModalDialog()
    {
        QFETCH(bool, dialogClosedFirst);
        WriteSoftHsmSettings();
        MainWindow window;
        window.show();
        QVERIFY(SelectToken(window, kSoftHsm, kToken));
        TAtClose seen;
        fixture::ModalDriver driver(30000);
        driver.RejectUnexpected();
        driver.Expect(
            [&](QWidget* dialog) {
                if (dialogClosedFirst)
                    dialog->close();
                AskToClose(window, seen);
                if (!dialogClosedFirst)
                    AnswerLogin(dialog, QString::fromLatin1(kUserPin));
            },
            "LoginDialog");
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY(seen.asked);
        QVERIFY(seen.visible);
        QCOMPARE(seen.providers, 1);
        QTRY_VERIFY(!window.isVisible());
        QVERIFY(window.GetProviders().empty());
    }

    // The desktop's logout request while a dialog is open: the settings are saved and nothing
    // is freed or closed (Qt's own answer, which closes the dialog and the window, is off); the
    // operation goes on to its end.
    void logoutRequestSavesAndFreesNothing()
    {
        WriteSoftHsmSettings();
        const QString settings = HomeSettingsPath(m_home);
        MainWindow window;
        window.show();
        QVERIFY(!QGuiApplication::isFallbackSessionManagementEnabled());
        QSessionManager* session = qApp->findChild<QSessionManager*>();
        QVERIFY(session);
        QVERIFY(SelectToken(window, kSoftHsm, kToken));
        bool saved = false;
        bool dialogOpen = false;
        int providers = -1;
        fixture::ModalDriver driver(30000);
        driver.RejectUnexpected();
        driver.Expect(
            [&](QWidget* dialog) {
                QFile::remove(settings);
                emit qApp->commitDataRequest(*session);
                saved = QFile::exists(settings);
                dialogOpen = dialog->isVisible();
                providers = int(window.GetProviders().size());
                AnswerLogin(dialog, QString::fromLatin1(kUserPin));
            },
            "LoginDialog");
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY(saved);
        QVERIFY(dialogOpen);
        QCOMPARE(providers, 1);
        QVERIFY(window.isVisible());
        QVERIFY(!window.IsClosePending());
        CPKCS11Token* token = TokenOf(window, kSoftHsm, kToken);
        QVERIFY(token && token->IsLoggedIn());
    }

    // A module and a wrapper of it as two providers reach one library instance: their modules
    // are finalised one after the other, so that every close ends the process normally.
    void moduleAndItsWrapperCloseCleanly()
    {
        WriteSoftHsmAndWrapperSettings();
        QStringList statuses;
        QStringList problems;
        for (int run = 0; run < 10; ++run) {
            const TChildRun child = RunSelf("start-and-close", WrapperEnvironment(m_home));
            statuses << QString::number(child.status);
            if (child.status != 0)
                problems << child.output.right(3000);
        }
        QVERIFY2(statuses == QStringList({"0", "0", "0", "0", "0", "0", "0", "0", "0", "0"}),
                 qPrintable(statuses.join(" ") + "\n" + problems.join("\n----\n")));
        QVERIFY2(ReadFile(m_home + "/wrapper.log").contains("C_Finalize"), "the wrapper was not in the way");
    }

    // A Reload of SoftHSM2 finalises the library the wrapper's provider reaches too: a login there
    // then says that its module was closed under it and to reload it, not that a card was
    // removed; once reloaded, it works.
    void reloadOfTheModuleIsToldInItsWrapper()
    {
        const QProcessEnvironment wrapper = WrapperEnvironment(m_home);
        for (const QString& name : wrapper.keys())
            qputenv(name.toLatin1().constData(), wrapper.value(name).toLocal8Bit());
        WriteSoftHsmAndWrapperSettings();
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << kWrapper);
        QVERIFY(SelectToken(window, kSoftHsm, kToken));
        Action(window, "actionReload")->trigger();
        QVERIFY(SelectToken(window, kSoftHsm, kToken));

        QVERIFY(SelectToken(window, kWrapper, kToken));
        QStringList boxes;
        {
            fixture::ModalDriver driver(30000);
            driver.RejectUnexpected();
            driver.Expect([](QWidget* w) { AnswerLogin(w, QString::fromLatin1(kUserPin)); }, "LoginDialog");
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w); }, "QMessageBox");
            Action(window, "actionLogin")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(boxes, QStringList{QStringLiteral(
                            "Unable to login.\nThe module of the provider Wrapper was closed under it: another provider "
                            "reaches the same module and was reloaded or closed. Reload the provider Wrapper to use it "
                            "again.")});

        Action(window, "actionReload")->trigger();
        fixture::ModalDriver again(30000);
        again.RejectUnexpected();
        again.Expect([](QWidget* w) { AnswerLogin(w, QString::fromLatin1(kUserPin)); }, "LoginDialog");
        QVERIFY(SelectToken(window, kWrapper, kToken));
        Action(window, "actionLogin")->trigger();
        QVERIFY2(AllAnswered(again), qPrintable(Problems(again)));
        QVERIFY(TokenOf(window, kWrapper, kToken)->IsLoggedIn());
        window.close();
        for (const QString& name : wrapper.keys())
            qunsetenv(name.toLatin1().constData());
    }

    // A Reload of the wrapper closes the library under SoftHSM2's tab, logged in there: the Logout
    // that finds it says so (no C_Logout on a handle that may be the wrapper's session now), and the
    // tab is read again from the library the wrapper initialised anew: no private key, Login offered.
    // No session of the wrapper's is closed by it, and a new login on the tab works.
    void moduleClosedUnderATabIsReadAgain()
    {
        const QProcessEnvironment wrapper = WrapperEnvironment(m_home);
        for (const QString& name : wrapper.keys())
            qputenv(name.toLatin1().constData(), wrapper.value(name).toLocal8Bit());
        WriteSoftHsmAndWrapperSettings();
        MainWindow window;
        window.show();
        CPKCS11Token* token = SelectToken(window, kSoftHsm, kToken);
        QVERIFY(token && token->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(token);
        const QStringList loggedIn = TokenRows(window, kSoftHsm, kToken);
        QVERIFY2(loggedIn.filter("Private key").size() == 1, qPrintable(loggedIn.join('\n')));

        ShowProvider(window, kWrapper);
        Action(window, "actionReload")->trigger();
        CPKCS11Token* wrapperToken = TokenOf(window, kWrapper, kToken);
        QVERIFY(wrapperToken && wrapperToken->GetSession() != 0);
        const CK_SESSION_HANDLE wrapperSession = wrapperToken->GetSession();
        CK_FUNCTION_LIST_PTR wrapperFunctions = ProviderNamed(window, kWrapper)->GetContext()->GetFunctionList();

        // The tab as the module left it: the login's rows and Logout.
        QVERIFY(SelectToken(window, kSoftHsm, kToken));
        QCOMPARE(TokenRows(window, kSoftHsm, kToken), loggedIn);
        QVERIFY(Action(window, "actionLogout")->isEnabled());
        QStringList boxes;
        {
            fixture::ModalDriver driver(30000);
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w); }, "QMessageBox");
            Action(window, "actionLogout")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(QStringLiteral(
                     "Unable to logout.\nThe module of the provider SoftHSM2 was closed under it: another provider "
                     "reaches the same module and was reloaded or closed.")),
                 qPrintable(boxes[0]));

        // Read again.
        QTRY_VERIFY(TokenOf(window, kSoftHsm, kToken) && !TokenOf(window, kSoftHsm, kToken)->IsLoggedIn());
        const QStringList readAgain = TokenRows(window, kSoftHsm, kToken);
        QVERIFY2(readAgain.filter("Private key").isEmpty() && !readAgain.isEmpty(), qPrintable(readAgain.join('\n')));
        QVERIFY(SelectToken(window, kSoftHsm, kToken));
        QVERIFY(Action(window, "actionLogin")->isVisible() && Action(window, "actionLogin")->isEnabled());
        QVERIFY(!Action(window, "actionLogout")->isEnabled());
        qInfo("SoftHSM2 tab after its module was found closed: %s; Login %s, Logout %s",
              qPrintable(readAgain.join(" | ")), Action(window, "actionLogin")->isEnabled() ? "enabled" : "disabled",
              Action(window, "actionLogout")->isEnabled() ? "enabled" : "disabled");
        CK_SESSION_INFO info;
        QCOMPARE(wrapperFunctions->C_GetSessionInfo(wrapperSession, &info), CKR_OK);

        // A later failure there is the tab's own again, and a login works.
        token = TokenOf(window, kSoftHsm, kToken);
        QVERIFY(token->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(token);
        QCOMPARE(TokenRows(window, kSoftHsm, kToken), loggedIn);
        window.close();
        for (const QString& name : wrapper.keys())
            qunsetenv(name.toLatin1().constData());
    }

    // A close asked for while a module sits in C_Initialize ends the wait at once: the process
    // ends normally long before the module would answer.
    void closeWhileAModuleInitialises()
    {
        WriteProviderSettings(m_home, {{"A Slow", TESSALY_SLOWINIT_MODULE_PATH, false},
                                       {"B SoftHSM2", QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        QProcessEnvironment env;
        env.insert("TESSALY_SLOW_INITIALIZE_MS", "60000");
        const TChildRun child = RunSelf("close-while-loading", env);
        QVERIFY2(child.status == 0, qPrintable(QString::number(child.status) + "\n" + child.output.right(3000)));
        QVERIFY2(child.ms < 20000, qPrintable(QString::number(child.ms)));
    }

    // SIGTERM, SIGHUP and SIGINT (the session's end, kill, a closed terminal) are the window's own
    // close: sent to a started window, the process ends normally with the settings saved.
    void terminationSignalsCloseTheWindow_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void terminationSignalsCloseTheWindow()
    {
        QFETCH(int, signalNumber);
        WriteProviderSettings(m_home, {{"Module", QString::fromLatin1(testmodule::ModulePath()), false}});
        QVERIFY(!ReadFile(HomeSettingsPath(m_home)).contains("WindowGeometry"));
        QProcessEnvironment env;
        env.insert(kChildWait, "idle");
        const TChildRun child = RunSelf("signal", env, signalNumber);
        const QString what = QStringLiteral("status %1, %2 ms after the signal\n%3")
                                 .arg(child.status)
                                 .arg(child.ms - child.signalledAtMs)
                                 .arg(child.output.right(3000));
        qInfo().noquote() << "idle window, signal" << signalNumber << ":" << what.section('\n', 0, 0);
        QVERIFY2(child.signalledAtMs >= 0, qPrintable(what));
        QVERIFY2(child.status == 0, qPrintable(what));
        QVERIFY2(child.output.contains("closed with 1 providers"), qPrintable(what));
        QSettings saved(HomeSettingsPath(m_home), QSettings::IniFormat);
        QVERIFY(!saved.value("WindowGeometry").toByteArray().isEmpty());
        QCOMPARE(saved.value("Providers/1/Description").toString(), QStringLiteral("Module"));
    }

    // SIGTERM while a module call runs (a PIN-pad login waiting in C_Login): the close is held, with
    // the window and its provider, until the call has answered and the login has ended; then the
    // window closes, the settings saved, and the process ends normally.
    void terminationSignalDuringAModuleCall()
    {
        WriteProviderSettings(m_home, {{kPad, QString::fromLatin1(testmodule::ModulePath()), false}});
        QProcessEnvironment env;
        env.insert(kChildWait, "pinpad");
        const TChildRun child = RunSelf("signal", env, SIGTERM);
        const QString what = QStringLiteral("status %1\n%2").arg(child.status).arg(child.output.right(3000));
        qInfo().noquote() << "SIGTERM in C_Login:" << child.output.trimmed().replace('\n', QStringLiteral(" | "));
        QVERIFY2(child.signalledAtMs >= 0, qPrintable(what));
        QVERIFY2(child.status == 0, qPrintable(what));
        QVERIFY2(child.output.contains("close pending 1, visible 1, providers 1, in C_Login 1"), qPrintable(what));
        QVERIFY2(child.output.contains("closed with 1 providers, logged in 1"), qPrintable(what));
        QVERIFY(!QSettings(HomeSettingsPath(m_home), QSettings::IniFormat).value("WindowGeometry").isNull());
    }

    // SIGTERM, or a close of the splash (the only window that shows then), while a module's
    // C_Initialize is waited for at start: the wait ends at once, the module's thread is left in
    // it, and the process ends normally with the settings saved, the provider table as it was.
    void endWhileAModuleInitialises_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("SIGTERM") << "signal";
        QTest::newRow("close of the splash") << "close-the-splash";
    }
    void endWhileAModuleInitialises()
    {
        QFETCH(QString, how);
        WriteProviderSettings(m_home, {{"A Slow", TESSALY_SLOWINIT_MODULE_PATH, false},
                                       {"B Module", QString::fromLatin1(testmodule::ModulePath()), false}});
        QProcessEnvironment env;
        env.insert("TESSALY_SLOW_INITIALIZE_MS", "60000");
        env.insert(kChildWait, "initialize");
        const TChildRun child = how == "signal" ? RunSelf("signal", env, SIGTERM) : RunSelf("close-the-splash", env);
        const QString what = QStringLiteral("status %1 after %2 ms\n%3").arg(child.status).arg(child.ms).arg(
            child.output.right(3000));
        qInfo().noquote() << how << "during C_Initialize:" << what.section('\n', 0, 0);
        QVERIFY2(child.status == 0, qPrintable(what));
        QVERIFY2(child.ms < 20000, qPrintable(what));
        if (how == "signal")
            QVERIFY2(child.signalledAtMs >= 0, qPrintable(what));
        else
            QVERIFY2(child.output.contains("closing the splash"), qPrintable(what));
        QVERIFY2(child.output.contains("closed with 0 providers"), qPrintable(what));
        QSettings saved(HomeSettingsPath(m_home), QSettings::IniFormat);
        QVERIFY(!saved.value("WindowGeometry").toByteArray().isEmpty());
        QCOMPARE(saved.value("Providers/size").toInt(), 2);
    }

    // A module whose C_Initialize does not return: after the time limit a box names it, the
    // window goes on with the other provider, and a new load leaves it out while it hangs.
    // (Last: the module stays in C_Initialize for the rest of the process.)
    void moduleThatNeverFinishesInitialising()
    {
        qputenv("TESSALY_SLOW_INITIALIZE_MS", "60000");
        const unsigned long previous = CContextLoad::GetTimeout();
        CContextLoad::SetTimeout(1500);
        WriteProviderSettings(m_home, {{"A Slow", TESSALY_SLOWINIT_MODULE_PATH, false},
                                       {"B SoftHSM2", QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        QStringList boxes;
        QElapsedTimer timer;
        qint64 boxAfterMs = -1;
        {
            MainWindow window;
            fixture::ModalDriver driver(30000);
            driver.Expect(
                [&](QWidget* w) {
                    boxAfterMs = timer.elapsed();
                    boxes << AnswerBox(w);
                },
                "QMessageBox");
            timer.start();
            window.show();
            QVERIFY2(driver.WaitFinished(30000), qPrintable(driver.Failures().join("; ")));
            QCOMPARE(boxes, QStringList{QStringLiteral(
                                "The provider A Slow does not answer: its module has not finished its start after 2 "
                                "seconds.\ntessaly goes on without it; it is tried again at the next start of "
                                "tessaly.")});
            QVERIFY2(boxAfterMs >= 1400 && boxAfterMs < 15000, qPrintable(QString::number(boxAfterMs)));
            QCOMPARE(TabLabels(window), QStringList() << "B SoftHSM2");
            QVERIFY(SelectToken(window, "B SoftHSM2", kToken));
            QVERIFY(Action(window, "actionLogin")->isVisible());
            QVERIFY(CContextLoad::IsPending(TESSALY_SLOWINIT_MODULE_PATH));

            // While it hangs a new load leaves it out, without a box.
            MainWindow other;
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            other.show();
            QCOMPARE(TabLabels(other), QStringList() << "B SoftHSM2");
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            other.close();
            window.close();
        }
        CContextLoad::SetTimeout(previous);
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet(kChildMode))
        return RunChild(argc, argv);
    QApplication app(argc, argv);
    LifecycleTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_lifecycle.moc"
