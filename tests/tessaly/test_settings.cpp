// The settings file: where it lives, what Load and Save make of it, and how the
// provider array is read.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QThread>
#include <QFile>
#include <QSettings>
#include <QtTest>

#include "MemoryLogger.h"
#include "Settings.h"
#include "TestHome.h"
#include "Unprivileged.h"

namespace {
typedef std::map<std::string, std::string> Modules;
typedef std::map<std::string, bool> Flags;

QString PortablePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/tessaly.ini");
}

Modules DefaultModules()
{
    return {{"Bit4id", "libbit4ipki.so"}, {"Charismathics", "libcmP11.so"},
            {"OpenSC", "onepin-opensc-pkcs11.so"}, {"Siemens", "libsiecap11.so"}};
}

QString Describe(const Modules& modules)
{
    QStringList rows;
    for (const auto& m : modules)
        rows << CSettings::FromMapText(m.first) + "=" + CSettings::FromMapText(m.second);
    return rows.join(QStringLiteral(", "));
}

// The provider flags as the file holds them after a Save.
Flags SavedFlags(const QString& path)
{
    Flags flags;
    QSettings file(path, QSettings::IniFormat);
    const int n = file.beginReadArray("Providers");
    for (int i = 0; i < n; ++i) {
        file.setArrayIndex(i);
        if (file.contains("ShowSEWarning"))
            flags[file.value("Description").toString().toStdString()] = file.value("ShowSEWarning").toBool();
    }
    file.endArray();
    return flags;
}
}

class SettingsTest : public QObject
{
    Q_OBJECT
private:
    CSettings& settings = CSettings::Instance();
    QString m_home;

    // The home settings file, its folder made as the program makes it.
    QString HomeFile()
    {
        bool portable = true;
        const QString path = CSettings::GetSettingsFilePath(portable);
        return portable ? QString() : path;
    }

    void Reset()
    {
        settings.LoadDefaultProviders();
        settings.m_baMainWindowState.clear();
        settings.m_baWindowGeometry.clear();
        settings.m_bSkinEnabled = false;
        settings.GetTranslationManager().SetLanguage(QStringLiteral("English (EN)"));
    }

private slots:
    void init()
    {
        QFile::remove(PortablePath());
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        Reset();
    }
    void cleanup() { QFile::remove(PortablePath()); }

    void noFileAnywhereGivesDefaultsAndCreatesHomeFolder()
    {
        bool portable = true;
        const QString path = CSettings::GetSettingsFilePath(portable);
        QVERIFY(!portable);
        QCOMPARE(path, HomeSettingsPath(m_home));
        QVERIFY(QDir(m_home + "/.Veskora").exists());
        QVERIFY(!QFile::exists(path));

        settings.Load(path);
        QVERIFY(settings.m_bSkinEnabled);
        QVERIFY(settings.m_baWindowGeometry.isEmpty());
        QVERIFY(settings.m_baMainWindowState.isEmpty());
        QCOMPARE(settings.GetTranslationManager().GetCurrentLanguage(), QStringLiteral("English (EN)"));
        QCOMPARE(Describe(settings.GetProviders()), Describe(DefaultModules()));
        // Walked in byte order: Bit4id, Charismathics, OpenSC, Siemens.
        QCOMPARE(settings.GetProviders().begin()->first, std::string("Bit4id"));
        QVERIFY(settings.GetShowSEWarning("Siemens"));
    }

    void fileBesideTheProgramIsPortableAndCreatesNoHomeFolder()
    {
        WriteFile(PortablePath(), "[General]\nSkinEnabled=false\n");
        bool portable = false;
        const QString path = CSettings::GetSettingsFilePath(portable);
        QVERIFY(portable);
        QCOMPARE(path, PortablePath());
        QVERIFY(!QDir(m_home + "/.Veskora").exists());
        settings.Load(path);
        QVERIFY(!settings.m_bSkinEnabled);
    }

    void saveAndLoadRoundTrip_data()
    {
        QTest::addColumn<bool>("portable");
        QTest::newRow("home") << false;
        QTest::newRow("beside the program") << true;
    }
    void saveAndLoadRoundTrip()
    {
        QFETCH(bool, portable);
        if (portable)
            WriteFile(PortablePath(), QByteArray());
        bool isPortable = !portable;
        const QString path = CSettings::GetSettingsFilePath(isPortable);
        QCOMPARE(isPortable, portable);

        settings.GetProviders() = {{"SoftHSM", "/usr/lib/softhsm/libsofthsm2.so"}, {"A b", "liba.so"}};
        settings.SetShowSEWarning("SoftHSM", false);
        settings.m_baWindowGeometry = QByteArray("\x01\x02geometry\x00\xff", 13);
        settings.m_baMainWindowState = QByteArray("state");
        settings.m_bSkinEnabled = false;
        QVERIFY(settings.Save(path));

        Reset();
        settings.m_bSkinEnabled = true;
        settings.Load(path);
        QCOMPARE(settings.m_baWindowGeometry, QByteArray("\x01\x02geometry\x00\xff", 13));
        QCOMPARE(settings.m_baMainWindowState, QByteArray("state"));
        QVERIFY(!settings.m_bSkinEnabled);
        QCOMPARE(Describe(settings.GetProviders()),
                 QStringLiteral("A b=liba.so, SoftHSM=/usr/lib/softhsm/libsofthsm2.so"));
        QVERIFY(!settings.GetShowSEWarning("SoftHSM"));
        QVERIFY(settings.GetShowSEWarning("A b"));
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.value("Language").toString(), QStringLiteral("English (EN)"));
    }

    // Provider arrays as other versions or hands may have written them.
    void providerArrayRules_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("providers");
        QTest::addColumn<QString>("flagsAfterSave");

        const QString defaults = Describe(DefaultModules());
        QTest::newRow("one entry replaces the defaults")
            << QByteArray("[Providers]\n1\\Description=Mine\n1\\Module=libmine.so\nsize=1\n")
            << "Mine=libmine.so" << "Mine=1";
        QTest::newRow("size 0 is a table the user emptied") << QByteArray("[Providers]\nsize=0\n") << "" << "";
        QTest::newRow("no array keeps the defaults") << QByteArray("[General]\nSkinEnabled=true\n") << defaults << "";
        QTest::newRow("negative size empties the table")
            << QByteArray("[Providers]\n1\\Description=Mine\n1\\Module=libmine.so\nsize=-2\n") << "" << "";
        QTest::newRow("same description twice: the later entry wins")
            << QByteArray("[Providers]\n1\\Description=X\n1\\Module=first.so\n1\\ShowSEWarning=true\n"
                          "2\\Description=X\n2\\Module=second.so\n2\\ShowSEWarning=false\nsize=2\n")
            << "X=second.so" << "X=0";
        QTest::newRow("entry without description and module")
            << QByteArray("[Providers]\n1\\ShowSEWarning=false\nsize=1\n") << "=" << "=0";
        QTest::newRow("size beyond the stored entries: the entries present")
            << QByteArray("[Providers]\n1\\Description=A\n1\\Module=a.so\nsize=3\n") << "A=a.so" << "A=1";
        QTest::newRow("damaged size does not spin")
            << QByteArray("[Providers]\n2\\Description=B\n2\\Module=b.so\n2\\ShowSEWarning=false\nsize=2000000000\n")
            << "B=b.so" << "B=0";
        QTest::newRow("size that is no number: the entries present")
            << QByteArray("[Providers]\n1\\Description=A\n1\\Module=a.so\nsize=x\n") << "A=a.so" << "A=1";
        QTest::newRow("entries beyond the size are not read")
            << QByteArray("[Providers]\n1\\Description=A\n1\\Module=a.so\n2\\Description=B\n2\\Module=b.so\nsize=1\n")
            << "A=a.so" << "A=1";
    }
    void providerArrayRules()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, providers);
        QFETCH(QString, flagsAfterSave);
        const QString path = HomeFile();
        WriteFile(path, ini);
        settings.Load(path);
        QCOMPARE(Describe(settings.GetProviders()), providers);

        // A provider read from a file always has a flag, so Save writes one for each;
        // the defaults alone write none.
        QVERIFY(settings.Save(path));
        QStringList flags;
        for (const auto& f : SavedFlags(path))
            flags << QString::fromStdString(f.first) + "=" + (f.second ? "1" : "0");
        QCOMPARE(flags.join(", "), flagsAfterSave);
    }

    void anEmptiedTableStaysEmpty()
    {
        const QString path = HomeFile();
        settings.GetProviders().clear();
        QVERIFY(settings.Save(path));
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.value("Providers/size").toInt(), 0);
        Reset();
        settings.Load(path);
        QCOMPARE(Describe(settings.GetProviders()), QString());
    }

    void flagOfARemovedProviderIsNotWritten()
    {
        const QString path = HomeFile();
        settings.SetShowSEWarning("Gone", false);
        settings.SetShowSEWarning("OpenSC", false);
        QVERIFY(settings.Save(path));
        const Flags saved = SavedFlags(path);
        QCOMPARE(saved.size(), size_t(1));
        QCOMPARE(saved.at("OpenSC"), false);
    }

    // A shorter list written over a longer one must not hand an old flag to the
    // provider that now sits at its index.
    void shorterListDoesNotInheritOldFlags()
    {
        const QString path = HomeFile();
        settings.GetProviders() = {{"A", "a.so"}, {"B", "b.so"}};
        settings.SetShowSEWarning("A", false);
        QVERIFY(settings.Save(path));
        settings.LoadDefaultProviders();
        settings.GetProviders() = {{"C", "c.so"}};
        QVERIFY(settings.Save(path));
        QVERIFY(SavedFlags(path).empty());
        settings.Load(path);
        QCOMPARE(Describe(settings.GetProviders()), QStringLiteral("C=c.so"));
        QVERIFY(settings.GetShowSEWarning("C"));
    }

    // Descriptions and module paths come back as they were typed, whatever their script; entries
    // the earlier Latin-1 code wrote read as before.
    void textsRoundTrip_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QStringList>("descriptions");
        QTest::addColumn<QStringList>("modules");
        QTest::newRow("Cyrillic, two of one length")
            << QByteArray() << QStringList{QStringLiteral("Карта"), QStringLiteral("Токен")}
            << QStringList{QStringLiteral("/opt/модули/libкарта.so"), QStringLiteral("libтокен.so")};
        QTest::newRow("Latin-1 letters") << QByteArray() << QStringList{QStringLiteral("Café")}
                                         << QStringList{QStringLiteral("/opt/café/lib.so")};
        QTest::newRow("written by the Latin-1 code")
            << QByteArray("[Providers]\n1\\Description=Caf\\xe9\n1\\Module=/opt/caf\\xe9/lib.so\nsize=1\n")
            << QStringList{QStringLiteral("Café")} << QStringList{QStringLiteral("/opt/café/lib.so")};
    }
    void textsRoundTrip()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QStringList, descriptions);
        QFETCH(QStringList, modules);
        const QString path = HomeFile();
        if (ini.isEmpty()) {
            settings.GetProviders().clear();
            for (int i = 0; i < descriptions.size(); ++i)
                settings.GetProviders()[CSettings::ToMapText(descriptions.at(i))] = CSettings::ToMapText(modules.at(i));
            QVERIFY(settings.Save(path));
        } else {
            WriteFile(path, ini);
        }
        for (int pass = 0; pass < 2; ++pass) {
            Reset();
            settings.Load(path);
            QStringList expected, actual;
            for (int i = 0; i < descriptions.size(); ++i)
                expected << descriptions.at(i) + "=" + modules.at(i);
            for (const auto& p : settings.GetProviders())
                actual << CSettings::FromMapText(p.first) + "=" + CSettings::FromMapText(p.second);
            expected.sort();
            actual.sort();
            QCOMPARE(actual, expected);
            QVERIFY(settings.Save(path));   // the second pass reads what this code wrote
        }
    }

    void unknownLanguageLeavesEnglishAndIsReplacedOnSave()
    {
        const QString path = HomeFile();
        WriteFile(path, "[General]\nLanguage=Klingon (KL)\n");
        settings.Load(path);
        QCOMPARE(settings.GetTranslationManager().GetCurrentLanguage(), QStringLiteral("English (EN)"));
        QVERIFY(settings.Save(path));
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.value("Language").toString(), QStringLiteral("English (EN)"));
    }

    // A file that cannot be read at all (not a file) gives the defaults and a warning.
    void unreadableFileGivesDefaultsAndAWarning()
    {
        const QString path = HomeFile();
        QDir().mkpath(path);
        settings.m_bSkinEnabled = false;
        settings.m_baWindowGeometry = "old";
        MemoryLogger log(0xFF);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be read; using the defaults"));
        settings.Load(path);
        // The warning also reaches the program's log, as an error entry.
        QCOMPARE(log.CountWith(L"cannot be read; using the defaults", 16), size_t(1));
        QVERIFY(settings.m_bSkinEnabled);
        QVERIFY(settings.m_baWindowGeometry.isEmpty());
        QCOMPARE(Describe(settings.GetProviders()), Describe(DefaultModules()));
        QVERIFY(!settings.IsDamaged());
    }

    // Files damaged as disks and crashes damage them. Each row: the file, the providers read from
    // it, what the settings object found. The save that follows writes a clean file with only
    // well-formed settings, and keeps the damaged one byte for byte as the one copy beside it.
    void damagedFileIsReadAndKept_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("providers");  // after the Load
        QTest::addColumn<QString>("found");
        const QByteArray general = "[General]\nSkinEnabled=false\nLanguage=English (EN)\n";
        const QByteArray entries = "1\\Description=Mine\n1\\Module=libmine.so\n1\\ShowSEWarning=false\n"
                                   "2\\Description=Yours\n2\\Module=/opt/yours/libyours.so\n2\\ShowSEWarning=true\n";
        const QByteArray table = "[Providers]\n" + entries + "size=2\n";
        const QString both = "Mine=libmine.so, Yours=/opt/yours/libyours.so";
        QTest::newRow("cut at the end, inside the last entry")
            << general + "[Providers]\n" + entries + "3\\Description=Third\n3\\Module=/opt/thi" << both
            << "its last line cut off; 1 lines that are no settings left out; the provider table read from the 2 "
               "entries found";
        QTest::newRow("cut at the end of a line, the size gone")
            << general + "[Providers]\n" + entries << both << "the provider table read from the 2 entries found";
        QTest::newRow("cut in the size line")
            << general + "[Providers]\n" + entries + "size=" << both
            << "its last line cut off; 1 lines that are no settings left out; the provider table read from the 2 "
               "entries found";
        QTest::newRow("cut section head of the table") << general + "[Provid\n" + entries + "size=2\n" << both
                                                     << "a section head cut short";
        QTest::newRow("cut section head of another section")
            << general + table + "[Brok\nKey=1\n" << both
            << "a section head cut short; 1 lines that are no settings left out";
        QTest::newRow("torn section head at the end")
            << general + table + "[Brok" << both << "a section head cut short; its last line cut off";
        QTest::newRow("cut off inside the table, nothing usable")
            << general + "[Providers\n1\\Description=Mine\n" << Describe(DefaultModules())
            << "a section head cut short; the provider table read from the 0 entries found";
        QTest::newRow("a block of zero bytes")
            << general + QByteArray(8192, '\0') + "\n" + table << both << "1 lines that are no settings left out";
        // 10 MB of random bytes between the sections and after them.
        QByteArray junk(10 * 1024 * 1024, '\0');
        QRandomGenerator random(46);
        random.fillRange(reinterpret_cast<quint32*>(junk.data()), junk.size() / 4);
        const QByteArray withJunk = general + junk + "\n" + table + junk.left(4096);
        QTest::newRow("10 MB of junk") << withJunk << both << QString();
    }

    void damagedFileIsReadAndKept()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, providers);
        QFETCH(QString, found);
        const QString path = HomeFile();
        WriteFile(path, content);
        settings.m_bSkinEnabled = true;
        MemoryLogger log(0xFF);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is damaged \\(.*\\); what could be read of it is used"));
        settings.Load(path);
        QCOMPARE(log.CountWith(L"is damaged", 16), size_t(1));
        QVERIFY(settings.IsDamaged());
        QVERIFY(!settings.m_bSkinEnabled);
        QCOMPARE(Describe(settings.GetProviders()), providers);
        if (!found.isEmpty())
            QCOMPARE(settings.GetDamage().Describe(), found);
        else
            QVERIFY2(settings.GetDamage().nDroppedLines > 1000, qPrintable(settings.GetDamage().Describe()));
        QCOMPARE(CSettings::DamagedFileName(path), path + ".damaged");

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("did not read cleanly; it is kept as " +
                                                             QRegularExpression::escape(path + ".damaged") + "$"));
        QVERIFY(settings.Save(path));
        QVERIFY(ReadFile(path + ".damaged") == content);
        // Only settings in the new file: our keys, nothing carried from the junk.
        const QByteArray saved = ReadFile(path);
        QVERIFY2(saved.size() < 2048, qPrintable(QString::number(saved.size())));
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.status(), QSettings::NoError);
        QCOMPARE(file.value("SkinEnabled").toBool(), false);
        QCOMPARE(file.value("Providers/size").toInt(), int(settings.GetProviders().size()));
        for (const QString& key : file.allKeys())
            QVERIFY2(QRegularExpression("^(WindowGeometry|MainWindowState|SkinEnabled|Language|"
                                        "Providers/(size|[0-9]+/(Description|Module|ShowSEWarning)))$")
                         .match(key)
                         .hasMatch(),
                     qPrintable(key));
        // The file saved reads cleanly: the next save keeps nothing more.
        settings.Load(path);
        QVERIFY(!settings.IsDamaged());
        QCOMPARE(Describe(settings.GetProviders()), providers);
        QVERIFY(settings.Save(path));
        QCOMPARE(QDir(m_home + "/.Veskora").entryList(QDir::Files | QDir::System | QDir::Hidden),
                 QStringList({"tessaly.ini", "tessaly.ini.damaged"}));
    }

    // Twenty starts with a damaged file: one copy beside the file, the newest, and every save
    // works.
    void damagedStartsKeepOneCopy()
    {
        const QString path = HomeFile();
        for (int start = 1; start <= 20; ++start) {
            const QByteArray content = "[General]\nSkinEnabled=false\n[Providers]\n1\\Description=Start " +
                                       QByteArray::number(start) + "\n1\\Module=lib.so\n";
            WriteFile(path, content);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is damaged"));
            settings.Load(path);
            QVERIFY(settings.IsDamaged());
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression("did not read cleanly; it is kept as"));
            QVERIFY2(settings.Save(path), qPrintable(settings.GetWriteError()));
            QCOMPARE(ReadFile(path + ".damaged"), content);
        }
        QCOMPARE(QDir(m_home + "/.Veskora").entryList(QDir::Files | QDir::System | QDir::Hidden),
                 QStringList({"tessaly.ini", "tessaly.ini.damaged"}));
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("Providers/1/Description").toString(),
                 QStringLiteral("Start 20"));
    }

    // A copy that cannot be made (something else holds its name) does not stop the save.
    void aCopyThatCannotBeMadeDoesNotBlockTheSave()
    {
        const QString path = HomeFile();
        QVERIFY(QDir().mkpath(path + ".damaged/inside"));
        WriteFile(path, "[General]\nSkinEnabled=false\n[Provid");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is damaged"));
        settings.Load(path);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("did not read cleanly and cannot be kept as .*: "));
        QVERIFY(settings.Save(path));
        QCOMPARE(QSettings(path, QSettings::IniFormat).status(), QSettings::NoError);
        QVERIFY(QFileInfo(path + ".damaged").isDir());
    }

    // What lies in the settings file's place that is no regular file is never opened: Load gives
    // the defaults at once (an open of a FIFO waits for a writer, /dev/zero never ends), Save
    // leaves it and says why.
    void notARegularFileIsNeverOpened_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << "fifo";
        QTest::newRow("link to a FIFO") << "link to fifo";
        QTest::newRow("link to /dev/zero") << "link to /dev/zero";
        QTest::newRow("folder") << "folder";
    }
    void notARegularFileIsNeverOpened()
    {
        QFETCH(QString, kind);
        const QString path = HomeFile();
        const QString fifo = kind == "link to fifo" ? m_home + "/fifo" : path;
        if (kind.contains("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (kind == "link to fifo")
            QVERIFY(QFile::link(fifo, path));
        if (kind == "link to /dev/zero")
            QVERIFY(QFile::link("/dev/zero", path));
        if (kind == "folder")
            QVERIFY(QDir().mkpath(path));
        settings.m_baWindowGeometry = "old";
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be read; using the defaults: it is not a "
                                                             "regular file$"));
        std::atomic<bool> loaded(false);
        std::thread load([&] {
            settings.Load(path);
            loaded = true;
        });
        QElapsedTimer waited;
        waited.start();
        while (!loaded && waited.elapsed() < 30000)
            QThread::msleep(10);
        if (!loaded && kind.contains("fifo")) {
            // Let the open go on, so that the test ends.
            const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
            if (writer >= 0)
                ::close(writer);
        }
        load.join();
        QVERIFY2(waited.elapsed() < 30000, "Load waited on what lies at the settings path");
        QVERIFY(settings.IsNotRegular());
        QVERIFY(!settings.IsDamaged());
        QVERIFY(settings.m_baWindowGeometry.isEmpty());
        QCOMPARE(Describe(settings.GetProviders()), Describe(DefaultModules()));

        QString reason;
        QVERIFY(!settings.CanWrite(path, reason));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be written: "));
        QVERIFY(!settings.Save(path));
        QCOMPARE(settings.GetWriteError(), kind == "folder" ? QString::fromLocal8Bit(std::strerror(EISDIR))
                                                            : QStringLiteral("it is not a regular file"));
        QVERIFY(!QFileInfo(path).isFile());
    }

    // A save that fails names the system's reason: a full file system is "No space left on device"
    // (the new file's descriptor is one of /dev/full), and the old file stays with nothing beside it.
    void fullFileSystemIsNamed()
    {
        const QString path = HomeFile();
        WriteFile(path, "[General]\nSkinEnabled=true\n");
        settings.m_bSkinEnabled = false;
        CSettings::SetOpenForWriting([](const char*) { return ::open("/dev/full", O_WRONLY | O_CLOEXEC); });
        MemoryLogger log(0xFF);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be written: No space left on device$"));
        const bool saved = settings.Save(path);
        CSettings::SetOpenForWriting(nullptr);
        QVERIFY(!saved);
        QCOMPARE(settings.GetWriteError(), QString::fromLocal8Bit(std::strerror(ENOSPC)));
        QCOMPARE(log.CountWith(L"No space left on device", 16), size_t(1));
        QCOMPARE(ReadFile(path), QByteArray("[General]\nSkinEnabled=true\n"));
        QCOMPARE(QDir(m_home + "/.Veskora").entryList(QDir::Files | QDir::System | QDir::Hidden),
                 QStringList{"tessaly.ini"});
    }

    // Qt refuses to write into a settings file it cannot parse; ours is replaced whole.
    void saveReplacesACorruptFile()
    {
        const QString path = HomeFile();
        WriteFile(path, "[General\nSkinEnabled=false\n");
        settings.m_bSkinEnabled = false;
        QVERIFY(settings.Save(path));
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.status(), QSettings::NoError);
        QCOMPARE(file.value("SkinEnabled").toBool(), false);
        QCOMPARE(file.value("Providers/size").toInt(), 4);
    }

    void saveThatCannotWriteLeavesTheOldFile()
    {
        // The folder is a file: nothing can be created in it.
        const QString blocker = m_home + "/blocked";
        WriteFile(blocker, "not a folder");
        MemoryLogger log(0xFF);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be written"));
        QVERIFY(!settings.Save(blocker + "/tessaly.ini"));
        QCOMPARE(log.CountWith(L"cannot be written", 16), size_t(1));
        QCOMPARE(ReadFile(blocker), QByteArray("not a folder"));

        // A good save leaves only the settings file, no temporary one.
        const QString path = HomeFile();
        WriteFile(path, "[General]\nSkinEnabled=false\n");
        QVERIFY(settings.Save(path));
        QCOMPARE(QDir(m_home + "/.Veskora").entryList(QDir::Files), QStringList{"tessaly.ini"});
    }

    // The display name of a language outside Latin-1 goes through the INI file intact
    // and selects that language again at the next start.
    void storedLanguageComesBack()
    {
        TranslationManager& languages = settings.GetTranslationManager();
        QString other;
        for (const QString& name : languages.GetLanguages().keys())
            if (name != QLatin1String(TranslationManager::EnglishName))
                other = name;
        QVERIFY2(!other.isEmpty(), "the Bulgarian translation is built in");
        const QString path = HomeFile();
        languages.SetLanguage(other);
        QVERIFY(settings.Save(path));
        languages.SetLanguage(QStringLiteral("English (EN)"));
        settings.Load(path);
        QCOMPARE(languages.GetCurrentLanguage(), other);
        QCOMPARE(QSettings(path, QSettings::IniFormat).value("Language").toString(), other);
    }

    // A settings file that is a link (to a dotfiles folder, say) stays a link; its
    // target gets the new content.
    void saveThroughALinkKeepsTheLink()
    {
        const QString path = HomeFile();
        const QString real = m_home + "/dotfiles/tessaly.ini";
        WriteFile(real, "[General]\nSkinEnabled=true\n");
        QVERIFY(QFile::link(real, path));
        settings.m_bSkinEnabled = false;
        QVERIFY(settings.Save(path));
        QVERIFY(QFileInfo(path).isSymLink());
        QCOMPARE(QSettings(real, QSettings::IniFormat).value("SkinEnabled").toBool(), false);
        QCOMPARE(QDir(m_home + "/dotfiles").entryList(QDir::Files), QStringList{"tessaly.ini"});
    }

    // A file the user made read-only is left as it was, as a write into it would fail (root
    // writes into read-only files: as root, the case runs as an unprivileged user).
    void readOnlyFileIsLeftAsItWas()
    {
        TESSALY_RUN_UNPRIVILEGED_AS_ROOT();
        const QString path = HomeFile();
        WriteFile(path, "[General]\nSkinEnabled=true\n");
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        settings.m_bSkinEnabled = false;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot be written"));
        QVERIFY(!settings.Save(path));
        QCOMPARE(ReadFile(path), QByteArray("[General]\nSkinEnabled=true\n"));
    }

    void keysOfOtherVersionsSurviveASave()
    {
        const QString path = HomeFile();
        WriteFile(path, "[General]\nSkinEnabled=false\n[Other]\nKey=kept\n");
        QVERIFY(settings.Save(path));
        QSettings file(path, QSettings::IniFormat);
        QCOMPARE(file.value("Other/Key").toString(), QStringLiteral("kept"));
    }
};

QTEST_MAIN(SettingsTest)
#include "test_settings.moc"
