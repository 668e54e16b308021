// The policy files: queries that bind their values and read text, the checks that
// turn a faulty schema into a report instead of an empty form or a nonsense key, and
// the files shipped with the program.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>

#include <string>

#include "ASN1Name.h"
#include "EnrolmentError.h"
#include "Fixture.h"
#include "PolicySchema.h"
#include "XmlQuery.h"

namespace {

QString Scratch()
{
    static const QString dir = QString::fromStdString(fixture::ScratchDir("enrol_policy"));
    return dir;
}

QString Write(const QString& name, const std::string& xml)
{
    const QString path = Scratch() + QLatin1Char('/') + name;
    fixture::WriteText(path.toStdString(), xml);
    return path;
}

std::string Resource(const std::string& items = std::string())
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<resources>"
           "<item id=\"p\"><caption>Policy</caption></item>" +
           items + "</resources>";
}

std::string Schema(const std::string& policies)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<schema>" + policies + "</schema>";
}

// The message of what the call throws, or "" when it throws nothing.
template <class F> std::string ErrorOf(F f)
{
    try {
        f();
    } catch (const CEnrolmentError& e) {
        return e.what();
    }
    return std::string();
}

TEST(XmlQuery, ResultsAreTrimmedTextNeverSerialisedXml)
{
    CXmlQuery query(Write("text.xml", Schema("<policy id=\"p\"><key-generation><key-type>\n  R&amp;D &lt;RSA&gt;\n"
                                             "</key-type></key-generation></policy>")),
                    Write("text.res.xml", Resource("<item id=\"2.5.4.3\"><caption> A &amp; B </caption>"
                                                   "<hint>\n\thint\n</hint></item>")));
    QString text;
    query.ExecuteTemplateQuery(QStringLiteral("//policy[@id = $policy]/key-generation/key-type/string()"), &text,
                               {{QStringLiteral("policy"), QStringLiteral("p")}});
    EXPECT_EQ(text.toStdString(), "R&D <RSA>");
    // The text form takes the queries as the files' format writes them, nodes and values alike.
    const struct {
        const char* query;
        bool resource;
        const char* text;
    } textCases[] = {
        {"//policy[@id=\"p\"]/key-generation/key-type/text()", false, "R&D <RSA>"},
        {"//policy[@id=\"p\"]/key-generation/key-type", false, "R&D <RSA>"},
        {"//policy[@id=\"p\"]/key-generation/key-size/text()", false, ""},
        {"//item[@id=\"2.5.4.3\"]/caption/text()", true, "A & B"},
        {"//item[@id=\"2.5.4.3\"]/hint/text()", true, "hint"},
        {"(//item/@id/string())", true, "p 2.5.4.3"},
    };
    for (const auto& c : textCases) {
        QString got = QStringLiteral("before");
        const std::string error = ErrorOf([&] {
            if (c.resource)
                query.ExecuteResourceQuery(QString::fromLatin1(c.query), &got);
            else
                query.ExecuteTemplateQuery(QString::fromLatin1(c.query), &got);
        });
        EXPECT_EQ(error, "") << c.query;
        EXPECT_EQ(got.toStdString(), c.text) << c.query;
    }
    EXPECT_EQ(query.GetCaption(QStringLiteral("2.5.4.3")).toStdString(), "A & B");
    EXPECT_EQ(query.GetHint(QStringLiteral("2.5.4.3")).toStdString(), "hint");
    EXPECT_EQ(query.GetError(QStringLiteral("2.5.4.3")).toStdString(), "");
    EXPECT_EQ(query.GetCaption(QStringLiteral("none")).toStdString(), "");
    QStringList list;
    query.ExecuteTemplateQuery(QStringLiteral("//policy[@id = $policy]/name/string()"), &list,
                               {{QStringLiteral("policy"), QStringLiteral("p")}});
    EXPECT_TRUE(list.isEmpty());
}

TEST(XmlQuery, IdsAreBoundAsValuesNotPastedIntoTheQuery)
{
    const std::string odd = "a&quot;b%2%1";
    CXmlQuery query(Write("ids.xml", Schema("<policy id=\"" + odd + "\"/><policy id=\"q\"/>")),
                    Write("ids.res.xml", Resource("<item id=\"" + odd +
                                                  "\"><caption>Odd</caption></item>"
                                                  "<item id=\"x\"><caption>X</caption></item>")));
    EXPECT_EQ(query.GetCaption(QStringLiteral("a\"b%2%1")).toStdString(), "Odd");
    // A value that would change a pasted query matches nothing.
    EXPECT_EQ(query.GetCaption(QStringLiteral("none\" or @id=\"x")).toStdString(), "");
    EXPECT_EQ(query.GetCaption(QStringLiteral("x'] | //item[@id='x")).toStdString(), "");
    CPolicySchema schema(query.TemplateFile(), query.ResourceFile());
    EXPECT_EQ(schema.PolicyIds(), (QStringList{QStringLiteral("a\"b%2%1"), QStringLiteral("q")}));
    EXPECT_EQ(schema.Caption(QStringLiteral("a\"b%2%1")).toStdString(), "Odd");
}

TEST(XmlQuery, BlockPositionIsBoundAsAnInteger)
{
    CXmlQuery query(Write("blocks.xml", Schema("<policy id=\"p\"><name>"
                                               "<ava-block><attribute-value-assertion oid=\"2.5.4.6\"/></ava-block>"
                                               "<ava-block><attribute-value-assertion oid=\"2.5.4.10\"/>"
                                               "<attribute-value-assertion oid=\"2.5.4.11\"/></ava-block>"
                                               "<ava-block/>"
                                               "<ava-block><attribute-value-assertion oid=\"2.5.4.3\"/></ava-block>"
                                               "</name></policy>")),
                    Write("blocks.res.xml", Resource()));
    QStringList second;
    query.ExecuteTemplateQuery(
        QStringLiteral("//policy[@id = $policy]/name/ava-block[$n]/attribute-value-assertion/@oid/string()"), &second,
        {{QStringLiteral("policy"), QStringLiteral("p")}, {QStringLiteral("n"), 2}});
    EXPECT_EQ(second, (QStringList{QStringLiteral("2.5.4.10"), QStringLiteral("2.5.4.11")}));
    // An empty block ends the name, later blocks included.
    CPolicySchema schema(query.TemplateFile(), query.ResourceFile());
    const QList<QStringList> blocks = schema.SubjectBlocks(QStringLiteral("p"));
    ASSERT_EQ(blocks.size(), 2);
    EXPECT_EQ(blocks[0], QStringList{QStringLiteral("2.5.4.6")});
}

TEST(XmlQuery, FilesThatCannotBeUsedAreReportedAsSuch)
{
    const QString good = Write("good.xml", Schema("<policy id=\"p\"/>"));
    const QString res = Write("good.res.xml", Resource());
    struct Case {
        const char* what;
        QString schema, resource;
        const char* error;
    } cases[] = {
        {"missing template", Scratch() + QStringLiteral("/none.xml"), res, "Could not open the template file."},
        {"missing resource", good, Scratch() + QStringLiteral("/none.res.xml"), "Could not open the resource file."},
        {"malformed template", Write("bad.xml", "<schema><policy id=\"p\"></schema>"), res,
         "The template file is not well-formed XML"},
        {"malformed resource", good, Write("bad.res.xml", "<resources><item></resources>"),
         "The resource file is not well-formed XML"},
        {"empty template", Write("empty.xml", ""), res, "The template file is not well-formed XML"},
    };
    for (const Case& c : cases) {
        const std::string error = ErrorOf([&] { CXmlQuery query(c.schema, c.resource); });
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
}

TEST(PolicySchema, SchemasWithoutUsablePoliciesAreRefused)
{
    const QString res = Write("p.res.xml", Resource());
    struct Case {
        const char* what;
        std::string schema;
        const char* error;
    } cases[] = {
        {"no policy", Schema(""), "holds no certificate policy"},
        {"default namespace", "<schema xmlns=\"urn:x\"><policy id=\"p\"/></schema>", "holds no certificate policy"},
        {"policy without id", Schema("<policy id=\"\"/>"), "has no identifier"},
        {"same id twice", Schema("<policy id=\"p\"/><policy id=\"p\"/>"), "more than once"},
    };
    for (const Case& c : cases) {
        const QString schema = Write("schema.xml", c.schema);
        const std::string error = ErrorOf([&] { CPolicySchema(schema, res).PolicyIds(); });
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
    const CPolicySchema schema(Write("schema.xml", Schema("<policy id=\"p\"/><policy id=\"nocaption\"/>")), res);
    EXPECT_EQ(schema.PolicyCaption(QStringLiteral("p")).toStdString(), "Policy");
    EXPECT_NE(ErrorOf([&] {
                  schema.PolicyCaption(QStringLiteral("nocaption"));
              }).find("no caption for the policy nocaption"),
              std::string::npos);
}

TEST(PolicySchema, KeySettingsAndTheSizesTheyOffer)
{
    struct Case {
        const char* what;
        std::string keyGeneration;
        int keyType;
        bool generate;
        QList<int> sizes;
        const char* error; // null: no error
    } cases[] = {
        {"no key-generation", "", 1, true, {2048}, nullptr},
        {"size without range", "<key-size>1024</key-size>", 1, true, {1024}, nullptr},
        {"size not a number", "<key-size>big</key-size>", 1, true, {2048}, nullptr},
        {"range", "<key-size min=\"1024\" max=\"2048\">4096</key-size>", 1, true, {1024, 1536, 2048}, nullptr},
        {"range not on a step", "<key-size min=\"1024\" max=\"2000\"/>", 1, true, {1024, 1536}, nullptr},
        {"range of the shipped files",
         "<key-size min=\"2048\" max=\"4096\"/>",
         1,
         true,
         {2048, 2560, 3072, 3584, 4096},
         nullptr},
        {"min -1 falls back to the size",
         "<key-size min=\"-1\" max=\"4096\">3072</key-size>",
         1,
         true,
         {3072},
         nullptr},
        {"max missing", "<key-size min=\"1024\">2048</key-size>", 1, true, {2048}, nullptr},
        {"min above max", "<key-size min=\"2048\" max=\"1024\"/>", 1, true, {}, "above the largest"},
        {"range below 1024", "<key-size min=\"512\" max=\"1024\"/>", 1, true, {}, "outside"},
        {"range without end", "<key-size min=\"1024\" max=\"2147483647\"/>", 1, true, {}, "outside"},
        {"size 0", "<key-size>0</key-size>", 1, true, {}, "outside"},
        {"size far too large", "<key-size>100000</key-size>", 1, true, {}, "outside"},
        {"existing RSA",
         "<key-type>RSA</key-type><key-generation>Use Existing Key</key-generation>",
         1,
         false,
         {},
         nullptr},
        {"existing dsa", "<key-type>dsa</key-type><key-generation>existing</key-generation>", 2, false, {}, nullptr},
        {"both names count as DSA",
         "<key-type>RSA/DSA</key-type><key-generation>Existing pair</key-generation>",
         2,
         false,
         {},
         nullptr},
        {"new DSA pair",
         "<key-type>DSA</key-type><key-generation>Generate</key-generation><key-size>1024</key-size>",
         2,
         true,
         {},
         "only RSA key pairs can be generated"},
    };
    const QString res = Write("k.res.xml", Resource());
    for (const Case& c : cases) {
        const std::string policy = c.keyGeneration.empty() ? "<policy id=\"p\"/>"
                                                           : "<policy id=\"p\"><key-generation>" + c.keyGeneration +
                                                                 "</key-generation></policy>";
        const QString schema = Write("k.xml", Schema(policy));
        TPolicyKeySettings settings;
        const std::string error =
            ErrorOf([&] { settings = CPolicySchema(schema, res).KeySettings(QStringLiteral("p")); });
        if (c.error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
            continue;
        }
        EXPECT_EQ(error, "") << c.what;
        EXPECT_EQ(settings.nKeyType, c.keyType) << c.what;
        EXPECT_EQ(settings.bGenerateKey, c.generate) << c.what;
        EXPECT_EQ(settings.keySizes, c.sizes) << c.what;
    }
}

TEST(PolicySchema, FieldSettings)
{
    const std::string fields =
        "<policy id=\"p\"><name><ava-block>"
        "<attribute-value-assertion oid=\"2.5.4.6\"><enumeration source=\"c\" default=\"BG\"/>"
        "<minimal-length>2</minimal-length><maximal-length> 2 </maximal-length><type>PrintableString</type>"
        "</attribute-value-assertion>"
        "<attribute-value-assertion oid=\"2.5.4.3\"><maximal-length>x</maximal-length><type>UTF8String</type>"
        "</attribute-value-assertion>"
        "<attribute-value-assertion oid=\"1.2.3.0\"/>"
        "<attribute-value-assertion oid=\"1.2.3.1\"><type>printablestring</type></attribute-value-assertion>"
        "<attribute-value-assertion oid=\"1.2.3.2\"><type>OctetString</type></attribute-value-assertion>"
        "<attribute-value-assertion oid=\"1.2.3.3\"><minimal-length>5</minimal-length><maximal-length>4</maximal-length>"
        "<type>IA5String</type></attribute-value-assertion>"
        "<attribute-value-assertion oid=\"1.2.3.4\"><enumeration source=\"none\"/><type>IA5String</type>"
        "</attribute-value-assertion>"
        "</ava-block></name></policy>";
    const CPolicySchema schema(Write("f.xml", Schema(fields)),
                               Write("f.res.xml", Resource("<choice id=\"c\"><choice-item id=\"DE\">Germany</choice-item>"
                                                "<choice-item id=\"BG\"> Bulgaria </choice-item>"
                                                           "<choice-item id=\"XX\"/></choice>")));
    const TFieldSettings country = schema.FieldSettings(QStringLiteral("p"), QStringLiteral("2.5.4.6"));
    EXPECT_EQ(country.qsChoiceSource.toStdString(), "c");
    EXPECT_EQ(country.qsDefaultChoice.toStdString(), "BG");
    ASSERT_EQ(country.choices.size(), 3);
    EXPECT_EQ(country.choices[1].first.toStdString(), "BG");
    EXPECT_EQ(country.choices[1].second.toStdString(), "Bulgaria");
    EXPECT_EQ(country.choices[2].second.toStdString(), "XX") << "an entry without text shows its id";
    EXPECT_EQ(country.nMinLength, 2);
    EXPECT_EQ(country.nMaxLength, 2);
    EXPECT_EQ(country.nStringType, ASN1_PRINTABLE_STRING);

    const TFieldSettings name = schema.FieldSettings(QStringLiteral("p"), QStringLiteral("2.5.4.3"));
    EXPECT_TRUE(name.qsChoiceSource.isEmpty());
    EXPECT_EQ(name.nMinLength, -1);
    EXPECT_EQ(name.nMaxLength, -1) << "a length that is no number is no limit";
    EXPECT_EQ(name.nStringType, ASN1_UTF8_STRING);

    // No type, or a name that is none of the thirteen (case matters): code 0, left out of the subject.
    for (const char* oid : {"1.2.3.0", "1.2.3.1", "1.2.3.2"}) {
        TFieldSettings untyped;
        EXPECT_EQ(ErrorOf([&] { untyped = schema.FieldSettings(QStringLiteral("p"), QString::fromLatin1(oid)); }), "")
            << oid;
        EXPECT_EQ(untyped.nStringType, ASN1_NO_STRING_TYPE) << oid;
    }

    const struct {
        const char* oid;
        const char* error;
    } faulty[] = {
        {"1.2.3.3", "minimal length above its maximal length"},
        {"1.2.3.4", "no entries for the list none"},
    };
    for (const auto& f : faulty) {
        const std::string error =
            ErrorOf([&] { schema.FieldSettings(QStringLiteral("p"), QString::fromLatin1(f.oid)); });
        EXPECT_NE(error.find(f.error), std::string::npos) << f.oid << ": " << error;
    }
}

TEST(PolicySchema, SubjectFieldsMustHaveDistinctEncodableOids)
{
    const QString res = Write("s.res.xml", Resource());
    struct Case {
        const char* what;
        std::string name;
        const char* error;
    } cases[] = {
        {"empty oid", "<ava-block><attribute-value-assertion oid=\"\"/></ava-block>", "has no OID"},
        {"oid twice",
         "<ava-block><attribute-value-assertion oid=\"2.5.4.3\"/></ava-block>"
         "<ava-block><attribute-value-assertion oid=\"2.5.4.3\"/></ava-block>",
         "more than once"},
        // Names the request encoder cannot write: the policy is unusable, not the OK button.
        {"first arc 3", "<ava-block><attribute-value-assertion oid=\"3.1\"/></ava-block>", "not named by an OID"},
        {"second arc 40 under 1", "<ava-block><attribute-value-assertion oid=\"1.40\"/></ava-block>",
         "not named by an OID"},
        {"one arc", "<ava-block><attribute-value-assertion oid=\"2\"/></ava-block>", "not named by an OID"},
        {"empty arc", "<ava-block><attribute-value-assertion oid=\"2.5..3\"/></ava-block>", "not named by an OID"},
        {"letters", "<ava-block><attribute-value-assertion oid=\"2.5.4.x\"/></ava-block>", "not named by an OID"},
        {"leading zero", "<ava-block><attribute-value-assertion oid=\"2.5.04.3\"/></ava-block>",
         "not named by an OID"},
        {"arc too long", "<ava-block><attribute-value-assertion oid=\"2.5.1234567890123456789\"/></ava-block>",
         "not named by an OID"},
        {"first arc beyond an int", "<ava-block><attribute-value-assertion oid=\"2777777777777777.5.4.6\"/></ava-block>",
         "not named by an OID"},
    };
    for (const Case& c : cases) {
        const QString schema = Write("s.xml", Schema("<policy id=\"p\"><name>" + c.name + "</name></policy>"));
        const std::string error = ErrorOf([&] { CPolicySchema(schema, res).SubjectBlocks(QStringLiteral("p")); });
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    }
}

// A subject field the request encoder cannot write refuses the file when it is read:
// no form is built for it, so no key pair is made for a request that cannot be encoded.
TEST(PolicySchema, SubjectFieldsTheEncoderCannotWriteRefuseTheFileWhenItIsRead)
{
    const QString res = Write("r.res.xml", Resource());
    const struct {
        const char* oid;
        const char* where;
    } cases[] = {
        {"2777777777777777.5.4.6", "(line 2, column 97)"},
        {"3.5.4.6", "(line 2, column 82)"},
        {"1.40.1", "(line 2, column 81)"},
        {"2.5.4.x", "(line 2, column 82)"},
    };
    for (const auto& c : cases) {
        const QString schema = Write("r.xml", Schema(std::string("<policy id=\"p\"><name><ava-block><attribute-value-assertion oid=\"") +
                                                     c.oid + "\"/></ava-block></name></policy>"));
        const std::string error = ErrorOf([&] { CPolicySchema read(schema, res); });
        const std::string expected =
            std::string("The subject field \"") + c.oid + "\" of the policy p is not named by an OID " + c.where;
        EXPECT_NE(error.find(expected), std::string::npos) << c.oid << ": " << error;
        EXPECT_NE(error.find(schema.toStdString()), std::string::npos) << c.oid << ": " << error;
        EXPECT_EQ(ErrorOf([&] { CXmlQuery query(schema, res); }), error) << c.oid;
    }
    // An assertion outside the subject's blocks names no field and is not checked.
    EXPECT_EQ(ErrorOf([&] {
                  CPolicySchema(Write("r.xml", Schema("<policy id=\"p\"><attribute-value-assertion oid=\"3.1\">"
                                                      "<type>UTF8String</type></attribute-value-assertion></policy>")),
                                res);
              }),
              "");
}

// Policies do not nest: the settings of an assertion would count for every policy
// around it, a copy per level (250 levels took 3.6 GB for a file of 32 MB).
TEST(PolicySchema, APolicyInsideAnotherRefusesTheFile)
{
    const QString res = Write("n.res.xml", Resource());
    const QString nested = Write("n.xml", Schema("<policy id=\"outer\"><name><ava-block>"
                                                 "<attribute-value-assertion oid=\"2.5.4.3\"><policy id=\"inner\">"
                                                 "</policy></attribute-value-assertion></ava-block></name></policy>"));
    const std::string error = ErrorOf([&] { CPolicySchema read(nested, res); });
    EXPECT_NE(error.find("The policy inner stands inside the policy outer; policies do not nest (line 2, column 104)."),
              std::string::npos)
        << error;
    EXPECT_NE(error.find(nested.toStdString()), std::string::npos) << error;
    // Side by side, and beside a policy element without an id or of another namespace, they are read.
    const CPolicySchema schema(Write("n.xml", Schema("<policy id=\"p\"><policy/><x:policy xmlns:x=\"urn:x\" id=\"x\"/>"
                                                     "</policy><policy id=\"q\"/>")),
                               Write("n.res.xml", Resource("<item id=\"q\"><caption>Q</caption></item>")));
    EXPECT_EQ(schema.PolicyIds(), (QStringList{QStringLiteral("p"), QStringLiteral("q")}));
}

TEST(PolicySchema, OidsTheEncoderWritesAreAccepted)
{
    const QString res = Write("s.res.xml", Resource());
    const CPolicySchema schema(Write("s.xml", Schema("<policy id=\"p\"><name><ava-block>"
                                          "<attribute-value-assertion oid=\"0.9.2342.19200300.100.1.25\"/>"
                                          "<attribute-value-assertion oid=\"2.999.1\"/>"
                                          "<attribute-value-assertion oid=\"1.39.0\"/>"
                                          "</ava-block></name></policy>")),
                               res);
    const QList<QStringList> blocks = schema.SubjectBlocks(QStringLiteral("p"));
    ASSERT_EQ(blocks.size(), 1);
    EXPECT_EQ(blocks[0], (QStringList{"0.9.2342.19200300.100.1.25", "2.999.1", "1.39.0"}));
}

// What the files may hold beyond the elements the form reads: texts as the files write
// them (entities, sections, markup inside a text, repeated items) come out as text.
TEST(PolicySchema, TextsAsTheFilesWriteThem)
{
    const CPolicySchema schema(
        Write("t.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE schema [<!ENTITY rsa \"RSA\">]>\n<schema>"
                       "<policy id=\" p \"><key-generation><key-type>&rsa;</key-type>"
                       "<key-generation>Use <b>existing</b> pair</key-generation></key-generation>"
                       "<x:policy xmlns:x=\"urn:x\" id=\"hidden\"/></policy></schema>"),
        Write("t.res.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE resources [<!ENTITY org \"Veskora &amp; Co\">]>\n"
                           "<resources><item id=\"p\"><caption>&org; <![CDATA[<personal>]]></caption></item>"
                           "<item id=\"2.5.4.3\"><caption>Name</caption><hint>A <i>full</i> name</hint></item>"
                           "<item id=\"2.5.4.3\"><caption>again</caption></item></resources>"));
    EXPECT_EQ(schema.PolicyIds(), QStringList{QStringLiteral("p")}) << "ids trimmed, other namespaces ignored";
    EXPECT_EQ(schema.PolicyCaption(QStringLiteral("p")).toStdString(), "Veskora & Co <personal>");
    const TPolicyKeySettings keys = schema.KeySettings(QStringLiteral("p"));
    EXPECT_EQ(keys.nKeyType, 1);
    EXPECT_FALSE(keys.bGenerateKey) << "the text below the element's children counts";
    EXPECT_EQ(schema.Hint(QStringLiteral("2.5.4.3")).toStdString(), "A full name");
    EXPECT_EQ(schema.Caption(QStringLiteral("2.5.4.3")).toStdString(), "Name again") << "repeated items join";
    EXPECT_EQ(schema.Error(QStringLiteral("2.5.4.3")).toStdString(), "");
}

// The encodings a resource file may be written in, by byte order mark or declaration.
TEST(PolicySchema, EncodingsOfTheFiles)
{
    const QString schemaFile = Write("e.xml", Schema("<policy id=\"p\"/>"));
    const QString body = QStringLiteral("<resources><item id=\"p\"><caption>Gr\u00fc\u00dfe &amp; &#x10348;</caption>"
                                        "</item></resources>");
    const QString expected = QStringLiteral("Gr\u00fc\u00dfe & ") + QString::fromUcs4(U"\U00010348");
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"UTF-8 without declaration", body.toUtf8()},
        {"UTF-8 with byte order mark", "\xEF\xBB\xBF" + body.toUtf8()},
        {"ISO-8859-1 declared", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + body.toLatin1()},
        {"UTF-16LE with byte order mark",
         QByteArray("\xFF\xFE", 2) + QByteArray(reinterpret_cast<const char*>(body.utf16()), body.size() * 2)},
    };
    for (const auto& c : cases) {
        const QString resourceFile = Scratch() + QStringLiteral("/e.res.xml");
        QFile file(resourceFile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.bytes);
        file.close();
        QString caption;
        EXPECT_EQ(ErrorOf([&] { caption = CPolicySchema(schemaFile, resourceFile).PolicyCaption("p"); }), "") << c.what;
        EXPECT_EQ(caption, expected) << c.what;
    }
}

// A hostile or broken file is refused as a whole, with what is wrong and where,
// before it can grow into a text of millions of characters.
TEST(PolicySchema, FilesBeyondSaneBoundsAreRefused)
{
    const QString schemaFile = Write("b.xml", Schema("<policy id=\"p\"/>"));
    const std::string big(4000, 'x');
    const std::string entity = "<!DOCTYPE resources [<!ENTITY e \"" + big + "\">]>\n";
    auto repeat = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i)
            out += s;
        return out;
    };
    const std::string secret = Write("secret.txt", "secret-text").toStdString();
    struct Case {
        const char* what;
        std::string resource;
        const char* error; // null: read
    } cases[] = {
        // One caption of 200 million characters.
        {"entity repeated in one caption", entity + "<resources><item id=\"p\"><caption>" + repeat("&e;", 50000) +
                                               "</caption></item></resources>",
         "entities of the policy file expand to more than 1048576 characters (line 2, column"},
        {"entity twice in one caption",
         entity + "<resources><item id=\"p\"><caption>&e;&e;</caption></item></resources>",
         "holds a text longer than 4096 characters (line 2, column"},
        {"entity repeated across captions",
         entity + "<resources>" + repeat("<item id=\"p\"><caption>&e;</caption></item>", 1000) + "</resources>",
         "entities of the policy file expand to more than 1048576 characters"},
        {"entity repeated where nothing is read",
         entity + "<resources><junk>" + repeat("&e;", 1000) + "</junk></resources>",
         "entities of the policy file expand to more than 1048576 characters"},
        {"entity repeated in attributes",
         entity + "<resources>" + repeat("<junk a=\"&e;\"/>", 1000) + "</resources>",
         "entities of the policy file expand to more than 1048576 characters"},
        {"nested entities",
         "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
         "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">"
         "<!ENTITY f \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">]><resources><item id=\"p\"><caption>&f;&f;</caption>"
         "</item></resources>",
         "The resource file is not well-formed XML"},
        {"external entity",
         "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret +
             "\">]><resources><item id=\"p\"><caption>&x;</caption></item></resources>",
         "declares the external entity \"x\", which is not read"},
        {"external entity unused",
         "<!DOCTYPE r [<!ENTITY x PUBLIC \"-//x\" \"http://127.0.0.1:1/x\">]><resources/>",
         "declares the external entity \"x\", which is not read"},
        {"caption at the bound",
         "<resources><item id=\"p\"><caption>" + std::string(4096, 'c') + "</caption></item></resources>", nullptr},
        {"long caption", "<resources><item id=\"p\"><caption>" + std::string(4097, 'c') + "</caption></item></resources>",
         "holds a text longer than 4096 characters"},
        {"long id", "<resources><item id=\"" + std::string(4097, 'i') + "\"/></resources>",
         "holds a text longer than 4096 characters"},
        {"deep nesting", "<resources>" + repeat("<a>", 300) + repeat("</a>", 300) + "</resources>",
         "nests its elements deeper than 256 levels"},
    };
    for (const Case& c : cases) {
        const QString resourceFile = Write("b.res.xml", c.resource);
        QString caption;
        const std::string error = ErrorOf([&] { caption = CPolicySchema(schemaFile, resourceFile).Caption("p"); });
        if (!c.error) {
            EXPECT_EQ(error, "") << c.what;
            EXPECT_EQ(caption.size(), 4096) << c.what;
            continue;
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find(resourceFile.toStdString()), std::string::npos) << c.what << ": " << error;
        EXPECT_EQ(error.find("secret-text"), std::string::npos) << c.what;
        // The query pair reads the files only within the same bounds.
        EXPECT_EQ(ErrorOf([&] { CXmlQuery query(schemaFile, resourceFile); }), error) << c.what;
    }
    // A file too large to be a policy file is not read at all.
    const QString huge = Write("huge.res.xml", Resource(std::string(CPolicySchema::kMaxFileSize, ' ')));
    EXPECT_NE(ErrorOf([&] { CPolicySchema(schemaFile, huge); }).find("larger than 32 MB"), std::string::npos);
}

// Files of thousands of policies are read whole: every policy with its caption, key
// step and fields, the last as the first.
TEST(PolicySchema, LargeFilesAreReadWhole)
{
    const int count = 10000;
    std::string policies, items;
    for (int i = 0; i < count; ++i) {
        const std::string id = "1.3.6.1.4.1.32473.2." + std::to_string(i);
        policies += "<policy id=\"" + id + "\"><key-generation><key-size min=\"" + std::to_string(1024 + 512 * (i % 3)) +
                    "\" max=\"4096\"/></key-generation><name><ava-block><attribute-value-assertion oid=\"2.5.4.3\">"
                    "<maximal-length>" + std::to_string(i % 100 + 1) + "</maximal-length></attribute-value-assertion>"
                    "</ava-block></name></policy>\n";
        items += "<item id=\"" + id + "\"><caption>Type " + std::to_string(i) + "</caption></item>\n";
    }
    const CPolicySchema schema(Write("large.xml", Schema(policies)), Write("large.res.xml", Resource(items)));
    const QStringList ids = schema.PolicyIds();
    ASSERT_EQ(ids.size(), count);
    for (int i : {0, 1, 4711, count - 1}) {
        const QString id = QStringLiteral("1.3.6.1.4.1.32473.2.%1").arg(i);
        EXPECT_EQ(ids[i], id);
        EXPECT_EQ(schema.PolicyCaption(id), QStringLiteral("Type %1").arg(i));
        EXPECT_EQ(schema.KeySettings(id).keySizes.first(), 1024 + 512 * (i % 3)) << i;
        EXPECT_EQ(schema.SubjectBlocks(id), QList<QStringList>{QStringList{QStringLiteral("2.5.4.3")}}) << i;
        EXPECT_EQ(schema.FieldSettings(id, QStringLiteral("2.5.4.3")).nMaxLength, i % 100 + 1) << i;
    }
}

// The files shipped with the program, in both languages.
TEST(ShippedFiles, EveryPolicyIsUsableAndBothLanguagesHoldEveryText)
{
    const QString folder = qEnvironmentVariable("TESSALY_SOURCE_DIR") + QStringLiteral("/resources/enrolment");
    const QString schemaFile = folder + QStringLiteral("/Schema.xml");
    CXmlQuery en(schemaFile, folder + QStringLiteral("/SchemaResources.en.xml"));
    CXmlQuery bg(schemaFile, folder + QStringLiteral("/SchemaResources.bg.xml"));
    const CPolicySchema enSchema(en.TemplateFile(), en.ResourceFile()), bgSchema(bg.TemplateFile(), bg.ResourceFile());
    const QStringList ids = enSchema.PolicyIds();
    EXPECT_EQ(ids.size(), 3);
    bool generates = false, existingRsa = false, existingDsa = false;
    for (const QString& id : ids) {
        EXPECT_TRUE(id.startsWith(QLatin1String("1.3.6.1.4.1.32473."))) << "placeholder arc: " << id.toStdString();
        EXPECT_NE(enSchema.PolicyCaption(id), bgSchema.PolicyCaption(id)) << id.toStdString();
        const TPolicyKeySettings keys = enSchema.KeySettings(id);
        generates = generates || (keys.bGenerateKey && keys.keySizes.size() > 1);
        existingRsa = existingRsa || (!keys.bGenerateKey && keys.nKeyType == 1);
        existingDsa = existingDsa || (!keys.bGenerateKey && keys.nKeyType == 2);
        QSet<int> types;
        for (const QStringList& block : enSchema.SubjectBlocks(id))
            for (const QString& oid : block) {
                const TFieldSettings enField = enSchema.FieldSettings(id, oid);
                const TFieldSettings bgField = bgSchema.FieldSettings(id, oid);
                types.insert(enField.nStringType);
                for (const CPolicySchema* s : {&enSchema, &bgSchema}) {
                    EXPECT_FALSE(s->Caption(oid).isEmpty()) << oid.toStdString();
                    EXPECT_FALSE(s->Hint(oid).isEmpty()) << oid.toStdString();
                    EXPECT_FALSE(s->Error(oid).isEmpty()) << oid.toStdString();
                    EXPECT_EQ(s->Caption(oid), (s == &enSchema ? en : bg).GetCaption(oid)) << oid.toStdString();
                }
                ASSERT_EQ(enField.choices.size(), bgField.choices.size()) << oid.toStdString();
                for (int i = 0; i < enField.choices.size(); ++i) {
                    EXPECT_EQ(enField.choices[i].first, bgField.choices[i].first);
                    EXPECT_NE(enField.choices[i].second, enField.choices[i].first) << "every entry has its text";
                    EXPECT_NE(bgField.choices[i].second, bgField.choices[i].first) << "every entry has its text";
                }
                if (oid == QLatin1String("2.5.4.6")) {
                    EXPECT_EQ(enField.nStringType, ASN1_PRINTABLE_STRING);
                    EXPECT_EQ(enField.qsDefaultChoice.toStdString(), "BG");
                    EXPECT_EQ(enField.nMinLength, 2);
                    EXPECT_EQ(enField.nMaxLength, 2);
                }
            }
        EXPECT_EQ(types, (QSet<int>{ASN1_PRINTABLE_STRING, ASN1_UTF8_STRING, ASN1_IA5_STRING})) << id.toStdString();
    }
    EXPECT_TRUE(generates && existingRsa && existingDsa);
    // The two resource files name the same items and lists.
    for (const char* path : {"//item/@id/string()", "//choice/@id/string()", "//choice-item/@id/string()"}) {
        QStringList a, b;
        en.ExecuteResourceQuery(QString::fromLatin1(path), &a);
        bg.ExecuteResourceQuery(QString::fromLatin1(path), &b);
        EXPECT_EQ(a, b) << path;
    }
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
