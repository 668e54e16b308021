// Single objects decoded and encoded by OID: key usage, subject key
// identifier, certificate policies, DSA signatures and PKCS#1 DigestInfo.

#include "Internal.h"

#include <sorvit/ber.h>
#include <sorvit/oids.h>

#include <CertExtensions.h>
#include <CertModule.h>
#include <CertOids.h>

#include <cstring>
#include <memory>

using namespace SNACC;

namespace {

// Half of the plain DSA signature form r || s.
constexpr uint32_t kDssHalf = 20;
constexpr uint32_t kReportedOutputSize = 16;  // what callers get in *size for the non-flag outputs

const char kSubjKeyIdOid[] = "2.5.29.14";
const char kDigestInfoOid[] = "1.2.840.113549.1.1.1";

// Runs a decoder or encoder body: the runtime's exceptions become their text,
// anything else the function's own "Unhandled exception" text.
template <typename F>
bool Guarded(const char* function, F body)
{
    try {
        return body();
    } catch (const SnaccException& e) {
        pellum::LastError() = e.what();
    } catch (...) {
        pellum::LastError() = std::string("Unhandled exception occurred in ") + function;
    }
    return false;
}

bool DecodeKeyUsage(const _CPBLOB* input, uint32_t* flags)
{
    if (!input || !flags)
        return false;
    *flags = 0;
    return Guarded("DecodeKeyUsage", [&] {
        KeyUsage usage;
        if (!BlobToType(input, &usage, &pellum::LastError()))
            return false;
        uint32_t word = 0;
        for (size_t i = 0; i <= 8 && i < usage.BitLen(); ++i) {
            if (usage.GetBit(i))
                word |= 1u << i;
        }
        *flags = word;
        return true;
    });
}

bool DecodeDssSignature(const _CPBLOB* input, _CPBLOB* output)
{
    if (!input || !output)
        return false;
    output->pbData = nullptr;
    output->cbData = 0;
    return Guarded("DecodeDssSignature", [&] {
        Dss_Sig_Value sig;
        if (!BlobToType(input, &sig, &pellum::LastError()))
            return false;
        uint32_t rLen = 0, sLen = 0;
        std::unique_ptr<unsigned char[]> r(DecanonizeInteger(sig.r.c_str(), static_cast<uint32_t>(sig.r.length()), rLen));
        std::unique_ptr<unsigned char[]> s(DecanonizeInteger(sig.s.c_str(), static_cast<uint32_t>(sig.s.length()), sLen));
        // The plain form has 20 bytes for each half; a longer one would overrun it.
        if (rLen > kDssHalf || sLen > kDssHalf) {
            pellum::LastError() = "DSA signature value longer than 20 bytes";
            return false;
        }
        unsigned char* plain = new unsigned char[2 * kDssHalf]();
        if (rLen)
            std::memcpy(plain + kDssHalf - rLen, r.get(), rLen);
        if (sLen)
            std::memcpy(plain + 2 * kDssHalf - sLen, s.get(), sLen);
        output->pbData = plain;
        output->cbData = 2 * kDssHalf;
        return true;
    });
}

bool DecodeSubjKeyID(const _CPBLOB* input, _CPBLOB* output)
{
    return Guarded("DecodeSubjKeyID", [&] {
        AsnOcts id;
        if (!BlobToType(input, &id, &pellum::LastError())) {
            pellum::LastError() = "Unable to decode SubjKeyID: " + pellum::LastError();
            return false;
        }
        if (!id.c_ustr())
            return false;
        pellum::CopyToBlob(id.c_ustr(), id.Len(), output);
        return true;
    });
}

// True when the encoding holds, at any depth, a constructed UTF8String,
// BMPString or UniversalString, or cannot be read. The runtime never decodes
// those and leaks what it read on the attempt. One pass over the headers:
// constructed contents are entered, primitive ones stepped over.
bool HoldsConstructedWideString(const std::string& der)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    const size_t end = der.size();
    size_t pos = 0;
    while (pos < end) {
        const unsigned char tag = p[pos++];
        if (tag == 0x2C || tag == 0x3E || tag == 0x3C)
            return true;
        if ((tag & 0x1F) == 0x1F) {
            while (pos < end && (p[pos] & 0x80))
                ++pos;
            ++pos;
        }
        if (pos >= end)
            return true;
        size_t len = p[pos++];
        if (len & 0x80) {
            const size_t octets = len & 0x7F;
            if (octets > 4 || octets > end - pos)
                return true;
            len = 0;
            for (size_t i = 0; i < octets; ++i)
                len = (len << 8) | p[pos++];
        }
        if (tag & 0x20)
            continue;
        if (len > end - pos)
            return true;
        pos += len;
    }
    return false;
}

// Notice texts as valid UTF-8. An IA5String or VisibleString holds ASCII, but
// UTF-8 is what is found beyond it; other bytes become U+FFFD. The runtime holds
// a BMPString as UTF-16 code units and a UTF8String as code points, and its own
// conversion writes surrogates and code points beyond U+10FFFF as they are.
std::string NarrowNoticeText(const std::string& text)
{
    return pellum::ValidUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string BmpNoticeText(const std::wstring& units)
{
    std::string be;
    for (wchar_t unit : units) {
        be += static_cast<char>((static_cast<uint32_t>(unit) >> 8) & 0xFF);
        be += static_cast<char>(static_cast<uint32_t>(unit) & 0xFF);
    }
    return pellum::Utf16BeToUtf8(reinterpret_cast<const unsigned char*>(be.data()), be.size());
}

std::string Utf8NoticeText(const std::wstring& codePoints)
{
    std::string text;
    for (wchar_t cp : codePoints)
        pellum::AppendUtf8(static_cast<uint32_t>(cp), &text);
    return text;
}

void ReadQualifier(const PolicyQualifierInfo& info, TPolicyInformation* out)
{
    std::string der;
    if (pellum::AnyBytes(info.qualifier, &der) && HoldsConstructedWideString(der)) {
        pellum::LastError() = "Unsupported constructed string in a policy qualifier";
        return;
    }
    Qualifier q;
    if (!AnyToType(&info.qualifier, &q, &pellum::LastError()))
        return;
    if (q.choiceId == Qualifier::cPSuriCid && q.cPSuri) {
        out->sCPSURI = *q.cPSuri;
    } else if (q.choiceId == Qualifier::userNoticeCid && q.userNotice && q.userNotice->explicitText) {
        const DisplayText& t = *q.userNotice->explicitText;
        switch (t.choiceId) {
        case DisplayText::ia5StringCid:
            if (t.ia5String)
                out->sUserNotice = NarrowNoticeText(*t.ia5String);
            break;
        case DisplayText::visibleStringCid:
            if (t.visibleString)
                out->sUserNotice = NarrowNoticeText(*t.visibleString);
            break;
        case DisplayText::bmpStringCid:
            if (t.bmpString)
                out->sUserNotice = BmpNoticeText(*t.bmpString);
            break;
        case DisplayText::utf8StringCid:
            if (t.utf8String)
                out->sUserNotice = Utf8NoticeText(*t.utf8String);
            break;
        }
    }
}

bool DecodeCertificatePolicies(const _CPBLOB* input, std::vector<TPolicyInformation>* policies)
{
    return Guarded("DecodeCertificatePolicies", [&] {
        CertificatePolicies list;
        if (!BlobToType(input, &list, &pellum::LastError())) {
            pellum::LastError() = "Unable to decode CertificatePolicies: " + pellum::LastError();
            return false;
        }
        for (const PolicyInformation& info : list) {
            TPolicyInformation record;
            record.sPolicyOID = pellum::OidText(info.policyIdentifier);
            if (info.policyQualifiers) {
                for (const PolicyQualifierInfo& q : *info.policyQualifiers)
                    ReadQualifier(q, &record);
            }
            policies->push_back(record);
        }
        return true;
    });
}

// Takes the encoding out of buf into a new output buffer.
bool EncodedToBlob(const AsnType& value, _CPBLOB* output)
{
    AsnBuf buf;
    uint64_t len = ExtractAnyBuf(&buf, &value, &pellum::LastError());
    if (len == 0 || len > UINT32_MAX)
        return false;
    unsigned char* data = new unsigned char[len];
    buf.GetUSeg(data, static_cast<long>(len));
    output->pbData = data;
    output->cbData = static_cast<uint32_t>(len);
    return true;
}

bool EncodeDssSignature(const _CPBLOB* input, _CPBLOB* output)
{
    if (!input || !output)
        return false;
    // Exactly the plain form: fewer bytes would be read past the caller's buffer.
    if (!input->pbData || input->cbData != 2 * kDssHalf) {
        pellum::LastError() = "EncodeDssSignature needs a plain signature of 40 bytes";
        return false;
    }
    return Guarded("EncodeDssSignature", [&] {
        Dss_Sig_Value sig;
        uint32_t len = 0;
        std::unique_ptr<unsigned char[]> r(CanonizeInteger(input->pbData, kDssHalf, len));
        sig.r.Set(r.get(), len, true);
        std::unique_ptr<unsigned char[]> s(CanonizeInteger(input->pbData + kDssHalf, kDssHalf, len));
        sig.s.Set(s.get(), len, true);
        return EncodedToBlob(sig, output);
    });
}

bool EncodeDigestInfo(const CL_DIGEST_INFO* info, _CPBLOB* output)
{
    if (!info || info->sAlgorithmOID.empty() || !info->Digest.pbData || !output)
        return false;
    return Guarded("EncodeDigestInfo", [&] {
        DigestInfo di;
        di.digestAlgorithm.algorithm = AsnOid(info->sAlgorithmOID.c_str());
        di.digest.Set(reinterpret_cast<const char*>(info->Digest.pbData), info->Digest.cbData);
        return EncodedToBlob(di, output);
    });
}

}

extern "C" {

PELLUM_API bool CL_DecodeObject(const char* oid, const _CPBLOB* input, void* output, uint32_t* size)
{
    if (!oid || !input || !output) {
        pellum::LastError() = "Invalid parameter passed in call to CL_DecodeObject";
        return false;
    }
    try {
        bool ok = false;
        uint32_t written = 0;
        if (std::strcmp(oid, id_ce_keyUsage) == 0) {
            ok = DecodeKeyUsage(input, static_cast<uint32_t*>(output));
            written = sizeof(uint32_t);
        } else if (std::strcmp(oid, id_X957_dsa) == 0) {
            ok = DecodeDssSignature(input, static_cast<_CPBLOB*>(output));
            written = kReportedOutputSize;
        } else if (std::strcmp(oid, kSubjKeyIdOid) == 0) {
            ok = DecodeSubjKeyID(input, static_cast<_CPBLOB*>(output));
            written = kReportedOutputSize;
        } else if (std::strcmp(oid, SNACC::id_ce_certificatePolicies) == 0) {
            ok = DecodeCertificatePolicies(input, static_cast<std::vector<TPolicyInformation>*>(output));
            written = kReportedOutputSize;
        }
        if (ok && size)
            *size = written;
        return ok;
    } catch (...) {
        // The decoders have already set their text.
    }
    return false;
}

PELLUM_API bool CL_EncodeObject(const char* oid, const void* input, _CPBLOB* output)
{
    if (!oid || !input || !output) {
        pellum::LastError() = "Invalid parameter passed in call to CL_EncodeObject";
        return false;
    }
    try {
        if (std::strcmp(oid, id_X957_dsa) == 0)
            return EncodeDssSignature(static_cast<const _CPBLOB*>(input), output);
        if (std::strcmp(oid, kDigestInfoOid) == 0)
            return EncodeDigestInfo(static_cast<const CL_DIGEST_INFO*>(input), output);
        return false;
    } catch (...) {
        pellum::SetUnhandled("CL_EncodeObject");
    }
    return false;
}

}
