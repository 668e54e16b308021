#pragma once

#include <memory>
#include <string>

#include <QDialog>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <sorvit/AutoArray.h>

#include "ASN1Name.h"
#include "EnrolmentKeys.h"
#include "PolicySchema.h"

class CPKCS11Token;
class IEnrolmentHost;
class QGroupBox;
class QOIDInput;
namespace Ui {
class CertRequestDialog;
}

// The form on which the user asks for a certificate: a policy of the schema, the key
// pair (an existing one of the token, or the length of one to generate) and the
// subject fields the policy prescribes. OK checks the fields, generates the key pair
// when the policy asks for one, and has the request encoded and signed on the token.
// Nothing is sent from here.
class CertRequestDialog : public QDialog
{
    Q_OBJECT
public:
    // Reads the policy files and lists the policies; throws CEnrolmentError when a
    // file cannot be used (missing, malformed, beyond the bounds of CPolicySchema, no
    // policy).
    CertRequestDialog(const QString& qsSchemaFile, const QString& qsResourceFile, TKeysVector& keys,
                      CPKCS11Token& token, IEnrolmentHost& host, QWidget* parent);
    ~CertRequestDialog() override;

    // The DER request, filled when the dialog ended accepted.
    TByteArrayAutoPtr& GetRequest() { return m_aptrRequest; }
    const char* GetPolicyId() const { return m_sPolicyId.c_str(); }
    // A key pair was generated on the token, whatever happened afterwards.
    bool IsNewKeyGenerated() const { return m_bNewKeyGenerated; }

    void FillKeyPairs(int nKeyType);

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private slots:
    void on_cbKeyLength_currentIndexChanged(int index);
    void on_btnCancel_clicked();
    void on_btnOK_clicked();
    void on_comboCertType_currentIndexChanged(int index);

private:
    struct TPolicyConfig {
        QGroupBox* groupBox = nullptr;
        QList<QOIDInput*> inputs;
        CASN1Name subjectName;
        int keyType = 1;
        bool generateKey = false;
        QStringList keySizes;
        int keyLengthIndex = -1;
        QString error; // not empty: the policy cannot be used, and why
    };

    void ShowPolicy(TPolicyConfig& config);
    void BuildPolicy(const QString& qsPolicyId, TPolicyConfig& config);
    void ShowPolicyError(const QString& qsPolicyId, const TPolicyConfig& config);
    TPolicyConfig* CurrentPolicy();
    void Accept();
    // Generates the pair for the policy; false after reporting.
    bool GenerateKeyPair(const TPolicyConfig& config, std::unique_ptr<CPKCS11AsymmetricKey>& pPublic,
                         std::unique_ptr<CPKCS11AsymmetricKey>& pPrivate);

    std::unique_ptr<Ui::CertRequestDialog> ui;
    CPolicySchema m_schema; // both policy files, read once
    QMap<QString, std::shared_ptr<TPolicyConfig>> m_mapPolicies;
    TKeysVector& m_keys;
    CPKCS11Token& m_token;
    IEnrolmentHost& m_host;
    TByteArrayAutoPtr m_aptrRequest;
    std::string m_sPolicyId;
    bool m_bNewKeyGenerated;
    bool m_bPoliciesShown;
};
