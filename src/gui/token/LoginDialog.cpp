#include "LoginDialog.h"
#include "ui_LoginDialog.h"

#include <QEvent>
#include <QPushButton>

LoginDialog::LoginDialog(TUserType eUserType, QWidget* parent)
    : QDialog(parent),
      m_pForm(new Ui::LoginDialog),
      m_eUserType(NormalUser),
      m_eRequested(eUserType),
      m_nMinPINLength(0)
{
    m_pForm->setupUi(this);
    m_pForm->edtPassword->setEchoMode(QLineEdit::Password);
    m_pForm->labelWarning->hide();
    m_pForm->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
    if (eUserType == SecurityOfficer || eUserType == NormalUser) {
        m_pForm->cboxUserType->setCurrentIndex(eUserType == SecurityOfficer ? 1 : 0);
        m_pForm->cboxUserType->setEnabled(false);
    }
}

LoginDialog::~LoginDialog()
{
    m_pForm->edtPassword->clear();
    delete m_pForm;
}

void LoginDialog::SetPINLength(int nMinimum, int /*nMaximum*/)
{
    m_nMinPINLength = nMinimum;
}

bool LoginDialog::IsInputValid() const
{
    const QString text = m_pForm->edtPassword->text();
    return text.size() >= m_nMinPINLength && tessaly::IsPinTextCarriable(text);
}

void LoginDialog::UpdateState()
{
    tessaly::ShowPinTextWarning(*m_pForm->labelWarning, {m_pForm->edtPassword->text()});
    m_pForm->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(IsInputValid());
}

void LoginDialog::on_edtPassword_textEdited(const QString&)
{
    UpdateState();
}

void LoginDialog::on_buttonBox_rejected()
{
    reject();
}

void LoginDialog::on_buttonBox_accepted()
{
    accept();
}

void LoginDialog::accept()
{
    if (!IsInputValid())
        return;
    // A locked choice holds whatever the list shows.
    if (m_eRequested == SecurityOfficer || m_eRequested == NormalUser)
        m_eUserType = m_eRequested;
    else
        m_eUserType = m_pForm->cboxUserType->currentIndex() == 0 ? NormalUser : SecurityOfficer;
    m_pin = tessaly::CPinBytes(m_pForm->edtPassword->text());
    m_pForm->edtPassword->clear();
    QDialog::accept();
}

void LoginDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        // The form refills the list, which would show "User" for a locked administrator.
        const int nIndex = m_pForm->cboxUserType->currentIndex();
        m_pForm->retranslateUi(this);
        m_pForm->cboxUserType->setCurrentIndex(nIndex);
        tessaly::RetranslatePinTextWarning(*m_pForm->labelWarning);
    }
}
