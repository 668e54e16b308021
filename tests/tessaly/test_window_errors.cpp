// The window's errors (MainWindow_Errors.cpp): what the error sink's code gives in ShowError's
// log entry and box, that the entry is written before the box shows (a critical one after it, so
// the user reads what happened before being asked for a report), that the sink is emptied, and
// the error report the window's loggers ask the user for.
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QtTest>

#include <logging/Logger.h>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "WindowSupport.h"

namespace {
const char* const kProvider = "SoftHSM2 Errors";

QString Module()
{
    return QString::fromStdString(fixture::SoftHsm::ModulePath());
}
} // namespace

class WindowErrorsTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;

private slots:
    void initTestCase()
    {
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY(hsm.InitToken("Errors"));
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        WriteProviderSettings(m_home, {{kProvider, Module(), false}});
    }

    void codesToLogEntryAndBox_data()
    {
        QTest::addColumn<bool>("withProvider");
        QTest::addColumn<qulonglong>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("critical");
        QTest::addColumn<QString>("log");  // %M: the module line
        QTest::addColumn<QString>("box");

        const QString text = QStringLiteral("Unable to login.");
        QTest::newRow("PIN incorrect (box line, name logged)")
            << true << qulonglong(0xA0) << "M" << false << text + "\nM CKR_PIN_INCORRECT%M"
            << text + "\nThe specified PIN is incorrect.";
        QTest::newRow("session handle invalid (English line logged, no box line)")
            << true << qulonglong(0xB3) << "M" << false
            << text + "\nM The specified session handle was invalid at the time that the function was invoked.%M"
            << text;
        QTest::newRow("device removed (box line, nothing more logged)")
            << true << qulonglong(0x32) << "M" << false << text + "\nM %M"
            << text + "\nThe active smart-card was removed from its reader.";
        QTest::newRow("code not in the table") << true << qulonglong(0x4) << "M" << false << text + "\nM %M" << text;
        QTest::newRow("no code, no message") << true << qulonglong(0) << "" << false << text + "\n%M" << text;
        QTest::newRow("code without a message: no blank")
            << true << qulonglong(0xA0) << "" << false << text + "\nCKR_PIN_INCORRECT%M"
            << text + "\nThe specified PIN is incorrect.";
        QTest::newRow("layer's own code")
            << true << qulonglong(0x80001001) << "bad file" << false << text + "\nbad file TSY_CERT_DECODE_FAILED%M"
            << text + "\nThe selected file is not a valid digital certificate.";
        QTest::newRow("code above 32 bits is not a table code")
            << true << qulonglong(0x1000000A0ULL) << "M" << false << text + "\nM %M" << text;
        QTest::newRow("critical") << true << qulonglong(0x30) << "M" << true << text + "\nM CKR_DEVICE_ERROR%M"
                                  << text + "\nSome problem has occurred with the smart-card and/or slot";
        QTest::newRow("no current provider: no module line")
            << false << qulonglong(0xA0) << "M" << false << text + "\nM CKR_PIN_INCORRECT"
            << text + "\nThe specified PIN is incorrect.";
    }

    void codesToLogEntryAndBox()
    {
        QFETCH(bool, withProvider);
        QFETCH(qulonglong, code);
        QFETCH(QString, message);
        QFETCH(bool, critical);
        QFETCH(QString, log);
        QFETCH(QString, box);
        if (sizeof(unsigned long) < 8 && code > 0xFFFFFFFFULL)
            QSKIP("codes are 32 bits here");

        MainWindow window;
        if (withProvider) {
            window.show();
            QVERIFY(window.GetCurrentProvider());
        }
        MemoryLogger logger(0xFF);
        CTSYException& sink = window.GetErrorSink();
        sink.Reset();
        if (!message.isEmpty())
            sink.SetMessage(message.toLatin1().constData());
        sink.SetCode(static_cast<unsigned long>(code));
        sink.SetFlag(TSY_KIND_PKCS11);

        QString shown;
        size_t entriesWhenShown = 99;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* w) {
            QMessageBox* b = qobject_cast<QMessageBox*>(w);
            shown = b->text();
            QCOMPARE(b->windowTitle(), window.windowTitle());
            QCOMPARE(b->icon(), QMessageBox::Critical);
            entriesWhenShown = logger.Count();
            fixture::ModalDriver::Accept(w);
        }, "QMessageBox");
        window.ShowError(QStringLiteral("Unable to login."), critical, true);
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));

        QCOMPARE(shown, box);
        // The entry was complete before the box ran the event loop; a critical one, which asks
        // for an error report, comes after the box.
        QCOMPARE(entriesWhenShown, size_t(critical ? 0 : 1));
        const auto entries = logger.Entries();
        QCOMPARE(entries.size(), size_t(1));
        QCOMPARE(entries[0].severity, critical ? 32UL : 16UL);
        const QString moduleLine = withProvider ? QStringLiteral("\nPKCS#11 Module: ") + Module() : QString();
        QCOMPARE(QString::fromStdWString(entries[0].text), QString(log).replace("%M", moduleLine));

        // Ready for the next operation.
        QCOMPARE(sink.GetCode(), 0UL);
        QVERIFY(!sink.GetMessage());
        QCOMPARE(sink.GetFlag(), 0U);
    }

    // LogError writes the same entry, shows nothing and still empties the sink.
    void logErrorNeverShowsABox()
    {
        MainWindow window;
        window.show();
        MemoryLogger logger(0xFF);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.GetErrorSink().SetMessage("M");
        window.GetErrorSink().SetCode(0xA0);
        window.LogError(QStringLiteral("Unable to download."), true);
        QTest::qWait(100);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        QCOMPARE(logger.Count(), size_t(1));
        QCOMPARE(logger.Entries()[0].severity, 32UL);
        QVERIFY(logger.CountWith(L"Unable to download.\nM CKR_PIN_INCORRECT\nPKCS#11 Module: ") == 1);
        QVERIFY(!window.GetErrorSink().GetMessage());
        QCOMPARE(window.GetErrorSink().GetCode(), 0UL);
    }

    // A failure recorded but never reported is not shown with the next operation's failure.
    void operationsStartWithAnEmptySink()
    {
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.GetErrorSink().SetMessage("stale failure");
        window.GetErrorSink().SetCode(0xA4);
        QString shown;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* w) {
            shown = qobject_cast<QMessageBox*>(w)->text();
            fixture::ModalDriver::Accept(w);
        }, "QMessageBox");
        {
            MainWindow::COperationGuard operation(&window);
            QVERIFY(!window.GetErrorSink().GetMessage());
            QCOMPARE(window.GetErrorSink().GetCode(), 0UL);
            window.ShowError(QStringLiteral("Unable to change the PIN."));
        }
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(shown, QStringLiteral("Unable to change the PIN."));
        QCOMPARE(logger.CountWith(L"stale"), size_t(0));
        QCOMPARE(logger.CountWith(L"CKR_PIN_LOCKED"), size_t(0));

        // A nested operation (a dialog inside a running one) keeps the running one's sink.
        MainWindow::COperationGuard outer(&window);
        window.GetErrorSink().SetCode(0xA0);
        {
            MainWindow::COperationGuard inner(&window);
            QCOMPARE(window.GetErrorSink().GetCode(), 0xA0UL);
        }
        QVERIFY(window.IsOperationRunning());
    }

    // The window's loggers: a critical entry asks the user through the window, an
    // error entry does not.
    void criticalEntryAsksTheUserThroughTheWindow()
    {
        MainWindow window;
        int asked = 0;
        QString details;
        fixture::ModalDriver driver(3000);
        driver.Expect([&](QWidget* wizard) {
            ++asked;
            details = wizard->findChild<QPlainTextEdit*>("edtDetails")->toPlainText();
            fixture::ModalDriver::Reject(wizard);
        }, "QWizard");
        Logging::ILogger::instance().severity(16) << "an error, not critical";
        Logging::ILogger::instance().flush();
        Logging::ILogger::instance().severity(32) << "a critical failure";
        Logging::ILogger::instance().flush();
        QVERIFY2(driver.WaitFinished(5000), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(asked, 1);
        QVERIFY2(details.contains("a critical failure"), qPrintable(details));
    }

    // With the window's own loggers, a critical failure shows its box first and only then asks
    // for the report; the report carries the failure.
    void criticalFailureSaysWhatHappenedBeforeAskingForAReport()
    {
        MainWindow window;
        QStringList order;
        QString details;
        fixture::ModalDriver driver(3000);
        driver.Expect([&](QWidget* box) {
            order << QStringLiteral("box: ") + qobject_cast<QMessageBox*>(box)->text();
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        driver.Expect([&](QWidget* wizard) {
            order << QStringLiteral("wizard");
            details = wizard->findChild<QPlainTextEdit*>("edtDetails")->toPlainText();
            fixture::ModalDriver::Reject(wizard);
        }, "QWizard");
        window.GetErrorSink().SetMessage("M");
        window.GetErrorSink().SetCode(0x30);
        window.ShowError(QStringLiteral("Unable to test the token."), true, true);
        QVERIFY2(driver.WaitFinished(5000), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(order, QStringList({"box: Unable to test the token.\nSome problem has occurred with the smart-card "
                                     "and/or slot",
                                     "wizard"}));
        QVERIFY2(details.contains("Unable to test the token.\nM CKR_DEVICE_ERROR"), qPrintable(details));
    }

    void confirmErrorReportFollowsTheWizard()
    {
        MainWindow window;
        std::wstring email = L"before", comment = L"before";
        fixture::ModalDriver driver;
        QString details;
        driver.Expect([&](QWidget* wizard) {
            details = wizard->findChild<QPlainTextEdit*>("edtDetails")->toPlainText();
            fixture::ModalDriver::Reject(wizard);
        }, "QWizard");
        QVERIFY(!window.confirmErrorReport(email, comment, L"the details"));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(details, QStringLiteral("the details"));
        QVERIFY(email == L"before" && comment == L"before");

        driver.Expect([](QWidget* wizard) {
            wizard->findChild<QLineEdit*>("edtEmail")->setText("user@example.org");
            wizard->findChild<QPlainTextEdit*>("edtComment")->setPlainText("it broke");
            fixture::ModalDriver::Accept(wizard);
        }, "QWizard");
        QVERIFY(window.confirmErrorReport(email, comment, L"the details"));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(email == L"user@example.org");
        QVERIFY(comment == L"it broke");
    }
};

QTEST_MAIN(WindowErrorsTest)
#include "test_window_errors.moc"
