#ifndef TESSALY_IPROVIDERSETTINGS_H
#define TESSALY_IPROVIDERSETTINGS_H

#include <QString>
#include <QStringList>
#include <map>
#include <string>

// What the Preferences dialog reads and changes of the program's settings: the provider table
// (description to module file, UTF-8 texts in byte order) and the interface language.
// CSettingsProviderAccess (ProviderSettingsAccess.h) puts the settings object behind it.
class IProviderSettings
{
public:
    typedef std::map<std::string, std::string> TProviderTable;

    virtual ~IProviderSettings() {}

    // The table itself; the dialog edits it in place.
    virtual TProviderTable& GetProviders() = 0;
    // Restores the default table (dropping every warning flag) and saves it; the file's other
    // keys stay.
    virtual void ResetProviders() = 0;

    // Display names of the languages, in the order they are offered.
    virtual QStringList GetLanguages() const = 0;
    virtual QString GetCurrentLanguage() const = 0;
    virtual void SetLanguage(const QString& name) = 0;
};

#endif
