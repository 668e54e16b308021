#ifndef TESSALY_PROVIDERSETTINGSACCESS_H
#define TESSALY_PROVIDERSETTINGSACCESS_H

// The settings object behind the Preferences dialog. Header only: the settings object belongs to
// the program, so this is compiled where the main window includes it.

#include "IProviderSettings.h"
#include "Settings.h"

#include <QFile>

class CSettingsProviderAccess : public IProviderSettings
{
public:
    explicit CSettingsProviderAccess(CSettings& settings = CSettings::Instance()) : m_settings(settings) {}

    TProviderTable& GetProviders() override { return m_settings.GetProviders(); }

    void ResetProviders() override
    {
        bool bPortable = false;
        const QString path = CSettings::GetSettingsFilePath(bPortable);
        QFile::remove(path);
        m_settings.LoadDefaultProviders();
        if (bPortable)
            m_settings.Save(path);
    }

    QStringList GetLanguages() const override
    {
        return m_settings.GetTranslationManager().GetLanguages().keys();
    }

    QString GetCurrentLanguage() const override
    {
        return m_settings.GetTranslationManager().GetCurrentLanguage();
    }

    void SetLanguage(const QString& name) override { m_settings.GetTranslationManager().SetLanguage(name); }

private:
    CSettings& m_settings;
};

#endif
