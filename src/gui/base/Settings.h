#pragma once

#include <map>
#include <string>

#include <QByteArray>
#include <QString>

#include "TranslationManager.h"

// A settings file larger than this is read only up to it.
constexpr int kSettingsFileLimitMB = 16;

// The program's one settings object: the provider table with its slot-events
// warning flags, the language, the main window's state and the skin flag, kept in an
// INI file.
class CSettings
{
public:
    typedef std::map<std::string, std::string> TModules;
    typedef std::map<std::string, bool> TWarningFlags;

    static CSettings& Instance();

    // The file beside the program when one exists there (portable), else
    // ~/.Veskora/tessaly.ini; creates the home folder when missing.
    static QString GetSettingsFilePath(bool& portable);

    // What a damaged file showed when it was read.
    struct TDamage {
        bool bTooLarge = false;        // larger than kSettingsFileLimitMB: only its start read
        bool bTornHead = false;        // a section head cut short
        bool bTornEnd = false;         // the last line has no line break (the file was cut there)
        int nDroppedLines = 0;         // lines that are no settings, left out
        int nRecoveredProviders = -1;  // the provider table's size missing or wrong: entries found
        bool bUnparsed = false;        // a line that Qt could not read
        bool Any() const
        {
            return bTooLarge || bTornHead || bTornEnd || nDroppedLines > 0 || nRecoveredProviders >= 0 || bUnparsed;
        }
        // In a line for the log.
        QString Describe() const;
    };

    // Reads the lines of the file that are settings: a section head cut short ("[Provid") is
    // completed, lines that are no settings are left out, and a provider table without a size
    // that matches its entries is read from the entries present (IsDamaged and GetDamage tell).
    // A path that is not a regular file is never opened; it and an unreadable file give the
    // defaults.
    void Load(const QString& path);
    // Whether the file of the last Load did not read cleanly. Save then keeps it beside the new
    // one, under the name DamagedFileName gives.
    bool IsDamaged() const { return m_bDamaged; }
    const TDamage& GetDamage() const { return m_damage; }
    // Whether the path of the last Load held something other than a regular file (a FIFO, a
    // device): it was not read, and Save leaves it.
    bool IsNotRegular() const { return m_bNotRegular; }
    // The one copy of a damaged file: "tessaly.ini.damaged", the newest damaged file.
    static QString DamagedFileName(const QString& path);
    // Writes the whole file or, when that fails, leaves the old one as it was; the system's
    // reason of a failure is kept for GetWriteError. Of the old file only well-formed settings
    // are kept; an old file that does not read cleanly is kept beside the new one as it is
    // (replacing an earlier copy), and the save goes on when that copy cannot be made.
    bool Save(const QString& path);
    // For tests: opens the new file's descriptor in place of the file at the given temporary path
    // (a descriptor of /dev/full shows a full file system); null for the file itself.
    typedef int (*TOpenFile)(const char* pszPath);
    static void SetOpenForWriting(TOpenFile open);
    void LoadDefaultProviders();
    // The default provider table without any warning flag, saved at path; every other key of
    // the file stays.
    bool ResetProviders(const QString& path);
    // Whether the file at path can be written (its folder exists and can be written, the file
    // can be replaced); else the system's reason.
    bool CanWrite(const QString& path, QString& reason) const;
    // Why the last Save failed, in the system's words; empty after one that worked.
    const QString& GetWriteError() const { return m_qsWriteError; }

    TModules& GetProviders();
    const TModules& GetProviders() const;
    TranslationManager& GetTranslationManager();

    // The request service address the settings file names ("RequestServiceURL"),
    // empty when it names none.
    const QString& GetRequestServiceURL() const { return m_qsRequestServiceURL; }

    bool GetShowSEWarning(const std::string& description) const;
    void SetShowSEWarning(const std::string& description, bool show);

    // Map text is UTF-8.
    static std::string ToMapText(const QString& text);
    static QString FromMapText(const std::string& text);

private:
    CSettings();
    CSettings(const CSettings&) = delete;
    CSettings& operator=(const CSettings&) = delete;

    TModules m_mapModules;
    TWarningFlags m_mapShowSEWarning;
    TranslationManager m_translationManager;
    QString m_sLanguage;
    QString m_qsRequestServiceURL;
    // Why the home folder could not be made, and why the last Save failed.
    QString m_qsFolderError;
    QString m_qsWriteError;
    bool m_bDamaged = false;
    bool m_bNotRegular = false;
    TDamage m_damage;

public:
    QByteArray m_baMainWindowState;
    QByteArray m_baWindowGeometry;
    bool m_bSkinEnabled;
};
