#include "TranslationManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QTranslator>

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
    }
    // Inserting may have moved the English node's neighbours, never the node itself.
    m_current = m_languages.constFind(QString::fromLatin1(EnglishName));
}

TranslationManager::~TranslationManager()
{
    // Leave the application without a dangling translator when the manager goes first.
    if (m_current != m_languages.constEnd() && m_current.value() && QCoreApplication::instance())
        QCoreApplication::removeTranslator(m_current.value());
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
        QCoreApplication::removeTranslator(m_current.value());
    if (next.value())
        QCoreApplication::installTranslator(next.value());
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
    const QString code = m_current.value()->translate(kCodeContext, kCodeKey);
    return code.isEmpty() ? QStringLiteral("en") : code;
}
