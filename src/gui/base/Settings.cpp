#include "Settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include "Resources.h"

#include <logging/Logger.h>

namespace {
const char* const kFileName = "tessaly.ini";
const char* const kHomeFolder = ".Veskora";
const char* const kSystemLanguage = "C";

// How the file reads. Qt's INI reader skips a line it cannot parse (a section head torn by a
// crash or a full disk) and reads the rest; such a file is used as far as it reads, and kept
// when it is replaced. Qt keeps a file it has parsed in memory and parses it again only once it
// changed, and then reports no error: a copy under a name of its own is parsed afresh.
QSettings::Status StatusOf(const QString& path)
{
    if (!QFileInfo::exists(path))
        return QSettings::NoError;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QSettings::AccessError;
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/tessaly-settings-XXXXXX.ini"));
    if (!copy.open() || copy.write(file.readAll()) < 0 || !copy.flush())
        return QSettings(path, QSettings::IniFormat).status();
    copy.close();
    return QSettings(copy.fileName(), QSettings::IniFormat).status();
}

// Settings problems go to standard error and to the program's log.
void Warn(const QString& text)
{
    qWarning().noquote() << text;
    Logging::ILogger::instance().severity(16) << text.toUtf8().constData();
    Logging::ILogger::instance().flush();
}

// The system's text for an error number.
QString SystemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The file a save writes: a link is followed, so the link stays and its target gets the settings.
QFileInfo WrittenFile(const QString& path)
{
    QFileInfo target(path);
    if (target.isSymLink())
        target.setFile(target.exists() ? target.canonicalFilePath() : target.symLinkTarget());
    return target;
}

// A name beside the file that nothing has yet: "tessaly.ini.damaged", then ".damaged.2" and so on.
QString FreeDamagedName(const QString& file)
{
    const QString base = file + QStringLiteral(".damaged");
    for (int n = 1; n < 1000; ++n) {
        const QString name = n == 1 ? base : base + QLatin1Char('.') + QString::number(n);
        if (!QFileInfo::exists(name) && !QFileInfo(name).isSymLink())
            return name;
    }
    return QString();
}

// The file as it is, under the new name: a second link to it, or a copy where the file system
// has no links. False, with the system's reason, when neither can be made.
bool KeepBeside(const QString& file, const QString& name, QString& reason)
{
    if (::link(QFile::encodeName(file).constData(), QFile::encodeName(name).constData()) == 0)
        return true;
    reason = SystemReason(errno);
    return QFile::copy(file, name);
}

// Creates the folder with its missing parents; on failure the system's reason for the first
// folder that could not be made.
bool MakeFolder(const QString& folder, QString& reason)
{
    QStringList missing;
    QDir dir(folder);
    while (!dir.exists()) {
        missing.prepend(dir.absolutePath());
        if (!dir.cdUp())
            break;
    }
    for (const QString& path : missing) {
        if (::mkdir(QFile::encodeName(path).constData(), 0777) != 0 && errno != EEXIST) {
            reason = SystemReason(errno);
            return false;
        }
    }
    if (!QDir(folder).exists()) {
        reason = SystemReason(ENOTDIR);
        return false;
    }
    return true;
}

// The number of the last entry present in the array that is open for reading.
int HighestEntry(QSettings& settings)
{
    int highest = 0;
    const QStringList entries = settings.childGroups();
    for (const QString& entry : entries) {
        bool ok = false;
        const int number = entry.toInt(&ok);
        if (ok && number > highest)
            highest = number;
    }
    return highest;
}
}

CSettings& CSettings::Instance()
{
    static CSettings settings;
    return settings;
}

CSettings::CSettings()
    : m_translationManager((tessaly::InitResources(), QStringLiteral(":/translations/translations/")),
                           QStringLiteral("tessaly"), nullptr),
      m_bSkinEnabled(false)
{
    LoadDefaultProviders();
}

QString CSettings::GetSettingsFilePath(bool& portable)
{
    const QString candidate = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() +
                                                       QLatin1Char('/') + QLatin1String(kFileName));
    if (QFile::exists(candidate)) {
        portable = true;
        return candidate;
    }
    const QString folder = QDir::toNativeSeparators(QDir::homePath() + QLatin1Char('/') + QLatin1String(kHomeFolder));
    QString reason;
    if (!QDir(folder).exists() && !MakeFolder(folder, reason))
        Instance().m_qsFolderError = reason;
    else
        Instance().m_qsFolderError.clear();
    portable = false;
    return QDir::toNativeSeparators(folder + QLatin1Char('/') + QLatin1String(kFileName));
}

std::string CSettings::ToMapText(const QString& text)
{
    return text.toUtf8().toStdString();
}

QString CSettings::FromMapText(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

bool CSettings::CanWrite(const QString& path, QString& reason) const
{
    const QFileInfo file(path);
    const QString folder = file.absolutePath();
    if (!QFileInfo(folder).isDir()) {
        reason = m_qsFolderError.isEmpty() ? SystemReason(ENOENT) : m_qsFolderError;
        return false;
    }
    // The new file is made beside the old one and renamed over it.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0) {
        reason = SystemReason(errno);
        return false;
    }
    if (file.isDir()) {
        reason = SystemReason(EISDIR);
        return false;
    }
    if (file.exists() && ::access(QFile::encodeName(file.absoluteFilePath()).constData(), W_OK) != 0) {
        reason = SystemReason(errno);
        return false;
    }
    return true;
}

QString CSettings::DamagedFileName(const QString& path)
{
    return FreeDamagedName(WrittenFile(path).absoluteFilePath());
}

void CSettings::Load(const QString& path)
{
    QSettings file(path, QSettings::IniFormat);
    const QSettings::Status status = StatusOf(path);
    const bool readable = status != QSettings::AccessError;
    m_bDamaged = status != QSettings::NoError && QFileInfo(path).isFile();
    if (!readable)
        Warn(QStringLiteral("Settings file %1 cannot be read; using the defaults").arg(path));
    else if (m_bDamaged)
        Warn(QStringLiteral("Settings file %1 has a line that cannot be read; the rest of it is used").arg(path));

    m_baWindowGeometry = readable ? file.value("WindowGeometry").toByteArray() : QByteArray();
    m_baMainWindowState = readable ? file.value("MainWindowState").toByteArray() : QByteArray();
    m_bSkinEnabled = readable ? file.value("SkinEnabled", true).toBool() : true;
    m_sLanguage = readable ? file.value("Language", kSystemLanguage).toString() : QString::fromLatin1(kSystemLanguage);
    m_qsRequestServiceURL = readable ? file.value("RequestServiceURL").toString().trimmed() : QString();
    if (m_sLanguage == QLatin1String(kSystemLanguage))
        m_translationManager.LoadSystemLanguage();
    else
        m_translationManager.SetLanguage(m_sLanguage);

    if (!readable)
        return;
    // Only a file without the table gets the defaults: a table the user emptied stays empty.
    const bool bHasTable = file.contains(QStringLiteral("Providers/size"));
    const int count = file.beginReadArray("Providers");
    if (bHasTable) {
        m_mapModules.clear();
        m_mapShowSEWarning.clear();
        // A size far beyond the stored entries (a damaged file) must not spin for
        // ages: every entry past the last stored one is the same empty provider.
        const int stored = std::min(count, HighestEntry(file));
        for (int i = 0; i < stored; ++i) {
            file.setArrayIndex(i);
            const std::string description = ToMapText(file.value("Description").toString());
            m_mapModules[description] = ToMapText(file.value("Module").toString());
            m_mapShowSEWarning[description] = file.value("ShowSEWarning", true).toBool();
        }
        if (count > stored) {
            m_mapModules[std::string()] = std::string();
            m_mapShowSEWarning[std::string()] = true;
        }
    }
    file.endArray();
}

bool CSettings::Save(const QString& path)
{
    // The new content goes to a file of its own beside the old one, which it replaces
    // in one rename only when it was written completely.
    const QFileInfo target = WrittenFile(path);
    // A rename would replace a file the user made read-only; that file stays as it is.
    QString reason;
    if (!CanWrite(target.absoluteFilePath(), reason)) {
        m_qsWriteError = reason;
        Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, reason));
        return false;
    }
    const QString file = target.absoluteFilePath();
    QTemporaryFile temp(file + QStringLiteral(".XXXXXX"));
    if (!temp.open()) {
        m_qsWriteError = temp.errorString();
        Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, m_qsWriteError));
        return false;
    }
    temp.close();

    // A file that did not read cleanly holds what this one may lack: it stays beside it.
    bool bKeepOld = false;
    {
        QSettings out(temp.fileName(), QSettings::IniFormat);
        // Keep keys that other versions may have stored beside ours.
        if (target.exists()) {
            QSettings old(file, QSettings::IniFormat);
            const QSettings::Status status = StatusOf(file);
            bKeepOld = status != QSettings::NoError && target.isFile();
            if (status != QSettings::AccessError) {
                const QStringList keys = old.allKeys();
                for (const QString& key : keys)
                    out.setValue(key, old.value(key));
            }
        }
        out.setValue("WindowGeometry", m_baWindowGeometry);
        out.setValue("MainWindowState", m_baMainWindowState);
        out.setValue("SkinEnabled", m_bSkinEnabled);
        out.setValue("Language", m_translationManager.GetCurrentLanguage());
        // The table is written whole: entries of removed providers must not linger past
        // the new size.
        out.remove("Providers");
        // With its size, so that an empty table is written as one (size 0).
        out.beginWriteArray("Providers", static_cast<int>(m_mapModules.size()));
        int index = 0;
        for (const auto& provider : m_mapModules) {
            out.setArrayIndex(index++);
            out.setValue("Description", FromMapText(provider.first));
            out.setValue("Module", FromMapText(provider.second));
            TWarningFlags::const_iterator flag = m_mapShowSEWarning.find(provider.first);
            if (flag != m_mapShowSEWarning.end())
                out.setValue("ShowSEWarning", flag->second);
        }
        out.endArray();
        out.sync();
        if (out.status() != QSettings::NoError) {
            m_qsWriteError = out.status() == QSettings::AccessError ? SystemReason(EACCES) : QStringLiteral("format error");
            Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, m_qsWriteError));
            return false;
        }
    }

    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (target.exists())
        permissions = QFile(file).permissions();
    QFile::setPermissions(temp.fileName(), permissions);
    if (bKeepOld) {
        const QString kept = FreeDamagedName(file);
        if (kept.isEmpty() || !KeepBeside(file, kept, reason)) {
            m_qsWriteError = kept.isEmpty() ? SystemReason(EEXIST) : reason;
            Warn(QStringLiteral("Settings file %1 did not read cleanly and cannot be kept: %2; it is not replaced")
                     .arg(path, m_qsWriteError));
            return false;
        }
        Warn(QStringLiteral("Settings file %1 did not read cleanly; it is kept as %2").arg(path, kept));
    }
    if (std::rename(QFile::encodeName(temp.fileName()).constData(), QFile::encodeName(file).constData()) != 0) {
        m_qsWriteError = SystemReason(errno);
        Warn(QStringLiteral("Settings file %1 cannot be replaced: %2").arg(path, m_qsWriteError));
        return false;
    }
    temp.setAutoRemove(false);
    m_qsWriteError.clear();
    return true;
}

bool CSettings::ResetProviders(const QString& path)
{
    // Save keeps the file's other keys and writes the table whole, flags included.
    LoadDefaultProviders();
    return Save(path);
}

void CSettings::LoadDefaultProviders()
{
    m_mapModules.clear();
    m_mapShowSEWarning.clear();
    m_mapModules["Siemens"] = "libsiecap11.so";
    m_mapModules["Charismathics"] = "libcmP11.so";
    m_mapModules["OpenSC"] = "onepin-opensc-pkcs11.so";
    m_mapModules["Bit4id"] = "libbit4ipki.so";
}

CSettings::TModules& CSettings::GetProviders()
{
    return m_mapModules;
}

const CSettings::TModules& CSettings::GetProviders() const
{
    return m_mapModules;
}

TranslationManager& CSettings::GetTranslationManager()
{
    return m_translationManager;
}

bool CSettings::GetShowSEWarning(const std::string& description) const
{
    TWarningFlags::const_iterator flag = m_mapShowSEWarning.find(description);
    return flag == m_mapShowSEWarning.end() ? true : flag->second;
}

void CSettings::SetShowSEWarning(const std::string& description, bool show)
{
    m_mapShowSEWarning[description] = show;
}
