#include "GuiLog.h"

Q_LOGGING_CATEGORY(lcGui, "tessaly.gui", QtInfoMsg)

#include <cstring>

namespace {

QLoggingCategory::CategoryFilter g_pRulesFilter = nullptr;

bool StartsWith(const char* pszName, const char* pszPrefix)
{
    return std::strncmp(pszName, pszPrefix, std::strlen(pszPrefix)) == 0;
}

void SecretSafeFilter(QLoggingCategory* pCategory)
{
    if (g_pRulesFilter)
        g_pRulesFilter(pCategory);
    const char* pszName = pCategory->categoryName();
    if (!StartsWith(pszName, "qt."))
        return;
    pCategory->setEnabled(QtDebugMsg, false);
    pCategory->setEnabled(QtInfoMsg, false);
    if (StartsWith(pszName, "qt.accessibility")) {
        pCategory->setEnabled(QtWarningMsg, false);
        pCategory->setEnabled(QtCriticalMsg, false);
    }
}

} // namespace

void tessaly::KeepSecretsOutOfQtLogs()
{
    static const bool s_bInstalled = [] {
        g_pRulesFilter = QLoggingCategory::installFilter(SecretSafeFilter);
        return true;
    }();
    (void)s_bInstalled;
}
