// The main window's start-up and frame (MainWindow.cpp): the form, the first show, the skin
// switch, the about box, and the settings saved on closing and restored at the next start.
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QSettings>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include "AboutDialog.h"
#include "MainWindow.h"
#include "ModalDriver.h"
#include "MyToolBar.h"
#include "ResizeCentralWidget.h"
#include "Settings.h"
#include "TestHome.h"
#include "TestModuleControl.h"

namespace {
QStringList ActionNames(const QList<QAction*>& actions)
{
    QStringList names;
    for (QAction* a : actions)
        names << (a->isSeparator() ? QStringLiteral("-") : a->objectName());
    return names;
}

bool HaveResources()
{
    return QFile::exists(QStringLiteral(":/skin/ApplicationStyle"));
}

void WriteSettings(const QString& home, const QByteArray& ini)
{
    WriteFile(HomeSettingsPath(home), ini);
}

QStringList g_messages;

void CaptureMessage(QtMsgType, const QMessageLogContext&, const QString& message)
{
    g_messages << message;
}
}

class StartUpTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;

private slots:
    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('-') +
                           QString::fromLatin1(QTest::currentDataTag()));
        // One provider of the test's own, the test module without slots: the default table would
        // load whatever vendor modules this machine has, and an empty one opens a box about it.
        CSettings::Instance().GetProviders() = {{"Test module", testmodule::ModulePath()}};
        CSettings::Instance().GetTranslationManager().SetLanguage(QStringLiteral("English (EN)"));
        qApp->setStyleSheet(QString());
    }

    void formHasEveryActionMenuAndToolBarEntry()
    {
        MainWindow window;
        const QStringList actions = {"actionReload", "actionExit", "actionPreferences", "actionAbout",
                                     "actionChangePIN", "actionCertExport", "actionCertView", "actionDelete",
                                     "actionCertImport", "actionTestToken", "actionLogin", "actionLogout",
                                     "actionUnblockPIN", "actionInitialize", "actionTestCertificate",
                                     "actionTestKey", "actionSwitchStyle", "actionRequestCertificate",
                                     "actionDownloadCertificate"};
        for (const QString& name : actions) {
            QAction* action = window.findChild<QAction*>(name);
            QVERIFY2(action, qPrintable(name));
            QVERIFY2(action->isEnabled() && action->isVisible(), qPrintable(name));
            QVERIFY2(!action->text().isEmpty(), qPrintable(name));
            if (HaveResources())
                QVERIFY2(!action->icon().isNull(), qPrintable(name));
        }
        QCOMPARE(window.findChild<QAction*>("actionReload")->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(window.findChild<QAction*>("actionDelete")->shortcut(), QKeySequence(Qt::Key_Delete));
        QCOMPARE(window.findChild<QAction*>("actionLogin")->shortcut(), QKeySequence("Ctrl+L"));
        QCOMPARE(window.findChild<QAction*>("actionSwitchStyle")->shortcut(), QKeySequence("Ctrl+Alt+R"));
        QCOMPARE(window.findChild<QAction*>("actionExit")->menuRole(), QAction::QuitRole);
        QCOMPARE(window.findChild<QAction*>("actionPreferences")->menuRole(), QAction::PreferencesRole);
        QCOMPARE(window.findChild<QAction*>("actionAbout")->menuRole(), QAction::AboutRole);
        QVERIFY(window.findChild<QAction*>("actionUnblockPIN")->toolTip() ==
                window.findChild<QAction*>("actionUnblockPIN")->text());
        QCOMPARE(window.findChild<QAction*>("actionCertImport")->text(), QStringLiteral("Import certificate ... "));
        QCOMPARE(window.windowTitle(), QStringLiteral("Veskora Tessaly"));
        QCOMPARE(window.size(), QSize(885, 514));
        QVERIFY(window.findChild<QTabWidget*>("tabWidget"));

        // The seven menus in order, shared by the plain and the skinned menu bar.
        QMenuBar* formBar = window.findChild<QMenuBar*>("menuBar");
        QVERIFY(formBar);
        const QStringList menus = {"menuFile", "menuEdit", "menuSmart_card", "menuKey",
                                   "menuCertificate", "menuData", "menuHelp"};
        QStringList formMenus, skinMenus;
        for (QAction* a : formBar->actions())
            formMenus << a->menu()->objectName();
        for (QAction* a : window.SkinMenuBar()->actions())
            skinMenus << a->menu()->objectName();
        QCOMPARE(formMenus, menus);
        QCOMPARE(skinMenus, menus);
        QVERIFY(!window.SkinMenuBar()->isNativeMenuBar());
        QCOMPARE(window.SkinMenuBar()->parentWidget()->objectName(), QStringLiteral("frameMenu"));

        const QMap<QString, QStringList> entries = {
            {"menuFile", {"actionExit"}},
            {"menuEdit", {"actionReload", "-", "actionSwitchStyle", "actionPreferences"}},
            {"menuSmart_card", {"actionLogin", "actionLogout", "actionChangePIN", "actionUnblockPIN", "-",
                                "actionInitialize", "actionTestToken", "-", "actionCertImport",
                                "actionRequestCertificate", "actionDownloadCertificate"}},
            {"menuKey", {"actionTestKey", "-", "actionRequestCertificate", "actionDownloadCertificate", "-",
                         "actionDelete"}},
            {"menuCertificate", {"actionCertExport", "actionCertView", "actionTestCertificate", "actionDelete"}},
            {"menuData", {"actionDelete"}},
            {"menuHelp", {"actionAbout"}},
        };
        for (auto it = entries.begin(); it != entries.end(); ++it)
            QCOMPARE(ActionNames(window.findChild<QMenu*>(it.key())->actions()), it.value());

        // The form's tool bar is replaced by one of ours, the vertical bar sits in frameTools.
        const QStringList tools = {"actionReload", "-", "actionLogin", "actionLogout", "actionChangePIN",
                                   "actionUnblockPIN", "actionInitialize", "actionCertExport", "actionCertView",
                                   "actionTestCertificate", "actionTestToken", "actionTestKey", "actionCertImport",
                                   "actionRequestCertificate", "actionDownloadCertificate", "-", "actionDelete"};
        QMyToolBar* top = window.findChild<QMyToolBar*>("newmainToolBar");
        QVERIFY(top);
        QCOMPARE(window.toolBarArea(top), Qt::TopToolBarArea);
        QCOMPARE(top->toolButtonStyle(), Qt::ToolButtonTextUnderIcon);
        QCOMPARE(ActionNames(top->actions()), tools);
        QToolBar* old = window.findChild<QToolBar*>("mainToolBar");
        QVERIFY(old && window.toolBarArea(old) == Qt::NoToolBarArea);
        QCOMPARE(window.SkinToolBar()->orientation(), Qt::Vertical);
        QCOMPARE(ActionNames(window.SkinToolBar()->actions()), tools);
        QCOMPARE(window.SkinToolBar()->parentWidget()->objectName(), QStringLiteral("frameTools"));

        // One action object in several menus: disabling it acts everywhere.
        QAction* del = window.findChild<QAction*>("actionDelete");
        del->setEnabled(false);
        for (const char* menu : {"menuKey", "menuCertificate", "menuData"})
            QVERIFY(!window.findChild<QMenu*>(menu)->actions().last()->isEnabled());
        QVERIFY(!top->widgetForAction(del)->isEnabled());

        QCOMPARE(window.ChainFile(), QStringLiteral("/etc/xdg/Veskora/chain.pem"));
    }

    // The slots connected by hand leave no warnings about their names, and the window
    // gives the message handler back as it found it.
    void constructionWarnsAboutNoSlotNames()
    {
        g_messages.clear();
        const QtMessageHandler previous = qInstallMessageHandler(CaptureMessage);
        {
            MainWindow window;
            qWarning("after construction");
        }
        qInstallMessageHandler(previous);
        QCOMPARE(g_messages.filter(QStringLiteral("connectSlotsByName")), QStringList());
        QVERIFY(g_messages.contains(QStringLiteral("after construction")));
    }

    // The start-up sequence reads the settings on the first show only.
    void firstShowRunsStartUpOnce()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=false\n");
        MainWindow window;
        QVERIFY(!window.IsSkinOn());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(!window.IsSkinOn());
        QVERIFY(!QApplication::overrideCursor()); // the splash took its wait cursor away
        // With no token nothing is selected: every token action and its menus are hidden.
        for (const char* name : {"actionLogin", "actionDelete", "actionCertView", "actionRequestCertificate"})
            QVERIFY2(!window.findChild<QAction*>(name)->isVisible(), name);
        QVERIFY(!window.findChild<QMenu*>("menuSmart_card")->menuAction()->isVisible());
        QVERIFY(window.findChild<QAction*>("actionReload")->isVisible());

        WriteSettings(m_home, "[General]\nSkinEnabled=true\n");
        window.hide();
        window.showMinimized();
        window.showNormal();
        QTest::qWait(20);
        QVERIFY2(!window.IsSkinOn(), "a later show read the settings again");
    }

    void skinSwitchRestoresFlagsAndCentralWidget()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=false\n");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const Qt::WindowFlags flags = window.windowFlags();
        QCOMPARE(flags, window.InitialWindowFlags());
        QPointer<QWidget> central = window.centralWidget();
        QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
        QVERIFY(!window.findChild<QFrame*>("frameTools")->isVisible());
        QVERIFY(window.findChild<QMenuBar*>("menuBar")->isVisible());

        QAction* switchStyle = window.findChild<QAction*>("actionSwitchStyle");
        for (int round = 0; round < 2; ++round) {
            switchStyle->trigger();
            QVERIFY(window.IsSkinOn());
            QCOMPARE(window.windowFlags() & (Qt::FramelessWindowHint | Qt::WindowSystemMenuHint),
                     Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
            QResizeCentralWidget* body = qobject_cast<QResizeCentralWidget*>(window.centralWidget());
            QVERIFY(body);
            QCOMPARE(body->content(), central.data());
            QCOMPARE(central->layout()->contentsMargins(), QMargins(0, 0, 0, 0));
            QVERIFY(window.findChild<QFrame*>("frameTools")->isVisible());
            QVERIFY(window.SkinMenuBar()->isVisible());
            QVERIFY(!window.findChild<QMenuBar*>("menuBar")->isVisible());
            QVERIFY(!window.findChild<QStatusBar*>("statusBar")->isVisible());
            if (HaveResources())
                QVERIFY(!qApp->styleSheet().isEmpty());

            switchStyle->trigger();
            QVERIFY(!window.IsSkinOn());
            QTest::qWait(0); // let discarded widgets go
            QVERIFY2(central, "the form's central widget was deleted");
            QCOMPARE(window.centralWidget(), central.data());
            QVERIFY(central->isVisible());
            QCOMPARE(window.windowFlags(), flags);
            QCOMPARE(central->layout()->contentsMargins(), QMargins(4, 4, 4, 4));
            QVERIFY(qApp->styleSheet().isEmpty());
            QVERIFY(window.findChild<QMenuBar*>("menuBar")->isVisible());
            QVERIFY(!window.findChild<QFrame*>("frameTools")->isVisible());
        }
        QCOMPARE(window.findChildren<QResizeCentralWidget*>().size(), 0);
    }

    void skinOnAtStartWrapsTheWindow()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=true\n");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.IsSkinOn());
        QVERIFY(qobject_cast<QResizeCentralWidget*>(window.centralWidget()));
        QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
        // The skinned menu bar follows the window's width.
        const int delta = window.width() - window.SkinMenuBar()->width();
        window.resize(window.width() + 40, window.height());
        QTRY_COMPARE(window.width() - window.SkinMenuBar()->width(), delta);
    }

    // With the skin off at start, the first ApplySkin only clears the style sheet.
    void skinOffAtStartChangesNothingElse()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=false\n");
        qApp->setStyleSheet(QStringLiteral("QWidget { color: red; }"));
        MainWindow window;
        const Qt::WindowFlags flags = window.windowFlags();
        QWidget* central = window.centralWidget();
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize size = window.size();
        QVERIFY(qApp->styleSheet().isEmpty());
        QCOMPARE(window.windowFlags(), flags);
        QCOMPARE(window.centralWidget(), central);
        QCOMPARE(window.size(), size);
    }

    void menuStyleNeedsQt45OrLater_data()
    {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("menuStyle");
        QTest::newRow("4.4.3") << "4.4.3" << false;
        QTest::newRow("4.5.0") << "4.5.0" << true;
        QTest::newRow("4.8.7") << "4.8.7" << true;
        QTest::newRow("4.10.1") << "4.10.1" << true;
        QTest::newRow("5.0.0") << "5.0.0" << true;
        QTest::newRow("5.4.2") << "5.4.2" << true;
        QTest::newRow("5.15.8") << "5.15.8" << true;
        QTest::newRow("6.2.4") << "6.2.4" << true;
        QTest::newRow("3.9.9") << "3.9.9" << false;
        QTest::newRow("two parts") << "4.5" << false;
        QTest::newRow("empty parts skipped") << "4..5..0" << true;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("not numbers") << "x.y.z" << false;
    }
    void menuStyleNeedsQt45OrLater()
    {
        QFETCH(QString, version);
        QFETCH(bool, menuStyle);
        QCOMPARE(MainWindow::IsMenuStyleSupported(version), menuStyle);
        if (!HaveResources())
            return;
        const QString app = MainWindow::ReadTextFile(":/skin/ApplicationStyle");
        const QString menu = MainWindow::ReadTextFile(":/skin/MenuStyle");
        QCOMPARE(MainWindow::SkinStyleSheet(version), menuStyle ? app + "\n" + menu : app);
    }

    void closingSavesTheSettings()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=false\n");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.findChild<QAction*>("actionSwitchStyle")->trigger();
        window.findChild<QAction*>("actionExit")->trigger();
        QVERIFY(!window.isVisible());
        QSettings file(HomeSettingsPath(m_home), QSettings::IniFormat);
        QCOMPARE(file.value("SkinEnabled").toBool(), true);
        QCOMPARE(file.value("Language").toString(), QStringLiteral("English (EN)"));
        QVERIFY(!file.value("WindowGeometry").toByteArray().isEmpty());
        QVERIFY(!file.value("MainWindowState").toByteArray().isEmpty());
        QCOMPARE(file.value("Providers/size").toInt(), 1);
    }

    void closingAWindowThatNeverShowedKeepsTheFile()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=false\nLanguage=English (EN)\n");
        const QByteArray before = ReadFile(HomeSettingsPath(m_home));
        {
            MainWindow window;
            window.close();
        }
        QCOMPARE(ReadFile(HomeSettingsPath(m_home)), before);
    }

    void aboutDialogShowsTheVersion()
    {
        QVERIFY2(QFile::exists(":/other/res/tessaly.rc"), "the version resource is built in");
        MainWindow window;
        QString label;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* about) {
            label = about->findChild<QLabel*>("lblNameAndVersion")->text();
            fixture::ModalDriver::Click(about, "pushButton_2");
        }, "AboutDialog");
        window.findChild<QAction*>("actionAbout")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(label, QStringLiteral("Tessaly 2.1.0.0"));
        AboutDialog about;
        // The dialog opens the link itself, so that it can say when no browser does.
        QVERIFY(!about.findChild<QLabel*>("label_4")->openExternalLinks());
        QVERIFY(about.findChild<QLabel*>("label_4")->text().contains("Veskora on the web"));
    }

    void nextStartRestoresTheWindow()
    {
        WriteSettings(m_home, "[General]\nSkinEnabled=false\n");
        {
            MainWindow window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            window.resize(700, 450);
            window.close();
        }
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(700, 450));
    }
};

QTEST_MAIN(StartUpTest)
#include "test_startup.moc"
