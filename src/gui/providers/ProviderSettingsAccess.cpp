#include "ProviderSettingsAccess.h"

#include "Settings.h"

CSettingsProviderAccess::CSettingsProviderAccess(CSettings& settings) : m_settings(settings) {}

IProviderSettings::TProviderTable& CSettingsProviderAccess::GetProviders()
{
    return m_settings.GetProviders();
}

void CSettingsProviderAccess::ResetProviders()
{
    bool bPortable = false;
    m_settings.ResetProviders(CSettings::GetSettingsFilePath(bPortable));
}

QStringList CSettingsProviderAccess::GetLanguages() const
{
    return m_settings.GetTranslationManager().GetLanguages().keys();
}

QString CSettingsProviderAccess::GetCurrentLanguage() const
{
    return m_settings.GetTranslationManager().GetCurrentLanguage();
}

void CSettingsProviderAccess::SetLanguage(const QString& name)
{
    m_settings.GetTranslationManager().SetLanguage(name);
}
