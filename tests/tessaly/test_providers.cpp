// The window's providers (MainWindow_Providers.cpp): loading failures at start-up, Reload and
// the tab a failed reload leaves behind; the Preferences action: adding, removing and resetting
// providers reloads every provider (tabs, trees and the window's pointers rebuilt) and saves the
// settings; a language chosen there retranslates the window without a reload.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSplashScreen>
#include <QTimer>
#include <QtTest>

#include "Fixture.h"
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

    // A module file that cannot be loaded gives no box (only a debug line) and no tab; a module
    // that loads but fails gives one box in front of the splash; the others load, and the
    // first that did becomes current.
    void loadingFailuresAtStartUp()
    {
        SecondReaderAndBothProviders();
        m_tm->set_initialize_mode(2);
        WriteProviderSettings(m_home, {{"A Missing", "/nonexistent/libnone.so", true},
                                       {"B Not a library", testmodule::NotALibraryPath(), true},
                                       {"C Broken", testmodule::ModulePath(), true},
                                       {"D SoftHSM2", QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        MainWindow window;
        QStringList boxes;
        int splashesShown = -1;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* box) {
            boxes << qobject_cast<QMessageBox*>(box)->text();
            splashesShown = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (qobject_cast<QSplashScreen*>(w) && w->isVisible())
                    ++splashesShown;
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        window.show();
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        // Which provider, and the module's answer explained.
        QCOMPARE(boxes, QStringList() << "C Broken: Unable to initialize the Cryptoki module\nThe module answered "
                                         "CKR_GENERAL_ERROR.\nSome unrecoverable error has occurred.");
        QCOMPARE(splashesShown, 0);
        QCOMPARE(TabLabels(window), QStringList() << "D SoftHSM2");
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, "D SoftHSM2"));
        QVERIFY(window.GetSelectedItem());
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        QTest::qWait(100);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        m_tm->set_initialize_mode(0);
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

        stuck.Hold();
        boxes.clear();
        {
            MainWindow window;
            window.show();
            QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << "Stuck");
            fixture::ModalDriver driver(15000);
            driver.Expect(answer, "QMessageBox");
            timer.start();
            window.close();
            const qint64 closeMs = timer.elapsed();
            QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
            QCOMPARE(boxes, QStringList() << box);
            QVERIFY2(boxAfterMs >= 250 && boxAfterMs < 3000, qPrintable(QString::number(boxAfterMs)));
            QVERIFY2(closeMs < 5000, qPrintable(QString::number(closeMs)));
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

        // Nothing left to reload; the tab can still be shown.
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        Action(window, "actionReload")->trigger();
        window.findChild<QTabWidget*>("tabWidget")->setCurrentIndex(0);
        QTest::qWait(50);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        m_tm->set_initialize_mode(0);
    }

    // The tab left without a provider by a failed reload has no current provider: the actions
    // do not follow the selection of another tab, and Reload there reloads nothing else.
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
        QCOMPARE(int(window.GetProviders().size()), 1);
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
        driver.Expect([&](QWidget* prefs) {
            fixture::ModalDriver::Click(prefs, "resetButton");
            listed = !ListRow(prefs, kModule) && ListRow(prefs, "OpenSC");
            fixture::ModalDriver::Click(prefs, "closeButton");
        }, "ProvidersDialog");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));

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
};

QTEST_MAIN(ProvidersTest)
#include "test_providers.moc"
