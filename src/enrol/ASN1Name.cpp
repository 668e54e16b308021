// The subject name model and the repertoires of the ASN.1 string types.
#include "ASN1Name.h"

#include <cassert>
#include <memory>
#include <string>

#include <asn-incl.h>

namespace {

const char* const kTypeNames[] = {"PrintableString", "VisibleString", "ISO646String",  "UTF8String",
                                  "NumericString",   "IA5String",     "TeletexString", "T61String",
                                  "VideotexString",  "GraphicString", "GeneralString", "UniversalString",
                                  "BMPString"};

bool IsPrintableChar(char32_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
        return true;
    switch (c) {
    case ' ':
    case '\'':
    case '(':
    case ')':
    case '+':
    case ',':
    case '-':
    case '.':
    case '/':
    case ':':
    case '=':
    case '?':
        return true;
    default:
        return false;
    }
}

// Whether the type can hold the code point (never NUL).
bool Holds(int type, char32_t c)
{
    if (c == 0)
        return false;
    switch (type) {
    case ASN1_PRINTABLE_STRING:
        return IsPrintableChar(c);
    case ASN1_VISIBLE_STRING:
    case ASN1_ISO646_STRING:
        return c >= 0x20 && c <= 0x7E;
    case ASN1_NUMERIC_STRING:
        return (c >= '0' && c <= '9') || c == ' ';
    case ASN1_IA5_STRING:
        return c <= 0x7F;
    // The 8-bit types are written byte for byte from Latin-1: what it cannot hold
    // would arrive as "?".
    case ASN1_TELETEX_STRING:
    case ASN1_T61_STRING:
    case ASN1_VIDEOTEX_STRING:
    case ASN1_GENERAL_STRING:
        return c <= 0xFF;
    case ASN1_GRAPHIC_STRING: // graphic characters only, no controls
        return (c >= 0x20 && c <= 0x7E) || (c >= 0xA0 && c <= 0xFF);
    case ASN1_UTF8_STRING:
    case ASN1_UNIVERSAL_STRING:
        return c <= 0x10FFFF;
    case ASN1_BMP_STRING:
        return c <= 0xFFFF;
    default:
        return true;
    }
}

// The text as code points; false for a lone surrogate, which no type can hold.
bool CodePoints(const QString& text, std::u32string& out)
{
    out.clear();
    out.reserve(static_cast<size_t>(text.size()));
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 >= text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            out.push_back(QChar::surrogateToUcs4(c, text.at(i + 1)));
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        } else {
            out.push_back(c.unicode());
        }
    }
    return true;
}

std::wstring Wide(const QString& text)
{
    std::u32string points;
    CodePoints(text, points);
    return std::wstring(points.begin(), points.end());
}

template <class T> SNACC::AsnType* Narrow(const QString& text)
{
    std::unique_ptr<T> s(new T);
    *s = text.toLatin1().toStdString();
    return s.release();
}

template <class T> SNACC::AsnType* WideString(const QString& text)
{
    std::unique_ptr<T> s(new T);
    *s = Wide(text);
    return s.release();
}

} // namespace

int ASN1StringTypeFromName(const QString& name)
{
    for (int i = 0; i < int(sizeof kTypeNames / sizeof kTypeNames[0]); ++i)
        if (name == QLatin1String(kTypeNames[i]))
            return i + 1;
    return ASN1_NO_STRING_TYPE;
}

CASN1AttributeValue::CASN1AttributeValue(const QString& qsOID) : m_qsOID(qsOID), m_nType(ASN1_NO_STRING_TYPE)
{
    assert(!m_qsOID.isEmpty());
}

bool CASN1AttributeValue::CheckValue(const QString& qsValue) const
{
    if (m_nType <= ASN1_NO_STRING_TYPE || m_nType > ASN1_BMP_STRING)
        return true;
    std::u32string points;
    if (!CodePoints(qsValue, points))
        return false;
    for (char32_t c : points)
        if (!Holds(m_nType, c))
            return false;
    return true;
}

bool CASN1AttributeValue::IsEncoded() const
{
    return m_nType > ASN1_NO_STRING_TYPE && m_nType <= ASN1_BMP_STRING && !m_qsValue.isEmpty();
}

SNACC::AsnType* CASN1AttributeValue::MakeASN1String() const
{
    switch (m_nType) {
    case ASN1_PRINTABLE_STRING:
        return Narrow<SNACC::PrintableString>(m_qsValue);
    case ASN1_VISIBLE_STRING:
    case ASN1_ISO646_STRING:
        return Narrow<SNACC::VisibleString>(m_qsValue);
    case ASN1_UTF8_STRING:
        return WideString<SNACC::UTF8String>(m_qsValue);
    case ASN1_NUMERIC_STRING:
        return Narrow<SNACC::NumericString>(m_qsValue);
    case ASN1_IA5_STRING:
        return Narrow<SNACC::IA5String>(m_qsValue);
    case ASN1_TELETEX_STRING:
    case ASN1_T61_STRING:
        return Narrow<SNACC::TeletexString>(m_qsValue);
    case ASN1_VIDEOTEX_STRING:
        return Narrow<SNACC::VideotexString>(m_qsValue);
    case ASN1_GRAPHIC_STRING:
        return Narrow<SNACC::GraphicString>(m_qsValue);
    case ASN1_GENERAL_STRING:
        return Narrow<SNACC::GeneralString>(m_qsValue);
    case ASN1_UNIVERSAL_STRING:
        return WideString<SNACC::UniversalString>(m_qsValue);
    case ASN1_BMP_STRING:
        return WideString<SNACC::BMPString>(m_qsValue);
    default:
        return nullptr;
    }
}

CASN1AVBlock::~CASN1AVBlock()
{
    qDeleteAll(m_values);
}

void CASN1AVBlock::append(CASN1AttributeValue* pasn1AV)
{
    assert(pasn1AV);
    m_values.append(pasn1AV);
}

CASN1Name::~CASN1Name()
{
    qDeleteAll(m_blocks);
}

void CASN1Name::append(CASN1AVBlock* pasn1AVBlock)
{
    assert(pasn1AVBlock);
    m_blocks.append(pasn1AVBlock);
}

bool CASN1Name::HasEncodedValues() const
{
    for (const CASN1AVBlock* block : m_blocks)
        for (int i = 0; i < block->count(); ++i)
            if (block->at(i)->IsEncoded())
                return true;
    return false;
}
