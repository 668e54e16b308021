#include "PolicySchema.h"

#include <QCoreApplication>
#include <QSet>

#include "ASN1Name.h"
#include "EnrolmentError.h"
#include "XmlQuery.h"

namespace {

const QString kPolicy = QStringLiteral("policy");
const QString kOid = QStringLiteral("oid");
const QString kBlock = QStringLiteral("n");
const QString kChoice = QStringLiteral("choice");
const QString kItem = QStringLiteral("item");

// A decimal number, or -1 when the text is empty or no number.
int Number(const QString& text)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok ? n : -1;
}

// Whether a subject field's OID can go into a request: dotted decimal arcs without
// leading zeros, at least two, the first 0, 1 or 2 (the second below 40 under 0 and 1),
// each arc small enough for the encoder (at most 18 digits).
bool IsEncodableOid(const QString& oid)
{
    const QStringList arcs = oid.split(QLatin1Char('.'));
    if (arcs.size() < 2)
        return false;
    for (const QString& arc : arcs) {
        if (arc.isEmpty() || arc.size() > 18 || (arc.size() > 1 && arc.startsWith(QLatin1Char('0'))))
            return false;
        for (const QChar c : arc)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
    }
    const int first = arcs[0].toInt();
    return first <= 2 && (first == 2 || arcs[1].toLongLong() < 40);
}

bool SaneKeySize(int bits)
{
    return bits >= CPolicySchema::kMinKeySize && bits <= CPolicySchema::kMaxKeySize;
}

} // namespace

QString CPolicySchema::TemplateText(const QString& qsQuery, const QString& qsPolicyId, const QString& qsOID)
{
    CXmlQuery::TBindings bindings{{kPolicy, qsPolicyId}};
    if (!qsOID.isNull())
        bindings.append({kOid, qsOID});
    QString text;
    m_query.ExecuteTemplateQuery(qsQuery, &text, bindings);
    return text;
}

QStringList CPolicySchema::PolicyIds()
{
    QStringList ids;
    m_query.ExecuteTemplateQuery(QStringLiteral("//policy/@id/string()"), &ids);
    if (ids.isEmpty())
        throw CEnrolmentError(CPolicySchema::tr("The template file holds no certificate policy.") + QLatin1Char('\n') +
                              m_query.TemplateFile());
    QSet<QString> seen;
    for (const QString& id : ids) {
        if (id.isEmpty())
            throw CEnrolmentError(CPolicySchema::tr("A certificate policy of the template file has no identifier."));
        if (seen.contains(id))
            throw CEnrolmentError(CPolicySchema::tr("The template file holds the policy %1 more than once.").arg(id));
        seen.insert(id);
    }
    return ids;
}

QString CPolicySchema::PolicyCaption(const QString& qsPolicyId)
{
    const QString caption = m_query.GetCaption(qsPolicyId);
    if (caption.isEmpty())
        throw CEnrolmentError(CPolicySchema::tr("The resource file has no caption for the policy %1.").arg(qsPolicyId) +
                              QLatin1Char('\n') + m_query.ResourceFile());
    return caption;
}

TPolicyKeySettings CPolicySchema::KeySettings(const QString& qsPolicyId)
{
    TPolicyKeySettings settings;
    const QString keyType =
        TemplateText(QStringLiteral("//policy[@id = $policy]/key-generation/key-type/string()"), qsPolicyId);
    if (keyType.contains(QLatin1String("DSA"), Qt::CaseInsensitive))
        settings.nKeyType = 2;
    const QString source =
        TemplateText(QStringLiteral("//policy[@id = $policy]/key-generation/key-generation/string()"), qsPolicyId);
    settings.bGenerateKey = !source.contains(QLatin1String("existing"), Qt::CaseInsensitive);
    if (!settings.bGenerateKey)
        return settings;

    // Only RSA pairs can be generated on a token here.
    if (settings.nKeyType == 2)
        throw CEnrolmentError(
            CPolicySchema::tr("The policy %1 asks for a new DSA key pair; only RSA key pairs can be generated.")
                .arg(qsPolicyId));

    const QString sizeText =
        TemplateText(QStringLiteral("//policy[@id = $policy]/key-generation/key-size/string()"), qsPolicyId);
    bool ok = false;
    int defaultSize = sizeText.toInt(&ok);
    if (!ok)
        defaultSize = 2048;
    const int min = Number(
        TemplateText(QStringLiteral("//policy[@id = $policy]/key-generation/key-size/@min/string()"), qsPolicyId));
    const int max = Number(
        TemplateText(QStringLiteral("//policy[@id = $policy]/key-generation/key-size/@max/string()"), qsPolicyId));
    // The id goes in last, in one pass with the detail, so nothing in it is read as a marker.
    auto unusable = [&qsPolicyId](const QString& detail) {
        return CEnrolmentError(
            CPolicySchema::tr("The key sizes of the policy %1 are not usable: %2").arg(qsPolicyId, detail));
    };
    if (min == -1 || max == -1) {
        if (!SaneKeySize(defaultSize))
            throw unusable(CPolicySchema::tr("%1 bits is outside %2 to %3 bits.")
                               .arg(defaultSize)
                               .arg(kMinKeySize)
                               .arg(kMaxKeySize));
        settings.keySizes << defaultSize;
        return settings;
    }
    if (min > max)
        throw unusable(
            CPolicySchema::tr("the smallest size (%1 bits) is above the largest (%2 bits).").arg(min).arg(max));
    if (!SaneKeySize(min) || !SaneKeySize(max))
        throw unusable(CPolicySchema::tr("%1 to %2 bits is outside %3 to %4 bits.")
                           .arg(min)
                           .arg(max)
                           .arg(kMinKeySize)
                           .arg(kMaxKeySize));
    // Both bounds lie in the sane range, so the loop ends after at most 31 sizes.
    for (int bits = min; bits <= max; bits += kKeySizeStep)
        settings.keySizes << bits;
    return settings;
}

QList<QStringList> CPolicySchema::SubjectBlocks(const QString& qsPolicyId)
{
    QList<QStringList> blocks;
    QSet<QString> seen;
    for (int n = 1;; ++n) {
        QStringList oids;
        m_query.ExecuteTemplateQuery(
            QStringLiteral("//policy[@id = $policy]/name/ava-block[$n]/attribute-value-assertion/@oid/string()"), &oids,
            {{kPolicy, qsPolicyId}, {kBlock, n}});
        if (oids.isEmpty())
            break;
        for (const QString& oid : oids) {
            if (oid.isEmpty())
                throw CEnrolmentError(
                    CPolicySchema::tr("A subject field of the policy %1 has no OID.").arg(qsPolicyId));
            if (!IsEncodableOid(oid))
                throw CEnrolmentError(CPolicySchema::tr("The subject field \"%1\" of the policy %2 is not named by an OID.")
                                          .arg(oid, qsPolicyId));
            // A field's settings are found by its OID.
            if (seen.contains(oid))
                throw CEnrolmentError(CPolicySchema::tr("The policy %1 asks for the subject field %2 more than once.")
                                          .arg(qsPolicyId, oid));
            seen.insert(oid);
        }
        blocks << oids;
    }
    return blocks;
}

TFieldSettings CPolicySchema::FieldSettings(const QString& qsPolicyId, const QString& qsOID)
{
    TFieldSettings field;
    const QString path = QStringLiteral("//policy[@id = $policy]//attribute-value-assertion[@oid = $oid]/");
    field.qsChoiceSource = TemplateText(path + QStringLiteral("enumeration/@source/string()"), qsPolicyId, qsOID);
    field.qsDefaultChoice = TemplateText(path + QStringLiteral("enumeration/@default/string()"), qsPolicyId, qsOID);
    field.nMinLength = Number(TemplateText(path + QStringLiteral("minimal-length/string()"), qsPolicyId, qsOID));
    field.nMaxLength = Number(TemplateText(path + QStringLiteral("maximal-length/string()"), qsPolicyId, qsOID));
    const QString typeName = TemplateText(path + QStringLiteral("type/string()"), qsPolicyId, qsOID);

    // No type, or a name that is none of the thirteen: the field is asked for and
    // checked by its lengths, and its value is left out of the subject.
    field.nStringType = ASN1StringTypeFromName(typeName);
    if (field.nMinLength != -1 && field.nMaxLength != -1 && field.nMinLength > field.nMaxLength)
        throw CEnrolmentError(
            CPolicySchema::tr("The subject field %1 of the policy %2 has a minimal length above its maximal length.")
                .arg(qsOID, qsPolicyId));

    if (!field.qsChoiceSource.isEmpty()) {
        QStringList ids;
        m_query.ExecuteResourceQuery(QStringLiteral("//choice[@id = $choice]/choice-item/@id/string()"), &ids,
                                     {{kChoice, field.qsChoiceSource}});
        if (ids.isEmpty())
            throw CEnrolmentError(
                CPolicySchema::tr("The resource file has no entries for the list %1 of the subject field %2.")
                    .arg(field.qsChoiceSource, qsOID));
        for (const QString& id : ids) {
            QString text;
            m_query.ExecuteResourceQuery(QStringLiteral("//choice[@id = $choice]/choice-item[@id = $item]/string()"),
                                         &text, {{kChoice, field.qsChoiceSource}, {kItem, id}});
            field.choices.append({id, text.isEmpty() ? id : text});
        }
    }
    return field;
}
