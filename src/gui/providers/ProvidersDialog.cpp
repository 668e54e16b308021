#include "ProvidersDialog.h"
#include "ui_ProvidersDialog.h"

#include "AddProviderDialog.h"
#include "IProviderSettings.h"
#include "Settings.h"

#include <QEvent>
#include <QMessageBox>
#include <exception>

#include "GuiLog.h"

ProvidersDialog::ProvidersDialog(IProviderSettings& settings, QWidget* parent)
    : QDialog(parent), m_pForm(new Ui::ProvidersDialog), m_settings(settings), m_bChanged(false)
{
    m_pForm->setupUi(this);
    m_pForm->treeWidget->setRootIsDecorated(false);
    FillLanguages();
}

ProvidersDialog::~ProvidersDialog()
{
    delete m_pForm;
}

void ProvidersDialog::FillLanguages()
{
    const QString current = m_settings.GetCurrentLanguage();
    const QStringList languages = m_settings.GetLanguages();
    int nCurrent = 0;
    for (int i = 0; i < languages.size(); ++i) {
        m_pForm->comboBox->addItem(languages.at(i));
        if (languages.at(i) == current)
            nCurrent = i;
    }
    m_pForm->comboBox->setCurrentIndex(nCurrent);
}

void ProvidersDialog::FillProviderList()
{
    m_pForm->treeWidget->clear();
    for (const auto& provider : m_settings.GetProviders()) {
        QTreeWidgetItem* pRow = new QTreeWidgetItem(m_pForm->treeWidget);
        pRow->setText(0, CSettings::FromMapText(provider.first));
        pRow->setText(1, CSettings::FromMapText(provider.second));
    }
    m_pForm->treeWidget->resizeColumnToContents(0);
}

void ProvidersDialog::ReportFailure(const char* what)
{
    qCWarning(lcGui) << "ProvidersDialog:" << what;
    QMessageBox::critical(this, windowTitle(), QString::fromLocal8Bit(what));
}

void ProvidersDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    try {
        FillProviderList();
    } catch (const std::exception& e) {
        qCWarning(lcGui) << "ProvidersDialog:" << e.what();
    }
}

void ProvidersDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}

void ProvidersDialog::on_addButton_clicked()
{
    try {
        AddProviderDialog dialog(this);
        if (!dialog.exec())
            return;
        IProviderSettings::TProviderTable& table = m_settings.GetProviders();
        const std::string& description = dialog.GetDescription();
        if (table.count(description)) {
            QMessageBox::information(this, QCoreApplication::translate("ProvidersDialog", "Add Device"),
                                     QCoreApplication::translate("ProvidersDialog", "Module %1 already exists.")
                                         .arg(CSettings::FromMapText(description)));
            return;
        }
        table[description] = dialog.GetModule();
        QTreeWidgetItem* pRow = new QTreeWidgetItem(m_pForm->treeWidget);
        pRow->setText(0, CSettings::FromMapText(description));
        pRow->setText(1, CSettings::FromMapText(dialog.GetModule()));
        m_pForm->treeWidget->resizeColumnToContents(0);
        m_bChanged = true;
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }
}

void ProvidersDialog::on_removeButton_clicked()
{
    try {
        const QList<QTreeWidgetItem*> selected = m_pForm->treeWidget->selectedItems();
        if (selected.isEmpty())
            return;
        if (QMessageBox::question(this, QCoreApplication::translate("ProvidersDialog", "Remove Device"),
                                  QCoreApplication::translate("ProvidersDialog", "Are you sure you want to remove the selected module(s)?"),
                                  QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok)
            return;
        IProviderSettings::TProviderTable& table = m_settings.GetProviders();
        for (QTreeWidgetItem* pRow : selected) {
            QTreeWidget* pTree = m_pForm->treeWidget;
            pTree->takeTopLevelItem(pTree->indexOfTopLevelItem(pRow));
            table.erase(CSettings::ToMapText(pRow->text(0)));
            delete pRow;
            m_bChanged = true;
        }
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }
}

void ProvidersDialog::on_resetButton_clicked()
{
    try {
        m_settings.ResetProviders();
        FillProviderList();
        m_bChanged = true;
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }
}

void ProvidersDialog::on_closeButton_clicked()
{
    try {
        m_settings.SetLanguage(m_pForm->comboBox->currentText());
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    }
    close();
}
