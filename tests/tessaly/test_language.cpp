// Languages: the manager over the shipped translations, retranslating open windows,
// the start-up language from the system locale, and the licence file per language.
#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLibraryInfo>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QTextEdit>
#include <QtTest>

#include "AboutDialog.h"
#include "LicenseDialog.h"
#include "MainWindow.h"
#include "MessageBoxEx.h"
#include "ModalDriver.h"
#include "Resources.h"
#include "Settings.h"
#include "TestHome.h"
#include "TestModuleControl.h"
#include "TranslationManager.h"

namespace {
const QString kEnglish = QStringLiteral("English (EN)");
const QString kBulgarian = QString::fromUtf8("Български (БГ)");

// Counts the language-change events a widget receives.
class LanguageEvents : public QObject
{
public:
    int count = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::LanguageChange)
            ++count;
        return false;
    }
};

// Stands in for the desktop's browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void Open(const QUrl& url) { urls << url; }
};

QString ActionText(QWidget& window, const char* name)
{
    return window.findChild<QAction*>(name)->text();
}
}

class LanguageTest : public QObject
{
    Q_OBJECT
private:
    TranslationManager& Manager() { return CSettings::Instance().GetTranslationManager(); }

private slots:
    void initTestCase() { tessaly::InitResources(); }
    void init()
    {
        FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        // One provider of the test's own, the test module without slots: the default table would
        // load whatever vendor modules this machine has, and an empty one opens a box about it.
        CSettings::Instance().GetProviders() = {{"Test module", testmodule::ModulePath()}};
    }
    void cleanup() { Manager().SetLanguage(kEnglish); }

    void shippedTranslationsListEnglishFirstThenBulgarian()
    {
        TranslationManager manager(":/translations/translations/", "tessaly");
        QCOMPARE(manager.GetLanguageCount(), 2);
        QCOMPARE(manager.GetLanguages().keys(), QStringList({kEnglish, kBulgarian}));
        QVERIFY(!manager.GetLanguages().value(kEnglish));
        QVERIFY(manager.GetLanguages().value(kBulgarian));
        QCOMPARE(manager.GetCurrentLanguage(), kEnglish);
        QCOMPARE(manager.GetLanguageCode(), QStringLiteral("en"));

        manager.SetLanguage(kBulgarian);
        QCOMPARE(manager.GetLanguageCode(), QStringLiteral("bg"));
        QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QString::fromUtf8("Презареди"));
        manager.SetLanguage(kEnglish);
        QCOMPARE(manager.GetLanguageCode(), QStringLiteral("en"));
        QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QStringLiteral("Reload"));
    }

    // A manager that goes while its language is installed takes its translator out of
    // the application first, so no later translation reads a destroyed one.
    void destroyedManagerLeavesNoTranslatorBehind()
    {
        {
            TranslationManager manager(":/translations/translations/", "tessaly");
            manager.SetLanguage(kBulgarian);
            QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QString::fromUtf8("Презареди"));
        }
        QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QStringLiteral("Reload"));
    }

    // Qt's own texts come from Qt's catalogue of the language; without one they quietly stay
    // English while the program's texts are Bulgarian.
    void qtCatalogueGoesWithTheLanguage()
    {
        const QString qtFolder = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
        if (!QFile::exists(qtFolder + "/qtbase_bg.qm"))
            QSKIP("Qt's Bulgarian catalogue (qttranslations5-l10n) is not installed");
        {
            TranslationManager manager(":/translations/translations/", "tessaly");
            manager.SetLanguage(kBulgarian);
            QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("Отказ"));
            manager.SetLanguage(kEnglish);
            QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
        }
        TranslationManager without(":/translations/translations/", "tessaly", "/nonexistent/qt/translations");
        without.SetLanguage(kBulgarian);
        QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QString::fromUtf8("Презареди"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("Cancel"));
        without.SetLanguage(kEnglish);
    }

    void missingFolderLeavesEnglishAlone()
    {
        TranslationManager manager(":/no/such/folder/", "tessaly");
        QCOMPARE(manager.GetLanguageCount(), 1);
        manager.LoadSystemLanguage();
        QCOMPARE(manager.GetCurrentLanguage(), kEnglish);
    }

    void oddTranslationFilesAreListedOrSkipped()
    {
        TranslationManager manager(ODD_LANGUAGES, "tessaly");
        // The nameless file is listed under an empty name; notes.txt is skipped.
        QCOMPARE(manager.GetLanguages().keys(), QStringList({QString(), kEnglish, QStringLiteral("Ypsilon (YY)")}));
        manager.SetLanguage(QStringLiteral("Ypsilon (YY)"));
        QCOMPARE(manager.GetLanguageCode(), QStringLiteral("en"));
        manager.SetLanguage(QString());
        QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QStringLiteral("Xreload"));
        manager.SetLanguage(kEnglish);
        QCOMPARE(QCoreApplication::translate("MainWindow", "Reload"), QStringLiteral("Reload"));
    }

    // Setting the current language or an unknown one installs nothing, so no widget
    // hears of a change.
    void noChangeSendsNoEvent()
    {
        QWidget widget;
        LanguageEvents events;
        widget.installEventFilter(&events);
        Manager().SetLanguage(kEnglish);
        Manager().SetLanguage("Klingon (KL)");
        QCoreApplication::processEvents();
        QCOMPARE(events.count, 0);
        Manager().SetLanguage(kBulgarian);
        QCoreApplication::processEvents();
        QCOMPARE(events.count, 1);
        Manager().SetLanguage(kBulgarian);
        QCoreApplication::processEvents();
        QCOMPARE(events.count, 1);
    }

    void switchingRetranslatesOpenWindows()
    {
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QWidget parent;
        QMessageBoxEx box(&parent);
        box.SetText("caller's text");
        AboutDialog about(&window);
        about.show();
        const QString version = AboutDialog::GetVersion();

        Manager().SetLanguage(kBulgarian);
        QCoreApplication::processEvents();
        QCOMPARE(ActionText(window, "actionReload"), QString::fromUtf8("Презареди"));
        QCOMPARE(window.findChild<QAction*>("actionReload")->toolTip(), QString::fromUtf8("Презарежда активния доставчик."));
        QCOMPARE(window.findChild<QMenu*>("menuFile")->title(), QString::fromUtf8("Файл"));
        QCOMPARE(window.findChild<QAction*>("actionSwitchStyle")->shortcut(), QKeySequence("Ctrl+Alt+R"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Veskora Tessaly"));
        QCOMPARE(window.findChild<QAction*>("actionUnblockPIN")->toolTip(), ActionText(window, "actionUnblockPIN"));
        QCOMPARE(box.findChild<QCheckBox*>()->text(), QString::fromUtf8("Показвай това съобщение отново"));
        QCOMPARE(box.findChild<QLabel*>("message")->text(), QStringLiteral("caller's text"));
        // Retranslating leaves the information icon in place.
        QVERIFY(!box.findChild<QLabel*>("icon")->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(about.windowTitle(), QString::fromUtf8("За Veskora Tessaly"));
        // The version survives the retranslation of its label.
        QCOMPARE(about.findChild<QLabel*>("lblNameAndVersion")->text(), QStringLiteral("Tessaly ") + version);

        Manager().SetLanguage(kEnglish);
        QCoreApplication::processEvents();
        QCOMPARE(ActionText(window, "actionReload"), QStringLiteral("Reload"));
        QCOMPARE(window.findChild<QMenu*>("menuFile")->title(), QStringLiteral("File"));
        QCOMPARE(box.findChild<QCheckBox*>()->text(), QStringLiteral("Show this message again"));
        QCOMPARE(about.windowTitle(), QStringLiteral("About Veskora Tessaly"));
    }

    // Every form text has a Bulgarian translation.
    void everyFormTextIsTranslated()
    {
        MainWindow window;
        QStringList english;
        for (QAction* action : window.findChildren<QAction*>())
            if (!action->isSeparator() && !action->text().isEmpty() && !action->menu())
                english << action->objectName() + ":" + action->text();
        Manager().SetLanguage(kBulgarian);
        QCoreApplication::processEvents();
        for (const QString& entry : english) {
            const QString name = entry.section(':', 0, 0);
            QAction* action = window.findChild<QAction*>(name);
            QVERIFY2(action->text() != entry.section(':', 1), qPrintable(name));
        }
    }

    void licenceFollowsTheLanguage_data()
    {
        QTest::addColumn<bool>("bulgarian");
        QTest::addColumn<QString>("file");
        QTest::newRow("English") << false << "LicenseEN.html";
        QTest::newRow("Bulgarian") << true << "LicenseBG.html";
    }
    void licenceFollowsTheLanguage()
    {
        QFETCH(bool, bulgarian);
        QFETCH(QString, file);
        Manager().SetLanguage(bulgarian ? kBulgarian : kEnglish);
        QString path, text, label;
        fixture::ModalDriver driver;
        AboutDialog about;
        driver.Expect([&](QWidget* modal) {
            label = modal->findChild<QLabel*>("lblNameAndVersion")->text();
            fixture::ModalDriver::Click(modal, "pushButton");
        }, "AboutDialog");
        driver.Expect([&](QWidget* modal) {
            LicenseDialog* licence = qobject_cast<LicenseDialog*>(modal);
            path = licence->LicensePath();
            text = licence->findChild<QTextEdit*>("textEdit")->toPlainText();
            fixture::ModalDriver::Click(modal, "pushButton");
            fixture::ModalDriver::Click(&about, "pushButton_2");
        }, "LicenseDialog");
        about.exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(path, ":/license/Licences/" + file);
        QVERIFY2(QFile::exists(":/other/res/tessaly.rc"), "the version resource is built in");
        QCOMPARE(label, QStringLiteral("Tessaly 2.1.0.0"));
        QVERIFY(!text.isEmpty());
    }

    void webLinkOpensOrSaysWhyNot_data()
    {
        QTest::addColumn<bool>("browser");
        QTest::newRow("a browser takes it") << true;
        // The offscreen platform has no browser, as a desktop without one.
        QTest::newRow("no browser") << false;
    }

    // The maker's site goes to the desktop's browser, not into the box; without a browser a box
    // in the window says so and gives the address.
    void webLinkOpensOrSaysWhyNot()
    {
        QFETCH(bool, browser);
        Manager().SetLanguage(kEnglish);
        UrlCatcher catcher;
        if (browser)
            QDesktopServices::setUrlHandler("https", &catcher, "Open");
        QString link, boxText;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        AboutDialog about;
        driver.Expect([&](QWidget* modal) {
            QLabel* label = modal->findChild<QLabel*>("label_4");
            const QRegularExpressionMatch href = QRegularExpression("href=\"([^\"]+)\"").match(label->text());
            link = href.captured(1);
            QVERIFY(!label->openExternalLinks());
            emit label->linkActivated(link);
            fixture::ModalDriver::Click(modal, "pushButton_2");
        }, "AboutDialog");
        if (!browser)
            driver.Expect([&](QWidget* modal) {
                boxText = modal->findChild<QLabel*>("qt_msgbox_label")->text();
                fixture::ModalDriver::Accept(modal);
            }, "QMessageBox");
        about.exec();
        QDesktopServices::unsetUrlHandler("https");
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY2(driver.Unexpected().isEmpty(), qPrintable(driver.Unexpected().join("; ")));
        QCOMPARE(link, QStringLiteral("https://www.veskora.example/"));
        QCOMPARE(catcher.urls, browser ? QList<QUrl>{QUrl(link)} : QList<QUrl>());
        if (!browser)
            QCOMPARE(boxText, "No web browser could be started. The address is:\n" + link);
    }

    void versionIsReadFromTheProductVersionLine_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("version");
        QTest::newRow("shipped shape") << QByteArray("1 ICON \"tessaly.ico\"\nFILEVERSION 1,0,0,9\nPRODUCTVERSION 2,1,0,0\n")
                                       << "2.1.0.0";
        QTest::newRow("more parts and blanks") << QByteArray(" PRODUCTVERSION 3, 4,5 ,6,7\r\n") << "3.4.5.6";
        QTest::newRow("lower case is not it") << QByteArray("productversion 2,1,0,0\n") << "";
        QTest::newRow("fewer than four parts") << QByteArray("PRODUCTVERSION 2,1\n") << "";
        QTest::newRow("no line") << QByteArray("FILEVERSION 1,0,0,0\n") << "";
    }
    void versionIsReadFromTheProductVersionLine()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, version);
        const QString path = FreshHome("version") + "/tessaly.rc";
        WriteFile(path, script);
        QCOMPARE(AboutDialog::GetVersion(path), version);
        QCOMPARE(AboutDialog::GetVersion(path + ".missing"), QString());
    }

    // Run under LC_ALL=bg_BG.UTF-8 (and de_DE) by ctest: with no settings file the
    // start-up language follows the system locale.
    void startFollowsSystemLocale()
    {
        const QString expected = qEnvironmentVariable("TESSALY_EXPECT_LANGUAGE", "en");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(Manager().GetLanguageCode(), expected);
        QCOMPARE(ActionText(window, "actionReload"),
                 expected == "bg" ? QString::fromUtf8("Презареди") : QStringLiteral("Reload"));
        window.close();
        QSettings file(QDir::homePath() + "/.Veskora/tessaly.ini", QSettings::IniFormat);
        QCOMPARE(file.value("Language").toString(), expected == "bg" ? kBulgarian : kEnglish);
    }
};

QTEST_MAIN(LanguageTest)
#include "test_language.moc"
