// CL_DecodeCertificate: a DER certificate into a CL_CERTIFICATE record.

#include "Internal.h"

#include <sorvit/asntime.h>
#include <sorvit/ber.h>
#include <sorvit/oids.h>

#include <CertModule.h>

#include <cstring>
#include <memory>

using namespace SNACC;

namespace {

// A magnitude copy of an INTEGER's content octets.
void DecanonizedCopy(const AsnInt& value, _CPBLOB* out)
{
    uint32_t len = 0;
    out->pbData = DecanonizeInteger(value.c_str(), static_cast<uint32_t>(value.length()), len);
    out->cbData = len;
}

// DER of a Name into a buffer one byte longer than the value.
void EncodeName(const Name& name, _CPBLOB* out)
{
    AsnBuf buf;
    uint64_t len = ExtractAnyBuf(&buf, &name, &pellum::LastError());
    if (len == 0 || len > UINT32_MAX)
        throw pellum::Failure();
    unsigned char* data = new unsigned char[len + 1]();
    buf.GetUSeg(data, static_cast<long>(len));
    out->pbData = data;
    out->cbData = static_cast<uint32_t>(len);
}

// One BER element of a certificate that the runtime has decoded.
struct Element {
    const unsigned char* begin;
    const unsigned char* content;
    const unsigned char* contentEnd;
    const unsigned char* end;
    unsigned char tag;
};

// The element at p, which must end by end; an indefinite length is followed
// through its contents to the end-of-contents octets.
bool ReadElement(const unsigned char* p, const unsigned char* end, Element* e, unsigned depth = 0)
{
    if (depth > 64 || end - p < 2)
        return false;
    e->begin = p;
    e->tag = *p++;
    if ((e->tag & 0x1F) == 0x1F) {
        for (int octets = 0; p < end && (*p & 0x80); ++p)
            if (++octets > 4)
                return false;
        if (end - p < 2)
            return false;
        ++p;
    }
    size_t len = *p++;
    if (len == 0x80) {
        if (!(e->tag & 0x20))
            return false;
        e->content = p;
        while (end - p < 2 || p[0] != 0 || p[1] != 0) {
            Element child;
            if (!ReadElement(p, end, &child, depth + 1))
                return false;
            p = child.end;
        }
        e->contentEnd = p;
        e->end = p + 2;
        return true;
    }
    if (len & 0x80) {
        const size_t octets = len & 0x7F;
        if (octets > 4 || static_cast<size_t>(end - p) < octets)
            return false;
        len = 0;
        for (size_t i = 0; i < octets; ++i)
            len = (len << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < len)
        return false;
    e->content = p;
    e->contentEnd = e->end = p + len;
    return true;
}

// The issuer and subject as the certificate holds them: a re-encoding would put
// the members of a multi-valued RDN into DER order, and the bytes would no longer
// be the certificate's.
bool StoredNames(const _CPBLOB& der, Element* issuer, Element* subject)
{
    Element cert, tbs;
    if (!ReadElement(der.pbData, der.pbData + der.cbData, &cert) || !ReadElement(cert.content, cert.contentEnd, &tbs))
        return false;
    // [0] version (optional), serial number, then signature, issuer, validity, subject.
    Element part;
    if (!ReadElement(tbs.content, tbs.contentEnd, &part) ||
        (part.tag == 0xA0 && !ReadElement(part.end, tbs.contentEnd, &part)))
        return false;
    for (int i = 1; i <= 4; ++i) {
        if (!ReadElement(part.end, tbs.contentEnd, &part))
            return false;
        if (i == 2)
            *issuer = part;
    }
    *subject = part;
    return true;
}

void CopyName(const Element& name, _CPBLOB* out)
{
    pellum::CopyToBlob(name.begin, static_cast<size_t>(name.end - name.begin), out, 1);
}

void ReadTime(const Time& t, time_t* out)
{
    // A text the conversion cannot read leaves the field 0.
    if (t.choiceId == Time::utcTimeCid && t.utcTime)
        UTCTimeToTime_t(*t.utcTime, out);
    else if (t.choiceId == Time::generalizedTimeCid && t.generalizedTime)
        GeneralizedTimeToTime_t(*t.generalizedTime, out);
}

_CPBLOB BitsBlob(const AsnBits& bits)
{
    _CPBLOB blob;
    blob.pbData = const_cast<unsigned char*>(bits.data());
    blob.cbData = static_cast<uint32_t>(bits.length());
    return blob;
}

void ReadRsaKey(const SubjectPublicKeyInfo& spki, CL_CERTIFICATE* rec)
{
    RSAPublicKey key;
    _CPBLOB bits = BitsBlob(spki.subjectPublicKey);
    if (!BlobToType(&bits, &key, &pellum::LastError()))
        throw pellum::Failure();
    rec->pRSAKey = new CL_RSA_PUBLIC_KEY();
    DecanonizedCopy(key.modulus, &rec->pRSAKey->Modulus);
    DecanonizedCopy(key.publicExponent, &rec->pRSAKey->PublicExponent);
}

void ReadDsaKey(const SubjectPublicKeyInfo& spki, CL_CERTIFICATE* rec)
{
    if (!spki.algorithm.parameters) {
        pellum::LastError() = "Missing DSA public key parameters";
        throw pellum::Failure();
    }
    AsnInt y;
    _CPBLOB bits = BitsBlob(spki.subjectPublicKey);
    if (!BlobToType(&bits, &y, &pellum::LastError()))
        throw pellum::Failure();
    Dss_Parms parms;
    if (!AnyToType(spki.algorithm.parameters, &parms, &pellum::LastError()))
        throw pellum::Failure();
    rec->pDSAKey = new CL_DSA_PUBLIC_KEY();
    DecanonizedCopy(y, &rec->pDSAKey->Y);
    DecanonizedCopy(parms.p, &rec->pDSAKey->P);
    DecanonizedCopy(parms.q, &rec->pDSAKey->Q);
    DecanonizedCopy(parms.g, &rec->pDSAKey->G);
}

// id-ecPublicKey (RFC 5480).
const char kEcPublicKey[] = "1.2.840.10045.2.1";

// The curve an EC key's parameters name; empty for implicit or spelt-out parameters,
// which are no reason to refuse the certificate.
std::string NamedCurve(const AlgorithmIdentifier& alg)
{
    if (!alg.parameters)
        return std::string();
    AsnOid curve;
    std::string ignored;
    return AnyToType(alg.parameters, &curve, &ignored) ? pellum::OidText(curve) : std::string();
}

void ReadExtensions(const Extensions& list, CL_CERTIFICATE* rec)
{
    rec->cExtension = 0;
    rec->rgExtension = new CL_EXTENSION[list.size()]();
    for (const Extension& ext : list) {
        const unsigned char* value = ext.extnValue.c_ustr();
        if (!value)
            continue;
        CL_EXTENSION& out = rec->rgExtension[rec->cExtension];
        out.sOID = pellum::OidText(ext.extnId);
        out.fCritical = ext.critical ? static_cast<bool>(*ext.critical) : false;
        pellum::CopyToBlob(value, ext.extnValue.Len(), &out.Value);
        ++rec->cExtension;
    }
}

void Fill(const _CPBLOB& der, const Certificate& cert, CL_CERTIFICATE* rec)
{
    const CertificateToBeSigned& tbs = cert.toBeSigned;
    rec->wVersion = 1;
    if (tbs.version) {
        // A value that does not fit the record's 16-bit field is refused.
        AsnIntType v = *tbs.version;
        if (v < 0 || v >= 0xFFFF) {
            pellum::LastError() = "Unsupported certificate version";
            throw pellum::Failure();
        }
        rec->wVersion = static_cast<uint16_t>(v + 1);
    }

    // Zeroed: GCC 12 and 14 cannot see that StoredNames sets both whenever it answers true.
    Element issuer{}, subject{};
    if (StoredNames(der, &issuer, &subject)) {
        CopyName(subject, &rec->Subject);
        CopyName(issuer, &rec->Issuer);
    } else {
        // What the runtime decoded always walks; the encoding is what the names were before.
        EncodeName(tbs.subject, &rec->Subject);
        EncodeName(tbs.issuer, &rec->Issuer);
    }
    ReadTime(tbs.validity.notBefore, &rec->tNotBefore);
    ReadTime(tbs.validity.notAfter, &rec->tNotAfter);
    pellum::CopyToBlob(tbs.serialNumber.c_str(), static_cast<size_t>(tbs.serialNumber.length()), &rec->SerialNumber);

    const AlgorithmIdentifier& keyAlg = tbs.subjectPublicKeyInfo.algorithm;
    rec->sKeyAlgorithm = pellum::OidText(keyAlg.algorithm);
    if (rec->sKeyAlgorithm == id_RSA_rsa)
        ReadRsaKey(tbs.subjectPublicKeyInfo, rec);
    else if (rec->sKeyAlgorithm == id_X957_dsa)
        ReadDsaKey(tbs.subjectPublicKeyInfo, rec);
    else if (rec->sKeyAlgorithm == kEcPublicKey)
        rec->sKeyCurve = NamedCurve(keyAlg);
    // Any other key: the certificate reads as any other; its key is named by its OID.

    if (tbs.extensions)
        ReadExtensions(*tbs.extensions, rec);
}

}

extern "C" PELLUM_API bool CL_DecodeCertificate(const _CPBLOB* blob, CL_CERTIFICATE** out)
{
    if (!blob || !blob->pbData || !out) {
        pellum::LastError() = "Invalid parameter passed in call to CL_DecodeCertificate";
        return false;
    }
    CL_CERTIFICATE* rec = nullptr;
    try {
        pellum::LastError().clear();
        *out = nullptr;
        // A fresh object for every decode: the runtime appends to the lists of
        // an object that was decoded before.
        std::unique_ptr<Certificate> cert(new Certificate);
        if (!BlobToType(blob, cert.get(), &pellum::LastError()))
            throw pellum::Failure();
        rec = new CL_CERTIFICATE();
        Fill(*blob, *cert, rec);
        *out = rec;
        return true;
    } catch (const SnaccException& e) {
        pellum::LastError() = e.what();
    } catch (...) {
        pellum::SetUnhandled("CL_DecodeCertificate");
    }
    CL_FreeCertificate(rec);
    return false;
}
