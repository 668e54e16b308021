#pragma once

#include <map>
#include <string>

#include <QByteArray>
#include <QString>

#include "TranslationManager.h"

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

    // Reads what Qt can read of the file: a line it cannot parse (a torn section head) is
    // skipped, the rest used (IsDamaged tells); an unreadable file gives the defaults.
    void Load(const QString& path);
    // Whether the file of the last Load did not read cleanly. Save then keeps it beside the new
    // one, under the name DamagedFileName gives.
    bool IsDamaged() const { return m_bDamaged; }
    static QString DamagedFileName(const QString& path);
    // Writes the whole file or, when that fails, leaves the old one as it was; the reason of a
    // failure is kept for GetWriteError. An old file that does not read cleanly is kept beside
    // the new one ("tessaly.ini.damaged"); when that cannot be done it is not replaced.
    bool Save(const QString& path);
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

public:
    QByteArray m_baMainWindowState;
    QByteArray m_baWindowGeometry;
    bool m_bSkinEnabled;
};
