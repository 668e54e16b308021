#include "CertViewDialog.h"
#include "ui_CertViewDialog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTreeWidgetItem>

#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <pellum/pellum.h>

#include "FieldList.h"
#include "HandConnectedSlots.h"
#include "PKCS11Certificate.h"

namespace {

struct RecordDeleter {
    void operator()(CL_CERTIFICATE* p) const { CL_FreeCertificate(p); }
};

QString FormatTime(time_t t)
{
    struct tm parts;
    memset(&parts, 0, sizeof parts);
    char text[128] = {0};
    if (gmtime_r(&t, &parts))
        strftime(text, sizeof text - 1, "%d/%m/%Y %H:%M GMT", &parts);
    return QString::fromLatin1(text);
}

// The simple name (common name) of the subject or issuer, and the whole name one attribute a
// line; false when either call fails. The sizes end the texts, not a NUL inside a value.
bool ReadName(const CL_CERTIFICATE* pRecord, bool bIssuer, QString& simple, QString& full)
{
    const int flags = bIssuer ? CL_NAME_ISSUER_FLAG : 0;
    uint32_t len = 0;
    if (!CL_CertGetSimpleNameString(pRecord, flags, nullptr, &len) || len == 0)
        return false;
    std::vector<char> simpleText(len, '\0');
    if (!CL_CertGetSimpleNameString(pRecord, flags, simpleText.data(), &len) || len == 0 || len > simpleText.size())
        return false;
    const _CPBLOB* pName = bIssuer ? &pRecord->Issuer : &pRecord->Subject;
    uint32_t fullLen = 0;
    if (!CL_CertNameToStr(pName, nullptr, &fullLen, '\n', '\n') || fullLen == 0)
        return false;
    std::vector<char> fullText(fullLen, '\0');
    if (!CL_CertNameToStr(pName, fullText.data(), &fullLen, '\n', '\n') || fullLen == 0 || fullLen > fullText.size())
        return false;
    simple = CertificateNameText(std::string(simpleText.data(), len - 1));
    full = CertificateNameText(std::string(fullText.data(), fullLen - 1));
    return true;
}

} // namespace

CertViewDialog::CertViewDialog(const _CPBLOB& certificate, QWidget* parent)
    : QDialog(parent), m_pForm(new Ui::CertViewDialog), m_bFilled(false)
{
    if (certificate.pbData && certificate.cbData)
        m_certificate = QByteArray(reinterpret_cast<const char*>(certificate.pbData), int(certificate.cbData));
    {
        CHandConnectedSlots quiet({"on_item_pressed"});
        m_pForm->setupUi(this);
    }
    connect(m_pForm->treeWidget, &QTreeWidget::itemPressed, this, &CertViewDialog::on_item_pressed);
}

CertViewDialog::~CertViewDialog()
{
    delete m_pForm;
}

QString CertViewDialog::GetFullValue(QTreeWidgetItem* pItem) const
{
    auto it = m_mapFullValues.find(pItem);
    return it == m_mapFullValues.end() ? QString() : it->second;
}

void CertViewDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (m_bFilled)
        return;
    m_bFilled = true;
    FillProperties();
    m_pForm->treeWidget->resizeColumnToContents(0);
}

void CertViewDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}

void CertViewDialog::on_item_pressed(QTreeWidgetItem* item, int)
{
    m_pForm->plainTextEdit->setPlainText(GetFullValue(item));
}

void CertViewDialog::AddProperty(const QString& label, const QString& shortValue, const QString& fullValue)
{
    QTreeWidgetItem* pItem = new QTreeWidgetItem(m_pForm->treeWidget);
    pItem->setText(0, label);
    pItem->setText(1, shortValue);
    m_mapFullValues[pItem] = fullValue;
}

void CertViewDialog::FillProperties()
{
    _CPBLOB blob = {reinterpret_cast<unsigned char*>(m_certificate.data()), uint32_t(m_certificate.size())};
    CL_CERTIFICATE* pRaw = nullptr;
    if (m_certificate.isEmpty() || !CL_DecodeCertificate(&blob, &pRaw) || !pRaw) {
        // Said in the words of the information pane, not left as an empty list.
        const QString text = QCoreApplication::translate("QObject", "The certificate can not be decoded.");
        AddProperty(text, QString(), text);
        m_pForm->plainTextEdit->setPlainText(text);
        return;
    }
    std::unique_ptr<CL_CERTIFICATE, RecordDeleter> record(pRaw);

    const QString version = QString::number(record->wVersion);
    AddProperty(tr("Version"), version, version);

    if (record->SerialNumber.pbData && record->SerialNumber.cbData) {
        std::unique_ptr<char[]> serial(ByteToString(record->SerialNumber.pbData, int(record->SerialNumber.cbData)));
        if (serial) {
            const QString text = QString::fromLatin1(serial.get());
            AddProperty(tr("Serial No"), text, text);
        }
    }

    QString simple, full;
    if (ReadName(record.get(), true, simple, full))
        AddProperty(tr("Issuer"), simple, full);
    const QString from = FormatTime(record->tNotBefore);
    AddProperty(tr("Valid from"), from, from);
    const QString to = FormatTime(record->tNotAfter);
    AddProperty(tr("Valid to"), to, to);
    if (ReadName(record.get(), false, simple, full))
        AddProperty(tr("Subject"), simple, full);
    // As in the information pane: a key of neither RSA nor DSA is named.
    if (!CPKCS11Certificate::HasRsaOrDsaKey(*record)) {
        const QString key = QString::fromStdString(CPKCS11Certificate::KeyAlgorithmName(*record));
        AddProperty(tr("Public key"), key, key);
    }
}
