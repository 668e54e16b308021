#include "PKCS11AsymmetricKey.h"

#include <QObject>
#include <QString>

#include "FieldList.h"
#include "P11Calls.h"
#include "PKCS11Token.h"

CPKCS11AsymmetricKey::CPKCS11AsymmetricKey(unsigned int nKeyClass, CK_OBJECT_HANDLE hObject,
                                           CK_SESSION_HANDLE hSession, int nPairIndex, bool bHasCertificate,
                                           CK_FUNCTION_LIST_PTR pFunctionList, CPKCS11Token* pToken,
                                           CTSYException* pErrorSink)
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
    bool bPublic = (nKeyClass & KEY_CLASS_PUBLIC) != 0;

    struct Use {
        CK_ATTRIBUTE_TYPE type;
        unsigned long bit;
    };
    static const Use publicUses[] = {{CKA_ENCRYPT, KEY_USAGE_ENCRYPT},
                                     {CKA_VERIFY, KEY_USAGE_VERIFY},
                                     {CKA_VERIFY_RECOVER, KEY_USAGE_VERIFY_RECOVER},
                                     {CKA_WRAP, KEY_USAGE_WRAP}};
    static const Use privateUses[] = {
        {CKA_DECRYPT, KEY_USAGE_DECRYPT}, {CKA_SIGN, KEY_USAGE_SIGN}, {CKA_UNWRAP, KEY_USAGE_UNWRAP}};
    const Use* uses = bPublic ? publicUses : privateUses;
    size_t nUses = bPublic ? sizeof publicUses / sizeof publicUses[0] : sizeof privateUses / sizeof privateUses[0];

    CK_KEY_TYPE keyType = 0;
    CK_BBOOL flags[4] = {CK_FALSE, CK_FALSE, CK_FALSE, CK_FALSE};
    CK_ULONG bits = 0;
    CK_ATTRIBUTE extra[6];
    CK_ULONG nExtra = 0;
    extra[nExtra++] = {CKA_KEY_TYPE, &keyType, sizeof keyType};
    for (size_t i = 0; i < nUses; ++i)
        extra[nExtra++] = {uses[i].type, &flags[i], sizeof flags[i]};
    if (bPublic)
        extra[nExtra++] = {CKA_MODULUS_BITS, &bits, sizeof bits};

    bool bTypeRead = true;
    if (ReadAttributesAtOnce(OBJECT_ATTRIBUTE_ID | OBJECT_ATTRIBUTE_LABEL, extra, nExtra)) {
        for (size_t i = 0; i < nUses; ++i)
            if (flags[i])
                m_nKeyUsage |= uses[i].bit;
        m_nModulusBits = bPublic ? bits : 0;
    } else {
        // One attribute a call, with the failures reported as they happen.
        if (!ReadAttributes(OBJECT_ATTRIBUTE_ID | OBJECT_ATTRIBUTE_LABEL))
            ThrowSinkError();
        CK_RV rv = tsy::ReadFixedAttribute(m_pFunctionList, m_hSession, m_hObject, CKA_KEY_TYPE, &keyType,
                                           sizeof keyType);
        if (rv != CKR_OK) {
            // With a sink the key is kept without a type bit, so it cannot sign or verify.
            SetError("GetAttributeValue failed", rv, TSY_KIND_PKCS11);
            bTypeRead = false;
        }
        // Uses and length that cannot be read stay 0.
        for (size_t i = 0; i < nUses; ++i) {
            CK_BBOOL flag = CK_FALSE;
            if (tsy::ReadFixedAttribute(m_pFunctionList, m_hSession, m_hObject, uses[i].type, &flag,
                                        sizeof flag) == CKR_OK &&
                flag)
                m_nKeyUsage |= uses[i].bit;
        }
        if (bPublic &&
            tsy::ReadFixedAttribute(m_pFunctionList, m_hSession, m_hObject, CKA_MODULUS_BITS, &bits, sizeof bits) ==
                CKR_OK)
            m_nModulusBits = bits;
    }
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
        kind = QStringLiteral("Diffie-Helman ");
    else if (m_nKeyFlags & KEY_TYPE_KEA)
        kind = QStringLiteral("KEA ");
    else if (m_nKeyFlags & KEY_TYPE_EC)
        kind = QStringLiteral("Elliptic Curve ");
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
        QString uses;
        for (const Word& w : words)
            if (m_nKeyUsage & w.bit)
                uses += QObject::tr(w.text);
        uses.chop(1);
        (*pFields)[QObject::tr("Key supports")] = uses;
    }
    if (m_nModulusBits)
        (*pFields)[QObject::tr("Key Length")] = QObject::tr("%1 bits").arg(m_nModulusBits);
}
