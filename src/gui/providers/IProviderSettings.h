#ifndef TESSALY_IPROVIDERSETTINGS_H
#define TESSALY_IPROVIDERSETTINGS_H

#include <QString>
#include <QStringList>
#include <map>
#include <string>

// What the Preferences dialog reads and changes of the program's settings: the provider table
// (description to module file, 8-bit Latin-1 texts in byte order) and the interface language.
// CSettingsProviderAccess (ProviderSettingsAccess.h) puts the settings object behind it.
class IProviderSettings
{
public:
    typedef std::map<std::string, std::string> TProviderTable;

    virtual ~IProviderSettings() {}

    // The table itself; the dialog edits it in place.
    virtual TProviderTable& GetProviders() = 0;
    // Deletes the settings file and restores the default table (dropping every warning flag);
    // the file beside the program is written again at once, so the program keeps using it.
    virtual void ResetProviders() = 0;

    // Display names of the languages, in the order they are offered.
    virtual QStringList GetLanguages() const = 0;
    virtual QString GetCurrentLanguage() const = 0;
    virtual void SetLanguage(const QString& name) = 0;
};

#endif
