#pragma once

#include <QMap>
#include <QObject>
#include <QString>

class QTranslator;

// The user-interface languages: English is built in, every other language is a
// compiled translation file in one folder. A file names itself through its
// translation of two fixed keys (see the .cpp). With a language goes Qt's own
// catalogue of it (the texts of Qt's buttons and dialogs) when the system has one.
class TranslationManager : public QObject
{
    Q_OBJECT
public:
    typedef QMap<QString, QTranslator*> TLanguages;

    TranslationManager(const QString& folder, const QString& prefix, QObject* parent = nullptr);
    // qtFolder: where Qt's own catalogues (qtbase_<code>.qm) are; Qt's translations folder above.
    TranslationManager(const QString& folder, const QString& prefix, const QString& qtFolder,
                       QObject* parent = nullptr);
    ~TranslationManager() override;

    int GetLanguageCount() const;
    const TLanguages& GetLanguages() const;
    QString GetCurrentLanguage() const;
    void SetLanguage(const QString& name);
    void LoadSystemLanguage();
    QString GetLanguageCode() const;

    static const char* const EnglishName;

private:
    static QString DisplayName(const QTranslator& translator);
    static QString LanguageCode(const QTranslator& translator);
    void Install(QTranslator* translator, bool bInstall);

    TLanguages m_languages;
    QString m_sFolder;
    QString m_sPrefix;
    TLanguages::const_iterator m_current;
    // Qt's own catalogue for a language's translator, where the system has one.
    QMap<const QTranslator*, QTranslator*> m_qtCatalogues;
};
