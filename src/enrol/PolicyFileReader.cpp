// The bounded reader of the policy files: one pass over each file with
// QXmlStreamReader into the policy model.
#include "PolicyFileReader.h"

#include <functional>
#include <vector>

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>
#include <QXmlStreamReader>

#include "EnrolmentError.h"

namespace policyfile {

QString WithFile(const QString& text, const QString& file)
{
    return text + QLatin1Char('\n') + file;
}

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
    // A first arc of more digits than an int holds is no 0, 1 or 2 either.
    bool ok = false;
    const int first = arcs[0].toInt(&ok);
    return ok && first <= 2 && (first == 2 || arcs[1].toLongLong() < 40);
}

namespace {

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
    // Refuses the file at the current place: the text's last placeholder takes the
    // place, the two before it (if given) first and second, all in one pass.
    [[noreturn]] void Refuse(const QString& text);
    [[noreturn]] void Refuse(const QString& text, const QString& first, const QString& second);

private:
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

QString Where(qint64 line, qint64 column)
{
    return CPolicySchema::tr("line %1, column %2").arg(line).arg(column);
}

void CPolicyFileReader::Refuse(const QString& text)
{
    Refuse(text, m_reader.lineNumber(), m_reader.columnNumber());
}

void CPolicyFileReader::Refuse(const QString& text, const QString& first, const QString& second)
{
    const QString where = Where(m_reader.lineNumber(), m_reader.columnNumber());
    throw CEnrolmentError(WithFile(text.arg(first, second, where), m_qsFile));
}

void CPolicyFileReader::Refuse(const QString& text, qint64 line, qint64 column)
{
    throw CEnrolmentError(WithFile(text.arg(Where(line, column)), m_qsFile));
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
    // The policy element around the current element. Policies do not nest: the settings
    // of an assertion would go to every policy around it, as many copies as levels.
    bool m_bInPolicy = false;
    QString m_qsPolicy;

    // The settings of an assertion of the open policy; null outside a policy.
    TAva* Ava(const QString& oid) { return m_bInPolicy ? &m_model.policies[m_qsPolicy].avas[oid] : nullptr; }

    void Open(TFrame& frame, const QStringRef& name, const QXmlStreamAttributes& attributes) override
    {
        TFrame* parent = Parent();
        const int parentKind = parent ? parent->kind : kOther;
        if (name == QLatin1String("policy")) {
            if (Attribute(attributes, "id", &frame.key)) {
                if (m_bInPolicy)
                    Refuse(CPolicySchema::tr("The policy %1 stands inside the policy %2; policies do not nest (%3)."),
                           frame.key, m_qsPolicy);
                frame.kind = kPolicy;
                m_model.ids << frame.key;
                m_model.policies[frame.key];
                m_bInPolicy = true;
                m_qsPolicy = frame.key;
            }
        } else if (name == QLatin1String("attribute-value-assertion")) {
            if (Attribute(attributes, "oid", &frame.key)) {
                frame.kind = kAva;
                if (parentKind == kBlock) {
                    // A subject field the request encoder cannot write is refused here,
                    // before any key pair is made for a request under it.
                    if (!frame.key.isEmpty() && !IsEncodableOid(frame.key))
                        Refuse(CPolicySchema::tr("The subject field \"%1\" of the policy %2 is not named by an OID (%3)."),
                               frame.key, parent->key);
                    m_model.policies[parent->key].names[parent->n][parent->m] << frame.key;
                }
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
                if (TAva* ava = Ava(parent->key)) {
                    if (hasSource)
                        ava->source << source;
                    if (hasDefault)
                        ava->defaultChoice << defaultChoice;
                }
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
            m_bInPolicy = false;
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
            if (TAva* ava = Ava(frame.key))
                ava->minLength << frame.text;
            break;
        case kMaxLength:
            if (TAva* ava = Ava(frame.key))
                ava->maxLength << frame.text;
            break;
        case kType:
            if (TAva* ava = Ava(frame.key))
                ava->type << frame.text;
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

} // namespace

void Read(CPolicySchema::TModel& model, const QString& qsTemplateFile, const QString& qsResourceFile)
{
    CTemplateReader(model).Read(qsTemplateFile, true);
    CResourceReader(model).Read(qsResourceFile, false);
}

} // namespace policyfile
