// CPKCS11Token::InstallCertificate: a DER certificate goes onto the token beside
// the key pair whose public key it carries, with that key's CKA_ID and label.

#include <cstring>
#include <memory>

#include <pellum/pellum.h>

#include "P11Calls.h"
#include "PKCS11Token.h"

namespace {

struct RecordDeleter {
    void operator()(CL_CERTIFICATE* p) const { CL_FreeCertificate(p); }
};
typedef std::unique_ptr<CL_CERTIFICATE, RecordDeleter> TRecordPtr;

// How an installation ended: a layer code (kind 0) or a module's return value (kind 1).
struct TOutcome {
    unsigned long code;
    uint32_t kind;
};

bool SameBlob(const _CPBLOB& a, const _CPBLOB& b)
{
    return a.cbData == b.cbData && (a.cbData == 0 || memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

bool SamePublicKey(const CL_CERTIFICATE* a, const CL_CERTIFICATE* b)
{
    if (a->pRSAKey && b->pRSAKey)
        return SameBlob(a->pRSAKey->Modulus, b->pRSAKey->Modulus) &&
               SameBlob(a->pRSAKey->PublicExponent, b->pRSAKey->PublicExponent);
    if (a->pDSAKey && b->pDSAKey)
        return SameBlob(a->pDSAKey->P, b->pDSAKey->P) && SameBlob(a->pDSAKey->Q, b->pDSAKey->Q) &&
               SameBlob(a->pDSAKey->G, b->pDSAKey->G) && SameBlob(a->pDSAKey->Y, b->pDSAKey->Y);
    return false;
}

CK_ATTRIBUTE Attr(CK_ATTRIBUTE_TYPE type, const _CPBLOB& blob)
{
    return CK_ATTRIBUTE{type, blob.pbData, blob.cbData};
}

} // namespace

bool CPKCS11Token::InstallCertificate(unsigned char* pbCert, uint32_t cbCert, bool bReplace, std::string* pKeyLabel)
{
    if (!m_hSession) {
        SetError("No opened session", 0, TSY_KIND_PLAIN);
        return false;
    }
    CK_FUNCTION_LIST_PTR fl = m_pFunctionList;
    CK_SESSION_HANDLE s = m_hSession;
    auto fail = [this](TOutcome o) {
        SetError("Unable to install certificate", o.code, o.kind);
        return false;
    };

    CL_CERTIFICATE* pRecord = nullptr;
    _CPBLOB certBlob = {pbCert, cbCert};
    if (!pbCert || !cbCert || !CL_DecodeCertificate(&certBlob, &pRecord) || !pRecord)
        return fail({TSY_CERT_DECODE_FAILED, TSY_KIND_PLAIN});
    TRecordPtr record(pRecord);

    // The public key on the token with the certificate's key material.
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE keyType = record->pRSAKey ? CKK_RSA : CKK_DSA;
    std::vector<CK_ATTRIBUTE> keyTemplate;
    if (record->pRSAKey) {
        keyTemplate.push_back(Attr(CKA_MODULUS, record->pRSAKey->Modulus));
        keyTemplate.push_back(Attr(CKA_PUBLIC_EXPONENT, record->pRSAKey->PublicExponent));
    } else if (record->pDSAKey) {
        keyTemplate.push_back(Attr(CKA_PRIME, record->pDSAKey->P));
        keyTemplate.push_back(Attr(CKA_SUBPRIME, record->pDSAKey->Q));
        keyTemplate.push_back(Attr(CKA_BASE, record->pDSAKey->G));
        keyTemplate.push_back(Attr(CKA_VALUE, record->pDSAKey->Y));
    } else {
        return fail({TSY_CERT_DECODE_FAILED, TSY_KIND_PLAIN});
    }
    keyTemplate.push_back({CKA_CLASS, &publicClass, sizeof publicClass});
    keyTemplate.push_back({CKA_KEY_TYPE, &keyType, sizeof keyType});
    std::vector<CK_OBJECT_HANDLE> keys;
    CK_RV rv = tsy::FindAllObjects(fl, s, keyTemplate.data(), CK_ULONG(keyTemplate.size()), keys, 1);
    if (rv != CKR_OK)
        return fail({rv, TSY_KIND_PKCS11});
    if (keys.empty())
        return fail({TSY_KEYSET_NOT_EXISTS, TSY_KIND_PLAIN});

    static const CK_ATTRIBUTE_TYPE idAndLabel[] = {CKA_ID, CKA_LABEL};
    std::vector<tsy::TBytes> values;
    tsy::TAttributeResult read = tsy::ReadAttributeValues(fl, s, keys.front(), idAndLabel, 2, values);
    if (!read.ok())
        return fail({read.rv, TSY_KIND_PKCS11});
    tsy::TBytes& id = values[0];
    tsy::TBytes& label = values[1];
    if (pKeyLabel)
        pKeyLabel->assign(label.begin(), label.end());

    // Certificates already there for this key pair. An empty CKA_ID in a search
    // matches every certificate without an ID, so then only those that carry this
    // very public key count.
    CK_OBJECT_CLASS certClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE certType = CKC_X_509;
    CK_ATTRIBUTE existingTemplate[] = {{CKA_ID, id.empty() ? nullptr : id.data(), CK_ULONG(id.size())},
                                       {CKA_CLASS, &certClass, sizeof certClass},
                                       {CKA_CERTIFICATE_TYPE, &certType, sizeof certType}};
    std::vector<CK_OBJECT_HANDLE> existing;
    rv = tsy::FindAllObjects(fl, s, existingTemplate, 3, existing);
    if (rv != CKR_OK)
        return fail({rv, TSY_KIND_PKCS11});
    std::vector<CK_OBJECT_HANDLE> matching;
    for (CK_OBJECT_HANDLE h : existing) {
        if (!id.empty()) {
            matching.push_back(h);
            continue;
        }
        // The search may also have returned certificates that do have an ID.
        tsy::TBytes otherId, value;
        if (!tsy::ReadAttributeValue(fl, s, h, CKA_ID, otherId).ok() || !otherId.empty())
            continue;
        if (!tsy::ReadAttributeValue(fl, s, h, CKA_VALUE, value).ok() || value.empty() || value.size() > UINT32_MAX)
            continue;
        _CPBLOB otherBlob = {value.data(), uint32_t(value.size())};
        CL_CERTIFICATE* pOther = nullptr;
        if (!CL_DecodeCertificate(&otherBlob, &pOther) || !pOther)
            continue;
        TRecordPtr other(pOther);
        if (SamePublicKey(record.get(), other.get()))
            matching.push_back(h);
    }
    if (!matching.empty() && !bReplace)
        return fail({TSY_CERT_ALREADY_EXISTS, TSY_KIND_PLAIN});

    CK_BBOOL bTrue = CK_TRUE;
    CK_ATTRIBUTE createTemplate[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
        {CKA_TOKEN, &bTrue, sizeof bTrue},
        {CKA_LABEL, label.empty() ? nullptr : label.data(), CK_ULONG(label.size())},
        Attr(CKA_SUBJECT, record->Subject),
        {CKA_ID, id.empty() ? nullptr : id.data(), CK_ULONG(id.size())},
        {CKA_VALUE, pbCert, cbCert},
    };
    // The new certificate is stored before the old one goes: a creation that fails leaves
    // the key pair with the certificate it had.
    CK_OBJECT_HANDLE hCertificate = 0;
    rv = fl->C_CreateObject(s, createTemplate, sizeof createTemplate / sizeof createTemplate[0], &hCertificate);
    if (rv != CKR_OK)
        return fail({rv, TSY_KIND_PKCS11});
    for (size_t i = 0; i < matching.size(); ++i) {
        rv = fl->C_DestroyObject(s, matching[i]);
        if (rv == CKR_OK)
            continue;
        // When no old certificate went, the new one goes again and the token is as it was;
        // after some did, the new one stays, so that the pair keeps a certificate.
        if (i == 0)
            fl->C_DestroyObject(s, hCertificate);
        return fail({rv, TSY_KIND_PKCS11});
    }
    return true;
}
