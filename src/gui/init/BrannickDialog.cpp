#include "BrannickDialog.h"
#include "ui_BrannickDialog.h"

#include <algorithm>
#include <cerrno>
#include <sys/random.h>

#include <QEvent>
#include <QMessageBox>

namespace {

const int kLabelFieldSize = 32;

// One random byte from the system's cryptographic source; false when it fails.
bool RandomByte(unsigned char& byte)
{
    for (;;) {
        const ssize_t n = getrandom(&byte, 1, 0);
        if (n == 1)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

// A uniform value below range (at most 256): bytes past the last whole multiple of range are
// drawn again, so no value is more likely than another.
bool RandomBelow(unsigned range, unsigned& value)
{
    const unsigned limit = 256 - 256 % range;
    unsigned char byte = 0;
    do {
        if (!RandomByte(byte))
            return false;
    } while (byte >= limit);
    value = byte % range;
    byte = 0;
    return true;
}

// What a PIN may hold: Latin-1 without control characters; others would change on the way to
// the card ("?") or break the line that carries the PIN to brannick.
bool IsPINCharacter(QChar c)
{
    const ushort u = c.unicode();
    return u >= 0x20 && u != 0x7F && u <= 0xFF && !(u >= 0x80 && u < 0xA0);
}

} // namespace

BrannickDialog::BrannickDialog(int minPINLength, int maxPINLength, bool labelFixed, QWidget* parent)
    : QDialog(parent), m_pForm(new Ui::BrannickDialog), m_nMinPINLength(minPINLength), m_nMaxPINLength(maxPINLength)
{
    m_pForm->setupUi(this);
    m_pForm->edtSOPIN->setEchoMode(QLineEdit::Password);
    m_pForm->edtNewUserPIN->setText(BuildDefaultPIN(m_pForm->edtNewUserPIN->text(), m_nMinPINLength));
    m_pForm->edtLabel->setEnabled(!labelFixed);
}

BrannickDialog::~BrannickDialog()
{
    for (QLineEdit* pField : {m_pForm->edtSOPIN, m_pForm->edtNewSOPIN, m_pForm->edtNewUserPIN})
        pField->clear();
    delete m_pForm;
}

QString BrannickDialog::BuildDefaultPIN(const QString& storedDefault, int minPINLength)
{
    QString pin = storedDefault;
    for (int i = std::max(minPINLength, 5); i <= std::min(minPINLength, 10); ++i)
        pin += QString::number(i);
    return pin;
}

int BrannickDialog::GeneratedLength(int nPreferred, int minPINLength, int maxPINLength)
{
    int n = std::max(nPreferred, minPINLength);
    if (maxPINLength >= minPINLength && maxPINLength > 0)
        n = std::min(n, maxPINLength);
    return std::max(n, 1);
}

QString BrannickDialog::GenerateNumericPIN(int nDigits)
{
    QString pin;
    for (int i = 0; i < nDigits; ++i) {
        unsigned digit = 0;
        if (!RandomBelow(i == 0 ? 9 : 10, digit))
            return QString();
        pin += QChar(static_cast<char16_t>('0' + (i == 0 ? digit + 1 : digit)));
    }
    return pin;
}

void BrannickDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}

void BrannickDialog::on_btnGenerate_clicked()
{
    m_pForm->edtNewSOPIN->setText(GenerateNumericPIN(GeneratedLength(6, m_nMinPINLength, m_nMaxPINLength)));
    m_pForm->edtNewUserPIN->setText(GenerateNumericPIN(GeneratedLength(4, m_nMinPINLength, m_nMaxPINLength)));
}

void BrannickDialog::on_buttonBox_rejected()
{
    reject();
}

void BrannickDialog::ShowInvalid(const QString& title, const QString& text, QLineEdit* pField, bool clear)
{
    QMessageBox::information(this, title, text, QMessageBox::Ok);
    if (clear)
        pField->clear();
    pField->setFocus();
}

bool BrannickDialog::CheckLength(QLineEdit* pField)
{
    const int n = pField->text().length();
    if (n >= m_nMinPINLength && n <= m_nMaxPINLength)
        return true;
    ShowInvalid(tr("Invalid PIN"),
                tr("The PIN length should be between %1 and %2 symbols.").arg(m_nMinPINLength).arg(m_nMaxPINLength),
                pField, true);
    return false;
}

bool BrannickDialog::CheckCharacters(QLineEdit* pField)
{
    const QString text = pField->text();
    if (std::all_of(text.begin(), text.end(), IsPINCharacter))
        return true;
    ShowInvalid(tr("Invalid PIN"),
                tr("The PIN holds a character that the card can not take.\n"
                   "Please use Latin letters, digits and punctuation only."),
                pField, true);
    return false;
}

bool BrannickDialog::CheckLabel()
{
    const QString label = m_pForm->edtLabel->text();
    if (label.trimmed().isEmpty()) {
        ShowInvalid(tr("Invalid label"), tr("The card label can not be empty."), m_pForm->edtLabel, false);
        return false;
    }
    const int nBytes = label.toUtf8().size();
    if (nBytes > kLabelFieldSize) {
        ShowInvalid(tr("Invalid label"),
                    tr("The card label takes %1 bytes, but the card holds at most %2.\n"
                       "A Cyrillic letter takes two bytes.").arg(nBytes).arg(kLabelFieldSize),
                    m_pForm->edtLabel, false);
        return false;
    }
    return true;
}

void BrannickDialog::on_buttonBox_accepted()
{
    if (m_pForm->edtSOPIN->text().isEmpty()) {
        ShowInvalid(tr("Invalid PIN"), tr("The card can not be initialized without the SO-PIN.\nPlease enter it first."),
                    m_pForm->edtSOPIN, false);
        return;
    }
    if (!CheckLength(m_pForm->edtSOPIN) || !CheckCharacters(m_pForm->edtSOPIN))
        return;
    if (!m_pForm->edtNewSOPIN->text().isEmpty() &&
        (!CheckLength(m_pForm->edtNewSOPIN) || !CheckCharacters(m_pForm->edtNewSOPIN)))
        return;
    // Also when empty: after the erase the card would be left without a user PIN.
    if (!CheckLength(m_pForm->edtNewUserPIN) || !CheckCharacters(m_pForm->edtNewUserPIN))
        return;
    if (!CheckLabel())
        return;

    const auto store = [](tsy::CSecretString& target, QLineEdit* pField) {
        QByteArray bytes = pField->text().toLatin1();
        target.Assign(bytes);
        tsy::Wipe(bytes);
    };
    store(m_sSOPIN, m_pForm->edtSOPIN);
    store(m_sNewSOPIN, m_pForm->edtNewSOPIN);
    store(m_sNewUserPIN, m_pForm->edtNewUserPIN);
    m_sLabel = m_pForm->edtLabel->text().toUtf8().toStdString();
    accept();
}
