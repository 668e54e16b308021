#include "UnblockPINDialog.h"
#include "ui_UnblockPINDialog.h"

#include <QEvent>
#include <QPushButton>

UnblockPINDialog::UnblockPINDialog(QWidget* parent)
    : QDialog(parent), m_nMinPINLength(0), m_pForm(new Ui::UnblockPINDialog)
{
    m_pForm->setupUi(this);
    m_pForm->labelWarning->hide();
    m_pForm->labelMismatch->hide();
    // The first thing to type is the administrative PIN.
    m_pForm->editSOPIN->setFocus();
    m_pForm->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
}

UnblockPINDialog::~UnblockPINDialog()
{
    ClearFields();
    delete m_pForm;
}

void UnblockPINDialog::SetPINLengths(int nMinimum, int nMaximum)
{
    m_nMinPINLength = nMinimum;
    if (nMaximum > 0) {
        m_pForm->editNewPIN->setMaxLength(nMaximum);
        m_pForm->editNewPIN_2->setMaxLength(nMaximum);
    }
}

bool UnblockPINDialog::IsInputValid() const
{
    return tessaly::IsPinChangeValid(m_pForm->editSOPIN->text(), m_pForm->editNewPIN->text(),
                                     m_pForm->editNewPIN_2->text(), m_nMinPINLength);
}

void UnblockPINDialog::UpdateState()
{
    tessaly::ShowPinTextWarning(*m_pForm->labelWarning, {m_pForm->editSOPIN->text(), m_pForm->editNewPIN->text(), m_pForm->editNewPIN_2->text()});
    tessaly::ShowPinMismatch(*m_pForm->labelMismatch, m_pForm->editNewPIN->text(), m_pForm->editNewPIN_2->text());
    m_pForm->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(IsInputValid());
}

void UnblockPINDialog::on_editSOPIN_textEdited(const QString&)
{
    UpdateState();
}

void UnblockPINDialog::on_editNewPIN_textEdited(const QString&)
{
    UpdateState();
}

void UnblockPINDialog::on_editNewPIN_2_textEdited(const QString&)
{
    UpdateState();
}

void UnblockPINDialog::on_buttonBox_accepted()
{
    accept();
}

void UnblockPINDialog::accept()
{
    if (!IsInputValid())
        return;
    m_soPin = tessaly::CPinBytes(m_pForm->editSOPIN->text());
    m_newPin = tessaly::CPinBytes(m_pForm->editNewPIN->text());
    ClearFields();
    QDialog::accept();
}

void UnblockPINDialog::ClearPINs()
{
    m_soPin.Clear();
    m_newPin.Clear();
}

void UnblockPINDialog::ClearFields()
{
    m_pForm->editSOPIN->clear();
    m_pForm->editNewPIN->clear();
    m_pForm->editNewPIN_2->clear();
}

void UnblockPINDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        m_pForm->retranslateUi(this);
        tessaly::RetranslatePinTextWarning(*m_pForm->labelWarning);
        tessaly::RetranslatePinMismatch(*m_pForm->labelMismatch);
    }
}
