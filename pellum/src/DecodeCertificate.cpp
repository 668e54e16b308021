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

void Fill(const Certificate& cert, CL_CERTIFICATE* rec)
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

    EncodeName(tbs.subject, &rec->Subject);
    EncodeName(tbs.issuer, &rec->Issuer);
    ReadTime(tbs.validity.notBefore, &rec->tNotBefore);
    ReadTime(tbs.validity.notAfter, &rec->tNotAfter);
    pellum::CopyToBlob(tbs.serialNumber.c_str(), static_cast<size_t>(tbs.serialNumber.length()), &rec->SerialNumber);

    std::string keyAlg = pellum::OidText(tbs.subjectPublicKeyInfo.algorithm.algorithm);
    if (keyAlg == id_RSA_rsa) {
        ReadRsaKey(tbs.subjectPublicKeyInfo, rec);
    } else if (keyAlg == id_X957_dsa) {
        ReadDsaKey(tbs.subjectPublicKeyInfo, rec);
    } else {
        pellum::LastError() = "Unknown public key algorithm: " + keyAlg;
        throw pellum::Failure();
    }

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
        Fill(*cert, rec);
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
