// The window's life with its providers: a close that comes during an operation (from a timer,
// or the desktop's session: its dialog closed first) waits for the operation's end and frees
// nothing it uses; the desktop's logout request saves the settings and frees nothing; SoftHSM2
// and a pass-through wrapper over it as two providers close cleanly, process after process, and a
// Reload of one says in the other what happened; a module whose C_Initialize never returns is
// left behind after the time limit, and a close during that wait is honoured at once.
#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSessionManager>
#include <QTimer>
#include <QtTest>

#include "BackgroundCall.h"
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

int RunChild(int argc, char** argv)
{
    QApplication app(argc, argv);
    MainWindow window;
    const QByteArray mode = qgetenv(kChildMode);
    if (mode == "close-while-loading")
        QTimer::singleShot(300, &window, &QWidget::close);
    window.show();
    if (mode == "start-and-close")
        QTimer::singleShot(0, &window, &QWidget::close);
    return app.exec();
}

struct TChildRun {
    int status = -1;  // -1: ended by a signal, or did not end
    qint64 ms = 0;
    QString output;
};

TChildRun RunSelf(const char* mode, const QProcessEnvironment& extra)
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
    if (child.waitForFinished(120000) && child.exitStatus() == QProcess::NormalExit)
        run.status = child.exitCode();
    run.ms = timer.elapsed();
    run.output = QString::fromLocal8Bit(child.readAll());
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
