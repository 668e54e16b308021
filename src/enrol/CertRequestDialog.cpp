#include "CertRequestDialog.h"
#include "ui_CertRequestDialog.h"

#include <cassert>
#include <exception>

#include <QApplication>
#include <QMessageBox>
#include <QShowEvent>
#include <QVBoxLayout>

#include "AutoSplash.h"
#include "EnrolmentError.h"
#include "IEnrolmentHost.h"
#include "KeyIdentifier.h"
#include "OIDInput.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Token.h"

namespace {
const int kKeyIdLength = 16;

// The label of a generated pair: its 16 identifier bytes as upper-case hex in groups
// of 8, 4, 4, 4 and 12 digits.
std::string KeyLabel(const unsigned char* pbID)
{
    std::string hex = KeyIdentifierText(pbID, kKeyIdLength);
    for (int at : {8, 13, 18, 23})
        hex.insert(static_cast<size_t>(at), 1, '-');
    return hex;
}
} // namespace

CertRequestDialog::CertRequestDialog(const QString& qsSchemaFile, const QString& qsResourceFile, TKeysVector& keys,
                                     CPKCS11Token& token, IEnrolmentHost& host, QWidget* parent)
    : QDialog(parent), ui(new Ui::CertRequestDialog), m_schema(qsSchemaFile, qsResourceFile), m_keys(keys),
      m_token(token), m_host(host), m_bNewKeyGenerated(false), m_bPoliciesShown(false)
{
    ui->setupUi(this);
    ui->gbGenerateKey->hide();

    // The list is filled once: a later show (after minimising) must not switch the
    // policy the user chose. The first policy is shown when the dialog first shows.
    const QStringList ids = m_schema.PolicyIds();
    const QSignalBlocker blocker(ui->comboCertType);
    // A policy without a caption is listed by its identifier; choosing it reports the
    // fault, as for the other faults of a policy.
    for (const QString& id : ids) {
        QString caption;
        try {
            caption = m_schema.PolicyCaption(id);
        } catch (const CEnrolmentError&) {
            caption = id;
        }
        ui->comboCertType->addItem(caption, id);
    }
}

CertRequestDialog::~CertRequestDialog()
{
    // The field widgets go before the subject names they write into. What the area
    // shows goes back to the dialog (the form's empty page when never shown), freed with it.
    if (QWidget* shown = ui->scrollAreaFields->takeWidget())
        shown->setParent(this);
    for (const auto& config : m_mapPolicies)
        delete config->groupBox;
}

void CertRequestDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_bPoliciesShown)
        return;
    m_bPoliciesShown = true;
    on_comboCertType_currentIndexChanged(ui->comboCertType->currentIndex());
}

void CertRequestDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

CertRequestDialog::TPolicyConfig* CertRequestDialog::CurrentPolicy()
{
    const int index = ui->comboCertType->currentIndex();
    if (index < 0)
        return nullptr;
    auto it = m_mapPolicies.find(ui->comboCertType->itemData(index).toString());
    return it == m_mapPolicies.end() ? nullptr : it->get();
}

void CertRequestDialog::on_cbKeyLength_currentIndexChanged(int index)
{
    if (TPolicyConfig* config = CurrentPolicy())
        config->keyLengthIndex = index;
}

void CertRequestDialog::on_btnCancel_clicked()
{
    done(QDialog::Rejected);
}

void CertRequestDialog::on_comboCertType_currentIndexChanged(int index)
{
    if (index < 0)
        return;
    try {
        ui->btnOK->setEnabled(true);
        const QString id = ui->comboCertType->itemData(index).toString();
        auto it = m_mapPolicies.find(id);
        if (it == m_mapPolicies.end()) {
            it = m_mapPolicies.insert(id, std::make_shared<TPolicyConfig>());
            BuildPolicy(id, **it);
        }
        ShowPolicy(**it);
        if (!(*it)->error.isEmpty())
            ShowPolicyError(id, **it);
    } catch (const std::exception& e) {
        ui->btnOK->setEnabled(false);
        m_host.ShowError(tr("The certificate policy cannot be shown.") + QLatin1Char('\n') +
                             QString::fromUtf8(e.what()),
                         true, true);
    }
}

void CertRequestDialog::BuildPolicy(const QString& qsPolicyId, TPolicyConfig& config)
{
    config.groupBox = new QGroupBox(this);
    config.groupBox->setObjectName(QStringLiteral("PoliciesGroup"));
    config.groupBox->setFlat(true);
    config.groupBox->hide();
    QVBoxLayout* layout = new QVBoxLayout(config.groupBox);
    // A policy the files describe wrongly is kept with its error: choosing it again
    // shows the error again and offers nothing to send.
    try {
        m_schema.PolicyCaption(qsPolicyId);
        const TPolicyKeySettings keys = m_schema.KeySettings(qsPolicyId);
        config.keyType = keys.nKeyType;
        config.generateKey = keys.bGenerateKey;
        for (int size : keys.keySizes)
            config.keySizes << QString::number(size);
        if (config.generateKey && !config.keySizes.isEmpty())
            config.keyLengthIndex = 0;

        for (const QStringList& oids : m_schema.SubjectBlocks(qsPolicyId)) {
            CASN1AVBlock* block = new CASN1AVBlock;
            config.subjectName.append(block);
            for (const QString& oid : oids) {
                CASN1AttributeValue* value = new CASN1AttributeValue(oid);
                block->append(value);
                QOIDInput* input = new QOIDInput(m_schema, qsPolicyId, oid, value);
                layout->addWidget(input);
                config.inputs.append(input);
            }
        }
    } catch (const CEnrolmentError& e) {
        config.error = e.Text();
        config.generateKey = false;
        config.keySizes.clear();
        config.keyLengthIndex = -1;
    }
    layout->addStretch(1);
    layout->setSpacing(2);
    layout->setContentsMargins(5, 2, 5, 2);
}

void CertRequestDialog::ShowPolicy(TPolicyConfig& config)
{
    if (config.generateKey) {
        ui->gbSelectKey->hide();
        ui->gbGenerateKey->show();
        const int index = config.keyLengthIndex;
        {
            const QSignalBlocker blocker(ui->cbKeyLength);
            ui->cbKeyLength->clear();
            ui->cbKeyLength->addItems(config.keySizes);
        }
        ui->cbKeyLength->setCurrentIndex(index);
    } else {
        ui->gbGenerateKey->hide();
        ui->gbSelectKey->show();
    }
    // The record keeps its box with what the user typed; the scroll area only shows it.
    // A box taken out of the area goes back to the dialog, hidden.
    if (QWidget* shown = ui->scrollAreaFields->takeWidget())
        shown->setParent(this);
    ui->scrollAreaFields->setWidget(config.groupBox);
    config.groupBox->show();
    if (!config.error.isEmpty()) {
        ui->comboKeyPair->clear();
        ui->btnOK->setEnabled(false);
    } else if (!config.generateKey)
        FillKeyPairs(config.keyType);
}

void CertRequestDialog::ShowPolicyError(const QString& qsPolicyId, const TPolicyConfig& config)
{
    m_host.ShowError(
        tr("The certificate policy \"%1\" cannot be used.")
                .arg(ui->comboCertType->currentText().isEmpty() ? qsPolicyId : ui->comboCertType->currentText()) +
            QLatin1Char('\n') + config.error,
        true, true);
}

void CertRequestDialog::FillKeyPairs(int nKeyType)
{
    ui->comboKeyPair->clear();
    for (size_t i = 0; i < m_keys.size(); ++i) {
        CPKCS11AsymmetricKey* key = m_keys[i];
        if (key && (key->GetKeyFlags() & static_cast<unsigned long>(nKeyType)))
            ui->comboKeyPair->addItem(key->GetLabel() && *key->GetLabel() ? QString::fromUtf8(key->GetLabel())
                                                                           : tr("(no label)"),
                                      static_cast<int>(i));
    }
    if (ui->comboKeyPair->count() == 0) {
        QString text = tr("The active card does not contain proper keys.");
        // Pairs of a type no policy can take are on the card: the box says why they are not offered.
        for (CPKCS11AsymmetricKey* key : m_keys)
            if (key && !(key->GetKeyFlags() & (KEY_TYPE_RSA | KEY_TYPE_DSA))) {
                text += QLatin1Char('\n') + tr("Its key pairs of other types, such as EC key pairs, are not "
                                               "supported for a request: only RSA and DSA keys are.");
                break;
            }
        QMessageBox::information(this, tr("Keys Not Found"), text, QMessageBox::Ok);
        ui->btnOK->setEnabled(false);
    }
}

void CertRequestDialog::on_btnOK_clicked()
{
    // Nothing may leave a slot: what the token or the encoder throws is reported here.
    try {
        Accept();
    } catch (const std::exception& e) {
        m_host.ShowError(tr("Unable to generate certificate request.") + QLatin1Char('\n') +
                             QString::fromUtf8(e.what()),
                         true, true);
        done(QDialog::Rejected);
    }
}

bool CertRequestDialog::GenerateKeyPair(const TPolicyConfig& config, std::unique_ptr<CPKCS11AsymmetricKey>& pPublic,
                                        std::unique_ptr<CPKCS11AsymmetricKey>& pPrivate)
{
    bool ok = false;
    const int bits = ui->cbKeyLength->currentText().toInt(&ok);
    // Only a length the policy offers is ever asked of the token.
    if (!ok || !config.keySizes.contains(ui->cbKeyLength->currentText())) {
        m_host.ShowError(tr("Unable to generate key-pair.") + QLatin1Char('\n') + tr("Choose a key length."), true,
                         true);
        return false;
    }
    CAutoSplash splash(QStringLiteral(":/bitmaps/Progress"), QApplication::activeWindow(), true);
    splash.ShowMessage(tr("Generating key-pair..."), Qt::AlignBottom, Qt::black);
    TByteArrayAutoPtr id;
    CPKCS11AsymmetricKey* pub = nullptr;
    CPKCS11AsymmetricKey* priv = nullptr;
    if (!m_token.GenerateRandom(kKeyIdLength, id) || id.size() != size_t(kKeyIdLength) ||
        !m_token.GenerateRSAKeyPair(static_cast<unsigned int>(bits), true, id.get(), kKeyIdLength,
                                    KeyLabel(id.get()).c_str(), &pub, &priv)) {
        splash.Hide();
        m_host.ShowError(tr("Unable to generate key-pair."), true, true);
        return false;
    }
    pPublic.reset(pub);
    pPrivate.reset(priv);
    m_bNewKeyGenerated = true;
    return true;
}

void CertRequestDialog::Accept()
{
    TPolicyConfig* config = CurrentPolicy();
    if (!config || !config->error.isEmpty())
        return;
    m_sPolicyId = ui->comboCertType->currentData().toString().toStdString();

    for (QOIDInput* input : config->inputs)
        if (!input->Validate())
            return;
    // A policy may ask for no field, or only for fields whose values are left out;
    // only one whose typed fields were all left empty has a subject to complain of.
    bool bTypedField = false;
    for (int b = 0; b < config->subjectName.count(); ++b)
        for (int v = 0; v < config->subjectName.at(b)->count(); ++v)
            bTypedField = bTypedField || config->subjectName.at(b)->at(v)->GetType() != ASN1_NO_STRING_TYPE;
    if (bTypedField && !config->subjectName.HasEncodedValues()) {
        QMessageBox::warning(this, tr("Generate Certificate Request"),
                             tr("The subject name is empty. Please fill in the fields of the request."));
        return;
    }

    // Whatever can refuse the request is checked before a key pair is made for it.
    config->subjectName.CheckSubject();

    std::unique_ptr<CPKCS11AsymmetricKey> pNewPublic, pNewPrivate;
    CPKCS11AsymmetricKey* pPrivate = nullptr;
    CPKCS11AsymmetricKey* pPublic = nullptr;
    if (config->generateKey) {
        if (!GenerateKeyPair(*config, pNewPublic, pNewPrivate))
            return;
        pPrivate = pNewPrivate.get();
        pPublic = pNewPublic.get();
    } else {
        const int index = ui->comboKeyPair->currentIndex();
        if (index < 0)
            return;
        const int keyIndex = ui->comboKeyPair->itemData(index).toInt();
        if (keyIndex < 0 || size_t(keyIndex) >= m_keys.size() || !m_keys[size_t(keyIndex)])
            return;
        pPrivate = m_keys[size_t(keyIndex)];
        const int pairIndex = pPrivate->GetPairIndex();
        pPublic = pairIndex < 0 ? nullptr : m_token.GetAsymmetricKey(static_cast<unsigned long>(pairIndex));
        if (!pPublic)
            throw CEnrolmentError(tr("The public key of the key pair is not on the token."));
    }

    if (!config->subjectName.EncodeAndSign(*pPrivate, *pPublic, m_aptrRequest)) {
        m_host.ShowError(tr("Unable to generate certificate request."), true, true);
        done(QDialog::Rejected);
        return;
    }
    done(QDialog::Accepted);
}
