#pragma once

#include <memory>

#include <QCoreApplication>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

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

// The certificate policies of the policy files: the schema (template) and the
// resource file of one language, each read once, in one pass, when the object is
// made; every answer then comes from what was read.
//
// What the program relies on is checked: every shortcoming of the files (no policy,
// a policy without its texts, an unusable key size, an unknown string type, ...)
// throws CEnrolmentError with a text that names it, instead of turning into an empty
// form or a nonsense key. A file beyond sane bounds (size, length of a text, what
// its entities expand to, depth of its elements), with a policy inside another or a
// subject field whose OID the request encoder cannot write, is refused as a whole.
class CPolicySchema
{
    Q_DECLARE_TR_FUNCTIONS(CPolicySchema)

public:
    // Key sizes a policy may offer, in bits.
    static const int kMinKeySize = 1024;
    static const int kMaxKeySize = 16384;
    static const int kKeySizeStep = 512;

    // Bounds of a policy file.
    static const qint64 kMaxFileSize = 32 * 1024 * 1024; // bytes
    static const int kMaxTextLength = 4096;              // characters of one text or attribute value read
    static const int kMaxEntityText = 1024 * 1024;       // characters entities may add to a file
    static const int kMaxDepth = 256;                    // levels of nested elements

    // Throws CEnrolmentError when a file cannot be opened, is not well-formed XML or
    // is beyond the bounds above.
    CPolicySchema(const QString& qsTemplateFile, const QString& qsResourceFile);
    ~CPolicySchema();
    CPolicySchema(const CPolicySchema&) = delete;
    CPolicySchema& operator=(const CPolicySchema&) = delete;

    // The ids of all policies in file order; at least one, none empty or repeated.
    QStringList PolicyIds() const;
    // The caption of a policy; the resource file must have one.
    QString PolicyCaption(const QString& qsPolicyId) const;
    TPolicyKeySettings KeySettings(const QString& qsPolicyId) const;
    // The OIDs of each relative distinguished name of the subject, in order; the
    // first block without attributes ends the name. No OID is empty or repeated.
    QList<QStringList> SubjectBlocks(const QString& qsPolicyId) const;
    TFieldSettings FieldSettings(const QString& qsPolicyId, const QString& qsOID) const;

    // Texts of an item of the resource file (a policy or a subject field) by id;
    // empty when it has none.
    QString Caption(const QString& qsId) const;
    QString Hint(const QString& qsId) const;
    QString Error(const QString& qsId) const;

    struct TModel; // the two files as read

private:

    QString m_qsTemplateFile;
    QString m_qsResourceFile;
    std::unique_ptr<TModel> m_pModel;
};
