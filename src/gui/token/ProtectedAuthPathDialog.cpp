#include "ProtectedAuthPathDialog.h"
#include "ui_ProtectedAuthPathDialog.h"

#include <QCloseEvent>
#include <QEvent>

ProtectedAuthPathDialog::ProtectedAuthPathDialog(QWidget* parent)
    : QDialog(parent), m_pForm(new Ui::ProtectedAuthPathDialog), m_bWaiting(false)
{
    m_pForm->setupUi(this);
    // A title bar without close, minimise or maximise buttons.
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint);
}

ProtectedAuthPathDialog::~ProtectedAuthPathDialog()
{
    delete m_pForm;
}

void ProtectedAuthPathDialog::BeginWait()
{
    m_bWaiting = true;
}

void ProtectedAuthPathDialog::EndWait()
{
    m_bWaiting = false;
    close();
}

void ProtectedAuthPathDialog::reject()
{
    // Escape ends up here.
    if (!m_bWaiting)
        QDialog::reject();
}

void ProtectedAuthPathDialog::closeEvent(QCloseEvent* event)
{
    if (m_bWaiting) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

void ProtectedAuthPathDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}
