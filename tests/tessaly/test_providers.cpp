// The window's providers (MainWindow_Providers.cpp): loading failures at start-up, Reload and
// the tab a failed reload leaves behind; the Preferences action: adding, removing and resetting
// providers reloads every provider (tabs, trees and the window's pointers rebuilt) and saves the
// settings; a language chosen there retranslates the window without a reload.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSplashScreen>
#include <QTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <QRandomGenerator>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Base.h"
#include "TestModuleControl.h"
#include "WindowSupport.h"

namespace {
const char* const kSoftHsm = "A SoftHSM2";
const char* const kModule = "Test Module";

void Later(std::function<void()> f)
{
    QTimer::singleShot(0, f);
}

QTreeWidgetItem* ListRow(QWidget* dialog, const QString& description)
{
    QTreeWidget* list = dialog->findChild<QTreeWidget*>("treeWidget");
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        if (list->topLevelItem(i)->text(0) == description)
            return list->topLevelItem(i);
    return nullptr;
}

// Every provider has its tab and its tree there; the current provider is one of them.
// What a user sees while a box is open: how many splashes are up, and whether the cursor says
// "wait".
struct TBoxSight {
    int splashes = -1;
    bool waitCursor = true;
};

TBoxSight Sight()
{
    TBoxSight sight;
    sight.splashes = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<QSplashScreen*>(w) && w->isVisible())
            ++sight.splashes;
    sight.waitCursor = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    return sight;
}

QString BulgarianName()
{
    for (const QString& name : CSettings::Instance().GetTranslationManager().GetLanguages().keys())
        if (name != QLatin1String("English (EN)"))
            return name;
    return QString();
}

void VerifyConsistent(MainWindow& window)
{
    QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
    QCOMPARE(int(window.GetProviders().size()), tabs->count());
    for (const auto& entry : window.GetProviders()) {
        CProviderTreeWidget* tree = entry.second->GetTreeWidget();
        QVERIFY(tree);
        bool inTab = false;
        for (int i = 0; i < tabs->count(); ++i)
            inTab = inTab || tabs->widget(i)->isAncestorOf(tree);
        QVERIFY(inTab);
    }
    if (window.GetCurrentProvider()) {
        bool known = false;
        for (const auto& entry : window.GetProviders())
            known = known || entry.second == window.GetCurrentProvider();
        QVERIFY(known);
    }
    QCOMPARE(int(window.findChildren<CProviderTreeWidget*>().size()), tabs->count());
}
} // namespace

class ProvidersTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

    // A second empty reader on the test module, and settings listing SoftHSM2 and the module.
    void SecondReaderAndBothProviders()
    {
        m_tm->add_slot(2, "Reader Two", "Tessaly");
        WriteSoftHsmAndModuleSettings(m_home, kSoftHsm, kModule, testmodule::ModulePath(), true);
    }

private slots:
    void initTestCase()
    {
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY(hsm.InitToken("Soft"));
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
        CSettings::Instance().GetTranslationManager().SetLanguage(QStringLiteral("English (EN)"));
    }

    void cleanup()
    {
        CSettings::Instance().GetTranslationManager().SetLanguage(QStringLiteral("English (EN)"));
        m_tm.reset();
    }

    // Every provider that cannot be loaded gives one box naming it and saying why, in front of
    // the splash, and no tab (a bare file name the loader does not find, a library this machine
    // lacks, only a log entry); neither a FIFO as module file (the loader would wait in its open()
    // for good) nor a library cut short (the loader would raise SIGBUS) ends or holds the start;
    // a module that refuses every initialisation argument (NSS's softoken of Debian 12) is said to
    // need arguments of its own; the others load, and the first that did becomes current.
    void loadingFailuresAtStartUp()
    {
        SecondReaderAndBothProviders();
        m_tm->set_initialize_mode(2);
        const QString fifo = QString::fromStdString(fixture::ScratchDir("fifo")) + "/libfifo.so";
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        // A real module cut short, as a half-written update leaves it: the loader would end the
        // program with SIGBUS.
        const std::string real = fixture::SoftHsm::ModulePath();
        const QString cut = QString::fromStdString(fixture::ScratchDir("cut") + "/libsofthsm2.so");
        fixture::WriteCutShort(real, cut.toStdString(), fixture::LoadableEnd(real) / 2);
        WriteProviderSettings(m_home, {{"A Missing", "/nonexistent/libnone.so", true},
                                       {"B Not a library", testmodule::NotALibraryPath(), true},
                                       {"C Broken", testmodule::ModulePath(), true},
                                       {"D SoftHSM2", QString::fromStdString(fixture::SoftHsm::ModulePath()), false},
                                       {"E FIFO", fifo, true},
                                       {"F No entry", testmodule::NoFunctionListPath(), true},
                                       {"G Not installed", "libnot-installed-here.so", true},
                                       {"H Cut short", cut, true},
                                       {"I Needs arguments", TESSALY_SLOWINIT_MODULE_PATH, true}});
        qputenv("TESSALY_INITIALIZE_RV", "0x7");
        const auto unset = qScopeGuard([] { qunsetenv("TESSALY_INITIALIZE_RV"); });
        MainWindow window;
        MemoryLogger logger(0xFF);
        QStringList boxes;
        QList<int> splashesShown;
        fixture::ModalDriver driver(15000);
        auto answer = [&](QWidget* box) {
            boxes << qobject_cast<QMessageBox*>(box)->text();
            splashesShown << Sight().splashes;
            fixture::ModalDriver::Accept(box);
        };
        for (int i = 0; i < 7; ++i)
            driver.Expect(answer, "QMessageBox");
        window.show();
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(boxes.size(), 7);
        QVERIFY2(boxes.at(0).startsWith("The provider A Missing could not be loaded.\nThe system could not load its "
                                        "module: /nonexistent/libnone.so: "),
                 qPrintable(boxes.at(0)));
        QVERIFY2(boxes.at(1).startsWith("The provider B Not a library could not be loaded.\nThe system could not load "
                                        "its module: "),
                 qPrintable(boxes.at(1)));
        // Which provider, and the module's answer explained.
        QCOMPARE(boxes.at(2), QStringLiteral("C Broken: Unable to initialize the Cryptoki module\nThe module answered "
                                             "CKR_GENERAL_ERROR.\nSome unrecoverable error has occurred."));
        QCOMPARE(boxes.at(3), QStringLiteral("The provider E FIFO could not be loaded.\nIts module file %1 is not a "
                                             "regular file; only regular files are loaded.").arg(fifo));
        QCOMPARE(boxes.at(4), QStringLiteral("The provider F No entry could not be loaded.\nThe file %1 is not a "
                                             "PKCS#11 module.").arg(testmodule::NoFunctionListPath()));
        QCOMPARE(boxes.at(5), QStringLiteral("The provider H Cut short could not be loaded.\nIts module file %1 is "
                                             "cut short: it ends before the parts the system needs to load it (an "
                                             "interrupted update or a full disk leaves such a file). Install the "
                                             "module again.")
                                  .arg(cut));
        QCOMPARE(boxes.at(6), QStringLiteral("The provider I Needs arguments cannot be used.\nThis module needs "
                                             "initialisation arguments of its own, which no general program passes; "
                                             "it cannot be used here."));
        QCOMPARE(splashesShown, QList<int>({0, 0, 0, 0, 0, 0, 0}));
        // The library this machine lacks is in the log, with the loader's reason.
        QCOMPARE(logger.CountWith(L"The provider G Not installed could not be loaded.\nThe system could not load its "
                                  L"module: libnot-installed-here.so: cannot open shared object file"),
                 size_t(1));
        QCOMPARE(TabLabels(window), QStringList() << "D SoftHSM2");
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, "D SoftHSM2"));
        QVERIFY(window.GetSelectedItem());
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        QTest::qWait(100);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        m_tm->set_initialize_mode(0);
    }

    // The load-failure texts in the window's language.
    void loadFailureTexts_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<qulonglong>("code");
        QTest::addColumn<uint>("kind");
        QTest::addColumn<QString>("text");
        const QString en = QStringLiteral("English (EN)");
        const QString bg = BulgarianName();
        QTest::newRow("loader, en") << en << QByteArray("Карта: /x/lib.so: cannot open shared object file")
                                    << qulonglong(0) << uint(TSY_KIND_LOAD_FAILED)
                                    << QStringLiteral("The provider Карта could not be loaded.\nThe system could not "
                                                      "load its module: /x/lib.so: cannot open shared object file");
        QTest::newRow("loader, bg") << bg << QByteArray("Карта: /x/lib.so: cannot open shared object file")
                                    << qulonglong(0) << uint(TSY_KIND_LOAD_FAILED)
                                    << QStringLiteral("Доставчикът Карта не можа да бъде зареден.\nСистемата не можа да "
                                                      "зареди модула му: /x/lib.so: cannot open shared object file");
        QTest::newRow("not regular, en") << en << QByteArray("Карта: /x/lib.so: not a regular file")
                                         << qulonglong(TSY_MODULE_NOT_REGULAR) << uint(TSY_KIND_LOAD_FAILED)
                                         << QStringLiteral("The provider Карта could not be loaded.\nIts module file "
                                                           "/x/lib.so is not a regular file; only regular files are "
                                                           "loaded.");
        QTest::newRow("not regular, bg") << bg << QByteArray("Карта: /x/lib.so: not a regular file")
                                         << qulonglong(TSY_MODULE_NOT_REGULAR) << uint(TSY_KIND_LOAD_FAILED)
                                         << QStringLiteral("Доставчикът Карта не можа да бъде зареден.\nФайлът на "
                                                           "модула му /x/lib.so не е обикновен файл; зареждат се само "
                                                           "обикновени файлове.");
        QTest::newRow("not a module, en") << en << QByteArray("Unable to obtain C_GetFunctionList entry point")
                                          << qulonglong(TSY_MODULE_NOT_PKCS11) << uint(TSY_KIND_PLAIN)
                                          << QStringLiteral("The provider Карта could not be loaded.\nThe file "
                                                            "/x/lib.so is not a PKCS#11 module.");
        QTest::newRow("not a module, bg") << bg << QByteArray("Unable to obtain C_GetFunctionList entry point")
                                          << qulonglong(TSY_MODULE_NOT_PKCS11) << uint(TSY_KIND_PLAIN)
                                          << QStringLiteral("Доставчикът Карта не можа да бъде зареден.\nФайлът "
                                                            "/x/lib.so не е модул PKCS#11.");
        QTest::newRow("cut short, bg") << bg << QByteArray("Карта: /x/lib.so: cut short: the file has 4096 bytes")
                                       << qulonglong(TSY_MODULE_CUT_SHORT) << uint(TSY_KIND_LOAD_FAILED)
                                       << QStringLiteral("Доставчикът Карта не можа да бъде зареден.\nФайлът на "
                                                         "модула му /x/lib.so е скъсен: свършва преди частите, които "
                                                         "системата трябва да зареди (такъв файл остава след "
                                                         "прекъснато обновяване или препълнен диск). Инсталирайте "
                                                         "модула отново.");
        QTest::newRow("needs arguments, bg")
            << bg << QByteArray("Unable to initialize the Cryptoki module: it answered CKR_ARGUMENTS_BAD also without "
                                "initialisation arguments")
            << qulonglong(TSY_MODULE_NEEDS_ARGUMENTS) << uint(TSY_KIND_PLAIN)
            << QStringLiteral("Доставчикът Карта не може да се използва.\nТози модул изисква собствени аргументи за "
                              "инициализация, които никоя обща програма не подава; той не може да се използва тук.");
    }
    void loadFailureTexts()
    {
        QFETCH(QString, language);
        QFETCH(QByteArray, message);
        QFETCH(qulonglong, code);
        QFETCH(uint, kind);
        QFETCH(QString, text);
        CSettings::Instance().GetTranslationManager().SetLanguage(language);
        const CTSYException error(message.constData(), code, kind);
        QCOMPARE(MainWindow::ProviderFailureText(error, "/x/lib.so", CSettings::ToMapText(QStringLiteral("Карта"))),
                 text);
    }

    // Without providers the start says so in a box in front of the start-up splash, with the
    // normal cursor; the splash is gone once the start is over.
    void noProvidersAtStartUpSaySoInFront()
    {
        WriteProviderSettings(m_home, {});
        // An empty table in the file keeps the table the settings hold: empty it.
        CSettings::Instance().GetProviders().clear();
        MainWindow window;
        QString info;
        TBoxSight sight;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* box) {
            info = qobject_cast<QMessageBox*>(box)->text();
            sight = Sight();
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        window.show();
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        QVERIFY2(info.startsWith(QStringLiteral("No PKCS#11 modules installed.")), qPrintable(info));
        QCOMPARE(sight.splashes, 0);
        QVERIFY(!sight.waitCursor);
        QCOMPARE(Sight().splashes, 0);
        QVERIFY(!QApplication::overrideCursor());
    }

    // A module whose C_Finalize does not return: Reload and close come back to the user within
    // the time limit, each with a box naming the provider; the window goes on without it (its tab
    // stays empty, the other provider works), a new load leaves it out while it hangs, and once
    // it answers it loads again.
    void stuckFinalizeOnReloadAndClose()
    {
        testmodule::StuckFinalize stuck;
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        const unsigned long previous = CPKCS11Provider::GetFinalizeTimeout();
        CPKCS11Provider::SetFinalizeTimeout(300);
        const QString stuckModule = QString::fromLatin1(testmodule::StuckFinalizePath());
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false},
                                       {"Stuck", stuckModule, false}});
        const QString box = QStringLiteral("The provider Stuck did not answer when it was closed.\nIt was left as it "
                                           "is; tessaly goes on without it.");
        QStringList boxes;
        QElapsedTimer timer;
        qint64 boxAfterMs = -1;
        auto answer = [&](QWidget* w) {
            boxAfterMs = timer.elapsed();
            boxes << qobject_cast<QMessageBox*>(w)->text();
            fixture::ModalDriver::Accept(w);
        };
        {
            MainWindow window;
            window.show();
            QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << "Stuck");
            QVERIFY(SelectToken(window, "Stuck", "Test token"));
            fixture::ModalDriver driver(15000);
            driver.Expect(answer, "QMessageBox");
            timer.start();
            Action(window, "actionReload")->trigger();
            QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
            QCOMPARE(boxes, QStringList() << box);
            QVERIFY2(boxAfterMs >= 250 && boxAfterMs < 3000, qPrintable(QString::number(boxAfterMs)));
            QCOMPARE(stuck.Held(), 1);
            QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << "Stuck");
            QVERIFY(!ProviderNamed(window, "Stuck"));
            QVERIFY(!window.GetCurrentProvider());
            QVERIFY(!window.GetSelectedItem());
            QVERIFY(SelectToken(window, kSoftHsm, "Soft"));
            QVERIFY(Action(window, "actionLogin")->isVisible());

            // While it hangs a new load leaves it out, without a box.
            MainWindow other;
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            other.show();
            QCOMPARE(TabLabels(other), QStringList() << kSoftHsm);
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            other.close();
        }
        stuck.Release();
        for (int i = 0; i < 500 && CPKCS11Provider::IsFinalizePending(stuckModule.toStdString()); ++i)
            QTest::qWait(10);
        QVERIFY(!CPKCS11Provider::IsFinalizePending(stuckModule.toStdString()));

        // At close nobody can act on it: no box, and the close waits the close limit, not the
        // longer one a reload waits.
        stuck.Hold();
        CPKCS11Provider::SetFinalizeTimeout(60000);
        {
            MainWindow window;
            window.show();
            QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << "Stuck");
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            timer.start();
            window.close();
            const qint64 closeMs = timer.elapsed();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            QVERIFY2(closeMs < 30000, qPrintable(QString::number(closeMs)));
            QCOMPARE(stuck.Held(), 1);
            QVERIFY(window.GetProviders().empty());
        }
        // The program ends normally once the module has answered.
        stuck.Release();
        for (int i = 0; i < 500 && CPKCS11Provider::IsFinalizePending(stuckModule.toStdString()); ++i)
            QTest::qWait(10);
        QVERIFY(!CPKCS11Provider::IsFinalizePending(stuckModule.toStdString()));
        CPKCS11Provider::SetFinalizeTimeout(previous);
    }

    // A reload whose module no longer initialises reports the failure and leaves the tab with
    // an empty tree and no provider behind it.
    void failedReloadLeavesNoPointerBehind()
    {
        SecondReaderAndBothProviders();
        m_tm->insert_token(2, nullptr, "12345678", "1234", 0);
        WriteProviderSettings(m_home, {{kModule, testmodule::ModulePath(), true}});
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kModule);
        QVERIFY(window.GetSelectedItem());
        QVERIFY(Action(window, "actionLogin")->isVisible());
        m_tm->set_initialize_mode(2);

        QString shown;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* box) {
            shown = qobject_cast<QMessageBox*>(box)->text();
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        Action(window, "actionReload")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(shown, QStringLiteral("Test Module: Unable to initialize the Cryptoki module\nThe module answered "
                                       "CKR_GENERAL_ERROR.\nSome unrecoverable error has occurred."));
        QCOMPARE(TabLabels(window), QStringList() << kModule);
        QVERIFY(window.GetProviders().empty());
        QVERIFY(!window.GetCurrentProvider());
        QVERIFY(!window.GetSelectedItem());
        QVERIFY(!Action(window, "actionLogin")->isVisible());
        CProviderTreeWidget* tree = window.findChild<CProviderTreeWidget*>("ProviderTree");
        QVERIFY(tree);
        QCOMPARE(tree->topLevelItemCount(), 0);
        QCOMPARE(tree->GetMappedCount(), 0);

        // A Reload there tries the module again: the same box while it still fails, then its rows.
        QString again;
        fixture::ModalDriver retry(15000);
        retry.Expect([&](QWidget* box) {
            again = qobject_cast<QMessageBox*>(box)->text();
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        window.findChild<QTabWidget*>("tabWidget")->setCurrentIndex(0);
        Action(window, "actionReload")->trigger();
        QVERIFY2(retry.Finished(), qPrintable(retry.Failures().join("; ")));
        QCOMPARE(again, shown);
        QVERIFY(window.GetProviders().empty());
        QCOMPARE(tree->topLevelItemCount(), 0);

        m_tm->set_initialize_mode(0);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        Action(window, "actionReload")->trigger();
        QCOMPARE(TabLabels(window), QStringList() << kModule);
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kModule));
        QCOMPARE(tree, ProviderNamed(window, kModule)->GetTreeWidget());
        QVERIFY(TokenRow(tree, "Test token"));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // The tab left without a provider by a failed reload has no current provider: the actions
    // do not follow the selection of another tab, and Reload there loads only its own module.
    void tabWithoutProviderHasNoCurrentProvider()
    {
        SecondReaderAndBothProviders();
        m_tm->insert_token(2, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
        tabs->setCurrentIndex(1);
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kModule));
        m_tm->set_initialize_mode(2);
        fixture::ModalDriver driver(15000);
        driver.Expect([](QWidget* box) { fixture::ModalDriver::Accept(box); }, "QMessageBox");
        Action(window, "actionReload")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        m_tm->set_initialize_mode(0);

        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        tabs->setCurrentIndex(0);
        CPKCS11Provider* soft = ProviderNamed(window, kSoftHsm);
        QCOMPARE(window.GetCurrentProvider(), soft);
        CProviderTreeWidget* tree = soft->GetTreeWidget();
        tree->setCurrentItem(TokenRow(tree, "Soft"));
        QVERIFY(window.GetSelectedItem());
        QVERIFY(Action(window, "actionLogin")->isVisible());

        tabs->setCurrentIndex(1);
        QVERIFY(!window.GetCurrentProvider());
        QVERIFY(!window.GetSelectedItem());
        QVERIFY(!Action(window, "actionLogin")->isVisible());
        CPKCS11Context* softContext = soft->GetContext();
        Action(window, "actionReload")->trigger();
        QCOMPARE(ProviderNamed(window, kSoftHsm), soft);
        QCOMPARE(soft->GetContext(), softContext);
        QCOMPARE(int(window.GetProviders().size()), 2);
        QVERIFY(ProviderNamed(window, kModule));
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kModule));
        QCOMPARE(window.ProviderOfTab(1), ProviderNamed(window, kModule));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    void addThenReload()
    {
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm);
        CPKCS11Provider* before = window.GetCurrentProvider();
        QVERIFY(before);

        fixture::ModalDriver driver(15000);
        driver.Expect([](QWidget* prefs) { Later([prefs] { fixture::ModalDriver::Click(prefs, "addButton"); }); },
                      "ProvidersDialog");
        driver.Expect([](QWidget* add) {
            add->findChild<QLineEdit*>("edtDescription")->setText(kModule);
            add->findChild<QLineEdit*>("edtModule")->setText(testmodule::ModulePath());
            fixture::ModalDriver::Click(add, "OK");
        }, "AddProviderDialog");
        bool added = false;
        driver.Expect([&](QWidget* prefs) {
            added = ListRow(prefs, kModule) != nullptr;
            fixture::ModalDriver::Click(prefs, "closeButton");
        }, "ProvidersDialog");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));

        QVERIFY(added);
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << kModule);
        VerifyConsistent(window);
        QCOMPARE(DumpTree(TreeOf(window, kModule)), QStringList() << "Reader One [0]");
        // The first recognised token is selected again, in a tree of the new load.
        QVERIFY(window.GetSelectedItem());
        QCOMPARE(window.GetSelectedItem()->GetObjectType(), CryptokiToken);
        QVERIFY(TreeOf(window, kSoftHsm)->FindItem(window.GetSelectedItem()));

        // Saved at once.
        const QString ini = QString::fromLatin1(ReadFile(HomeSettingsPath(m_home)));
        QVERIFY2(ini.contains(QStringLiteral("Description=") + kModule), qPrintable(ini));
        QVERIFY2(ini.contains(QStringLiteral("Module=") + testmodule::ModulePath()), qPrintable(ini));

        // The new provider follows slot events.
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
        QTRY_COMPARE(DumpTree(TreeOf(window, kModule)), QStringList({"Reader One [1]", "  Test token [3]"}));
    }

    // A module name the loader cannot find, just entered in Preferences, is said with the
    // loader's reason; one of the table before, as at start, is only logged.
    void nameJustEnteredThatTheLoaderCannotFind()
    {
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false},
                                       {"Old vendor", "libold-vendor-not-here.so", false}});
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm);

        QStringList boxes;
        fixture::ModalDriver driver(15000);
        driver.RejectUnexpected();
        driver.Expect([](QWidget* prefs) { Later([prefs] { fixture::ModalDriver::Click(prefs, "addButton"); }); },
                      "ProvidersDialog");
        driver.Expect([](QWidget* add) {
            add->findChild<QLineEdit*>("edtDescription")->setText("New vendor");
            add->findChild<QLineEdit*>("edtModule")->setText("libnew-vendor-not-here.so");
            fixture::ModalDriver::Click(add, "OK");
        }, "AddProviderDialog");
        driver.Expect([](QWidget* prefs) { fixture::ModalDriver::Click(prefs, "closeButton"); }, "ProvidersDialog");
        driver.Expect(fixture::ModalDriver::AcceptAndNote(boxes), "QMessageBox");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished() && driver.Unexpected().isEmpty(),
                 qPrintable((driver.Failures() + driver.Unexpected()).join("; ")));
        QCOMPARE(boxes, QStringList{QStringLiteral(
                            "The provider New vendor could not be loaded.\nThe system could not load its module: "
                            "libnew-vendor-not-here.so: cannot open shared object file: No such file or directory")});
        // At start and at the reload of the Preferences.
        QCOMPARE(logger.CountWith(L"The provider Old vendor could not be loaded.\nThe system could not load its "
                                  L"module: libold-vendor-not-here.so: cannot open shared object file"),
                 size_t(2));
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm);
    }

    // Removing a provider while its card changes: the event held back during the dialog
    // belongs to a freed provider and is dropped.
    void removeThenReload()
    {
        WriteSoftHsmAndModuleSettings(m_home, kSoftHsm, kModule, testmodule::ModulePath(), true);
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << kModule);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);

        fixture::ModalDriver driver(15000);
        int held = 0;
        bool removed = false;
        driver.Expect([&](QWidget* prefs) {
            m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
            (void)QTest::qWaitFor([&] { return window.GetHeldBackEventCount() > 0; }, 3000);
            held = window.GetHeldBackEventCount();
            if (QTreeWidgetItem* row = ListRow(prefs, kModule))
                row->setSelected(true);
            Later([prefs] { fixture::ModalDriver::Click(prefs, "removeButton"); });
        }, "ProvidersDialog");
        driver.Expect([](QWidget* question) { fixture::ModalDriver::Click(question, "OK"); }, "QMessageBox");
        driver.Expect([&](QWidget* prefs) {
            removed = !ListRow(prefs, kModule);
            fixture::ModalDriver::Click(prefs, "closeButton");
        }, "ProvidersDialog");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));

        QVERIFY(held > 0);
        QVERIFY(removed);
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm);
        VerifyConsistent(window);
        // What the new providers reported meanwhile is applied once the action has ended.
        QTRY_COMPARE(window.GetHeldBackEventCount(), 0);
        QTest::qWait(100);
        VerifyConsistent(window);
        QVERIFY(!ProviderNamed(window, kModule));
        const QString ini = QString::fromLatin1(ReadFile(HomeSettingsPath(m_home)));
        QVERIFY2(!ini.contains(kModule), qPrintable(ini));
    }

    // Removing every provider frees them all: no tab, no tree, no provider, no selection.
    void removeEveryProvider()
    {
        WriteSoftHsmAndModuleSettings(m_home, kSoftHsm, kModule, testmodule::ModulePath(), true);
        MainWindow window;
        window.show();
        QVERIFY(window.GetSelectedItem());
        QString info;
        TBoxSight sight;
        fixture::ModalDriver driver(15000);
        driver.Expect([](QWidget* prefs) {
            QTreeWidget* list = prefs->findChild<QTreeWidget*>("treeWidget");
            list->selectAll();
            Later([prefs] { fixture::ModalDriver::Click(prefs, "removeButton"); });
        }, "ProvidersDialog");
        driver.Expect([](QWidget* question) { fixture::ModalDriver::Click(question, "OK"); }, "QMessageBox");
        driver.Expect([](QWidget* prefs) { fixture::ModalDriver::Click(prefs, "closeButton"); }, "ProvidersDialog");
        driver.Expect([&](QWidget* box) {
            info = qobject_cast<QMessageBox*>(box)->text();
            sight = Sight();
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(info, QStringLiteral("No PKCS#11 modules installed.\nTo install new security device go to "
                                      "Edit->Preferences"));
        // In front of the splash of the reload, with the normal cursor.
        QCOMPARE(sight.splashes, 0);
        QVERIFY(!sight.waitCursor);
        QVERIFY(TabLabels(window).isEmpty());
        QVERIFY(window.GetProviders().empty());
        QVERIFY(!window.GetCurrentProvider());
        QVERIFY(!window.GetSelectedItem());
        QVERIFY(!Action(window, "actionLogin")->isVisible());
        QCOMPARE(window.findChildren<CProviderTreeWidget*>().size(), 0);
        // Reload has nothing to act on.
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        Action(window, "actionReload")->trigger();
        QTest::qWait(50);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        const QString ini = QString::fromLatin1(ReadFile(HomeSettingsPath(m_home)));
        QVERIFY2(ini.contains("size=0"), qPrintable(ini));
    }

    void resetThenReload()
    {
        WriteProviderSettings(m_home, {{kModule, testmodule::ModulePath(), true}});
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kModule);

        fixture::ModalDriver driver(15000);
        bool listed = false;
        // The defaults this machine lacks are only logged, as at start.
        std::unique_ptr<fixture::ModalDriver> failures;
        driver.Expect([&](QWidget* prefs) {
            fixture::ModalDriver::Click(prefs, "resetButton");
            listed = !ListRow(prefs, kModule) && ListRow(prefs, "OpenSC");
            fixture::ModalDriver::Click(prefs, "closeButton");
            failures.reset(new fixture::ModalDriver);
            failures->RejectUnexpected();
        }, "ProvidersDialog");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(failures);
        QVERIFY2(failures->Unexpected().isEmpty(), qPrintable(failures->Unexpected().join("; ")));
        failures.reset();

        QVERIFY(listed);
        const CSettings::TModules& table = CSettings::Instance().GetProviders();
        QCOMPARE(int(table.size()), 4);
        QVERIFY(table.count("OpenSC"));
        // Only the default modules that this machine has load; the test module is gone.
        for (const QString& label : TabLabels(window))
            QVERIFY2(table.count(label.toStdString()), qPrintable(label));
        QVERIFY(!TabLabels(window).contains(kModule));
        VerifyConsistent(window);
        QVERIFY(!window.GetSelectedItem() || window.GetCurrentProvider());
    }

    // The language applies on OK and retranslates the window; nothing is reloaded.
    void languageWithoutReload()
    {
        WriteProviderSettings(m_home, {{kModule, testmodule::ModulePath(), true}});
        MainWindow window;
        window.show();
        CPKCS11Provider* before = window.GetCurrentProvider();
        QCOMPARE(window.findChild<QMenu*>("menuFile")->title(), QStringLiteral("File"));

        QString chosen;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* prefs) {
            QComboBox* box = prefs->findChild<QComboBox*>("comboBox");
            for (int i = 0; i < box->count(); ++i)
                if (box->itemText(i) != "English (EN)")
                    box->setCurrentIndex(i);
            chosen = box->currentText();
            fixture::ModalDriver::Click(prefs, "closeButton");
        }, "ProvidersDialog");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(chosen != "English (EN)");
        QCOMPARE(CSettings::Instance().GetTranslationManager().GetCurrentLanguage(), chosen);
        QTRY_VERIFY(window.findChild<QMenu*>("menuFile")->title() != QStringLiteral("File"));
        QCOMPARE(window.GetCurrentProvider(), before);
        QCOMPARE(TabLabels(window), QStringList() << kModule);
    }

    // Reload shows the start-up splash and the wait cursor, and the window goes on painting
    // while the module takes its time in C_Initialize.
    void reloadShowsSplashAndKeepsPainting()
    {
        WriteProviderSettings(m_home, {{"Slow", TESSALY_SLOWINIT_MODULE_PATH, false}});
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << "Slow");
        QVERIFY(window.GetCurrentProvider());
        qputenv("TESSALY_SLOW_INITIALIZE_MS", "1500");
        int ticks = 0;
        int paints = 0;
        bool bWait = false;
        auto splashUp = [] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (QSplashScreen* s = qobject_cast<QSplashScreen*>(w))
                    if (s->isVisible() && s->message() == QStringLiteral("Loading provider Slow..."))
                        return true;
            return false;
        };
        QTimer tick;
        tick.setInterval(20);
        connect(&tick, &QTimer::timeout, [&] {
            if (!splashUp())
                return;
            ++ticks;
            bWait = bWait || Sight().waitCursor;
            window.update();
        });
        struct TPaintCounter : QObject {
            std::function<void()> onPaint;
            bool eventFilter(QObject*, QEvent* e) override
            {
                if (e->type() == QEvent::Paint)
                    onPaint();
                return false;
            }
        } counter;
        counter.onPaint = [&] {
            if (splashUp())
                ++paints;
        };
        window.installEventFilter(&counter);
        tick.start();
        Action(window, "actionReload")->trigger();
        tick.stop();
        window.removeEventFilter(&counter);
        qunsetenv("TESSALY_SLOW_INITIALIZE_MS");
        QVERIFY2(ticks > 0, "no timer ran under the splash during the reload");
        QVERIFY2(paints > 0, "the window did not paint during the reload");
        QVERIFY(bWait);
        QVERIFY(!splashUp());
        QVERIFY(ProviderNamed(window, "Slow"));
    }

    // A home that cannot hold the settings folder: the user is told once, at start, with the
    // system's reason; closing says nothing more.
    void settingsThatCannotBeWrittenAreToldOnce()
    {
        const QString notAFolder = m_home + "/plain-file";
        WriteFile(notAFolder, "x");
        qputenv("HOME", QFile::encodeName(notAFolder));
        CSettings::Instance().GetProviders().clear();
        QStringList boxes;
        fixture::ModalDriver driver(15000);
        auto answer = fixture::ModalDriver::AcceptAndNote(boxes);
        driver.Expect(answer, "QMessageBox");
        driver.Expect(answer, "QMessageBox");
        {
            MainWindow window;
            window.show();
            QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            window.close();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        }
        QCOMPARE(boxes.size(), 2);
        QCOMPARE(boxes.at(0), QStringLiteral("The settings cannot be saved to %1/.Veskora/tessaly.ini: Not a "
                                             "directory.\nWhat you change now (providers, the language, a message "
                                             "you turn off) is lost when tessaly closes.")
                                  .arg(notAFolder));
        QVERIFY2(boxes.at(1).startsWith("No PKCS#11 modules installed."), qPrintable(boxes.at(1)));
    }

    // A settings file torn by a crash (its last section head cut short): what can be read of it is
    // used, the provider table included, and the user is told once, at start, what was found. The close saves
    // the settings and keeps the damaged file as it was beside the new one; the next start reads
    // the new file without a word.
    void damagedSettingsFileThroughAStartAndAClose()
    {
        const QString path = HomeSettingsPath(m_home);
        const QByteArray damaged = "[General]\nSkinEnabled=false\n\n[Providers]\n1\\Description=Test Module\n"
                                   "1\\Module=" + QByteArray(testmodule::ModulePath()) +
                                   "\n1\\ShowSEWarning=false\nsize=1\n[Brok";
        WriteFile(path, damaged);
        CSettings::Instance().LoadDefaultProviders();
        QStringList boxes;
        {
            MainWindow window;
            fixture::ModalDriver driver(15000);
            driver.Expect(fixture::ModalDriver::AcceptAndNote(boxes), "QMessageBox");
            window.show();
            QCOMPARE(TabLabels(window), QStringList{kModule});
            QVERIFY(!window.IsSkinOn());
            QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            window.close();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        }
        QCOMPARE(boxes, QStringList(QStringLiteral("The settings file %1 is damaged: a section head in it is cut "
                                                   "short; it ends inside a line, as a file cut short does.\nWhat "
                                                   "could be read of it is used. When the settings are saved, the "
                                                   "file as it is now is kept as %1.damaged (the one copy of a "
                                                   "damaged settings file: an earlier one is replaced).")
                                        .arg(path)));
        QCOMPARE(ReadFile(path + ".damaged"), damaged);
        {
            QSettings saved(path, QSettings::IniFormat);
            QCOMPARE(saved.status(), QSettings::NoError);
            QCOMPARE(saved.value("Providers/size").toInt(), 1);
            QCOMPARE(saved.value("Providers/1/Module").toString(), QString::fromLatin1(testmodule::ModulePath()));
            QCOMPARE(saved.value("SkinEnabled").toBool(), false);
        }

        CSettings::Instance().LoadDefaultProviders();
        {
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            MainWindow window;
            window.show();
            QCOMPARE(TabLabels(window), QStringList{kModule});
            window.close();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        }
        QCOMPARE(QDir(m_home + "/.Veskora").entryList(QDir::Files),
                 QStringList({"tessaly.ini", "tessaly.ini.damaged"}));
    }

    // Settings files damaged as disks damage them, through a start and a close of the window: what
    // the window then has, what it says (one box at most, or the log), and what lies beside the file.
    void damagedSettingsFilesThroughAStartAndAClose_data()
    {
        QTest::addColumn<QString>("kind");          // "file", "fifo", or "full" (the save meets a full disk)
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("starts");
        QTest::addColumn<QStringList>("tabs");      // of a FIFO: the providers of the settings
        QTest::addColumn<QString>("said");          // the box, or the log line (%N: any number)
        QTest::addColumn<QStringList>("beside");    // the folder after the close
        const QByteArray module = testmodule::ModulePath();
        const QByteArray general = "[General]\nSkinEnabled=false\n";
        const QByteArray entry = "1\\Description=Test Module\n1\\Module=" + module + "\n1\\ShowSEWarning=false\n";
        const QString damaged = QStringLiteral(
            "The settings file %1 is damaged: %2.\nWhat could be read of it is used. When the settings are saved, "
            "the file as it is now is kept as %1.damaged (the one copy of a damaged settings file: an earlier one is "
            "replaced).");
        const QStringList both = {"tessaly.ini", "tessaly.ini.damaged"};
        const QStringList defaults = {"Bit4id", "Charismathics", "OpenSC", "Siemens"};
        QTest::newRow("cut at the end")
            << "file" << general + "[Providers]\n" + entry + "2\\Description=Other\n2\\Module=/opt/oth" << 1
            << QStringList{kModule}
            << damaged.arg("%1", "it ends inside a line, as a file cut short does; lines that are no settings "
                                 "were left out (1); its provider table had no size that matches its entries; "
                                 "the providers found in it are used (1)")
            << both;
        QTest::newRow("cut section head") << "file" << general + "[Provid\n" + entry + "size=1\n" << 1
                                          << QStringList{kModule}
                                          << damaged.arg("%1", "a section head in it is cut short") << both;
        QByteArray junk(10 * 1024 * 1024, '\0');
        QRandomGenerator random(46);
        random.fillRange(reinterpret_cast<quint32*>(junk.data()), junk.size() / 4);
        QTest::newRow("10 MB of junk") << "file" << general + junk + "\n[Providers]\n" + entry + "size=1\n" << 1
                                       << QStringList{kModule}
                                       << damaged.arg("%1", "lines that are no settings were left out (%N)") << both;
        // The defaults' table: which of them load depends on the machine.
        QTest::newRow("FIFO") << "fifo" << QByteArray() << 1 << defaults
                              << QStringLiteral("The settings cannot be saved to %1: it is not a regular file.\nWhat "
                                                "you change now (providers, the language, a message you turn off) "
                                                "is lost when tessaly closes.")
                              << QStringList{"tessaly.ini"};
        QTest::newRow("full file system")
            << "full" << general + "[Providers]\n" + entry + "size=1\n" << 1 << QStringList{kModule}
            << "Settings file %1 cannot be written: No space left on device" << QStringList{"tessaly.ini"};
        QTest::newRow("20 damaged starts") << "file" << general + "[Provid\n" + entry + "size=1\n" << 20
                                           << QStringList{kModule}
                                           << damaged.arg("%1", "a section head in it is cut short") << both;
    }
    void damagedSettingsFilesThroughAStartAndAClose()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);
        QFETCH(int, starts);
        QFETCH(QStringList, tabs);
        QFETCH(QString, said);
        QFETCH(QStringList, beside);
        const QString path = HomeSettingsPath(m_home);
        const QRegularExpression expected(
            "^" +
            QRegularExpression::escape(QString(said).replace(QStringLiteral("%1"), path)).replace("\\%N", "[0-9]+") +
            "$");
        QStringList boxes;
        QStringList lines;
        QStringList opened;
        for (int start = 1; start <= starts; ++start) {
            if (kind == "fifo") {
                QDir().mkpath(m_home + "/.Veskora");
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            } else {
                WriteFile(path, content);
            }
            if (kind == "full")
                CSettings::SetOpenForWriting([](const char*) { return ::open("/dev/full", O_WRONLY | O_CLOEXEC); });
            auto restore = qScopeGuard([] { CSettings::SetOpenForWriting(nullptr); });
            CSettings::Instance().LoadDefaultProviders();
            QStringList thisStart;
            {
                MainWindow window;
                MemoryLogger log(0xFF);
                fixture::ModalDriver driver(15000);
                driver.RejectUnexpected();
                if (kind != "full")
                    driver.Expect(fixture::ModalDriver::AcceptAndNote(thisStart), "QMessageBox");
                window.show();
                opened = TabLabels(window);
                if (kind == "fifo") {
                    opened.clear();
                    for (const auto& provider : CSettings::Instance().GetProviders())
                        opened << CSettings::FromMapText(provider.first);
                }
                if (kind != "full")
                    QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
                fixture::ModalDriver modals;
                modals.RejectUnexpected();
                window.close();
                QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
                QVERIFY2(driver.Unexpected().isEmpty(), qPrintable(driver.Unexpected().join("; ")));
                for (const MemoryLogger::Entry& entry : log.Entries())
                    if (entry.text.find(L"Settings file") != std::wstring::npos)
                        lines << QString::fromStdWString(entry.text).trimmed();
            }
            boxes << thisStart;
            if (kind == "file")
                QCOMPARE(ReadFile(path + ".damaged"), content);
            if (kind == "fifo") {
                QVERIFY(QFileInfo(path).exists() && !QFileInfo(path).isFile());
                QFile::remove(path);
            }
        }
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        const QStringList listing = QDir(m_home + "/.Veskora").entryList(QDir::Files | QDir::System | QDir::Hidden);
        QStringList saved;
        if (kind != "fifo") {
            QSettings file(path, QSettings::IniFormat);
            const int size = file.value("Providers/size").toInt();
            for (int i = 1; i <= size; ++i)
                saved << file.value(QStringLiteral("Providers/%1/Description").arg(i)).toString();
        }
        qInfo().noquote() << QTest::currentDataTag() << "| tabs:" << opened.join(", ") << "| file's table:"
                          << saved.join(", ") << "| boxes:" << boxes.size() << "| said:"
                          << (boxes.isEmpty() ? lines.join(" / ") : boxes.first()).replace('\n', " ")
                          << "| beside:" << listing.join(", ");
        QCOMPARE(opened, tabs);
        QCOMPARE(listing, beside);
        if (kind == "full") {
            QVERIFY(boxes.isEmpty());
            QVERIFY2(std::any_of(lines.begin(), lines.end(),
                                 [&](const QString& line) { return expected.match(line).hasMatch(); }),
                     qPrintable(lines.join("\n")));
            QCOMPARE(ReadFile(path), content);
        } else {
            QCOMPARE(boxes.size(), starts);
            QVERIFY2(expected.match(boxes.first()).hasMatch(), qPrintable(boxes.first()));
        }
        if (kind == "file")
            QCOMPARE(saved, QStringList{kModule});
    }

    // A description in Cyrillic and a module under a Cyrillic folder: stored, read back and loaded.
    void cyrillicDescriptionAndPathLoad()
    {
        const QString folder = QString::fromStdString(fixture::ScratchDir("providers")) + QStringLiteral("/модули");
        QVERIFY(QDir().mkpath(folder));
        const QString link = folder + QStringLiteral("/libкарта.so");
        QVERIFY(QFile::link(QString::fromStdString(fixture::SoftHsm::ModulePath()), link));
        CSettings& settings = CSettings::Instance();
        settings.GetProviders().clear();
        settings.GetProviders()[CSettings::ToMapText(QStringLiteral("Карта"))] = CSettings::ToMapText(link);
        settings.GetProviders()[CSettings::ToMapText(QStringLiteral("Токен"))] = CSettings::ToMapText(link);
        bool portable = false;
        QVERIFY(settings.Save(CSettings::GetSettingsFilePath(portable)));
        settings.LoadDefaultProviders();
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << QStringLiteral("Карта") << QStringLiteral("Токен"));
        QVERIFY(TokenRow(TreeOf(window, QStringLiteral("Карта")), "Soft"));
    }
};

QTEST_MAIN(ProvidersTest)
#include "test_providers.moc"
