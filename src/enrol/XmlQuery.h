#pragma once

#include <memory>

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QXmlQuery>

class QAbstractMessageHandler;

// The policy files of enrolment: the schema (template) and the resource file of one
// language, both open for the object's life, answering XQuery expressions as text.
//
// Ids, OIDs and positions reach a query only as bound variables ($name in the
// query text), never pasted into it, so no value from a file can change a query.
// Every query yields strings (end a path in string()); results are their text
// values, trimmed, never serialised XML.
class CXmlQuery
{
    Q_DECLARE_TR_FUNCTIONS(CXmlQuery)

public:
    // Variable name and value: a QString binds a string, an int an integer.
    typedef QList<QPair<QString, QVariant>> TBindings;

    // Throws CEnrolmentError when a file cannot be opened, is not well-formed XML or
    // is beyond the bounds of CPolicySchema.
    CXmlQuery(const QString& qsTemplateFile, const QString& qsResourceFile);
    ~CXmlQuery();
    CXmlQuery(const CXmlQuery&) = delete;
    CXmlQuery& operator=(const CXmlQuery&) = delete;

    // Text form: the results joined by a blank (empty when nothing matches). List
    // form: one entry per result. Throws CEnrolmentError when the evaluation fails.
    void ExecuteTemplateQuery(const QString& qsQuery, QString* pqsResult, const TBindings& bindings = TBindings());
    void ExecuteTemplateQuery(const QString& qsQuery, QStringList* pqsResult, const TBindings& bindings = TBindings());
    void ExecuteResourceQuery(const QString& qsQuery, QString* pqsResult, const TBindings& bindings = TBindings());
    void ExecuteResourceQuery(const QString& qsQuery, QStringList* pqsResult, const TBindings& bindings = TBindings());

    // Texts of an item of the resource file by id; empty when it has none.
    QString GetCaption(const QString& qsId);
    QString GetHint(const QString& qsId);
    QString GetError(const QString& qsId);

    const QString& TemplateFile() const { return m_qsTemplateFile; }
    const QString& ResourceFile() const { return m_qsResourceFile; }

private:
    void Execute(QXmlQuery& query, const QString& qsFile, const QString& qsQuery, QStringList* pqsResult,
                 const TBindings& bindings);
    void ExecuteText(QXmlQuery& query, const QString& qsFile, const QString& qsQuery, QString* pqsResult,
                     const TBindings& bindings);
    QString ItemText(const QString& qsId, const char* pszChild);

    QString m_qsTemplateFile;
    QString m_qsResourceFile;
    std::unique_ptr<QAbstractMessageHandler> m_pMessages;
    QXmlQuery m_queryTemplate;
    QXmlQuery m_queryResource;
    QFile m_fileTemplate;
    QFile m_fileResource;
};
