// CASN1Name::EncodeAndSign: the PKCS#10 request built from the subject name and a key
// pair on a token, digested and signed on that token.
#include "ASN1Name.h"

#include <cassert>
#include <memory>
#include <string>

#include <QCoreApplication>

#include <CertModule.h>
#include <rfc2314_pkcs10.h>
#include <sorvit/ber.h>
#include <sorvit/oids.h>

#include "EnrolmentError.h"
#include "KeyIdentifier.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"

namespace {

// DER of obj in a new array; a failure of the runtime is an error of the request.
TByteArrayAutoPtr EncodeDer(const SNACC::AsnType& obj)
{
    SNACC::AsnBuf buf;
    std::string err;
    const uint64_t len = ExtractAnyBuf(&buf, &obj, &err);
    if (len == 0)
        throw CEnrolmentError(
            CASN1Name::tr("The certificate request cannot be encoded: %1").arg(QString::fromStdString(err)));
    TByteArrayAutoPtr out(new unsigned char[len], size_t(len));
    buf.GetUSeg(out.get(), long(len));
    return out;
}

// The subject as it goes into the request. Values without a string type or text
// are left out, and so is a relative distinguished name left with none.
void FillSubject(const CASN1Name& name, SNACC::Name& subject)
{
    subject.choiceId = SNACC::Name::rdnSequenceCid;
    subject.rdnSequence = new SNACC::RDNSequence;
    for (int b = 0; b < name.count(); ++b) {
        const CASN1AVBlock* block = name.at(b);
        // A relative distinguished name with nothing in it (31 00) is left out.
        SNACC::RelativeDistinguishedName* rdn = nullptr;
        for (int v = 0; v < block->count(); ++v) {
            const CASN1AttributeValue* value = block->at(v);
            if (!value->IsEncoded())
                continue;
            if (!value->CheckValue(value->GetValue()))
                throw CEnrolmentError(
                    CASN1Name::tr("The value of the attribute %1 cannot be written in its string type.")
                        .arg(value->GetOID()));
            if (!rdn)
                rdn = &*subject.rdnSequence->append();
            SNACC::AttributeTypeAndDistinguishedValue& atv = *rdn->append();
            try {
                atv.type = SNACC::AsnOid(value->GetOID().toLatin1().constData());
            } catch (const SNACC::SnaccException& e) {
                throw CEnrolmentError(CASN1Name::tr("The certificate request cannot be encoded: %1")
                                          .arg(QString::fromUtf8(e.what())));
            }
            atv.value.value = value->MakeASN1String();
        }
    }
}

} // namespace

void CASN1Name::CheckSubject() const
{
    SNACC::Name subject;
    FillSubject(*this, subject);
    EncodeDer(subject);
}

bool CASN1Name::EncodeAndSign(CPKCS11AsymmetricKey& privateKey, CPKCS11AsymmetricKey& publicKey,
                              TByteArrayAutoPtr& request) const
{
    CPKCS11Token* pToken = dynamic_cast<CPKCS11Token*>(privateKey.GetParent());
    assert(pToken);
    // Keys paired by a shared CKA_ID may be of different kinds; a DSA encoding of an
    // RSA key (or the reverse) is never what the user chose.
    const unsigned long keyType = RsaOrDsaKeyType(privateKey);
    if (keyType != KEY_TYPE_RSA && keyType != KEY_TYPE_DSA)
        throw CEnrolmentError(CASN1Name::tr("Certificate requests can be made only for RSA and DSA keys."));
    if (RsaOrDsaKeyType(publicKey) != keyType)
        throw CEnrolmentError(CASN1Name::tr("The public key of the pair is not of the same kind as its private key."));

    SNACC::CertificationRequest req;
    SNACC::CertificationRequestInfo& info = req.certificationRequestInfo;
    info.version = SNACC::AsnInt(0);
    FillSubject(*this, info.subject);

    if (!FillSubjectPublicKeyInfo(publicKey, info.subjectPublicKeyInfo))
        return false;

    // No parameters: the encoder writes NULL for both algorithms.
    req.signatureAlgorithm.algorithm = SNACC::AsnOid(keyType == KEY_TYPE_RSA ? id_RSA_sha1rsa : id_X957_dsaWithSHA1);

    TByteArrayAutoPtr toBeSigned = EncodeDer(info);
    TByteArrayAutoPtr digest;
    if (!pToken->Digest(CKM_SHA_1, toBeSigned.get(), uint32_t(toBeSigned.size()), digest))
        return false;
    TByteArrayAutoPtr signature;
    if (!privateKey.SignHash(digest.get(), DWORD(digest.size()), id_OIWSEC_sha1, signature))
        return false;
    req.signature.Set(signature.get(), signature.size() * 8);

    request = EncodeDer(req);
    return true;
}
