#include "XmlQuery.h"

#include <cassert>

#include <QAbstractMessageHandler>
#include <QCoreApplication>
#include <QSourceLocation>
#include <QAbstractXmlNodeModel>
#include <QXmlItem>
#include <QXmlResultItems>

#include "EnrolmentError.h"
#include "PolicySchema.h"

namespace {

// Keeps the first problem the query engine reports instead of printing it, so that a
// malformed file is reported once, with its place, through the caller.
class CMessages : public QAbstractMessageHandler
{
public:
    void Reset() { m_qsWhere.clear(); }
    const QString& Where() const { return m_qsWhere; }

protected:
    void handleMessage(QtMsgType type, const QString&, const QUrl&, const QSourceLocation& location) override
    {
        if (type == QtDebugMsg || type == QtWarningMsg || !m_qsWhere.isEmpty())
            return;
        if (!location.isNull())
            m_qsWhere = CXmlQuery::tr("line %1, column %2").arg(location.line()).arg(location.column());
    }

private:
    QString m_qsWhere;
};

QString WithFile(const QString& text, const QString& file)
{
    return text + QLatin1Char('\n') + file;
}

void Bind(QXmlQuery& query, const CXmlQuery::TBindings& bindings)
{
    for (const auto& binding : bindings)
        query.bindVariable(binding.first, QXmlItem(binding.second));
}

} // namespace

CXmlQuery::CXmlQuery(const QString& qsTemplateFile, const QString& qsResourceFile)
    : m_qsTemplateFile(qsTemplateFile), m_qsResourceFile(qsResourceFile), m_pMessages(new CMessages),
      m_fileTemplate(qsTemplateFile), m_fileResource(qsResourceFile)
{
    assert(!qsTemplateFile.isEmpty());
    assert(!qsResourceFile.isEmpty());
    // The files pass the bounds of the policy model first: the query engine would
    // expand whatever the entities of a file make of it.
    CPolicySchema(qsTemplateFile, qsResourceFile);
    CMessages* messages = static_cast<CMessages*>(m_pMessages.get());
    m_queryTemplate.setMessageHandler(messages);
    m_queryResource.setMessageHandler(messages);

    // QFile closes itself when the exception leaves with the members.
    if (!m_fileTemplate.open(QIODevice::ReadOnly | QIODevice::Text))
        throw CEnrolmentError(WithFile(CXmlQuery::tr("Could not open the template file."), qsTemplateFile));
    if (!m_queryTemplate.setFocus(&m_fileTemplate))
        throw CEnrolmentError(WithFile(
            CXmlQuery::tr("The template file is not well-formed XML (%1).").arg(messages->Where()), qsTemplateFile));
    messages->Reset();
    if (!m_fileResource.open(QIODevice::ReadOnly | QIODevice::Text))
        throw CEnrolmentError(WithFile(CXmlQuery::tr("Could not open the resource file."), qsResourceFile));
    if (!m_queryResource.setFocus(&m_fileResource))
        throw CEnrolmentError(WithFile(
            CXmlQuery::tr("The resource file is not well-formed XML (%1).").arg(messages->Where()), qsResourceFile));
}

CXmlQuery::~CXmlQuery()
{
    m_fileTemplate.close();
    m_fileResource.close();
}

void CXmlQuery::Execute(QXmlQuery& query, const QString& qsFile, const QString& qsQuery, QStringList* pqsResult,
                        const TBindings& bindings)
{
    assert(pqsResult);
    pqsResult->clear();
    // Bindings are compiled into the query, so they come first.
    Bind(query, bindings);
    query.setQuery(qsQuery);
    assert(query.isValid());
    if (!query.evaluateTo(pqsResult))
        throw CEnrolmentError(WithFile(CXmlQuery::tr("The policy file cannot be read."), qsFile));
    for (QString& entry : *pqsResult)
        entry = entry.trimmed();
}

void CXmlQuery::ExecuteTemplateQuery(const QString& qsQuery, QStringList* pqsResult, const TBindings& bindings)
{
    Execute(m_queryTemplate, m_qsTemplateFile, qsQuery, pqsResult, bindings);
}

void CXmlQuery::ExecuteTemplateQuery(const QString& qsQuery, QString* pqsResult, const TBindings& bindings)
{
    ExecuteText(m_queryTemplate, m_qsTemplateFile, qsQuery, pqsResult, bindings);
}

void CXmlQuery::ExecuteResourceQuery(const QString& qsQuery, QStringList* pqsResult, const TBindings& bindings)
{
    Execute(m_queryResource, m_qsResourceFile, qsQuery, pqsResult, bindings);
}

void CXmlQuery::ExecuteResourceQuery(const QString& qsQuery, QString* pqsResult, const TBindings& bindings)
{
    ExecuteText(m_queryResource, m_qsResourceFile, qsQuery, pqsResult, bindings);
}

// The text form takes nodes (such as those of ".../text()") and strings alike: the
// string value of every item, text nodes joined as they stand and atomic values
// with a blank between them, as the result's serialisation has them, but never
// escaped ("R&D" stays "R&D").
void CXmlQuery::ExecuteText(QXmlQuery& query, const QString& qsFile, const QString& qsQuery, QString* pqsResult,
                            const TBindings& bindings)
{
    assert(pqsResult);
    pqsResult->clear();
    Bind(query, bindings);
    query.setQuery(qsQuery);
    assert(query.isValid());
    QXmlResultItems items;
    query.evaluateTo(&items);
    bool bLastAtomic = false;
    for (QXmlItem item = items.next(); !item.isNull(); item = items.next()) {
        if (item.isNode()) {
            const QXmlNodeModelIndex node = item.toNodeModelIndex();
            *pqsResult += node.model()->stringValue(node);
            bLastAtomic = false;
        } else {
            if (bLastAtomic)
                *pqsResult += QLatin1Char(' ');
            *pqsResult += item.toAtomicValue().toString();
            bLastAtomic = true;
        }
    }
    if (items.hasError())
        throw CEnrolmentError(WithFile(CXmlQuery::tr("The policy file cannot be read."), qsFile));
    *pqsResult = pqsResult->trimmed();
}

QString CXmlQuery::ItemText(const QString& qsId, const char* pszChild)
{
    QString text;
    ExecuteResourceQuery(QStringLiteral("//item[@id = $id]/%1/string()").arg(QLatin1String(pszChild)), &text,
                         {{QStringLiteral("id"), qsId}});
    return text;
}

QString CXmlQuery::GetCaption(const QString& qsId)
{
    return ItemText(qsId, "caption");
}

QString CXmlQuery::GetHint(const QString& qsId)
{
    return ItemText(qsId, "hint");
}

QString CXmlQuery::GetError(const QString& qsId)
{
    return ItemText(qsId, "error");
}
