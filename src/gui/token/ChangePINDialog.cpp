#include "ChangePINDialog.h"
#include "ui_ChangePINDialog.h"

#include <QEvent>
#include <QPushButton>

ChangePINDialog::ChangePINDialog(QWidget* parent)
    : QDialog(parent), m_nMinPINLength(0), m_pForm(new Ui::ChangePINDialog)
{
    m_pForm->setupUi(this);
    // Filled once: the list keeps the language the dialog was opened in.
    m_pForm->cbUserType->addItem(tr("User PIN"));
    m_pForm->cbUserType->addItem(tr("Administrative PIN"));
    m_pForm->labelWarning->hide();
    m_pForm->labelMismatch->hide();
    // The first thing to type is the current PIN, whatever the tab order starts with.
    m_pForm->editPIN->setFocus();
    m_pForm->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(false);
}

ChangePINDialog::~ChangePINDialog()
{
    ClearFields();
    delete m_pForm;
}

void ChangePINDialog::SetPINLength(int nMinimum, int nMaximum)
{
    m_nMinPINLength = nMinimum;
    if (nMaximum > 0) {
        m_pForm->editNewPIN->setMaxLength(nMaximum);
        m_pForm->editNewPIN2->setMaxLength(nMaximum);
    }
}

int ChangePINDialog::GetPINType() const
{
    return m_pForm->cbUserType->currentIndex();
}

bool ChangePINDialog::IsInputValid() const
{
    return tessaly::IsPinChangeValid(m_pForm->editPIN->text(), m_pForm->editNewPIN->text(),
                                     m_pForm->editNewPIN2->text(), m_nMinPINLength);
}

void ChangePINDialog::UpdateState()
{
    tessaly::ShowPinTextWarning(*m_pForm->labelWarning, {m_pForm->editPIN->text(), m_pForm->editNewPIN->text(), m_pForm->editNewPIN2->text()});
    tessaly::ShowPinMismatch(*m_pForm->labelMismatch, m_pForm->editNewPIN->text(), m_pForm->editNewPIN2->text());
    m_pForm->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(IsInputValid());
}

void ChangePINDialog::on_editPIN_textEdited(const QString&)
{
    UpdateState();
}

void ChangePINDialog::on_editNewPIN_textEdited(const QString&)
{
    UpdateState();
}

void ChangePINDialog::on_editNewPIN2_textEdited(const QString&)
{
    UpdateState();
}

void ChangePINDialog::accept()
{
    if (!IsInputValid())
        return;
    m_pin = tessaly::CPinBytes(m_pForm->editPIN->text());
    m_newPin = tessaly::CPinBytes(m_pForm->editNewPIN->text());
    ClearFields();
    QDialog::accept();
}

void ChangePINDialog::ClearPINs()
{
    m_pin.Clear();
    m_newPin.Clear();
}

void ChangePINDialog::ClearFields()
{
    m_pForm->editPIN->clear();
    m_pForm->editNewPIN->clear();
    m_pForm->editNewPIN2->clear();
}

void ChangePINDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        m_pForm->retranslateUi(this);
        tessaly::RetranslatePinTextWarning(*m_pForm->labelWarning);
        tessaly::RetranslatePinMismatch(*m_pForm->labelMismatch);
    }
}
