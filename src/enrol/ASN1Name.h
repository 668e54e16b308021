#pragma once

#include <QCoreApplication>
#include <QList>
#include <QString>

#include <sorvit/AutoArray.h>

class CPKCS11AsymmetricKey;
namespace SNACC {
class AsnType;
}

// ASN.1 string types a subject attribute value is encoded in; the numbers are the
// codes the policy schema's type names map to.
enum TASN1StringType {
    ASN1_NO_STRING_TYPE = 0, // the value is left out of the request
    ASN1_PRINTABLE_STRING = 1,
    ASN1_VISIBLE_STRING = 2,
    ASN1_ISO646_STRING = 3,
    ASN1_UTF8_STRING = 4,
    ASN1_NUMERIC_STRING = 5,
    ASN1_IA5_STRING = 6,
    ASN1_TELETEX_STRING = 7,
    ASN1_T61_STRING = 8,
    ASN1_VIDEOTEX_STRING = 9,
    ASN1_GRAPHIC_STRING = 10,
    ASN1_GENERAL_STRING = 11,
    ASN1_UNIVERSAL_STRING = 12,
    ASN1_BMP_STRING = 13
};

// The code of a schema type name ("PrintableString", ...), compared exactly; 0 for
// any other text.
int ASN1StringTypeFromName(const QString& name);

// One attribute of the subject: its type OID, the text and the string type it is
// encoded in.
class CASN1AttributeValue
{
public:
    explicit CASN1AttributeValue(const QString& qsOID);

    const QString& GetOID() const { return m_qsOID; }
    QString& GetValue() { return m_qsValue; }
    const QString& GetValue() const { return m_qsValue; }
    int& GetType() { return m_nType; }
    int GetType() const { return m_nType; }

    // Whether the text can be held by the value's string type, judged on the text
    // itself before any conversion: characters outside the type's repertoire are
    // refused (never turned into "?"), NUL is refused by every type. Code 0 (and
    // codes past 13) accept every text.
    bool CheckValue(const QString& qsValue) const;

    // Whether the value goes into an encoded subject: a string type is set and the
    // text is not empty.
    bool IsEncoded() const;

    // The runtime string object of the value's type holding the text; null for code 0.
    // The text must have passed CheckValue.
    SNACC::AsnType* MakeASN1String() const;

private:
    QString m_qsOID;
    QString m_qsValue;
    int m_nType;
};

// One relative distinguished name; owns its values.
class CASN1AVBlock
{
public:
    CASN1AVBlock() = default;
    ~CASN1AVBlock();
    CASN1AVBlock(const CASN1AVBlock&) = delete;
    CASN1AVBlock& operator=(const CASN1AVBlock&) = delete;

    void append(CASN1AttributeValue* pasn1AV);
    int count() const { return m_values.count(); }
    CASN1AttributeValue* at(int index) const { return m_values.at(index); }

private:
    QList<CASN1AttributeValue*> m_values;
};

// The subject name, a sequence of relative distinguished names; owns its blocks.
class CASN1Name
{
    Q_DECLARE_TR_FUNCTIONS(CASN1Name)

public:
    CASN1Name() = default;
    ~CASN1Name();
    CASN1Name(const CASN1Name&) = delete;
    CASN1Name& operator=(const CASN1Name&) = delete;

    void append(CASN1AVBlock* pasn1AVBlock);
    int count() const { return m_blocks.count(); }
    CASN1AVBlock* at(int index) const { return m_blocks.at(index); }

    // Whether any value would be encoded (see CASN1AttributeValue::IsEncoded).
    bool HasEncodedValues() const;

    // Throws CEnrolmentError when the subject cannot go into a request (a value its
    // string type cannot hold, what the encoder refuses). The form checks it before it
    // makes a key pair for the request, so that no refusal leaves a new pair behind.
    void CheckSubject() const;

    // The DER PKCS#10 request for the key pair, signed on the private key's token
    // with SHA-1. Values without a string type or text are left out, and so is a
    // relative distinguished name left with none. False when the token failed to
    // give the public key, to digest or to sign (the layer has recorded why); the
    // request holder is written only on success.
    bool EncodeAndSign(CPKCS11AsymmetricKey& privateKey, CPKCS11AsymmetricKey& publicKey,
                       TByteArrayAutoPtr& request) const;

private:
    QList<CASN1AVBlock*> m_blocks;
};
