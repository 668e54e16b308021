#include "Settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <vector>

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
const char* const kProviders = "Providers";
// Far more than any settings file holds; what lies beyond is not read.
const qint64 kMaxFileBytes = qint64(kSettingsFileLimitMB) * 1024 * 1024;
// The longest name and value a line of settings may have (a window geometry takes some hundred bytes).
const int kMaxName = 256;
const int kMaxValue = 64 * 1024;

CSettings::TOpenFile g_openForWriting = nullptr;

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

QString NotRegularReason()
{
    return QCoreApplication::translate("CSettings", "it is not a regular file");
}

// The file a save writes: a link is followed, so the link stays and its target gets the settings.
QFileInfo WrittenFile(const QString& path)
{
    QFileInfo target(path);
    if (target.isSymLink())
        target.setFile(target.exists() ? target.canonicalFilePath() : target.symLinkTarget());
    return target;
}

// What a settings path holds, found without waiting on it: a FIFO or a device is refused before
// it is opened (an open of a FIFO waits for a writer), and the open itself cannot wait.
enum class TFileState { Missing, Read, NotRegular, Unreadable };

TFileState ReadSettingsFile(const QString& path, QByteArray& bytes, bool& bTooLarge, int& error)
{
    bytes.clear();
    bTooLarge = false;
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0) {
        error = errno;
        return error == ENOENT ? TFileState::Missing : TFileState::Unreadable;
    }
    if (!S_ISREG(info.st_mode))
        return TFileState::NotRegular;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = errno;
        return error == ENOENT ? TFileState::Missing : TFileState::Unreadable;
    }
    TFileState state = TFileState::Read;
    // The path may have been replaced between the two looks.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        state = TFileState::NotRegular;
    } else {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof(buffer));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                error = errno;
                state = TFileState::Unreadable;
                break;
            }
            if (got == 0)
                break;
            const qint64 room = kMaxFileBytes - bytes.size();
            bytes.append(buffer, int(std::min<qint64>(got, room)));
            if (got > room) {
                bTooLarge = true;
                break;
            }
        }
    }
    ::close(fd);
    return state;
}

bool IsNameChar(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || std::strchr("_-.%\\/ ", c);
}

// A section or key name as Qt writes one (letters, digits, its escapes) or a person types one.
bool IsWellFormedName(const QByteArray& name)
{
    if (name.isEmpty() || name.size() > kMaxName || name.trimmed().isEmpty())
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) { return c != '\0' && IsNameChar(c); });
}

// A value as text: no control characters, and bytes beyond ASCII only as UTF-8.
bool IsWellFormedValue(const QByteArray& value)
{
    if (value.size() > kMaxValue)
        return false;
    bool bAscii = true;
    for (char c : value) {
        const unsigned char u = static_cast<unsigned char>(c);
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            return false;
        if (u >= 0x80)
            bAscii = false;
    }
    return bAscii || QString::fromUtf8(value).toUtf8() == value;
}

// The section a head cut short belongs to: the one of ours whose name it begins; empty when none
// or more than one does.
QByteArray CompletedSection(const QByteArray& torn)
{
    QByteArray found;
    for (const char* pszKnown : {"General", kProviders}) {
        const QByteArray known(pszKnown);
        if (!torn.isEmpty() && known.toLower().startsWith(torn.toLower())) {
            if (!found.isEmpty())
                return QByteArray();
            found = known;
        }
    }
    return found;
}

// The file's lines that are settings, as Qt's INI reader reads them, with what was found on the way.
// A head cut short ("[Provid") is completed when it begins one of our sections; the lines of another
// section cut short, and lines that are no settings (junk a disk left, a line cut off), are left out.
// A last line without its line break was cut off when it is the provider table's size, or the table
// has none: then it is left out as well.
QByteArray CleanSettings(const QByteArray& bytes, CSettings::TDamage& damage)
{
    struct TLine {
        QByteArray text;
        bool bInProviders;
        bool bSize;
    };
    std::vector<TLine> kept;
    bool bInProviders = false;
    bool bSkipSection = false;
    bool bTableHasSize = false;
    int start = 0;
    const int total = bytes.size();
    bool bLastKept = false;
    while (start < total) {
        int end = bytes.indexOf('\n', start);
        const bool bTerminated = end >= 0;
        if (!bTerminated)
            end = total;
        QByteArray line = bytes.mid(start, end - start);
        start = end + 1;
        if (!bTerminated)
            damage.bTornEnd = true;
        if (line.endsWith('\r'))
            line.chop(1);
        const QByteArray trimmed = line.trimmed();
        bLastKept = false;
        if (trimmed.isEmpty() || trimmed.startsWith(';'))
            continue;
        if (trimmed.startsWith('[')) {
            const int close = trimmed.indexOf(']');
            QByteArray name = trimmed.mid(1, close < 0 ? -1 : close - 1).trimmed();
            if (!IsWellFormedName(name) && !(close < 0 && name.isEmpty())) {
                ++damage.nDroppedLines;  // junk that begins with a bracket: the section goes on
                continue;
            }
            if (close < 0) {
                damage.bTornHead = true;
                name = CompletedSection(name);
                if (name.isEmpty()) {
                    bSkipSection = true;
                    bInProviders = false;
                    continue;
                }
            }
            bSkipSection = false;
            bInProviders = name.compare(kProviders, Qt::CaseInsensitive) == 0;
            kept.push_back({'[' + name + "]", false, false});
            bLastKept = true;
            continue;
        }
        const int equals = line.indexOf('=');
        const QByteArray key = equals < 0 ? QByteArray() : line.left(equals).trimmed();
        if (bSkipSection || equals < 0 || !IsWellFormedName(key) || !IsWellFormedValue(line.mid(equals + 1))) {
            ++damage.nDroppedLines;
            continue;
        }
        const bool bSize = bInProviders && key == "size";
        bTableHasSize = bTableHasSize || (bSize && bTerminated);
        kept.push_back({line, bInProviders, bSize});
        bLastKept = true;
    }
    if (damage.bTornEnd && bLastKept && kept.back().bInProviders && (kept.back().bSize || !bTableHasSize)) {
        kept.pop_back();
        ++damage.nDroppedLines;
    }
    QByteArray clean;
    clean.reserve(total < 1 << 20 ? total : 1 << 20);
    for (const TLine& line : kept)
        clean += line.text + '\n';
    return clean;
}

// The provider table as the file holds it. Its size names its entries; where the size is missing,
// is no number or names entries that are not there (a file cut short or torn), the table is the
// entries present, each with its description and module. Entries beyond the size are of an
// older, longer table. Empty optional: the file holds no table.
std::optional<std::vector<int>> TableEntries(QSettings& file, CSettings::TDamage& damage)
{
    file.beginGroup(QLatin1String(kProviders));
    const bool bHasSize = file.contains(QStringLiteral("size"));
    bool bSizeOk = false;
    const int size = file.value(QStringLiteral("size")).toString().trimmed().toInt(&bSizeOk);
    std::vector<int> present;
    for (const QString& group : file.childGroups()) {
        bool ok = false;
        const int number = group.toInt(&ok);
        if (ok && number > 0)
            present.push_back(number);
    }
    std::sort(present.begin(), present.end());
    if (!bHasSize && present.empty()) {
        file.endGroup();
        return std::nullopt;
    }
    std::vector<int> entries;
    if (bSizeOk && size < 0) {
        file.endGroup();
        return entries;
    }
    if (bSizeOk) {
        const auto within = std::upper_bound(present.begin(), present.end(), size);
        // Numbers are unique and start at 1: all of 1..size are there exactly when size of them are.
        if (within - present.begin() == size) {
            file.endGroup();
            return std::vector<int>(present.begin(), within);
        }
        present.erase(within, present.end());
    }
    for (int number : present) {
        const QString entry = QString::number(number) + QLatin1Char('/');
        if (!file.value(entry + QStringLiteral("Description")).toString().isEmpty() &&
            !file.value(entry + QStringLiteral("Module")).toString().isEmpty())
            entries.push_back(number);
    }
    file.endGroup();
    damage.nRecoveredProviders = int(entries.size());
    if (entries.empty())
        return std::nullopt;
    return entries;
}

// A settings file read through a clean copy of it in a scratch file: Qt parses only the lines that
// are settings, and never the path itself (it would open and wait on whatever lies there). Qt keeps
// a file it has parsed in memory until it changes: each copy has a name of its own.
class CCleanRead
{
public:
    explicit CCleanRead(const QString& path)
    {
        QByteArray bytes;
        m_state = ReadSettingsFile(path, bytes, m_damage.bTooLarge, m_nError);
        if (m_state != TFileState::Read)
            return;
        const QByteArray clean = CleanSettings(bytes, m_damage);
        m_scratch.setFileTemplate(QDir::tempPath() + QStringLiteral("/tessaly-settings-XXXXXX.ini"));
        if (!m_scratch.open() || m_scratch.write(clean) != clean.size() || !m_scratch.flush()) {
            m_nError = EIO;
            m_state = TFileState::Unreadable;
            return;
        }
        m_scratch.close();
        m_settings.reset(new QSettings(m_scratch.fileName(), QSettings::IniFormat));
        if (m_settings->status() != QSettings::NoError)
            m_damage.bUnparsed = true;
        m_entries = TableEntries(*m_settings, m_damage);
    }

    TFileState State() const { return m_state; }
    int Error() const { return m_nError; }
    CSettings::TDamage& Damage() { return m_damage; }
    // Null unless the file was read.
    QSettings* Settings() const { return m_settings.get(); }
    // The numbers of the provider entries to read; none when the file holds no table.
    const std::optional<std::vector<int>>& Entries() const { return m_entries; }

private:
    TFileState m_state = TFileState::Missing;
    int m_nError = 0;
    CSettings::TDamage m_damage;
    QTemporaryFile m_scratch;
    std::unique_ptr<QSettings> m_settings;
    std::optional<std::vector<int>> m_entries;
};

// Writes bytes to a new file beside file and puts it in file's place; the system's reason when
// any step fails (the old file then stays as it was).
bool ReplaceFile(const QString& file, const QByteArray& bytes, mode_t mode, QString& reason)
{
    QByteArray temp = QFile::encodeName(file) + ".XXXXXX";
    const int made = ::mkostemp(temp.data(), O_CLOEXEC);
    if (made < 0) {
        reason = SystemReason(errno);
        return false;
    }
    int fd = made;
    if (g_openForWriting) {
        fd = g_openForWriting(temp.constData());
        ::close(made);
    }
    bool ok = fd >= 0;
    int error = ok ? 0 : errno;
    for (int done = 0; ok && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            ok = false;
        } else {
            done += int(n);
        }
    }
    if (ok && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0)) {
        error = errno;
        ok = false;
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        error = errno;
        ok = false;
    }
    if (ok && ::rename(temp.constData(), QFile::encodeName(file).constData()) != 0) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.constData());
        reason = SystemReason(error);
    }
    return ok;
}

// The file as it is, as the one copy beside it (a second link to it, or a copy where the file
// system has no links), in place of an earlier copy. False, with the system's reason, when neither
// can be made.
bool KeepBeside(const QString& file, const QString& kept, QString& reason)
{
    const QByteArray from = QFile::encodeName(file);
    const QByteArray to = QFile::encodeName(kept);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray temp = to + '.' + QByteArray::number(qulonglong(::getpid())) + '.' +
                                QByteArray::number(attempt);
        int error = 0;
        if (::link(from.constData(), temp.constData()) != 0) {
            error = errno;
            if (error == EEXIST)
                continue;
            if (!QFile::copy(file, QFile::decodeName(temp))) {
                reason = SystemReason(error);
                return false;
            }
        }
        if (::rename(temp.constData(), to.constData()) != 0) {
            reason = SystemReason(errno);
            ::unlink(temp.constData());
            return false;
        }
        return true;
    }
    reason = SystemReason(EEXIST);
    return false;
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
    if (file.isDir()) {
        reason = SystemReason(EISDIR);
        return false;
    }
    // A FIFO or a device in the file's place is nothing this program made: it stays.
    struct stat info;
    if (::stat(QFile::encodeName(file.absoluteFilePath()).constData(), &info) == 0 && !S_ISREG(info.st_mode)) {
        reason = NotRegularReason();
        return false;
    }
    // The new file is made beside the old one and renamed over it.
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0) {
        reason = SystemReason(errno);
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
    return WrittenFile(path).absoluteFilePath() + QStringLiteral(".damaged");
}

void CSettings::SetOpenForWriting(TOpenFile open)
{
    g_openForWriting = open;
}

void CSettings::Load(const QString& path)
{
    CCleanRead read(path);
    QSettings* file = read.Settings();
    m_damage = read.State() == TFileState::Read ? read.Damage() : TDamage();
    m_bDamaged = m_damage.Any();
    m_bNotRegular = read.State() == TFileState::NotRegular;
    if (m_bNotRegular)
        Warn(QStringLiteral("Settings file %1 cannot be read; using the defaults: it is not a regular file").arg(path));
    else if (read.State() == TFileState::Unreadable)
        Warn(QStringLiteral("Settings file %1 cannot be read; using the defaults: %2")
                 .arg(path, SystemReason(read.Error())));

    m_baWindowGeometry = file ? file->value("WindowGeometry").toByteArray() : QByteArray();
    m_baMainWindowState = file ? file->value("MainWindowState").toByteArray() : QByteArray();
    m_bSkinEnabled = file ? file->value("SkinEnabled", true).toBool() : true;
    m_sLanguage = file ? file->value("Language", kSystemLanguage).toString() : QString::fromLatin1(kSystemLanguage);
    m_qsRequestServiceURL = file ? file->value("RequestServiceURL").toString().trimmed() : QString();
    if (m_sLanguage == QLatin1String(kSystemLanguage))
        m_translationManager.LoadSystemLanguage();
    else
        m_translationManager.SetLanguage(m_sLanguage);

    if (m_bDamaged)
        Warn(QStringLiteral("Settings file %1 is damaged (%2); what could be read of it is used")
                 .arg(path, m_damage.Describe()));
    // Only a file without the table gets the defaults: a table the user emptied stays empty.
    if (!read.Entries())
        return;
    m_mapModules.clear();
    m_mapShowSEWarning.clear();
    for (int number : *read.Entries()) {
        const QString entry = QStringLiteral("Providers/%1/").arg(number);
        const std::string description = ToMapText(file->value(entry + QStringLiteral("Description")).toString());
        m_mapModules[description] = ToMapText(file->value(entry + QStringLiteral("Module")).toString());
        m_mapShowSEWarning[description] = file->value(entry + QStringLiteral("ShowSEWarning"), true).toBool();
    }
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
    CCleanRead old(file);

    // Qt writes the content into a scratch file; the program writes it beside the old one itself,
    // so a failure has the system's own reason.
    QTemporaryFile scratch(QDir::tempPath() + QStringLiteral("/tessaly-settings-XXXXXX.ini"));
    if (!scratch.open()) {
        scratch.setFileTemplate(file + QStringLiteral(".XXXXXX"));
        if (!scratch.open()) {
            m_qsWriteError = scratch.errorString();
            Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, m_qsWriteError));
            return false;
        }
    }
    scratch.close();
    {
        QSettings out(scratch.fileName(), QSettings::IniFormat);
        // Keep keys that other versions may have stored beside ours: the well-formed ones.
        if (QSettings* pOld = old.Settings()) {
            const QStringList keys = pOld->allKeys();
            for (const QString& key : keys)
                out.setValue(key, pOld->value(key));
        }
        out.setValue("WindowGeometry", m_baWindowGeometry);
        out.setValue("MainWindowState", m_baMainWindowState);
        out.setValue("SkinEnabled", m_bSkinEnabled);
        out.setValue("Language", m_translationManager.GetCurrentLanguage());
        // The table is written whole: entries of removed providers must not linger past
        // the new size.
        out.remove(QLatin1String(kProviders));
        // With its size, so that an empty table is written as one (size 0).
        out.beginWriteArray(QLatin1String(kProviders), static_cast<int>(m_mapModules.size()));
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
            m_qsWriteError = QStringLiteral("the scratch file %1 cannot be written").arg(scratch.fileName());
            Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, m_qsWriteError));
            return false;
        }
    }
    QByteArray content;
    {
        QFile written(scratch.fileName());
        if (written.open(QIODevice::ReadOnly))
            content = written.readAll();
        if (content.isEmpty()) {
            m_qsWriteError = written.errorString();
            Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, m_qsWriteError));
            return false;
        }
    }

    mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
    struct stat info;
    if (::stat(QFile::encodeName(file).constData(), &info) == 0)
        mode = info.st_mode & 07777;
    // A file that did not read cleanly holds what this one may lack: it stays beside it, as the one
    // copy of a damaged file (the newest). Saving goes on when it cannot be kept.
    if (old.State() == TFileState::Read && old.Damage().Any()) {
        const QString kept = DamagedFileName(file);
        if (KeepBeside(file, kept, reason))
            Warn(QStringLiteral("Settings file %1 did not read cleanly; it is kept as %2").arg(path, kept));
        else
            Warn(QStringLiteral("Settings file %1 did not read cleanly and cannot be kept as %2: %3")
                     .arg(path, kept, reason));
    }
    if (!ReplaceFile(file, content, mode, reason)) {
        m_qsWriteError = reason;
        Warn(QStringLiteral("Settings file %1 cannot be written: %2").arg(path, m_qsWriteError));
        return false;
    }
    m_qsWriteError.clear();
    return true;
}

QString CSettings::TDamage::Describe() const
{
    QStringList found;
    if (bTooLarge)
        found << QStringLiteral("larger than %1 MB, only its start read").arg(kSettingsFileLimitMB);
    if (bTornHead)
        found << QStringLiteral("a section head cut short");
    if (bTornEnd)
        found << QStringLiteral("its last line cut off");
    if (nDroppedLines > 0)
        found << QStringLiteral("%1 lines that are no settings left out").arg(nDroppedLines);
    if (nRecoveredProviders >= 0)
        found << QStringLiteral("the provider table read from the %1 entries found").arg(nRecoveredProviders);
    if (bUnparsed)
        found << QStringLiteral("a line Qt cannot read");
    return found.join(QStringLiteral("; "));
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
