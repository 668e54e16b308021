#pragma once

#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class CXmlQuery;

// How a policy gets its key pair.
struct TPolicyKeySettings {
    int nKeyType = 1;         // TKeyFlags mask of the keys it takes: 1 RSA, 2 DSA
    bool bGenerateKey = true; // false: an existing key pair of the token is chosen
    QList<int> keySizes;      // modulus lengths offered for a generated pair, ascending
};

// How one subject attribute of a policy is entered.
struct TFieldSettings {
    QString qsChoiceSource;                 // not empty: a drop-down list
    QString qsDefaultChoice;                // id of the entry selected at first
    QList<QPair<QString, QString>> choices; // entry id and text, in file order
    int nMinLength = -1;                    // -1: no limit
    int nMaxLength = -1;
    int nStringType = 0; // TASN1StringType code
};

// Reads the certificate policies from the policy files, checking what the program
// relies on: every shortcoming of the files (no policy, a policy without its texts,
// an unusable key size, an unknown string type, ...) throws CEnrolmentError with a
// text that names it, instead of turning into an empty form or a nonsense key.
class CPolicySchema
{
    Q_DECLARE_TR_FUNCTIONS(CPolicySchema)

public:
    // Key sizes a policy may offer, in bits.
    static const int kMinKeySize = 1024;
    static const int kMaxKeySize = 16384;
    static const int kKeySizeStep = 512;

    explicit CPolicySchema(CXmlQuery& query) : m_query(query) {}

    // The ids of all policies in file order; at least one, none empty or repeated.
    QStringList PolicyIds();
    // The caption of a policy; the resource file must have one.
    QString PolicyCaption(const QString& qsPolicyId);
    TPolicyKeySettings KeySettings(const QString& qsPolicyId);
    // The OIDs of each relative distinguished name of the subject, in order; the
    // first block without attributes ends the name. No OID is empty or repeated.
    QList<QStringList> SubjectBlocks(const QString& qsPolicyId);
    TFieldSettings FieldSettings(const QString& qsPolicyId, const QString& qsOID);

private:
    QString TemplateText(const QString& qsQuery, const QString& qsPolicyId, const QString& qsOID = QString());

    CXmlQuery& m_query;
};
