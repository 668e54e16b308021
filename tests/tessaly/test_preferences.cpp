// The Preferences action: adding, removing and resetting providers reloads every provider
// (tabs, trees and the window's pointers rebuilt) and saves the settings; a language chosen
// there retranslates the window without a reload.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
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

class PreferencesTest : public QObject
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
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false},
                                       {kModule, testmodule::ModulePath(), true}});
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << kModule);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);

        fixture::ModalDriver driver(15000);
        int held = 0;
        bool removed = false;
        driver.Expect([&](QWidget* prefs) {
            m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
            QTest::qWaitFor([&] { return window.GetHeldBackEventCount() > 0; }, 3000);
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
        WriteProviderSettings(m_home, {{kSoftHsm, QString::fromStdString(fixture::SoftHsm::ModulePath()), false},
                                       {kModule, testmodule::ModulePath(), true}});
        MainWindow window;
        window.show();
        QVERIFY(window.GetSelectedItem());
        QString info;
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
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        Action(window, "actionPreferences")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(info, QStringLiteral("No PKCS#11 modules installed.\nTo install new security device go to "
                                      "Edit->Preferences"));
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

QTEST_MAIN(PreferencesTest)
#include "test_preferences.moc"
