#include "PolicySchema.h"

#include <QSet>

#include "ASN1Name.h"
#include "EnrolmentError.h"
#include "PolicyFileReader.h"

using namespace policyfile;

namespace {

QString Joined(const TTexts& texts)
{
    return texts.join(QLatin1Char(' ')).trimmed();
}

// A decimal number, or -1 when the text is empty or no number.
int Number(const QString& text)
{
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok ? n : -1;
}

bool SaneKeySize(int bits)
{
    return bits >= CPolicySchema::kMinKeySize && bits <= CPolicySchema::kMaxKeySize;
}

const TPolicy& PolicyOf(const CPolicySchema::TModel& model, const QString& id)
{
    static const TPolicy none;
    const auto it = model.policies.constFind(id);
    return it == model.policies.constEnd() ? none : *it;
}

} // namespace

CPolicySchema::CPolicySchema(const QString& qsTemplateFile, const QString& qsResourceFile)
    : m_qsTemplateFile(qsTemplateFile), m_qsResourceFile(qsResourceFile), m_pModel(new TModel)
{
    policyfile::Read(*m_pModel, qsTemplateFile, qsResourceFile);
}

CPolicySchema::~CPolicySchema() = default;

QStringList CPolicySchema::PolicyIds() const
{
    const QStringList& ids = m_pModel->ids;
    if (ids.isEmpty())
        throw CEnrolmentError(
            WithFile(CPolicySchema::tr("The template file holds no certificate policy."), m_qsTemplateFile));
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

QString CPolicySchema::Caption(const QString& qsId) const
{
    return Joined(m_pModel->items.value(qsId).caption);
}

QString CPolicySchema::Hint(const QString& qsId) const
{
    return Joined(m_pModel->items.value(qsId).hint);
}

QString CPolicySchema::Error(const QString& qsId) const
{
    return Joined(m_pModel->items.value(qsId).error);
}

QString CPolicySchema::PolicyCaption(const QString& qsPolicyId) const
{
    const QString caption = Caption(qsPolicyId);
    if (caption.isEmpty())
        throw CEnrolmentError(
            WithFile(CPolicySchema::tr("The resource file has no caption for the policy %1.").arg(qsPolicyId),
                     m_qsResourceFile));
    return caption;
}

TPolicyKeySettings CPolicySchema::KeySettings(const QString& qsPolicyId) const
{
    const TPolicy& policy = PolicyOf(*m_pModel, qsPolicyId);
    TPolicyKeySettings settings;
    if (Joined(policy.keyType).contains(QLatin1String("DSA"), Qt::CaseInsensitive))
        settings.nKeyType = 2;
    settings.bGenerateKey = !Joined(policy.keySource).contains(QLatin1String("existing"), Qt::CaseInsensitive);
    if (!settings.bGenerateKey)
        return settings;

    // Only RSA pairs can be generated on a token here.
    if (settings.nKeyType == 2)
        throw CEnrolmentError(
            CPolicySchema::tr("The policy %1 asks for a new DSA key pair; only RSA key pairs can be generated.")
                .arg(qsPolicyId));

    bool ok = false;
    int defaultSize = Joined(policy.keySize).toInt(&ok);
    if (!ok)
        defaultSize = 2048;
    const int min = Number(Joined(policy.keyMin));
    const int max = Number(Joined(policy.keyMax));
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

QList<QStringList> CPolicySchema::SubjectBlocks(const QString& qsPolicyId) const
{
    const TPolicy& policy = PolicyOf(*m_pModel, qsPolicyId);
    QList<QStringList> blocks;
    QSet<QString> seen;
    // The n-th block of the name is the n-th ava-block of every name element.
    for (int n = 0;; ++n) {
        QStringList oids;
        for (const QList<QStringList>& name : policy.names)
            if (n < name.size())
                oids << name[n];
        if (oids.isEmpty())
            break;
        for (const QString& oid : oids) {
            if (oid.isEmpty())
                throw CEnrolmentError(
                    CPolicySchema::tr("A subject field of the policy %1 has no OID.").arg(qsPolicyId));
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

TFieldSettings CPolicySchema::FieldSettings(const QString& qsPolicyId, const QString& qsOID) const
{
    const TAva ava = PolicyOf(*m_pModel, qsPolicyId).avas.value(qsOID);
    TFieldSettings field;
    field.qsChoiceSource = Joined(ava.source);
    field.qsDefaultChoice = Joined(ava.defaultChoice);
    field.nMinLength = Number(Joined(ava.minLength));
    field.nMaxLength = Number(Joined(ava.maxLength));

    // No type, or a name that is none of the thirteen: the field is asked for and
    // checked by its lengths, and its value is left out of the subject.
    field.nStringType = ASN1StringTypeFromName(Joined(ava.type));
    if (field.nMinLength != -1 && field.nMaxLength != -1 && field.nMinLength > field.nMaxLength)
        throw CEnrolmentError(
            CPolicySchema::tr("The subject field %1 of the policy %2 has a minimal length above its maximal length.")
                .arg(qsOID, qsPolicyId));

    if (!field.qsChoiceSource.isEmpty()) {
        const TChoice choice = m_pModel->choices.value(field.qsChoiceSource);
        if (choice.ids.isEmpty())
            throw CEnrolmentError(
                CPolicySchema::tr("The resource file has no entries for the list %1 of the subject field %2.")
                    .arg(field.qsChoiceSource, qsOID));
        for (const QString& id : choice.ids) {
            const QString text = Joined(choice.texts.value(id));
            field.choices.append({id, text.isEmpty() ? id : text});
        }
    }
    return field;
}
