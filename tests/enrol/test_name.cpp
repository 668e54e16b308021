// The subject name model: which texts each ASN.1 string type accepts, judged on the
// text before any conversion, and what the model encodes.
#include <gtest/gtest.h>

#include <QString>

#include "ASN1Name.h"

namespace {

struct TypeCase {
    int type;
    const char* name;
    QString text;
    bool accepted;
};

QString U(char32_t c)
{
    return QString::fromUcs4(&c, 1);
}

const QString kCyrillic = QString::fromUtf8("Иван Петров");
const QString kNul = QString(QChar(0));

std::vector<TypeCase> Cases()
{
    return {
        // PrintableString: letters, digits, blank and ' ( ) + , - . / : = ?
        {1, "PrintableString", "Ivan Petrov (Sofia) +1, a-b./:=?'", true},
        {1, "PrintableString", "a@b", false},
        {1, "PrintableString", "under_score", false},
        {1, "PrintableString", "*", false},
        {1, "PrintableString", kCyrillic, false}, // never sent as "???"
        {1, "PrintableString", "???", true},      // but real question marks are fine
        {1, "PrintableString", QString::fromUtf8("Müller"), false},
        {1, "PrintableString", "tab\there", false},
        // VisibleString and its ISO646String name: printable ASCII
        {2, "VisibleString", "a@b_c~{}", true},
        {2, "VisibleString", "new\nline", false},
        {2, "VisibleString", QString::fromUtf8("é"), false},
        {3, "ISO646String", "a@b_c~{}", true},
        {3, "ISO646String", kCyrillic, false},
        // UTF8String: every character, also beyond U+FFFF
        {4, "UTF8String", kCyrillic, true},
        {4, "UTF8String", U(0x1F600), true},
        {4, "UTF8String", "tab\there", true},
        {4, "UTF8String", QString(QChar(0xD800)), false}, // a lone surrogate is no character
        // NumericString: digits and blank
        {5, "NumericString", "0123 456", true},
        {5, "NumericString", "12a", false},
        {5, "NumericString", "-1", false},
        // IA5String: ASCII
        {6, "IA5String", "user@example.org", true},
        {6, "IA5String", "bell\a", true},
        {6, "IA5String", QString::fromUtf8("ü@example.org"), false},
        {6, "IA5String", kCyrillic, false},
        // The 8-bit types are written from Latin-1: what it lacks is refused.
        {7, "TeletexString", QString::fromUtf8("Müller\n"), true},
        {7, "TeletexString", kCyrillic, false},
        {8, "T61String", QString::fromUtf8("Ærø"), true},
        {8, "T61String", U(0x20AC), false},
        {9, "VideotexString", QString::fromUtf8("ÿ"), true},
        {9, "VideotexString", kCyrillic, false},
        {10, "GraphicString", QString::fromUtf8("Grüße"), true},
        {10, "GraphicString", "new\nline", false},
        {10, "GraphicString", QString(QChar(0x85)), false},
        {11, "GeneralString", "ctl\x01", true},
        {11, "GeneralString", kCyrillic, false},
        // UniversalString: every character; BMPString: only the basic plane
        {12, "UniversalString", U(0x1F600) + kCyrillic, true},
        {12, "UniversalString", QString(QChar(0xDC00)), false},
        {13, "BMPString", kCyrillic, true},
        {13, "BMPString", U(0xFFFD), true},
        {13, "BMPString", U(0x1F600), false},
        {13, "BMPString", U(0x10000), false},
    };
}

TEST(StringTypes, EachTypeAcceptsItsRepertoireAndRefusesTheRest)
{
    for (const TypeCase& c : Cases()) {
        CASN1AttributeValue value(QStringLiteral("2.5.4.3"));
        value.GetType() = c.type;
        EXPECT_EQ(value.CheckValue(c.text), c.accepted)
            << c.name << " \"" << c.text.toStdString() << "\" should be " << (c.accepted ? "accepted" : "refused");
        EXPECT_EQ(ASN1StringTypeFromName(QString::fromLatin1(c.name)), c.type) << c.name;
    }
}

TEST(StringTypes, NulIsRefusedByEveryType)
{
    for (int type = 1; type <= 13; ++type) {
        CASN1AttributeValue value(QStringLiteral("2.5.4.3"));
        value.GetType() = type;
        EXPECT_FALSE(value.CheckValue(QStringLiteral("ab") + kNul + QStringLiteral("cd"))) << "type " << type;
        EXPECT_FALSE(value.CheckValue(kNul)) << "type " << type;
        EXPECT_TRUE(value.CheckValue(QString())) << "an empty text holds no wrong character, type " << type;
    }
}

TEST(StringTypes, WithoutATypeEveryTextPasses)
{
    for (int type : {0, 14, 99, -1}) {
        CASN1AttributeValue value(QStringLiteral("2.5.4.3"));
        value.GetType() = type;
        EXPECT_TRUE(value.CheckValue(kCyrillic + kNul)) << "type " << type;
        value.GetValue() = QStringLiteral("text");
        EXPECT_FALSE(value.IsEncoded()) << "a value without a string type is never encoded, type " << type;
    }
}

TEST(StringTypes, NamesAreExactAndCaseSensitive)
{
    for (const char* name : {"printablestring", "UTF8STRING", "Utf8String", " PrintableString", "", "OctetString"})
        EXPECT_EQ(ASN1StringTypeFromName(QString::fromLatin1(name)), 0) << name;
}

TEST(NameModel, ValuesAreEncodedOnlyWithTypeAndText)
{
    CASN1Name name;
    EXPECT_FALSE(name.HasEncodedValues());
    CASN1AVBlock* block = new CASN1AVBlock;
    name.append(block);
    CASN1AttributeValue* cn = new CASN1AttributeValue(QStringLiteral("2.5.4.3"));
    block->append(cn);
    cn->GetType() = ASN1_UTF8_STRING;
    EXPECT_FALSE(name.HasEncodedValues()) << "an empty text is left out";
    cn->GetValue() = QStringLiteral("x");
    EXPECT_TRUE(name.HasEncodedValues());
    EXPECT_EQ(name.count(), 1);
    EXPECT_EQ(name.at(0)->count(), 1);
    EXPECT_EQ(name.at(0)->at(0)->GetOID(), QStringLiteral("2.5.4.3"));
}

} // namespace
