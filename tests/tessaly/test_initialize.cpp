// Card initialisation from the main window: in process and through brannick on SoftHSM2 tokens,
// brannick's statuses and the failure roads on the scripted test module, the access report as
// PDF, and slot events held back while the operation runs. No PIN may reach the log or the debug
// output of any of these runs.
#include <sys/stat.h>

#include <QDate>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPrinterInfo>
#include <QSplashScreen>
#include <QtTest>

#include <functional>

#include "BrannickDialog.h"
#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Token.h"
#include "Settings.h"
#include "TestModuleControl.h"
#include "TranslationManager.h"
#include "WindowSupport.h"

namespace {

const char* const kProvider = "Cards";
const char* const kOldSOPIN = "51739284";
const char* const kOldUserPIN = "2046";
const char* const kNewSOPIN = "62840173";
const char* const kNewUserPIN = "739155";
const char* const kFallbackSOPIN = "5820463917";
const QString kBulgarian = QString::fromUtf8("Български (БГ)");
const QString kEnglish = QStringLiteral("English (EN)");

// Everything the debug channel said during the run.
QStringList g_debug;
QtMessageHandler g_previousHandler = nullptr;

void CaptureDebug(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_debug << text;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

QString BrannickBesideUs()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/brannick");
}

// What the window finds as brannick beside itself: the real tool, a shell stand-in, a file that
// cannot run, or nothing.
void PlaceBrannick(const QString& standIn = QString(), bool executable = true)
{
    QFile::remove(BrannickBesideUs());
    if (standIn == QLatin1String("(none)"))
        return;
    if (standIn.isEmpty()) {
        QVERIFY(QFile::link(QStringLiteral(BRANNICK_PATH), BrannickBesideUs()));
        return;
    }
    fixture::WriteText(BrannickBesideUs().toStdString(), "#!/bin/sh\n" + standIn.toStdString() + "\n");
    QVERIFY(chmod(QFile::encodeName(BrannickBesideUs()).constData(), executable ? 0755 : 0644) == 0);
}

// A link to a module under a name of our choosing (the module rules go by the file name).
QString LinkModule(const QString& dir, const QString& name, const QString& target)
{
    const QString path = dir + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    return QFile::link(target, path) ? path : QString();
}

QString PdfText(const QString& path)
{
    std::string output;
    if (fixture::Run("env -u LD_PRELOAD pdftotext -layout " + fixture::Quote(path.toStdString()) + " -", &output) != 0)
        return QStringLiteral("(pdftotext failed) ") + QString::fromStdString(output);
    // The fonts join "ff", "fi" and the like into ligatures, which pdftotext gives as such.
    return QString::fromUtf8(output.c_str()).normalized(QString::NormalizationForm_KC);
}

mode_t Mode(const QString& path)
{
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// pkcs11-tool against SoftHSM2: the exit status of a login as user or SO.
int P11Login(const QString& label, const char* pin, bool so)
{
    const std::string login = so ? std::string(" --login --login-type so --so-pin ") + pin + " --init-pin --pin 9999"
                                 : std::string(" --login --pin ") + pin + " --list-objects";
    return fixture::Run("env -u LD_PRELOAD pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) +
                        " --token-label " + fixture::Quote(label.toStdString()) + login);
}


// The user's part in one initialisation.
struct TAnswers {
    QString soPIN = QString::fromLatin1(kOldSOPIN);
    QString newSOPIN = QString::fromLatin1(kNewSOPIN);
    QString newUserPIN = QString::fromLatin1(kNewUserPIN);
    QString label = QStringLiteral("Tessaly & Co 7");
    bool confirm = true;
    bool acceptDialog = true;
    // Runs while the dialog is up, before it is answered.
    std::function<void(QWidget*)> inDialog;
    // After the dialog: the boxes expected, each answered with OK; their "title|text" are recorded.
    int boxes = 1;
    std::function<void(QWidget*)> inLastBox;
    // A save dialog before the boxes gets this file, or is cancelled.
    QString askedFile;
    bool cancelAskedFile = false;
    // The report could not be printed: a box says so before the save dialog.
    bool printFails = false;
};

struct TSeen {
    QStringList boxes;
    bool labelEnabled = false;
    bool splashWhileAsked = true;
    QString askedTitle;
    // The file the save dialog suggests, and the "title|text" of the box before it.
    QString suggestedFile;
    QString explanation;
    QStringList failures;
};

QString BoxText(QWidget* w)
{
    QMessageBox* box = qobject_cast<QMessageBox*>(w);
    return box ? box->windowTitle() + QLatin1Char('|') + box->text() : QStringLiteral("(not a box)");
}

// Selects the token row and runs the Initialize action, answering its modals.
TSeen Initialize(MainWindow& window, QTreeWidgetItem* tokenRow, const TAnswers& a)
{
    TSeen seen;
    CProviderTreeWidget* tree = TreeOf(window, kProvider);
    SelectRow(tree, tokenRow);
    fixture::ModalDriver driver(20000);
    driver.RejectUnexpected();
    driver.Expect([&](QWidget* w) {
        seen.boxes << BoxText(w);
        fixture::ModalDriver::Click(w, a.confirm ? QStringLiteral("Yes") : QStringLiteral("No"));
    }, "QMessageBox");
    if (a.confirm) {
        driver.Expect([&](QWidget* w) {
            BrannickDialog* dialog = qobject_cast<BrannickDialog*>(w);
            const auto field = [dialog](const char* name) { return dialog->findChild<QLineEdit*>(QLatin1String(name)); };
            seen.labelEnabled = field("edtLabel")->isEnabled();
            if (a.inDialog)
                a.inDialog(w);
            if (!a.acceptDialog) {
                fixture::ModalDriver::Click(w, QStringLiteral("Cancel"));
                return;
            }
            field("edtSOPIN")->setText(a.soPIN);
            field("edtNewSOPIN")->setText(a.newSOPIN);
            field("edtNewUserPIN")->setText(a.newUserPIN);
            if (seen.labelEnabled)
                field("edtLabel")->setText(a.label);
            fixture::ModalDriver::Click(w, QStringLiteral("OK"));
        }, "BrannickDialog");
        if (a.printFails)
            driver.Expect([&](QWidget* w) {
                seen.explanation = BoxText(w);
                fixture::ModalDriver::Click(w, QStringLiteral("OK"));
            }, "QMessageBox");
        if (!a.askedFile.isEmpty() || a.cancelAskedFile)
            driver.Expect([&](QWidget* w) {
                seen.splashWhileAsked = false;
                for (QWidget* top : QApplication::topLevelWidgets())
                    if (qobject_cast<QSplashScreen*>(top) && top->isVisible())
                        seen.splashWhileAsked = true;
                seen.askedTitle = w->windowTitle();
                QFileDialog* fd = qobject_cast<QFileDialog*>(w);
                seen.suggestedFile = fd->selectedFiles().value(0);
                if (a.cancelAskedFile) {
                    fd->reject();
                    return;
                }
                fixture::ModalDriver::ChooseFile(fd, a.askedFile);
                QMetaObject::invokeMethod(fd, "accept");
            }, "QFileDialog");
        for (int i = 0; a.acceptDialog && i < a.boxes; ++i)
            driver.Expect([&, i](QWidget* w) {
                seen.boxes << BoxText(w);
                if (i == a.boxes - 1 && a.inLastBox)
                    a.inLastBox(w);
                fixture::ModalDriver::Click(w, QStringLiteral("OK"));
            }, "QMessageBox");
    }
    Action(window, "actionInitialize")->trigger();
    if (!driver.Finished())
        seen.failures = driver.Failures();
    if (driver.Pending())
        seen.failures << QStringLiteral("%1 modal(s) never came").arg(driver.Pending());
    for (const QString& extra : driver.Unexpected())
        seen.failures << QStringLiteral("unexpected ") + extra;
    return seen;
}

QString AccessBox(const char* ain, const char* pin)
{
    return QStringLiteral("Initialize Card|The smart-card was successfully initialized.\nAccess information:\n\tAIN: "
                          "%1\n\tPIN: %2")
        .arg(QLatin1String(ain), QLatin1String(pin));
}

const QString kQuestion = QStringLiteral(
    "Initialize Card|By initialising the card you will erase all the information it contains.\nAre you sure you "
    "want to continue?");

} // namespace

class InitializeTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    QString m_dir;
    std::string m_keyPem;
    std::unique_ptr<testmodule::Control> m_tm;

    // A SoftHSM2 store of this case's own with the token "Old" holding a key pair; the
    // window lists the module under moduleName (a link) or its own path.
    void SoftHsmCase(const QString& moduleName = QString())
    {
        fixture::SoftHsm hsm(m_dir.toStdString() + "/store");
        QVERIFY2(hsm.InitToken("Old", kOldSOPIN, kOldUserPIN), hsm.LastOutput().c_str());
        QVERIFY2(hsm.ImportKey(m_keyPem, "Old", "Key", "01", kOldUserPIN), hsm.LastOutput().c_str());
        QString module = QString::fromStdString(fixture::SoftHsm::ModulePath());
        if (!moduleName.isEmpty())
            module = LinkModule(m_dir, moduleName, module);
        WriteProviderSettings(m_home, {{kProvider, module, false}});
    }

    // The test module with one card (PIN lengths 4 to 8) in slot 7, listed as moduleName.
    void TestModuleCase(const QString& moduleName = QString())
    {
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(7, "Reader", "Tessaly");
        m_tm->insert_token(7, nullptr, kOldSOPIN, kOldUserPIN, 0);
        QString module = QString::fromLatin1(testmodule::ModulePath());
        if (!moduleName.isEmpty())
            module = LinkModule(m_dir, moduleName, module);
        WriteProviderSettings(m_home, {{kProvider, module, false}});
    }

    QTreeWidgetItem* Row(MainWindow& window, const char* label)
    {
        CProviderTreeWidget* tree = TreeOf(window, kProvider);
        return tree ? TokenRow(tree, QString::fromUtf8(label)) : nullptr;
    }

    void ExpectNoPINs(const MemoryLogger& logger)
    {
        const QString log = QString::fromStdWString(logger.Dump());
        const QString debug = g_debug.join(QLatin1Char('\n'));
        for (const char* pin : {kOldSOPIN, kNewSOPIN, kNewUserPIN, kOldUserPIN, kFallbackSOPIN}) {
            QVERIFY2(!log.contains(QLatin1String(pin)), qPrintable(QStringLiteral("%1 in the log:\n%2").arg(pin, log)));
            QVERIFY2(!debug.contains(QLatin1String(pin)), qPrintable(QStringLiteral("%1 in debug output").arg(pin)));
        }
    }

private slots:
    void initTestCase()
    {
        g_previousHandler = qInstallMessageHandler(CaptureDebug);
        const std::string keys = fixture::ScratchDir("keys");
        m_keyPem = fixture::MakeKey(keys, "k", "rsa:1024").keyPem;
    }

    void init()
    {
        // The tag goes into paths in the settings file, where a comma would split a value.
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("[^A-Za-z0-9]"), "_");
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('_') + tag);
        m_dir = m_home + QStringLiteral("/case");
        QDir().mkpath(m_dir);
        qunsetenv("TESSALY_PRINT_TO_FILE");
        // The documents folder is found through the home folder alone, not the host's settings.
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home + "/.config"));
        qputenv("TESSALY_STANDIN_DIR", QFile::encodeName(m_dir));
        g_debug.clear();
    }

    void cleanup()
    {
        CSettings::Instance().GetTranslationManager().SetLanguage(kEnglish);
        m_tm.reset();
        QFile::remove(BrannickBesideUs());
    }

    void softHsm_data()
    {
        QTest::addColumn<bool>("throughBrannick");
        QTest::addColumn<bool>("bulgarian");
        QTest::newRow("in process") << false << false;
        QTest::newRow("in process, Bulgarian") << false << true;
        QTest::newRow("through brannick") << true << false;
    }

    // The token is erased and gets the new PINs; the tree shows its new label and no objects;
    // the report holds everything as typed, readable by its owner only.
    void softHsm()
    {
        QFETCH(bool, throughBrannick);
        QFETCH(bool, bulgarian);
        SoftHsmCase(throughBrannick ? QStringLiteral("lib-siecap11.so") : QString());
        PlaceBrannick();
        const QString report = m_dir + QStringLiteral("/report.pdf");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(report));

        TSeen seen;
        QString serial;
        {
            MainWindow window;
            window.show();
            MemoryLogger logger(0xFF);
            if (bulgarian)
                CSettings::Instance().GetTranslationManager().SetLanguage(kBulgarian);
            QTreeWidgetItem* row = Row(window, "Old");
            QVERIFY(row);
            serial = QString::fromLatin1(static_cast<CPKCS11Token*>(TreeOf(window, kProvider)->GetObject(row))->GetSerialNumber());
            QVERIFY(!serial.isEmpty());

            TAnswers answers;
            seen = Initialize(window, row, answers);
            QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
            QCOMPARE(seen.boxes.size(), 2);
            const QString title = QCoreApplication::translate("MainWindow", "Initialize Card");
            const QString access = QCoreApplication::translate(
                "MainWindow", "The smart-card was successfully initialized.\nAccess information:\n\tAIN: %1\n\tPIN: %2");
            QCOMPARE(seen.boxes.last(), title + QLatin1Char('|') + access.arg(kNewSOPIN, kNewUserPIN));
            if (bulgarian)
                QVERIFY2(!seen.boxes.last().contains(QStringLiteral("Access information")), qPrintable(seen.boxes.last()));
            else
                QCOMPARE(seen.boxes.last(), AccessBox(kNewSOPIN, kNewUserPIN));

            // The tree: the erased token under its new label, selected, no objects; "Old" gone.
            QVERIFY(!Row(window, "Old"));
            QTreeWidgetItem* fresh = Row(window, answers.label.toUtf8().constData());
            QVERIFY2(fresh, qPrintable(DumpTree(TreeOf(window, kProvider)).join("\n")));
            QCOMPARE(fresh->childCount(), 0);
            QCOMPARE(window.GetSelectedItem(), TreeOf(window, kProvider)->GetObject(fresh));
            QVERIFY(!window.IsOperationRunning());
            ExpectNoPINs(logger);
        }

        const QString label = QStringLiteral("Tessaly & Co 7");
        QCOMPARE(P11Login(label, kNewUserPIN, false), 0);
        QCOMPARE(P11Login(label, kOldUserPIN, false), 1);
        QCOMPARE(P11Login(label, kOldSOPIN, true), 1);
        QCOMPARE(P11Login(label, kNewSOPIN, true), 0);

        QCOMPARE(Mode(report), mode_t(0600));
        const QString text = PdfText(report);
        for (const QString& part : QStringList{QString::fromUtf8("Персонални права за достъп до картата"),
                                    QStringLiteral("Smart card Access Rights"), QStringLiteral("SoftHSM project"),
                                    QStringLiteral("SoftHSM v2"), serial, label, QString::fromLatin1(kNewSOPIN),
                                    QString::fromLatin1(kNewUserPIN),
                                    QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"))})
            QVERIFY2(text.contains(part), qPrintable(QStringLiteral("no \"%1\" in:\n%2").arg(part, text)));
        QVERIFY2(!text.contains(QRegularExpression(QStringLiteral("&[A-Za-z]+;"))), qPrintable(text));
        QVERIFY(!text.contains(QLatin1String(kOldSOPIN)));
    }

    // SoftHSM2's free slot: its token keeps its slot in this process, so the report and the
    // selection find it under the new label.
    void freeSlot()
    {
        SoftHsmCase();
        const QString report = m_dir + QStringLiteral("/report.pdf");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(report));
        MainWindow window;
        window.show();
        QTreeWidgetItem* row = Row(window, "(no label)");
        QVERIFY(row);
        TAnswers answers;
        answers.label = QStringLiteral("Was free");
        const TSeen seen = Initialize(window, row, answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes.last(), AccessBox(kNewSOPIN, kNewUserPIN));
        QTreeWidgetItem* fresh = Row(window, "Was free");
        QVERIFY2(fresh, qPrintable(DumpTree(TreeOf(window, kProvider)).join("\n")));
        QCOMPARE(window.GetSelectedItem(), TreeOf(window, kProvider)->GetObject(fresh));
        QVERIFY(Row(window, "Old"));
        const QString text = PdfText(report);
        QVERIFY2(text.contains(QStringLiteral("SoftHSM project")) && text.contains(QStringLiteral("Was free")),
                 qPrintable(text));
    }

    // When the slot cannot be found again after the erase, the report goes without the token
    // fields, nothing stays selected, and the box still shows the PINs.
    void tokenNotFoundAfterTheReRead()
    {
        TestModuleCase();
        const QString report = m_dir + QStringLiteral("/report.pdf");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(report));
        MainWindow window;
        window.show();
        MemoryLogger logger(0xFF);
        TAnswers answers;
        answers.inDialog = [this](QWidget*) { m_tm->fail("C_GetSlotList", CKR_DEVICE_ERROR, 0, -1); };
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        m_tm->fail("C_GetSlotList", CKR_OK, 0, 0);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes.last(), AccessBox(kNewSOPIN, kNewUserPIN));
        QCOMPARE(m_tm->call_count("C_InitPIN"), 1);
        QCOMPARE(TreeOf(window, kProvider)->topLevelItemCount(), 0);
        QVERIFY(!window.GetSelectedItem());
        QCOMPARE(logger.CountWith(L"Unable to read the slot list again."), size_t(1));
        const QString text = PdfText(report);
        QVERIFY2(!text.contains(QStringLiteral("Tessaly tests")) && !text.contains(QStringLiteral("Scripted")),
                 qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("Tessaly & Co 7")));
        QVERIFY(text.contains(QLatin1String(kNewUserPIN)));
        QVERIFY2(text.contains(QRegularExpression(QStringLiteral("Manufacturer:\\s*\\n"))), qPrintable(text));
        ExpectNoPINs(logger);
    }

    // The SO PIN reaches brannick on its standard input, never on its command line.
    void brannickGetsTheSOPINOnItsInput()
    {
        TestModuleCase(QStringLiteral("libtm-siecap11.so"));
        PlaceBrannick(QStringLiteral("printf '%s\\n' \"$@\" > \"$TESSALY_STANDIN_DIR/args\"\n"
                                     "cat > \"$TESSALY_STANDIN_DIR/input\"\nexit 0"));
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(m_dir + QStringLiteral("/r.pdf")));
        MainWindow window;
        window.show();
        MemoryLogger logger(0xFF);
        const TSeen seen = Initialize(window, Row(window, "Test token"), TAnswers());
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes.last(), AccessBox(kNewSOPIN, kNewUserPIN));
        const QString module = m_dir + QStringLiteral("/libtm-siecap11.so");
        QCOMPARE(QString::fromStdString(fixture::ReadText((m_dir + QStringLiteral("/args")).toStdString())),
                 module + QStringLiteral("\n7\n-\nTessaly & Co 7\n"));
        QCOMPARE(fixture::ReadText((m_dir + QStringLiteral("/input")).toStdString()), std::string(kOldSOPIN) + "\n");
        // The stand-in erased nothing; the window went on with the SO PIN given.
        QCOMPARE(m_tm->call_count("C_InitToken"), 0);
        QCOMPARE(m_tm->last_login_user(), CK_USER_TYPE(CKU_SO));
        ExpectNoPINs(logger);
    }

    void brannickStatus_data()
    {
        QTest::addColumn<QString>("standIn");
        QTest::addColumn<bool>("executable");
        QTest::addColumn<QString>("newSOPIN");
        QTest::addColumn<QString>("ain");  // empty: the action stops with "Unable to initialize card."
        QTest::newRow("failure 255") << "cat >/dev/null; exit 255" << true << kNewSOPIN << "";
        QTest::newRow("status 2") << "cat >/dev/null; exit 2" << true << kNewSOPIN << "";
        QTest::newRow("crash") << "kill -SEGV $$" << true << kNewSOPIN << "";
        QTest::newRow("cannot start") << "exit 0" << false << kNewSOPIN << "";
        QTest::newRow("missing") << "(none)" << true << kNewSOPIN << "";
        QTest::newRow("time-out, no new SO PIN") << "cat >/dev/null; exit 1" << true << "" << kFallbackSOPIN;
        QTest::newRow("time-out, new SO PIN") << "cat >/dev/null; exit 1" << true << kNewSOPIN << kNewSOPIN;
    }

    // Only 0 and 1 go on; 1 means the card may have the fallback SO PIN now.
    void brannickStatus()
    {
        QFETCH(QString, standIn);
        QFETCH(bool, executable);
        QFETCH(QString, newSOPIN);
        QFETCH(QString, ain);
        TestModuleCase(QStringLiteral("libtm-siecap11.so"));
        // What the card would hold had the tool's erase gone through in time.
        m_tm->insert_token(7, nullptr, kFallbackSOPIN, nullptr, 0);
        PlaceBrannick(standIn, executable);
        const QString report = m_dir + QStringLiteral("/r.pdf");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(report));
        MainWindow window;
        window.show();
        MemoryLogger logger(0xFF);
        TAnswers answers;
        answers.newSOPIN = newSOPIN;
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        // The erase is the tool's: the window never erases in process on this road.
        QCOMPARE(m_tm->call_count("C_InitToken"), 0);
        if (ain.isEmpty()) {
            QCOMPARE(seen.boxes.last(), window.windowTitle() + QStringLiteral("|Unable to initialize card."));
            QCOMPARE(m_tm->call_count("C_Login"), 0);
            QVERIFY(!QFile::exists(report));
        } else {
            // The card's SO PIN is the fallback: only a login with it gets to the user PIN.
            QCOMPARE(seen.boxes.last(), AccessBox(ain.toLatin1().constData(), kNewUserPIN));
            QCOMPARE(m_tm->last_login_user(), CK_USER_TYPE(CKU_SO));
            QCOMPARE(m_tm->call_count("C_InitPIN"), 1);
            QVERIFY(PdfText(report).contains(ain));
        }
        QVERIFY(Row(window, "Test token"));
        ExpectNoPINs(logger);
    }

    void brannickTimeOutWithoutTheFallback_data()
    {
        QTest::addColumn<QString>("function");  // fails once, after the dialog
        QTest::addColumn<int>("rv");
        QTest::addColumn<QString>("box");
        const QString incorrect = QStringLiteral("Unable to login.\nThe specified PIN is incorrect.");
        // The card still has its old SO PIN: the login with the fallback is refused.
        QTest::newRow("fallback login refused") << "" << 0 << incorrect;
        QTest::newRow("no session after the time-out")
            << "C_OpenSession" << int(CKR_DEVICE_ERROR)
            << "Unable to open session.\nSome problem has occurred with the smart-card and/or slot";
    }

    // brannick gave up waiting for the card, and the fallback AIN did not log in: whether the
    // card was erased is not known, and the box says so, with the two AINs the card may have.
    // Nothing further is done to it, and no report is made.
    void brannickTimeOutWithoutTheFallback()
    {
        QFETCH(QString, function);
        QFETCH(int, rv);
        QFETCH(QString, box);
        TestModuleCase(QStringLiteral("libtm-siecap11.so"));
        PlaceBrannick(QStringLiteral("cat >/dev/null; exit 1"));
        const QString report = m_dir + QStringLiteral("/r.pdf");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(report));
        MainWindow window;
        window.show();
        MemoryLogger logger(0xFF);
        TAnswers answers;
        answers.boxes = 2;
        if (!function.isEmpty())
            answers.inDialog = [&](QWidget*) { m_tm->fail(function.toLatin1().constData(), CK_RV(rv), 0, 1); };
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes.size(), 3);
        QCOMPARE(seen.boxes.at(1), window.windowTitle() + QLatin1Char('|') + box);
        QCOMPARE(seen.boxes.at(2),
                 QStringLiteral("Initialize Card|The initialization timed out and no login with the fallback AIN "
                                "succeeded: it is not known whether the card was erased and labelled \"Tessaly & Co "
                                "7\". No access report was made.\nAccess information the card may have now:\n\tAIN: "
                                "%1 (its old one, if it was not erased)\n\tAIN: %2 (the fallback, if it was "
                                "erased)\n\tPIN: its old one, or not set if it was erased")
                     .arg(kOldSOPIN, kFallbackSOPIN));
        QCOMPARE(m_tm->call_count("C_InitToken"), 0);
        QCOMPARE(m_tm->call_count("C_InitPIN"), 0);
        QCOMPARE(m_tm->call_count("C_SetPIN"), 0);
        QVERIFY(!QFile::exists(report));
        QVERIFY(Row(window, "Test token"));
        QVERIFY(!window.IsOperationRunning());
        ExpectNoPINs(logger);
    }

    void failureRoads_data()
    {
        QTest::addColumn<QString>("function");
        QTest::addColumn<int>("rv");
        QTest::addColumn<QString>("newSOPIN");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("state");  // the box on the card's state; empty: none comes
        QTest::addColumn<QString>("labelAfter");
        const QString erased = QStringLiteral(
            "Initialize Card|The card was erased and labelled \"Tessaly & Co 7\", but its initialization did not "
            "finish. No access report was made.\nAccess information the card has now:\n\tAIN: %1 (the new AIN was "
            "not set)\n\tPIN: %2");
        const QString incorrect = QStringLiteral("\nThe specified PIN is incorrect.");
        QTest::newRow("erase refused") << "C_InitToken" << int(CKR_PIN_INCORRECT) << kNewSOPIN
                                       << "Unable to initialize card." + incorrect << QString() << "Test token";
        QTest::newRow("login") << "C_Login" << int(CKR_PIN_INCORRECT) << kNewSOPIN << "Unable to login." + incorrect
                               << erased.arg(kOldSOPIN, "not set") << "Tessaly & Co 7";
        QTest::newRow("user PIN") << "C_InitPIN" << int(CKR_PIN_INCORRECT) << kNewSOPIN
                                  << "Unable to change user PIN." + incorrect << erased.arg(kOldSOPIN, "not set")
                                  << "Tessaly & Co 7";
        QTest::newRow("AIN") << "C_SetPIN" << int(CKR_PIN_INCORRECT) << kNewSOPIN
                             << "Unable to change AIN." + incorrect << erased.arg(kOldSOPIN, kNewUserPIN)
                             << "Tessaly & Co 7";
        // openCryptoki refuses a new SO PIN equal to the old one.
        QTest::newRow("unchanged AIN refused") << "C_SetPIN" << int(CKR_PIN_INVALID) << kOldSOPIN
                                               << "Unable to change AIN.\nThe specified PIN has invalid characters in it."
                                               << erased.arg(kOldSOPIN, kNewUserPIN) << "Tessaly & Co 7";
    }

    // Each failure is reported with the step and the module's answer; past the erasure a box
    // tells what the card has now (its label, the AIN still the old one, the user PIN set or
    // not). Never the message of success, and no report.
    void failureRoads()
    {
        QFETCH(QString, function);
        QFETCH(int, rv);
        QFETCH(QString, newSOPIN);
        QFETCH(QString, box);
        QFETCH(QString, state);
        QFETCH(QString, labelAfter);
        TestModuleCase();
        const QString report = m_dir + QStringLiteral("/r.pdf");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(report));
        MainWindow window;
        window.show();
        MemoryLogger logger(0xFF);
        m_tm->fail(function.toLatin1().constData(), CK_RV(rv), 0, -1);
        TAnswers answers;
        answers.newSOPIN = newSOPIN;
        answers.boxes = state.isEmpty() ? 1 : 2;
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        m_tm->fail(function.toLatin1().constData(), CKR_OK, 0, 0);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes.size(), answers.boxes + 1);
        QCOMPARE(seen.boxes.at(1), window.windowTitle() + QLatin1Char('|') + box);
        if (!state.isEmpty())
            QCOMPARE(seen.boxes.at(2), state);
        QVERIFY2(seen.boxes.filter(QStringLiteral("successfully")).isEmpty(), qPrintable(seen.boxes.join("\n")));
        QVERIFY(!QFile::exists(report));
        QVERIFY2(Row(window, labelAfter.toUtf8().constData()), qPrintable(DumpTree(TreeOf(window, kProvider)).join("\n")));
        QVERIFY(!window.IsOperationRunning());
        ExpectNoPINs(logger);
    }

    void reportFailures_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("box");
        // Declining to save the report leaves the new PINs nowhere but on the screen: the box says so.
        QTest::newRow("no printer, no file chosen")
            << QByteArray()
            << "The access report was not saved. Write down the new PINs now: the next message shows them, and nothing "
               "else keeps them.";
        QTest::newRow("unwritable path") << QByteArray("/nonexistent-dir/r.pdf")
                                         << "Unable to write the access report to /nonexistent-dir/r.pdf.";
    }

    // A report that cannot be made is reported, and the access data are still shown. Without a
    // printer the user is offered the save dialog first.
    void reportFailures()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QString, box);
        if (variable.isEmpty() && !QPrinterInfo::availablePrinters().isEmpty())
            QSKIP("a printer is installed here");
        TestModuleCase();
        if (!variable.isEmpty())
            qputenv("TESSALY_PRINT_TO_FILE", variable);
        MainWindow window;
        window.show();
        TAnswers answers;
        answers.boxes = 2;
        answers.cancelAskedFile = variable.isEmpty();
        answers.printFails = variable.isEmpty();
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes.at(1), window.windowTitle() + QLatin1Char('|') + box);
        QCOMPARE(seen.boxes.at(2), AccessBox(kNewSOPIN, kNewUserPIN));
    }

    void reportIntoAChosenFile_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<QString>("title");
        QTest::addColumn<bool>("documents");
        QTest::newRow("asked for, no documents folder") << QByteArray("ask") << "Veskora Tessaly generated report"
                                                        << false;
        // Without a printer the report is not lost: a box says why, then the save dialog offers
        // to keep it.
        QTest::newRow("cannot be printed") << QByteArray() << "Save the access report as PDF" << true;
    }

    // The save dialog comes in front of the splash, suggesting a file named after the card in the
    // documents folder (else the home folder); the chosen file is written owner-only and no
    // failure is reported.
    void reportIntoAChosenFile()
    {
        QFETCH(QByteArray, variable);
        QFETCH(QString, title);
        QFETCH(bool, documents);
        if (documents)
            QVERIFY(QDir().mkpath(m_home + "/Documents"));
        if (variable.isEmpty() && !QPrinterInfo::availablePrinters().isEmpty())
            QSKIP("a printer is installed here");
        TestModuleCase();
        if (!variable.isEmpty())
            qputenv("TESSALY_PRINT_TO_FILE", variable);
        MainWindow window;
        window.show();
        TAnswers answers;
        answers.askedFile = m_dir + QStringLiteral("/chosen");
        answers.printFails = variable.isEmpty();
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QVERIFY(!seen.splashWhileAsked);
        QCOMPARE(seen.askedTitle, title);
        QCOMPARE(seen.suggestedFile, m_home + (documents ? "/Documents" : "") + "/access-report-Tessaly-Co-7.pdf");
        if (answers.printFails)
            QCOMPARE(seen.explanation, window.windowTitle() + "|The access report could not be printed. It holds the "
                                                              "card's new PINs: save it as a PDF file in the next dialog.");
        QCOMPARE(seen.boxes, QStringList({kQuestion, AccessBox(kNewSOPIN, kNewUserPIN)}));
        const QString pdf = answers.askedFile + QStringLiteral(".pdf");
        QCOMPARE(Mode(pdf), mode_t(0600));
        const QString text = PdfText(pdf);
        QVERIFY2(text.contains(QLatin1String(kNewUserPIN)) && text.contains(QLatin1String(kNewSOPIN)), qPrintable(text));
    }

    void cancelled_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::newRow("No to the question") << false;
        QTest::newRow("dialog cancelled") << true;
    }

    void cancelled()
    {
        QFETCH(bool, confirm);
        TestModuleCase();
        MainWindow window;
        window.show();
        TAnswers answers;
        answers.confirm = confirm;
        answers.acceptDialog = false;
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.boxes, QStringList() << kQuestion);
        QCOMPARE(m_tm->call_count("C_InitToken"), 0);
        QCOMPARE(m_tm->call_count("C_Login"), 0);
        QVERIFY(Row(window, "Test token"));
    }

    void labelLock_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("X/BIT4IPKI.DLL") << "X/BIT4IPKI.DLL" << false;
        QTest::newRow("libbit4ipki.so") << "libbit4ipki.so" << true;
    }

    void labelLock()
    {
        QFETCH(QString, name);
        QFETCH(bool, enabled);
        TestModuleCase(name);
        MainWindow window;
        window.show();
        TAnswers answers;
        answers.acceptDialog = false;
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(seen.labelEnabled, enabled);
    }

    // A slot event during the dialog and the boxes waits until the whole action has ended.
    void slotEventsWait()
    {
        TestModuleCase();
        m_tm->add_slot(8, "Second reader", "Tessaly");
        qputenv("TESSALY_PRINT_TO_FILE", QFile::encodeName(m_dir + QStringLiteral("/r.pdf")));
        MainWindow window;
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        int heldInDialog = 0, heldInBox = 0;
        bool runningInBox = false;
        TAnswers answers;
        answers.inDialog = [&](QWidget*) {
            m_tm->insert_token(8, nullptr, "12345678", "1234", 1);
            QTRY_VERIFY(window.GetHeldBackEventCount() > 0);
            heldInDialog = window.GetHeldBackEventCount();
        };
        answers.inLastBox = [&](QWidget*) {
            heldInBox = window.GetHeldBackEventCount();
            runningInBox = window.IsOperationRunning();
        };
        const TSeen seen = Initialize(window, Row(window, "Test token"), answers);
        QVERIFY2(seen.failures.isEmpty(), qPrintable(seen.failures.join("; ")));
        QCOMPARE(heldInDialog, 1);
        QCOMPARE(heldInBox, 1);
        QVERIFY(runningInBox);
        QTRY_COMPARE(window.GetHeldBackEventCount(), 0);
        QTRY_VERIFY(TokenRow(TreeOf(window, kProvider), QStringLiteral("Test token")));
        QVERIFY(Row(window, "Tessaly & Co 7"));
    }
};

QTEST_MAIN(InitializeTest)
#include "test_initialize.moc"
