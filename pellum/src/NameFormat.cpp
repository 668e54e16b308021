// Distinguished names as text and as OID and value pairs.

#include "Internal.h"

#include <sorvit/ber.h>

#include <CertExtensions.h>
#include <CertModule.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

using namespace SNACC;
using pellum::OidText;

namespace {

struct ShortName {
    const char* oid;
    const char* name;
};

const ShortName kShortNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},
    {"2.5.4.9", "Street"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "Title"},
    {"2.5.4.13", "Description"},
    {"2.5.4.15", "BusinessCategory"},
    {"2.5.4.16", "PostalAddress"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.18", "PostOfficeBox"},
    {"2.5.4.20", "Phone"},
    {"2.5.4.21", "TelexNumber"},
    {"2.5.4.26", "RegisteredAddress"},
    {"2.5.4.41", "Name"},
    {"2.5.4.42", "GivenName"},
    {"2.5.4.43", "Initials"},
    {"1.2.840.113549.1.9.1", "E"},
};

// The text of a string value from its type and contents, as UTF-8:
// PrintableString and IA5String as stored, UTF8String with ill-formed bytes
// replaced, TeletexString as Latin-1 (what it holds in practice), BMPString and
// UniversalString as big-endian UTF-16 and UTF-32. False for any other type.
bool StringText(unsigned char tag, const unsigned char* content, size_t len, std::string* text)
{
    switch (tag) {
    case 0x13:
    case 0x16:
        text->assign(reinterpret_cast<const char*>(content), len);
        return true;
    case 0x0C:
        *text = pellum::ValidUtf8(content, len);
        return true;
    case 0x14:
        *text = pellum::Latin1ToUtf8(content, len);
        return true;
    case 0x1E:
        *text = pellum::Utf16BeToUtf8(content, len);
        return true;
    case 0x1C:
        *text = pellum::Utf32BeToUtf8(content, len);
        return true;
    default:
        return false;
    }
}

// The contents of a primitive value with a one-octet tag and a definite length of
// any BER form, which must end exactly at end.
bool PrimitiveContents(const unsigned char* p, const unsigned char* end, unsigned char* tag,
                       const unsigned char** content, size_t* len)
{
    if (end - p < 2 || (p[0] & 0x20) || (p[0] & 0x1F) == 0x1F)
        return false;
    *tag = p[0];
    size_t n = p[1];
    p += 2;
    if (n & 0x80) {
        const size_t octets = n & 0x7F;
        if (octets == 0 || octets > 4 || static_cast<size_t>(end - p) < octets)
            return false;
        n = 0;
        for (size_t i = 0; i < octets; ++i)
            n = (n << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) != n)
        return false;
    *content = p;
    *len = n;
    return true;
}

// The text of a value from its encoding. A primitive value is read from its
// contents; of the constructed forms, the runtime joins the segments of
// PrintableString, IA5String and TeletexString. It never decodes a constructed
// UTF8String, BMPString or UniversalString and leaks on the attempt, so those
// are not tried.
bool DerValueText(const unsigned char* der, size_t len, std::string* text)
{
    unsigned char tag = 0;
    const unsigned char* content = nullptr;
    size_t contentLen = 0;
    if (PrimitiveContents(der, der + len, &tag, &content, &contentLen))
        return StringText(tag, content, contentLen, text);
    if (len == 0)
        return false;
    _CPBLOB blob = {const_cast<unsigned char*>(der), static_cast<uint32_t>(len)};
    switch (der[0]) {
    case 0x33: {
        PrintableString s;
        if (!BlobToType(&blob, &s, nullptr))
            return false;
        *text = s;
        return true;
    }
    case 0x36: {
        IA5String s;
        if (!BlobToType(&blob, &s, nullptr))
            return false;
        *text = s;
        return true;
    }
    case 0x34: {
        TeletexString s;
        if (!BlobToType(&blob, &s, nullptr))
            return false;
        *text = pellum::Latin1ToUtf8(reinterpret_cast<const unsigned char*>(s.data()), s.size());
        return true;
    }
    default:
        return false;
    }
}

bool ValueText(const AsnAny& value, std::string* text)
{
    std::string der;
    if (!pellum::AnyBytes(value, &der))
        return false;
    return DerValueText(reinterpret_cast<const unsigned char*>(der.data()), der.size(), text);
}

// The content octets of each table OID, for a comparison without the dotted text.
struct EncodedShortName {
    std::string content;
    const char* name;
};

std::vector<EncodedShortName> EncodeShortNames()
{
    std::vector<EncodedShortName> out;
    for (const ShortName& n : kShortNames) {
        std::vector<unsigned long> arcs;
        for (const char* p = n.oid; *p;) {
            char* next = nullptr;
            arcs.push_back(std::strtoul(p, &next, 10));
            p = *next == '.' ? next + 1 : next;
        }
        std::string content;
        for (size_t i = 1; i < arcs.size(); ++i) {
            unsigned long arc = i == 1 ? arcs[0] * 40 + arcs[1] : arcs[i];
            std::string bytes(1, static_cast<char>(arc & 0x7F));
            while (arc >>= 7)
                bytes.insert(bytes.begin(), static_cast<char>(0x80 | (arc & 0x7F)));
            content += bytes;
        }
        out.push_back({content, n.name});
    }
    return out;
}

// One element of a DER encoding.
struct Tlv {
    unsigned char tag;
    const unsigned char* content;
    size_t len;
};

// The element at p, which must end by end; p moves past it. Only a one-octet tag
// and a minimal definite length of at most two octets are taken: what the
// shortcut below does not read, the runtime reads.
bool ReadTlv(const unsigned char*& p, const unsigned char* end, Tlv* out)
{
    if (end - p < 2 || (p[0] & 0x1F) == 0x1F)
        return false;
    out->tag = p[0];
    size_t len = p[1];
    p += 2;
    if (len & 0x80) {
        const size_t octets = len & 0x7F;
        if (octets == 0 || octets > 2 || static_cast<size_t>(end - p) < octets)
            return false;
        len = 0;
        for (size_t i = 0; i < octets; ++i)
            len = (len << 8) | *p++;
        if (len < 0x80 || (octets == 2 && len < 0x100))
            return false;
    }
    if (static_cast<size_t>(end - p) < len)
        return false;
    out->content = p;
    out->len = len;
    p += len;
    return true;
}

std::string ShortNameOf(const Tlv& oid)
{
    static const std::vector<EncodedShortName> table = EncodeShortNames();
    for (const EncodedShortName& n : table)
        if (n.content.size() == oid.len && std::memcmp(n.content.data(), oid.content, oid.len) == 0)
            return n.name;
    // Any other OID is written as the runtime writes it.
    AsnOid decoded;
    decoded.Set(reinterpret_cast<const char*>(oid.content), oid.len);
    return AttributeTypeName(decoded);
}

// CL_CertNameToStr's text for the shape nearly every name has (a SEQUENCE of
// non-empty SETs of SEQUENCEs of an OID and a primitive value, in DER), read
// straight from the bytes. The runtime takes a while to decode a name, longer
// than the certificate's labels may take. False for any other shape: the runtime
// then decodes the name, with the same text or its own error.
bool FastNameText(const _CPBLOB& name, char attrSep, char rdnSep, std::string* text)
{
    const unsigned char* p = name.pbData;
    Tlv outer;
    if (!ReadTlv(p, name.pbData + name.cbData, &outer) || outer.tag != 0x30)
        return false;
    Tlv rdns[64];
    size_t count = 0;
    for (p = outer.content; p < outer.content + outer.len; ++count) {
        if (count == sizeof rdns / sizeof rdns[0] || !ReadTlv(p, outer.content + outer.len, &rdns[count]) ||
            rdns[count].tag != 0x31 || rdns[count].len == 0)
            return false;
    }
    text->clear();
    // Most specific RDN first; attributes in their stored order.
    while (count--) {
        const Tlv& rdn = rdns[count];
        bool any = false;
        for (const unsigned char* q = rdn.content; q < rdn.content + rdn.len;) {
            Tlv attr, oid, value;
            if (!ReadTlv(q, rdn.content + rdn.len, &attr) || attr.tag != 0x30)
                return false;
            const unsigned char* r = attr.content;
            const unsigned char* end = attr.content + attr.len;
            if (!ReadTlv(r, end, &oid) || oid.tag != 0x06 || oid.len == 0 || (oid.content[oid.len - 1] & 0x80))
                return false;
            // A primitive value and nothing after it; no end-of-contents, no BIT STRING.
            if (!ReadTlv(r, end, &value) || r != end || (value.tag & 0x20) || value.tag == 0x00 || value.tag == 0x03)
                return false;
            std::string valueText;
            if (!StringText(value.tag, value.content, value.len, &valueText))
                continue;
            *text += ShortNameOf(oid);
            *text += '=';
            *text += pellum::ShownNameValue(valueText);
            *text += attrSep;
            any = true;
        }
        if (any)
            text->back() = rdnSep;
    }
    if (!text->empty())
        text->pop_back();
    return true;
}
}

std::string AttributeTypeName(const AsnOid& type)
{
    std::string dotted = OidText(type);
    for (const ShortName& n : kShortNames) {
        if (dotted == n.oid)
            return n.name;
    }
    return dotted;
}

std::string ConvertDistinguishedNameToString(const RDNSequence* rdns, char attrSep, char rdnSep)
{
    std::string text;
    if (!rdns)
        return text;
    // Most specific RDN first; attributes in their stored order.
    for (auto rdn = rdns->rbegin(); rdn != rdns->rend(); ++rdn) {
        bool any = false;
        for (const AttributeTypeAndDistinguishedValue& attr : *rdn) {
            std::string value;
            if (!ValueText(attr.value, &value))
                continue;
            text += AttributeTypeName(attr.type);
            text += '=';
            text += pellum::ShownNameValue(value);
            text += attrSep;
            any = true;
        }
        if (any)
            text.back() = rdnSep;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

void ConvertDistinguishedNameToOIDValuePairs(const RDNSequence* rdns, std::vector<TOIDValuePair>* pairs)
{
    if (!rdns || !pairs)
        return;
    for (auto rdn = rdns->rbegin(); rdn != rdns->rend(); ++rdn) {
        for (const AttributeTypeAndDistinguishedValue& attr : *rdn) {
            TOIDValuePair pair;
            if (!ValueText(attr.value, &pair.sValue))
                continue;
            pair.sOID = OidText(attr.type);
            pairs->push_back(pair);
        }
    }
}

std::string ExtractSimpleName(const char* text)
{
    return ExtractSimpleName(std::string(text ? text : ""));
}

std::string ExtractSimpleName(const std::string& text)
{
    // Only a "CN=" that starts an attribute counts, not one inside a value.
    size_t start = std::string::npos;
    for (size_t p = text.find("CN="); p != std::string::npos; p = text.find("CN=", p + 1)) {
        if (p == 0 || text[p - 1] == '\n') {
            start = p + 3;
            break;
        }
    }
    // Without a common name the most specific attribute labels the certificate.
    if (start == std::string::npos) {
        start = text.find('=');
        start = start == std::string::npos ? 0 : start + 1;
    }
    const size_t end = text.find('\n', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

namespace {

bool NameArgumentsValid(const _CPBLOB* name)
{
    return name && name->pbData;
}

// The name's text, as CL_CertNameToStr gives it; false with the reason in LastError.
bool NameToText(const _CPBLOB* name, char attrSep, char rdnSep, std::string* text)
{
    try {
        pellum::LastError().clear();
        if (!FastNameText(*name, attrSep, rdnSep, text)) {
            std::unique_ptr<Name> decoded(new Name);
            if (!BlobToType(name, decoded.get(), &pellum::LastError()))
                throw pellum::Failure();
            const RDNSequence* rdns = decoded->choiceId == Name::rdnSequenceCid ? decoded->rdnSequence : nullptr;
            *text = ConvertDistinguishedNameToString(rdns, attrSep, rdnSep);
        }
        if (text->size() >= UINT32_MAX)
            throw pellum::Failure();
        return true;
    } catch (const SnaccException& e) {
        pellum::LastError() = e.what();
    } catch (...) {
        pellum::SetUnhandled("CL_CertNameToStr");
    }
    return false;
}

}

extern "C" {

PELLUM_API bool CL_CertNameToStr(const _CPBLOB* name, char* buf, uint32_t* ioLen, char attrSep, char rdnSep)
{
    if (!NameArgumentsValid(name) || !ioLen) {
        pellum::LastError() = "Invalid parameter passed in call to CL_CertNameToStr";
        return false;
    }
    std::string text;
    if (!NameToText(name, attrSep, rdnSep, &text))
        return false;
    uint32_t needed = static_cast<uint32_t>(text.size() + 1);
    if (!buf) {
        *ioLen = needed;
        return true;
    }
    if (*ioLen < needed) {
        *ioLen = needed;
        return false;
    }
    std::memcpy(buf, text.c_str(), needed);
    *ioLen = needed;
    return true;
}

PELLUM_API bool CL_CertGetSimpleNameString(const CL_CERTIFICATE* cert, int flags, char* buf, uint32_t* ioLen)
{
    if (!cert || !ioLen) {
        pellum::LastError() = "Invalid parameter passed in call to CL_CertGetSimpleNameString";
        return false;
    }
    try {
        const _CPBLOB* name = (flags & CL_NAME_ISSUER_FLAG) ? &cert->Issuer : &cert->Subject;
        if (!NameArgumentsValid(name)) {
            pellum::LastError() = "Invalid parameter passed in call to CL_CertNameToStr";
            return false;
        }
        std::string text;
        if (!NameToText(name, '\n', '\n', &text))
            return false;
        std::string simple = ExtractSimpleName(text);
        // The length tells the whole value also when it holds a NUL.
        uint32_t needed = static_cast<uint32_t>(simple.size() + 1);
        if (!buf) {
            *ioLen = needed;
            return true;
        }
        if (*ioLen < needed) {
            *ioLen = needed;
            return false;
        }
        std::memcpy(buf, simple.c_str(), needed);
        *ioLen = needed;
        return true;
    } catch (...) {
        pellum::SetUnhandled("CL_CertGetSimpleNameString");
    }
    return false;
}

PELLUM_API bool CL_DecodeCertName(const _CPBLOB* name, std::vector<TOIDValuePair>* pairs)
{
    if (!NameArgumentsValid(name) || !pairs) {
        pellum::LastError() = "Invalid parameter passed in call to CL_DecodeCertName";
        return false;
    }
    try {
        pellum::LastError().clear();
        {
            std::unique_ptr<Name> decoded(new Name);
            if (BlobToType(name, decoded.get(), &pellum::LastError())) {
                if (decoded->choiceId == Name::rdnSequenceCid)
                    ConvertDistinguishedNameToOIDValuePairs(decoded->rdnSequence, pairs);
                return true;
            }
        }
        // Each element as its encoding: the directory names ([4]) are read, names of
        // every other kind passed over.
        std::unique_ptr<EncodedGeneralNames> names(new EncodedGeneralNames);
        if (!BlobToType(name, names.get(), &pellum::LastError()))
            return false;
        bool found = false;
        for (const AsnAny& element : *names) {
            std::string der;
            if (!pellum::AnyBytes(element, &der) || static_cast<unsigned char>(der[0]) != 0xA4)
                continue;
            GeneralName gn;
            if (!AnyToType(&element, &gn, &pellum::LastError()))
                return false;
            if (gn.choiceId != GeneralName::directoryNameCid || !gn.directoryName)
                continue;
            found = true;
            if (gn.directoryName->choiceId == Name::rdnSequenceCid)
                ConvertDistinguishedNameToOIDValuePairs(gn.directoryName->rdnSequence, pairs);
        }
        return found;
    } catch (const SnaccException& e) {
        pellum::LastError() = e.what();
    } catch (...) {
        pellum::SetUnhandled("CL_DecodeCertName");
    }
    return false;
}

}
