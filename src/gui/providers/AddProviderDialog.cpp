#include "AddProviderDialog.h"
#include "ui_AddProviderDialog.h"

#include "Settings.h"

#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QMessageBox>
#include <exception>

#include "GuiLog.h"

AddProviderDialog::AddProviderDialog(QWidget* parent) : QDialog(parent), m_pForm(new Ui::AddProviderDialog)
{
    m_pForm->setupUi(this);
}

AddProviderDialog::~AddProviderDialog()
{
    delete m_pForm;
}

void AddProviderDialog::on_buttonBox_accepted()
{
    try {
        // Blanks count as content: only emptiness is refused.
        if (m_pForm->edtDescription->text().isEmpty()) {
            QMessageBox::information(this, QCoreApplication::translate("AddProviderDialog", "Add Device"),
                                     QCoreApplication::translate("AddProviderDialog", "Please enter module description."));
            return;
        }
        if (m_pForm->edtModule->text().isEmpty()) {
            QMessageBox::information(this, QCoreApplication::translate("AddProviderDialog", "Add Device"),
                                     QCoreApplication::translate("AddProviderDialog", "Please enter module."));
            return;
        }
        // The provider table holds UTF-8 text.
        m_sDescription = CSettings::ToMapText(m_pForm->edtDescription->text());
        m_sModule = CSettings::ToMapText(m_pForm->edtModule->text());
        done(1);
    } catch (const std::exception& e) {
        qCWarning(lcGui) << "AddProviderDialog:" << e.what();
    }
}

void AddProviderDialog::on_buttonBox_rejected()
{
    done(0);
}

void AddProviderDialog::on_browseButton_clicked()
{
    const QString file = QFileDialog::getOpenFileName(
        this, QCoreApplication::translate("AddProviderDialog", "Choose PKCS#11 module"), QString(),
        QCoreApplication::translate("AddProviderDialog", "Shared Objects (*.so)"));
    if (!file.isEmpty())
        m_pForm->edtModule->setText(QDir::toNativeSeparators(file));
}

void AddProviderDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}
