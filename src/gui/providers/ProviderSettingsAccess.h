#ifndef TESSALY_PROVIDERSETTINGSACCESS_H
#define TESSALY_PROVIDERSETTINGSACCESS_H

// The program's settings object behind the Preferences dialog.

#include "IProviderSettings.h"

class CSettings;

class CSettingsProviderAccess : public IProviderSettings
{
public:
    explicit CSettingsProviderAccess(CSettings& settings);

    TProviderTable& GetProviders() override;
    void ResetProviders() override;
    QStringList GetLanguages() const override;
    QString GetCurrentLanguage() const override;
    void SetLanguage(const QString& name) override;

private:
    CSettings& m_settings;
};

#endif
