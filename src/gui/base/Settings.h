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

    void Load(const QString& path);
    // Writes the whole file or, when that fails, leaves the old one as it was.
    bool Save(const QString& path);
    void LoadDefaultProviders();

    TModules& GetProviders();
    const TModules& GetProviders() const;
    TranslationManager& GetTranslationManager();

    // The request service address the settings file names ("RequestServiceURL"),
    // empty when it names none.
    const QString& GetRequestServiceURL() const { return m_qsRequestServiceURL; }

    bool GetShowSEWarning(const std::string& description) const;
    void SetShowSEWarning(const std::string& description, bool show);

    // Map text is 8-bit Latin-1: characters outside it become '?'.
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

public:
    QByteArray m_baMainWindowState;
    QByteArray m_baWindowGeometry;
    bool m_bSkinEnabled;
};
