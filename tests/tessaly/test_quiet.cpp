// Standard error stays quiet under the default logging rules: a start, a Reload, a certificate
// view, an import that asks before it replaces the key pair's certificate, an initialisation
// without a printer, and the close print nothing there and send no message through Qt's logging.
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrinterInfo>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Fixture.h"
#include "ModalDriver.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kProvider = "SoftHSM2 Quiet";
const char* const kSOPIN = "12345678";

std::string g_certificate;

// Whatever the process writes on descriptor 2 while it lives, and every message that passes
// Qt's logging rules (the test framework would otherwise take them to standard output).
class CStandardErrorCapture
{
public:
    explicit CStandardErrorCapture(const std::string& file) : m_file(file)
    {
        fflush(stderr);
        m_saved = dup(2);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, 2);
        close(fd);
        s_messages.clear();
        m_previous = qInstallMessageHandler(&CStandardErrorCapture::Handler);
    }
    ~CStandardErrorCapture() { Finish(); }

    // Everything seen, one piece a line.
    QString Finish()
    {
        if (m_saved >= 0) {
            qInstallMessageHandler(m_previous);
            fflush(stderr);
            dup2(m_saved, 2);
            close(m_saved);
            m_saved = -1;
            m_seen = QString::fromStdString(fixture::ReadText(m_file));
            for (const QString& message : s_messages)
                m_seen += QStringLiteral("[message] ") + message + QLatin1Char('\n');
        }
        return m_seen;
    }

private:
    static void Handler(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        // The offscreen platform of the tests says this of every window it shows; a desktop's
        // platform does not.
        if (message == QLatin1String("This plugin does not support propagateSizeHints()"))
            return;
        s_messages << message;
    }

    std::string m_file;
    int m_saved = -1;
    QtMessageHandler m_previous = nullptr;
    QString m_seen;
    static inline QStringList s_messages;
};
} // namespace

class QuietTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY(hsm.InitToken("Quiet"));
        const fixture::KeyFiles key = fixture::MakeKey(store, "user", "rsa:1024");
        QVERIFY(hsm.ImportKey(key.keyPem, "Quiet", "Demo User", "01"));
        g_certificate = fixture::MakeSelfSigned(store, "user", key, "/CN=Demo User");
        QVERIFY(hsm.WriteCert(g_certificate, "Quiet", "Demo User", "01"));
        QVERIFY(hsm.InitToken("Blank", kSOPIN));
    }

    void startReloadViewAndReplaceQuestionPrintNothing()
    {
        const QString home = FreshHome(QStringLiteral("quiet"));
        WriteProviderSettings(home, {{kProvider, QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        CStandardErrorCapture capture(fixture::ScratchDir("stderr") + "/stderr.txt");
        QString question;
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(SelectInToken(window, kProvider, "Quiet", "Certificate(Demo User)"));
            Action(window, "actionReload")->trigger();

            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([](QWidget* w) { fixture::ModalDriver::Click(w, "Close"); }, "CertViewDialog");
            QVERIFY(SelectInToken(window, kProvider, "Quiet", "Certificate(Demo User)"));
            Action(window, "actionCertView")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));

            // The key pair has its certificate: the import asks, and a question is no error.
            driver.Expect([](QWidget* w) { AnswerFileDialog(w, QString::fromStdString(g_certificate)); },
                          "QFileDialog");
            driver.Expect([&](QWidget* w) { question = AnswerBox(w, QMessageBox::No); }, "QMessageBox");
            QVERIFY(SelectToken(window, kProvider, "Quiet"));
            Action(window, "actionCertImport")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            window.close();
        }
        const QString seen = capture.Finish();
        QVERIFY2(seen.isEmpty(), qPrintable(seen));
        QCOMPARE(question, QStringLiteral("A certificate for the key-pair \"Demo User\" already exists. Would you like "
                                          "to replace it?"));
    }

    // Without a printer the report is not printed: no painter is started on a printer that has
    // nowhere to go (Qt would warn of it). Declining to save it says what that means.
    void initialisationWithoutAPrinterPrintsNothing()
    {
        if (!QPrinterInfo::availablePrinters().isEmpty())
            QSKIP("a printer is installed here");
        const QString home = FreshHome(QStringLiteral("quiet-init"));
        qunsetenv("TESSALY_PRINT_TO_FILE");
        WriteProviderSettings(home, {{kProvider, QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        CStandardErrorCapture capture(fixture::ScratchDir("stderr") + "/init.txt");
        QStringList boxes;
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(SelectToken(window, kProvider, "Blank"));
            fixture::ModalDriver driver(20000);
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w, QMessageBox::Yes); }, "QMessageBox");
            driver.Expect([](QWidget* w) {
                w->findChild<QLineEdit*>("edtSOPIN")->setText(kSOPIN);
                w->findChild<QLineEdit*>("edtNewUserPIN")->setText("739155");
                w->findChild<QLineEdit*>("edtLabel")->setText("Fresh");
                fixture::ModalDriver::Click(w, "OK");
            }, "BrannickDialog");
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w); }, "QMessageBox");
            driver.Expect([](QWidget* w) { fixture::ModalDriver::Reject(w); }, "QFileDialog");
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w); }, "QMessageBox");
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w).section('\n', 0, 0); }, "QMessageBox");
            Action(window, "actionInitialize")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            window.close();
        }
        const QString seen = capture.Finish();
        QVERIFY2(seen.isEmpty(), qPrintable(seen));
        QCOMPARE(boxes.size(), 4);
        QCOMPARE(boxes.at(1), QStringLiteral("The access report could not be printed. It holds the card's new PINs: save "
                                             "it as a PDF file in the next dialog."));
        QCOMPARE(boxes.at(2), QStringLiteral("The access report was not saved. Write down the new PINs now: the next "
                                             "message shows them, and nothing else keeps them."));
        QCOMPARE(boxes.at(3), QStringLiteral("The smart-card was successfully initialized."));
    }
};

int main(int argc, char** argv)
{
    // The default rules: no rules of the environment the tests happen to run in. A desktop
    // session has a runtime folder; without one Qt warns about it, whatever the program does.
    qunsetenv("QT_LOGGING_RULES");
    const QByteArray runtime = QFile::encodeName(QDir::tempPath()) + "/tessaly-quiet-runtime-" +
                               QByteArray::number(qint64(getpid()));
    mkdir(runtime.constData(), 0700);
    qputenv("XDG_RUNTIME_DIR", runtime);
    QApplication app(argc, argv);
    QuietTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    const int status = QTest::qExec(&test, argc, argv);
    rmdir(runtime.constData());
    return status;
}

#include "test_quiet.moc"
