#include "PKCS11AsymmetricKey.h"

#include <QObject>
#include <QString>

#include "FieldList.h"
#include "P11Calls.h"
#include "PKCS11Token.h"

namespace {

struct TUse {
    CK_ATTRIBUTE_TYPE type;
    unsigned long bit;
};
const TUse kPublicUses[] = {{CKA_ENCRYPT, KEY_USAGE_ENCRYPT},
                            {CKA_VERIFY, KEY_USAGE_VERIFY},
                            {CKA_VERIFY_RECOVER, KEY_USAGE_VERIFY_RECOVER},
                            {CKA_WRAP, KEY_USAGE_WRAP}};
const TUse kPrivateUses[] = {
    {CKA_DECRYPT, KEY_USAGE_DECRYPT}, {CKA_SIGN, KEY_USAGE_SIGN}, {CKA_UNWRAP, KEY_USAGE_UNWRAP}};

} // namespace

const tsy::TAttributeRequest* CPKCS11AsymmetricKey::ReadRequests(bool bPublic, size_t* pCount)
{
    // Label and ID with the buffers of BasicRequests, then the fixed-size ones.
    static const tsy::TAttributeRequest kPublic[] = {
        BasicRequests()[1], BasicRequests()[2],
        {CKA_KEY_TYPE, sizeof(CK_KEY_TYPE), true}, {CKA_ENCRYPT, sizeof(CK_BBOOL), true},
        {CKA_VERIFY, sizeof(CK_BBOOL), true},      {CKA_VERIFY_RECOVER, sizeof(CK_BBOOL), true},
        {CKA_WRAP, sizeof(CK_BBOOL), true},        {CKA_MODULUS_BITS, sizeof(CK_ULONG), true}};
    static const tsy::TAttributeRequest kPrivate[] = {
        BasicRequests()[1], BasicRequests()[2],
        {CKA_KEY_TYPE, sizeof(CK_KEY_TYPE), true}, {CKA_DECRYPT, sizeof(CK_BBOOL), true},
        {CKA_SIGN, sizeof(CK_BBOOL), true},        {CKA_UNWRAP, sizeof(CK_BBOOL), true}};
    *pCount = bPublic ? sizeof kPublic / sizeof kPublic[0] : sizeof kPrivate / sizeof kPrivate[0];
    return bPublic ? kPublic : kPrivate;
}

CPKCS11AsymmetricKey::CPKCS11AsymmetricKey(unsigned int nKeyClass, CK_OBJECT_HANDLE hObject,
                                           CK_SESSION_HANDLE hSession, int nPairIndex, bool bHasCertificate,
                                           CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Token* pToken,
                                           CTSYException* pErrorSink, const tsy::CAttributeValues* pRead)
    : CPKCS11Object(hObject, hSession, pFunctionList, pToken, pErrorSink),
      m_nKeyType(CK_UNAVAILABLE_INFORMATION),
      m_nKeyFlags(nKeyClass),
      m_nKeyUsage(0),
      m_nModulusBits(0),
      m_nPairIndex(nPairIndex),
      m_bHasCertificate(bHasCertificate)
{
    m_eObjectType = CryptokiAsymmetricKey;
    m_nClass = (nKeyClass & KEY_CLASS_PUBLIC) ? CKO_PUBLIC_KEY : CKO_PRIVATE_KEY;
    const bool bPublic = (nKeyClass & KEY_CLASS_PUBLIC) != 0;
    const TUse* uses = bPublic ? kPublicUses : kPrivateUses;
    const size_t nUses = bPublic ? sizeof kPublicUses / sizeof kPublicUses[0]
                                 : sizeof kPrivateUses / sizeof kPrivateUses[0];

    tsy::CAttributeValues own;
    size_t nRequests = 0;
    const tsy::TAttributeRequest* pRequests = ReadRequests(bPublic, &nRequests);
    if (!pRead && ReadOnce(pRequests, nRequests, own))
        pRead = &own;
    if (!ReadAttributes(OBJECT_ATTRIBUTE_ID | OBJECT_ATTRIBUTE_LABEL, pRead))
        ThrowSinkError();

    CK_KEY_TYPE keyType = 0;
    bool bTypeRead = true;
    if (!pRead || !pRead->Get(CKA_KEY_TYPE, &keyType, sizeof keyType)) {
        // Read alone, for the module's own answer, unless the one call told it.
        CK_RV rv = CKR_OK;
        if (!pRead || !pRead->KnownFailure(CKA_KEY_TYPE, &rv))
            rv = tsy::ReadFixedAttribute(m_pFunctionList, m_hSession, m_hObject, CKA_KEY_TYPE, &keyType,
                                         sizeof keyType);
        if (rv != CKR_OK) {
            // With a sink the key is kept without a type bit, so it cannot sign or verify.
            SetError("GetAttributeValue failed", rv, TSY_KIND_PKCS11);
            bTypeRead = false;
        }
    }
    // Uses and length that cannot be read stay 0: what one call could not give is
    // not read again (alone it would fail the same way).
    const auto readFixed = [&](CK_ATTRIBUTE_TYPE type, void* value, size_t size) {
        if (pRead)
            return pRead->Get(type, value, size);
        return tsy::ReadFixedAttribute(m_pFunctionList, m_hSession, m_hObject, type, value, CK_ULONG(size)) == CKR_OK;
    };
    for (size_t i = 0; i < nUses; ++i) {
        CK_BBOOL flag = CK_FALSE;
        if (readFixed(uses[i].type, &flag, sizeof flag) && flag)
            m_nKeyUsage |= uses[i].bit;
    }
    CK_ULONG bits = 0;
    if (bPublic && readFixed(CKA_MODULUS_BITS, &bits, sizeof bits))
        m_nModulusBits = bits;
    if (bTypeRead) {
        m_nKeyType = keyType;
        switch (keyType) {
        case CKK_RSA: m_nKeyFlags |= KEY_TYPE_RSA; break;
        case CKK_DSA: m_nKeyFlags |= KEY_TYPE_DSA; break;
        case CKK_DH: m_nKeyFlags |= KEY_TYPE_DH; break;
        case CKK_KEA: m_nKeyFlags |= KEY_TYPE_KEA; break;
        case CKK_EC: m_nKeyFlags |= KEY_TYPE_EC; break;
        default: break;
        }
    }
}

CPKCS11AsymmetricKey::~CPKCS11AsymmetricKey() = default;

void CPKCS11AsymmetricKey::PopulateFields(CFieldList* pFields)
{
    if (!pFields)
        return;
    QString kind;
    if (m_nKeyFlags & KEY_TYPE_RSA)
        kind = QStringLiteral("RSA ");
    else if (m_nKeyFlags & KEY_TYPE_DSA)
        kind = QStringLiteral("DSA ");
    else if (m_nKeyFlags & KEY_TYPE_DH)
        kind = QStringLiteral("Diffie-Hellman ");
    else if (m_nKeyFlags & KEY_TYPE_KEA)
        kind = QStringLiteral("KEA ");
    else if (m_nKeyFlags & KEY_TYPE_EC)
        kind = QObject::tr("Elliptic Curve") + QLatin1Char(' ');
    kind += (m_nKeyFlags & KEY_CLASS_PUBLIC) ? QObject::tr("Public Key") : QObject::tr("Private Key");
    (*pFields)[kind] = QString();

    if (m_nKeyUsage) {
        struct Word {
            unsigned long bit;
            const char* text;
        };
        static const Word words[] = {{KEY_USAGE_ENCRYPT, QT_TRANSLATE_NOOP("QObject", "Encryption,")},
                                     {KEY_USAGE_VERIFY, QT_TRANSLATE_NOOP("QObject", "Verification,")},
                                     {KEY_USAGE_WRAP, QT_TRANSLATE_NOOP("QObject", "Wrapping,")},
                                     {KEY_USAGE_DECRYPT, QT_TRANSLATE_NOOP("QObject", "Decryption,")},
                                     {KEY_USAGE_SIGN, QT_TRANSLATE_NOOP("QObject", "Signing,")},
                                     {KEY_USAGE_UNWRAP, QT_TRANSLATE_NOOP("QObject", "Unwrapping,")}};
        // Each text carries its separator, as its language writes it ("Encryption," and a
        // space after the comma where the language wants one); the last one's goes.
        QString uses;
        for (const Word& w : words)
            if (m_nKeyUsage & w.bit)
                uses += QObject::tr(w.text);
        while (!uses.isEmpty() && uses.back().isSpace())
            uses.chop(1);
        if (uses.endsWith(QLatin1Char(',')))
            uses.chop(1);
        (*pFields)[QObject::tr("Key supports")] = uses;
    }
    if (m_nModulusBits)
        (*pFields)[QObject::tr("Key Length")] = QObject::tr("%1 bits").arg(m_nModulusBits);
}
