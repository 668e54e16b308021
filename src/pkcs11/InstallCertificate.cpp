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

// Two unsigned big-endian integers, whatever leading zero bytes either carries.
bool SameInteger(const unsigned char* a, size_t na, const unsigned char* b, size_t nb)
{
    for (; na && *a == 0; ++a, --na) {
    }
    for (; nb && *b == 0; ++b, --nb) {
    }
    return na == nb && (na == 0 || memcmp(a, b, na) == 0);
}

bool SameBlob(const _CPBLOB& a, const _CPBLOB& b)
{
    return SameInteger(a.pbData, a.cbData, b.pbData, b.cbData);
}

// The public key among the token's keys of that class and type whose integers (the
// first nIntegers attributes of keyTemplate) equal the certificate's as numbers: a token
// may keep a modulus with a leading zero, which a search by the bytes does not find.
CK_RV FindKeyByIntegers(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE s, std::vector<CK_ATTRIBUTE>& keyTemplate,
                        size_t nIntegers, std::vector<CK_OBJECT_HANDLE>& keys)
{
    std::vector<CK_OBJECT_HANDLE> candidates;
    CK_RV rv = tsy::FindAllObjects(fl, s, keyTemplate.data() + nIntegers, CK_ULONG(keyTemplate.size() - nIntegers),
                                   candidates);
    if (rv != CKR_OK)
        return rv;
    std::vector<CK_ATTRIBUTE_TYPE> types;
    for (size_t i = 0; i < nIntegers; ++i)
        types.push_back(keyTemplate[i].type);
    for (CK_OBJECT_HANDLE h : candidates) {
        std::vector<tsy::TBytes> values;
        if (!tsy::ReadAttributeValues(fl, s, h, types.data(), types.size(), values).ok())
            continue;
        bool bSame = true;
        for (size_t i = 0; i < nIntegers && bSame; ++i)
            bSame = SameInteger(values[i].data(), values[i].size(),
                                static_cast<const unsigned char*>(keyTemplate[i].pValue), keyTemplate[i].ulValueLen);
        if (bSame) {
            keys.push_back(h);
            break;
        }
    }
    return CKR_OK;
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

// The DER INTEGER (tag, length, content) of a serial number's content octets.
tsy::TBytes DerInteger(const _CPBLOB& content)
{
    tsy::TBytes der{0x02};
    const size_t n = content.cbData;
    if (n < 0x80) {
        der.push_back(static_cast<unsigned char>(n));
    } else {
        tsy::TBytes length;
        for (size_t rest = n; rest; rest >>= 8)
            length.insert(length.begin(), static_cast<unsigned char>(rest & 0xFF));
        der.push_back(static_cast<unsigned char>(0x80 | length.size()));
        der.insert(der.end(), length.begin(), length.end());
    }
    der.insert(der.end(), content.pbData, content.pbData + n);
    return der;
}

// A card with room for one certificate per key pair refuses a second one in these ways.
bool RefusedForRoom(CK_RV rv)
{
    return rv == CKR_DEVICE_MEMORY || rv == CKR_TEMPLATE_INCONSISTENT || rv == CKR_ATTRIBUTE_VALUE_INVALID;
}

// What an old certificate is put back from when its replacement cannot be stored.
struct TSavedCertificate {
    std::vector<CK_ATTRIBUTE_TYPE> types;
    std::vector<tsy::TBytes> values;
};

// Reads every attribute of the certificate that the creation template sets; those the module
// does not have are left out. False when the value itself cannot be read.
bool SaveCertificate(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE h, const CK_ATTRIBUTE* create,
                     CK_ULONG nCreate, TSavedCertificate& saved)
{
    for (CK_ULONG i = 0; i < nCreate; ++i) {
        tsy::TBytes value;
        if (!tsy::ReadAttributeValue(fl, s, h, create[i].type, value).ok()) {
            if (create[i].type == CKA_VALUE)
                return false;
            continue;
        }
        saved.types.push_back(create[i].type);
        saved.values.push_back(value);
    }
    return true;
}

CK_RV RestoreCertificate(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE s, TSavedCertificate& saved)
{
    std::vector<CK_ATTRIBUTE> attributes;
    for (size_t i = 0; i < saved.types.size(); ++i)
        attributes.push_back({saved.types[i], saved.values[i].empty() ? nullptr : saved.values[i].data(),
                              CK_ULONG(saved.values[i].size())});
    CK_OBJECT_HANDLE h = 0;
    return fl->C_CreateObject(s, attributes.data(), CK_ULONG(attributes.size()), &h);
}

// Replacement on a card that refused the new certificate beside the old ones: the old ones go
// first, and come back from the bytes read before when the new one cannot be stored either.
// True when the new one is stored; else *pRv is the creation's answer.
bool ReplaceInPlace(CK_FUNCTION_LIST_PTR fl, CK_SESSION_HANDLE s, const std::vector<CK_OBJECT_HANDLE>& old,
                    CK_ATTRIBUTE* create, CK_ULONG nCreate, CK_RV& rv)
{
    std::vector<TSavedCertificate> saved(old.size());
    for (size_t i = 0; i < old.size(); ++i)
        if (!SaveCertificate(fl, s, old[i], create, nCreate, saved[i]))
            return false;   // nothing destroyed: the first refusal stands
    size_t nDestroyed = 0;
    for (; nDestroyed < old.size(); ++nDestroyed)
        if (fl->C_DestroyObject(s, old[nDestroyed]) != CKR_OK)
            break;
    CK_OBJECT_HANDLE h = 0;
    if (nDestroyed == old.size()) {
        CK_RV created = fl->C_CreateObject(s, create, nCreate, &h);
        if (created == CKR_OK)
            return true;
        rv = created;
    }
    for (size_t i = 0; i < nDestroyed; ++i)
        RestoreCertificate(fl, s, saved[i]);
    return false;
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
    // The key pair is found by the RSA or DSA key the certificate carries.
    if (!record->pRSAKey && !record->pDSAKey)
        return fail({TSY_KEY_TYPE_NOT_SUPPORTED, TSY_KIND_PLAIN});

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
    }
    const size_t nIntegers = keyTemplate.size();
    keyTemplate.push_back({CKA_CLASS, &publicClass, sizeof publicClass});
    keyTemplate.push_back({CKA_KEY_TYPE, &keyType, sizeof keyType});
    std::vector<CK_OBJECT_HANDLE> keys;
    CK_RV rv = tsy::FindAllObjects(fl, s, keyTemplate.data(), CK_ULONG(keyTemplate.size()), keys, 1);
    if (rv != CKR_OK)
        return fail({rv, TSY_KIND_PKCS11});
    if (keys.empty()) {
        rv = FindKeyByIntegers(fl, s, keyTemplate, nIntegers, keys);
        if (rv != CKR_OK)
            return fail({rv, TSY_KIND_PKCS11});
    }
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

    // Issuer and serial number are what other programs find a card's certificate by.
    const tsy::TBytes serial = DerInteger(record->SerialNumber);
    CK_BBOOL bTrue = CK_TRUE;
    CK_ATTRIBUTE createTemplate[] = {
        {CKA_CLASS, &certClass, sizeof certClass},
        {CKA_CERTIFICATE_TYPE, &certType, sizeof certType},
        {CKA_TOKEN, &bTrue, sizeof bTrue},
        {CKA_LABEL, label.empty() ? nullptr : label.data(), CK_ULONG(label.size())},
        Attr(CKA_SUBJECT, record->Subject),
        {CKA_ID, id.empty() ? nullptr : id.data(), CK_ULONG(id.size())},
        {CKA_VALUE, pbCert, cbCert},
        Attr(CKA_ISSUER, record->Issuer),
        {CKA_SERIAL_NUMBER, const_cast<unsigned char*>(serial.data()), CK_ULONG(serial.size())},
    };
    const CK_ULONG nCreate = sizeof createTemplate / sizeof createTemplate[0];
    // The new certificate is stored before the old one goes: a creation that fails leaves
    // the key pair with the certificate it had.
    CK_OBJECT_HANDLE hCertificate = 0;
    rv = fl->C_CreateObject(s, createTemplate, nCreate, &hCertificate);
    if (rv != CKR_OK && !matching.empty() && RefusedForRoom(rv))
        return ReplaceInPlace(fl, s, matching, createTemplate, nCreate, rv) ? true : fail({rv, TSY_KIND_PKCS11});
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
