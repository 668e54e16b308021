#include "TranslationManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include <memory>

namespace {
// The two keys every translation file answers. lrelease drops entries that vanished
// from the sources, so they are kept alive here.
const char* const kNameContext = "Language name and code";
const char* const kNameKey = QT_TRANSLATE_NOOP("Language name and code", "POSIX (C)");
const char* const kCodeContext = "Language code by ISO 639-1";
const char* const kCodeKey = QT_TRANSLATE_NOOP("Language code by ISO 639-1", "en");
}

const char* const TranslationManager::EnglishName = "English (EN)";

TranslationManager::TranslationManager(const QString& folder, const QString& prefix, QObject* parent)
    : TranslationManager(folder, prefix, QLibraryInfo::location(QLibraryInfo::TranslationsPath), parent)
{
}

TranslationManager::TranslationManager(const QString& folder, const QString& prefix, const QString& qtFolder,
                                       QObject* parent)
    : QObject(parent), m_sFolder(folder), m_sPrefix(prefix)
{
    m_languages.insert(QString::fromLatin1(EnglishName), nullptr);
    m_current = m_languages.constBegin();

    const QFileInfoList entries = QDir(m_sFolder).entryInfoList();
    for (const QFileInfo& entry : entries) {
        QTranslator* translator = new QTranslator(this);
        if (!translator->load(entry.absoluteFilePath()))
            continue;
        m_languages.insert(DisplayName(*translator), translator);
        // Qt's catalogue of the language (Debian: qttranslations5-l10n); without it Qt's own
        // texts stay English.
        const QString code = LanguageCode(*translator);
        if (code.isEmpty() || code == QLatin1String("en"))
            continue;
        std::unique_ptr<QTranslator> qt(new QTranslator(this));
        if (qt->load(QStringLiteral("qtbase_") + code, qtFolder))
            m_qtCatalogues.insert(translator, qt.release());
    }
    // Inserting may have moved the English node's neighbours, never the node itself.
    m_current = m_languages.constFind(QString::fromLatin1(EnglishName));
}

TranslationManager::~TranslationManager()
{
    // Leave the application without a dangling translator when the manager goes first.
    if (m_current != m_languages.constEnd() && m_current.value() && QCoreApplication::instance())
        Install(m_current.value(), false);
}

void TranslationManager::Install(QTranslator* translator, bool bInstall)
{
    QTranslator* qt = m_qtCatalogues.value(translator);
    if (bInstall) {
        // Installed last, the program's catalogue is asked first.
        if (qt)
            QCoreApplication::installTranslator(qt);
        QCoreApplication::installTranslator(translator);
    } else {
        QCoreApplication::removeTranslator(translator);
        if (qt)
            QCoreApplication::removeTranslator(qt);
    }
}

QString TranslationManager::LanguageCode(const QTranslator& translator)
{
    return translator.translate(kCodeContext, kCodeKey);
}

QString TranslationManager::DisplayName(const QTranslator& translator)
{
    return translator.translate(kNameContext, kNameKey);
}

int TranslationManager::GetLanguageCount() const
{
    return m_languages.size();
}

const TranslationManager::TLanguages& TranslationManager::GetLanguages() const
{
    return m_languages;
}

QString TranslationManager::GetCurrentLanguage() const
{
    return m_current.key();
}

void TranslationManager::SetLanguage(const QString& name)
{
    if (name == m_current.key())
        return;
    TLanguages::const_iterator next = m_languages.constFind(name);
    if (next == m_languages.constEnd())
        return;
    if (m_current.value())
        Install(m_current.value(), false);
    if (next.value())
        Install(next.value(), true);
    m_current = next;
}

void TranslationManager::LoadSystemLanguage()
{
    QTranslator probe;
    if (!probe.load(m_sFolder + m_sPrefix + QLatin1Char('.') + QLocale::system().name()))
        return;
    const QString name = DisplayName(probe);
    if (m_languages.contains(name))
        SetLanguage(name);
}

QString TranslationManager::GetLanguageCode() const
{
    if (!m_current.value())
        return QStringLiteral("en");
    const QString code = LanguageCode(*m_current.value());
    return code.isEmpty() ? QStringLiteral("en") : code;
}
