#include "SelectUserDialog.h"
#include "ui_SelectUserDialog.h"

#include <QEvent>

SelectUserDialog::SelectUserDialog(QWidget* parent)
    : QDialog(parent), m_eUserType(NormalUser), m_pForm(new Ui::SelectUserDialog)
{
    m_pForm->setupUi(this);
}

SelectUserDialog::~SelectUserDialog()
{
    delete m_pForm;
}

void SelectUserDialog::on_buttonBox_accepted()
{
    m_eUserType = m_pForm->cboxUserType->currentIndex() == 0 ? NormalUser : SecurityOfficer;
}

void SelectUserDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}
