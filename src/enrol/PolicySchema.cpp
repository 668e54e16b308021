#include "PolicySchema.h"

#include <functional>
#include <vector>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QTextCodec>
#include <QXmlStreamReader>

#include "ASN1Name.h"
#include "EnrolmentError.h"

namespace {

// Every match of one kind of text, in file order. Read as the matches joined by a
// blank and trimmed: what a file that repeats an element gives.
typedef QStringList TTexts;

QString Joined(const TTexts& texts)
{
    return texts.join(QLatin1Char(' ')).trimmed();
}

// An attribute-value-assertion of a policy, found by its OID anywhere below the policy.
struct TAva {
    TTexts source, defaultChoice, minLength, maxLength, type;
};

struct TPolicy {
    TTexts keyType, keySource, keySize, keyMin, keyMax;
    // Per name element of the policy: the OIDs of each of its ava-blocks, in order.
    QList<QList<QStringList>> names;
    QHash<QString, TAva> avas;
};

struct TItem {
    TTexts caption, hint, error;
};

struct TChoice {
    QStringList ids;              // the entries' ids in file order
    QHash<QString, TTexts> texts; // entry id: its texts
};

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

QString WithFile(const QString& text, const QString& file)
{
    return text + QLatin1Char('\n') + file;
}

// Refusals with the place in the file still to fill in.
QString LongTextRefusal()
{
    return CPolicySchema::tr("The policy file holds a text longer than %1 characters (%2).")
        .arg(CPolicySchema::kMaxTextLength);
}

QString EntityRefusal()
{
    return CPolicySchema::tr("The entities of the policy file expand to more than %1 characters (%2).")
        .arg(CPolicySchema::kMaxEntityText);
}

// One pass over a policy file with QXmlStreamReader, within the bounds of
// CPolicySchema. Elements count only without a namespace, as the files are written.
// The subclass names the elements it reads (Open) and takes their string values, all
// text below them, when they end (Close).
class CPolicyFileReader
{
public:
    virtual ~CPolicyFileReader() = default;
    void Read(const QString& qsFile, bool bTemplate);

protected:
    struct TFrame {
        int kind = 0;         // the subclass's kind of element, 0: none it reads
        bool collect = false; // its string value is wanted at Close
        int n = 0, m = 0;     // the subclass's positions
        QString key;          // the id or OID it belongs to
        QString text;
    };

    virtual void Open(TFrame& frame, const QStringRef& name, const QXmlStreamAttributes& attributes) = 0;
    virtual void Close(TFrame& frame) = 0;

    // The frame of the parent element, null for the root.
    TFrame* Parent() { return m_stack.size() < 2 ? nullptr : &m_stack[m_stack.size() - 2]; }
    // The trimmed value of an attribute without namespace; false when there is none.
    bool Attribute(const QXmlStreamAttributes& attributes, const char* name, QString* value);

private:
    [[noreturn]] void Refuse(const QString& text);
    [[noreturn]] void Refuse(const QString& text, qint64 line, qint64 column);
    void Keep(const QStringRef& text);
    void CheckEntities(const QString& text);

    QXmlStreamReader m_reader;
    QString m_qsFile;
    std::vector<TFrame> m_stack;
    std::vector<size_t> m_collecting; // stack positions of the frames that collect
    qint64 m_nDelivered = 0;          // characters of text and attribute values the reader gave
    qint64 m_nKept = 0;               // characters appended to collected texts
};

// The text's last placeholder takes the place in the file.
void CPolicyFileReader::Refuse(const QString& text)
{
    Refuse(text, m_reader.lineNumber(), m_reader.columnNumber());
}

void CPolicyFileReader::Refuse(const QString& text, qint64 line, qint64 column)
{
    const QString where = CPolicySchema::tr("line %1, column %2").arg(line).arg(column);
    throw CEnrolmentError(WithFile(text.arg(where), m_qsFile));
}

// The name of a reference "&name;" starting at text[at], or a null reference.
QStringRef ReferenceAt(const QString& text, int at)
{
    int end = at + 1;
    while (end < text.size() && (text[end].isLetterOrNumber() || text[end] == QLatin1Char('_') ||
                                 text[end] == QLatin1Char('-') || text[end] == QLatin1Char('.') ||
                                 text[end] == QLatin1Char(':') || text[end] == QLatin1Char('#')))
        ++end;
    if (end == at + 1 || end == text.size() || text[end] != QLatin1Char(';'))
        return QStringRef();
    return text.midRef(at + 1, end - at - 1);
}

// The characters of a file as the XML reader takes them: after a byte order mark,
// in the encoding the declaration names, else UTF-8.
QString Decoded(const QByteArray& content)
{
    QTextCodec* codec = QTextCodec::codecForUtfText(content, nullptr);
    if (!codec) {
        QXmlStreamReader declaration(content);
        if (declaration.readNext() == QXmlStreamReader::StartDocument && !declaration.documentEncoding().isEmpty())
            codec = QTextCodec::codecForName(declaration.documentEncoding().toLatin1());
    }
    if (!codec)
        codec = QTextCodec::codecForName("UTF-8");
    return codec->toUnicode(content);
}

// The reader expands an entity into the text it hands over, all references of a text
// at once, so what the entities of a file add is counted from their declarations and
// references before the document is read (in the very characters the reader gets).
void CPolicyFileReader::CheckEntities(const QString& text)
{
    QXmlStreamReader prolog(text);
    QXmlStreamEntityDeclarations declarations;
    qint64 bodyStart = 0;
    while (!prolog.atEnd()) {
        const QXmlStreamReader::TokenType token = prolog.readNext();
        if (token == QXmlStreamReader::DTD) {
            declarations = prolog.entityDeclarations();
            bodyStart = prolog.characterOffset();
        }
        if (token == QXmlStreamReader::DTD || token == QXmlStreamReader::StartElement)
            break;
    }
    if (declarations.isEmpty())
        return;

    QHash<QString, QString> values;
    for (const QXmlStreamEntityDeclaration& declaration : declarations)
        values.insert(declaration.name().toString(), declaration.value().toString());
    // Characters an entity stands for, all its references expanded; beyond the bound
    // counts as the bound plus one.
    const qint64 beyond = CPolicySchema::kMaxEntityText + 1;
    QHash<QString, qint64> lengths;
    std::function<qint64(const QString&, int)> length = [&](const QString& name, int depth) -> qint64 {
        const auto known = lengths.constFind(name);
        if (known != lengths.constEnd())
            return *known;
        if (depth > 32)
            return beyond;
        const QString& value = values[name];
        qint64 n = 0;
        for (int at = 0; at < value.size() && n < beyond; ++at) {
            const QStringRef inner = value.at(at) == QLatin1Char('&') ? ReferenceAt(value, at) : QStringRef();
            if (!inner.isNull() && values.contains(inner.toString())) {
                n += length(inner.toString(), depth + 1);
                at += inner.size() + 1;
            } else
                ++n;
        }
        lengths.insert(name, qMin(n, beyond));
        return qMin(n, beyond);
    };

    qint64 added = 0;
    for (int at = text.indexOf(QLatin1Char('&'), int(bodyStart)); at >= 0; at = text.indexOf(QLatin1Char('&'), at + 1)) {
        const QStringRef name = ReferenceAt(text, at);
        if (name.isNull() || !values.contains(name.toString()))
            continue;
        added += qMax(qint64(0), length(name.toString(), 0) - (name.size() + 2));
        if (added > CPolicySchema::kMaxEntityText) {
            const int lineStart = text.lastIndexOf(QLatin1Char('\n'), at) + 1;
            Refuse(EntityRefusal(),
                   text.leftRef(at).count(QLatin1Char('\n')) + 1, at - lineStart + 1);
        }
    }
}

bool CPolicyFileReader::Attribute(const QXmlStreamAttributes& attributes, const char* name, QString* value)
{
    for (const QXmlStreamAttribute& attribute : attributes) {
        if (attribute.namespaceUri().isEmpty() && attribute.name() == QLatin1String(name)) {
            if (attribute.value().size() > CPolicySchema::kMaxTextLength)
                Refuse(LongTextRefusal());
            *value = attribute.value().trimmed().toString();
            return true;
        }
    }
    return false;
}

void CPolicyFileReader::Keep(const QStringRef& text)
{
    for (size_t at : m_collecting) {
        QString& kept = m_stack[at].text;
        if (kept.size() + text.size() > CPolicySchema::kMaxTextLength)
            Refuse(LongTextRefusal());
        kept += text;
        m_nKept += text.size();
    }
}

void CPolicyFileReader::Read(const QString& qsFile, bool bTemplate)
{
    m_qsFile = qsFile;
    // Only a regular file: opening a FIFO or a device would wait for good.
    QFile file(qsFile);
    if (!QFileInfo(qsFile).isFile() || !file.open(QIODevice::ReadOnly))
        throw CEnrolmentError(WithFile(bTemplate ? CPolicySchema::tr("Could not open the template file.")
                                                 : CPolicySchema::tr("Could not open the resource file."),
                                       qsFile));
    const qint64 size = file.size();
    if (size > CPolicySchema::kMaxFileSize)
        throw CEnrolmentError(WithFile(CPolicySchema::tr("The policy file is larger than %1 MB.")
                                           .arg(CPolicySchema::kMaxFileSize / (1024 * 1024)),
                                       qsFile));
    // What the file held when its size was checked; a file that grows meanwhile ends early.
    const QByteArray content = file.read(size);
    file.close();

    // The reader takes the decoded text, so that the entity check sees what it reads.
    const QString text = Decoded(content);
    CheckEntities(text);
    m_reader.addData(text);
    m_reader.setEntityExpansionLimit(CPolicySchema::kMaxTextLength);
    while (!m_reader.atEnd()) {
        switch (m_reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            if (m_stack.size() >= size_t(CPolicySchema::kMaxDepth))
                Refuse(CPolicySchema::tr("The policy file nests its elements deeper than %1 levels (%2).")
                           .arg(CPolicySchema::kMaxDepth));
            const QXmlStreamAttributes attributes = m_reader.attributes();
            for (const QXmlStreamAttribute& attribute : attributes)
                m_nDelivered += attribute.value().size();
            m_stack.emplace_back();
            if (m_reader.namespaceUri().isEmpty())
                Open(m_stack.back(), m_reader.name(), attributes);
            if (m_stack.back().collect)
                m_collecting.push_back(m_stack.size() - 1);
            break;
        }
        case QXmlStreamReader::EndElement:
            if (m_stack.back().collect)
                m_collecting.pop_back();
            Close(m_stack.back());
            m_stack.pop_back();
            break;
        case QXmlStreamReader::Characters:
            m_nDelivered += m_reader.text().size();
            Keep(m_reader.text());
            break;
        case QXmlStreamReader::DTD:
            // An entity kept in another file or place is never fetched: a file that
            // declares one is refused rather than read without it.
            for (const QXmlStreamEntityDeclaration& declaration : m_reader.entityDeclarations())
                if (!declaration.systemId().isEmpty() || !declaration.publicId().isEmpty())
                    Refuse(CPolicySchema::tr("The policy file declares the external entity \"%1\", which is not read (%2).")
                               .arg(declaration.name().left(64).toString()));
            break;
        case QXmlStreamReader::EntityReference:
            Refuse(CPolicySchema::tr("The policy file uses the entity \"%1\", which it does not define (%2).")
                       .arg(m_reader.name().left(64).toString()));
        default:
            break;
        }
        // Without entities a file gives no more characters than it holds.
        const qint64 bound = m_reader.characterOffset() + CPolicySchema::kMaxEntityText;
        if (m_nDelivered > bound || m_nKept > bound)
            Refuse(EntityRefusal());
    }
    if (m_reader.hasError())
        Refuse(bTemplate ? CPolicySchema::tr("The template file is not well-formed XML (%1).")
                         : CPolicySchema::tr("The resource file is not well-formed XML (%1)."));
}

} // namespace

struct CPolicySchema::TModel {
    QStringList ids; // of every policy element with an id, in file order
    QHash<QString, TPolicy> policies;
    QHash<QString, TItem> items;
    QHash<QString, TChoice> choices;
};

namespace {

// Schema.xml: policy elements anywhere; below each, key-generation and name as
// children, attribute-value-assertion elements at any depth.
class CTemplateReader : public CPolicyFileReader
{
public:
    explicit CTemplateReader(CPolicySchema::TModel& model) : m_model(model) {}

private:
    enum EKind { kOther, kPolicy, kKeyGeneration, kKeyType, kKeySource, kKeySize, kName, kBlock, kAva, kEnumeration,
                 kMinLength, kMaxLength, kType };

    CPolicySchema::TModel& m_model;
    QStringList m_openPolicies; // ids of the policy elements around the current element

    template <class F> void ForEachOpenPolicy(const QString& oid, F f)
    {
        for (const QString& id : qAsConst(m_openPolicies))
            f(m_model.policies[id].avas[oid]);
    }

    void Open(TFrame& frame, const QStringRef& name, const QXmlStreamAttributes& attributes) override
    {
        TFrame* parent = Parent();
        const int parentKind = parent ? parent->kind : kOther;
        if (name == QLatin1String("policy")) {
            if (Attribute(attributes, "id", &frame.key)) {
                frame.kind = kPolicy;
                m_model.ids << frame.key;
                m_model.policies[frame.key];
                m_openPolicies << frame.key;
            }
        } else if (name == QLatin1String("attribute-value-assertion")) {
            if (Attribute(attributes, "oid", &frame.key)) {
                frame.kind = kAva;
                if (parentKind == kBlock)
                    m_model.policies[parent->key].names[parent->n][parent->m] << frame.key;
            }
        } else if (parentKind == kPolicy) {
            if (name == QLatin1String("key-generation"))
                frame.kind = kKeyGeneration;
            else if (name == QLatin1String("name")) {
                frame.kind = kName;
                QList<QList<QStringList>>& names = m_model.policies[parent->key].names;
                frame.n = names.size();
                names.append(QList<QStringList>());
            }
        } else if (parentKind == kKeyGeneration) {
            if (name == QLatin1String("key-type"))
                frame.kind = kKeyType;
            else if (name == QLatin1String("key-generation"))
                frame.kind = kKeySource;
            else if (name == QLatin1String("key-size")) {
                frame.kind = kKeySize;
                TPolicy& policy = m_model.policies[parent->key];
                QString value;
                if (Attribute(attributes, "min", &value))
                    policy.keyMin << value;
                if (Attribute(attributes, "max", &value))
                    policy.keyMax << value;
            }
        } else if (parentKind == kName) {
            if (name == QLatin1String("ava-block")) {
                frame.kind = kBlock;
                frame.n = parent->n;
                // The blocks of a name element are counted as they come.
                frame.m = parent->m++;
                m_model.policies[parent->key].names[frame.n].append(QStringList());
            }
        } else if (parentKind == kAva) {
            if (name == QLatin1String("enumeration")) {
                frame.kind = kEnumeration;
                QString source, defaultChoice;
                const bool hasSource = Attribute(attributes, "source", &source);
                const bool hasDefault = Attribute(attributes, "default", &defaultChoice);
                ForEachOpenPolicy(parent->key, [&](TAva& ava) {
                    if (hasSource)
                        ava.source << source;
                    if (hasDefault)
                        ava.defaultChoice << defaultChoice;
                });
            } else if (name == QLatin1String("minimal-length"))
                frame.kind = kMinLength;
            else if (name == QLatin1String("maximal-length"))
                frame.kind = kMaxLength;
            else if (name == QLatin1String("type"))
                frame.kind = kType;
        }
        if (frame.kind != kPolicy && frame.kind != kAva && parent)
            frame.key = parent->key; // the policy id, or the OID below an assertion
        frame.collect = frame.kind == kKeyType || frame.kind == kKeySource || frame.kind == kKeySize ||
                        frame.kind == kMinLength || frame.kind == kMaxLength || frame.kind == kType;
    }

    void Close(TFrame& frame) override
    {
        switch (frame.kind) {
        case kPolicy:
            m_openPolicies.removeLast();
            break;
        case kKeyType:
            m_model.policies[frame.key].keyType << frame.text;
            break;
        case kKeySource:
            m_model.policies[frame.key].keySource << frame.text;
            break;
        case kKeySize:
            m_model.policies[frame.key].keySize << frame.text;
            break;
        case kMinLength:
            ForEachOpenPolicy(frame.key, [&](TAva& ava) { ava.minLength << frame.text; });
            break;
        case kMaxLength:
            ForEachOpenPolicy(frame.key, [&](TAva& ava) { ava.maxLength << frame.text; });
            break;
        case kType:
            ForEachOpenPolicy(frame.key, [&](TAva& ava) { ava.type << frame.text; });
            break;
        default:
            break;
        }
    }
};

// SchemaResources.<language>.xml: item and choice elements anywhere, their texts
// and entries as children.
class CResourceReader : public CPolicyFileReader
{
public:
    explicit CResourceReader(CPolicySchema::TModel& model) : m_model(model) {}

private:
    enum EKind { kOther, kItem, kCaption, kHint, kError, kChoice, kChoiceItem };

    CPolicySchema::TModel& m_model;

    void Open(TFrame& frame, const QStringRef& name, const QXmlStreamAttributes& attributes) override
    {
        TFrame* parent = Parent();
        const int parentKind = parent ? parent->kind : kOther;
        if (name == QLatin1String("item")) {
            if (Attribute(attributes, "id", &frame.key))
                frame.kind = kItem;
        } else if (name == QLatin1String("choice")) {
            if (Attribute(attributes, "id", &frame.key))
                frame.kind = kChoice;
        } else if (parentKind == kItem) {
            if (name == QLatin1String("caption"))
                frame.kind = kCaption;
            else if (name == QLatin1String("hint"))
                frame.kind = kHint;
            else if (name == QLatin1String("error"))
                frame.kind = kError;
            frame.key = parent->key;
        } else if (parentKind == kChoice && name == QLatin1String("choice-item")) {
            QString id;
            if (Attribute(attributes, "id", &id)) {
                frame.kind = kChoiceItem;
                frame.key = parent->key;
                TChoice& choice = m_model.choices[frame.key];
                frame.n = choice.ids.size();
                choice.ids << id;
            }
        }
        frame.collect = frame.kind != kOther && frame.kind != kItem && frame.kind != kChoice;
    }

    void Close(TFrame& frame) override
    {
        switch (frame.kind) {
        case kCaption:
            m_model.items[frame.key].caption << frame.text;
            break;
        case kHint:
            m_model.items[frame.key].hint << frame.text;
            break;
        case kError:
            m_model.items[frame.key].error << frame.text;
            break;
        case kChoiceItem: {
            TChoice& choice = m_model.choices[frame.key];
            choice.texts[choice.ids[frame.n]] << frame.text;
            break;
        }
        default:
            break;
        }
    }
};

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
    CTemplateReader(*m_pModel).Read(qsTemplateFile, true);
    CResourceReader(*m_pModel).Read(qsResourceFile, false);
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
