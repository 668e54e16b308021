// The Preferences dialog over the program's settings object: reset in the home and the
// portable case, and the language list.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QtTest>

#include "ModalDriver.h"
#include "ProviderSettingsAccess.h"
#include "ProvidersDialog.h"
#include "Settings.h"
#include "TestHome.h"

namespace {

QString PortablePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tessaly.ini");
}

QByteArray OneProviderFile(const char* flag)
{
    return QByteArray("[General]\nRequestServiceURL=https://ca.example/service\n[Other]\nKey=kept\n"
                      "[Providers]\n1\\Description=Mine\n1\\Module=libmine.so\n1\\ShowSEWarning=") +
           flag + "\nsize=1\n";
}

QStringList Describe(const CSettings::TModules& table)
{
    QStringList rows;
    for (const auto& row : table)
        rows << QString::fromLatin1(row.first.c_str());
    return rows;
}

const QStringList g_defaults = {"Bit4id", "Charismathics", "OpenSC", "Siemens"};

} // namespace

class TestProviderSettings : public QObject
{
    Q_OBJECT

private:
    CSettings& settings = CSettings::Instance();
    QString m_home;

private slots:
    void init()
    {
        QFile::remove(PortablePath());
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        settings.LoadDefaultProviders();
    }
    void cleanup() { QFile::remove(PortablePath()); }

    // Reset gives the default table without flags and keeps every other key of the file.
    void resetInHomeCaseKeepsTheOtherKeys()
    {
        const QString home = HomeSettingsPath(m_home);
        WriteFile(home, OneProviderFile("false"));
        bool portable = true;
        QCOMPARE(CSettings::GetSettingsFilePath(portable), QDir::toNativeSeparators(home));
        QVERIFY(!portable);
        settings.Load(home);
        QCOMPARE(Describe(settings.GetProviders()), QStringList({"Mine"}));
        QVERIFY(!settings.GetShowSEWarning("Mine"));

        CSettingsProviderAccess access(settings);
        ProvidersDialog dialog(access);
        dialog.show();
        dialog.findChild<QPushButton*>("resetButton")->click();
        QVERIFY(dialog.IsChanged());
        QSettings file(home, QSettings::IniFormat);
        QCOMPARE(file.value("RequestServiceURL").toString(), QStringLiteral("https://ca.example/service"));
        QCOMPARE(file.value("Other/Key").toString(), QStringLiteral("kept"));
        QCOMPARE(file.value("Providers/size").toInt(), 4);
        QVERIFY(!file.contains("Providers/1/ShowSEWarning"));
        QCOMPARE(Describe(settings.GetProviders()), g_defaults);
        // The warning flags went with the old table.
        QVERIFY(settings.GetShowSEWarning("Mine"));
        QVERIFY(!QFile::exists(PortablePath()));
    }

    void resetInPortableCaseWritesTheFileAgain()
    {
        WriteFile(PortablePath(), OneProviderFile("false"));
        bool portable = false;
        QCOMPARE(CSettings::GetSettingsFilePath(portable), QDir::toNativeSeparators(PortablePath()));
        QVERIFY(portable);
        settings.Load(PortablePath());
        QCOMPARE(Describe(settings.GetProviders()), QStringList({"Mine"}));

        CSettingsProviderAccess access(settings);
        access.ResetProviders();
        QVERIFY2(QFile::exists(PortablePath()), "the program must keep using the file beside it");
        QSettings file(PortablePath(), QSettings::IniFormat);
        QCOMPARE(file.beginReadArray("Providers"), 4);
        file.setArrayIndex(0);
        QCOMPARE(file.value("Description").toString(), QStringLiteral("Bit4id"));
        QVERIFY(!file.contains("ShowSEWarning"));
        file.endArray();
        QCOMPARE(file.value("RequestServiceURL").toString(), QStringLiteral("https://ca.example/service"));
        QVERIFY2(!QDir(m_home + "/.Veskora").exists(), "the portable case makes no home folder");
    }

    void tableEditsReachTheSettingsObject()
    {
        CSettingsProviderAccess access(settings);
        access.GetProviders()["Zeta"] = "libzeta.so";
        access.GetProviders().erase("Siemens");
        QCOMPARE(Describe(settings.GetProviders()), QStringList({"Bit4id", "Charismathics", "OpenSC", "Zeta"}));
    }

    void languagesOfTheTranslationManager()
    {
        CSettingsProviderAccess access(settings);
        const QStringList languages = access.GetLanguages();
        QVERIFY(languages.contains(QStringLiteral("English (EN)")));
        QCOMPARE(languages, settings.GetTranslationManager().GetLanguages().keys());
        QCOMPARE(access.GetCurrentLanguage(), settings.GetTranslationManager().GetCurrentLanguage());
        for (const QString& name : languages) {
            access.SetLanguage(name);
            QCOMPARE(settings.GetTranslationManager().GetCurrentLanguage(), name);
        }
        access.SetLanguage(QStringLiteral("English (EN)"));
        QCOMPARE(access.GetCurrentLanguage(), QStringLiteral("English (EN)"));
    }

    void okRetranslatesTheOpenDialog()
    {
        CSettingsProviderAccess access(settings);
        QString other;
        for (const QString& name : access.GetLanguages())
            if (name != QStringLiteral("English (EN)"))
                other = name;
        QVERIFY2(!other.isEmpty(), "the Bulgarian translation is built into the program");

        ProvidersDialog dialog(access);
        dialog.show();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Preferences"));
        fixture::ModalDriver driver;
        driver.Expect([other](QWidget* w) {
            auto* box = w->findChild<QComboBox*>("comboBox");
            box->setCurrentIndex(box->findText(other));
            w->findChild<QPushButton*>("closeButton")->click();
        }, "ProvidersDialog");
        dialog.exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCoreApplication::processEvents();
        QCOMPARE(access.GetCurrentLanguage(), other);
        QVERIFY(dialog.windowTitle() != QStringLiteral("Preferences"));
        QVERIFY(dialog.findChild<QPushButton*>("resetButton")->text() != QStringLiteral("Reset to default"));
        QVERIFY(!dialog.IsChanged());
        access.SetLanguage(QStringLiteral("English (EN)"));
        QCoreApplication::processEvents();
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Preferences"));
    }
};

QTEST_MAIN(TestProviderSettings)
#include "test_provider_settings.moc"
