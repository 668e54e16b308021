// Distinguished names as text and as OID and value pairs.

#include "Internal.h"

#include <sorvit/ber.h>

#include <CertExtensions.h>
#include <CertModule.h>

#include <cstring>
#include <memory>

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

// The value as text: PrintableString, IA5String or UTF8String (as UTF-8);
// false for any other string type. The value's tag picks the one type that
// can decode it, so no attempt ends in a runtime exception (they cost far
// more than the decoding, and every certificate of a token is labelled). The
// runtime takes PrintableString and IA5String in both forms, but never decodes
// a constructed UTF8String (0x2C) and leaks on the attempt, so it is not tried.
bool ValueText(const AsnAny& value, std::string* text)
{
    std::string der;
    if (!pellum::AnyBytes(value, &der))
        return false;
    _CPBLOB blob = {reinterpret_cast<unsigned char*>(&der[0]), static_cast<uint32_t>(der.size())};
    switch (static_cast<unsigned char>(der[0])) {
    case 0x13:
    case 0x33: {
        PrintableString s;
        if (!BlobToType(&blob, &s, nullptr))
            return false;
        *text = s;
        return true;
    }
    case 0x16:
    case 0x36: {
        IA5String s;
        if (!BlobToType(&blob, &s, nullptr))
            return false;
        *text = s;
        return true;
    }
    case 0x0C: {
        UTF8String s;
        if (!BlobToType(&blob, &s, nullptr))
            return false;
        s.getAsUTF8(*text);
        return true;
    }
    default:
        return false;
    }
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
            text += value;
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
    if (!text)
        return std::string();
    // Only a "CN=" that starts an attribute counts, not one inside a value.
    const char* start = nullptr;
    for (const char* p = text; (p = std::strstr(p, "CN=")) != nullptr; ++p) {
        if (p == text || p[-1] == '\n') {
            start = p + 3;
            break;
        }
    }
    // Without a common name the most specific attribute labels the certificate.
    if (!start) {
        start = std::strchr(text, '=');
        start = start ? start + 1 : text;
    }
    const char* end = std::strchr(start, '\n');
    return end ? std::string(start, end) : std::string(start);
}

namespace {

bool NameArgumentsValid(const _CPBLOB* name)
{
    return name && name->pbData;
}

}

extern "C" {

PELLUM_API bool CL_CertNameToStr(const _CPBLOB* name, char* buf, uint32_t* ioLen, char attrSep, char rdnSep)
{
    if (!NameArgumentsValid(name) || !ioLen) {
        pellum::LastError() = "Invalid parameter passed in call to CL_CertNameToStr";
        return false;
    }
    try {
        pellum::LastError().clear();
        std::unique_ptr<Name> decoded(new Name);
        if (!BlobToType(name, decoded.get(), &pellum::LastError()))
            throw pellum::Failure();
        const RDNSequence* rdns = decoded->choiceId == Name::rdnSequenceCid ? decoded->rdnSequence : nullptr;
        std::string text = ConvertDistinguishedNameToString(rdns, attrSep, rdnSep);
        if (text.size() >= UINT32_MAX)
            throw pellum::Failure();
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
    } catch (const SnaccException& e) {
        pellum::LastError() = e.what();
    } catch (...) {
        pellum::SetUnhandled("CL_CertNameToStr");
    }
    return false;
}

PELLUM_API bool CL_CertGetSimpleNameString(const CL_CERTIFICATE* cert, int flags, char* buf, uint32_t* ioLen)
{
    if (!cert || !ioLen) {
        pellum::LastError() = "Invalid parameter passed in call to CL_CertGetSimpleNameString";
        return false;
    }
    try {
        char work[2048];
        uint32_t workLen = sizeof(work);
        const _CPBLOB* name = (flags & CL_NAME_ISSUER_FLAG) ? &cert->Issuer : &cert->Subject;
        if (!CL_CertNameToStr(name, work, &workLen, '\n', '\n'))
            return false;
        std::string simple = ExtractSimpleName(work);
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
        std::unique_ptr<GeneralNames> names(new GeneralNames);
        if (!BlobToType(name, names.get(), &pellum::LastError()))
            return false;
        bool found = false;
        for (const GeneralName& gn : *names) {
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
