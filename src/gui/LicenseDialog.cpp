#include "LicenseDialog.h"
#include "ui_LicenseDialog.h"

#include "TextFile.h"

LicenseDialog::LicenseDialog(QWidget* parent)
    : QDialog(parent), ui(new Ui::LicenseDialog)
{
    ui->setupUi(this);
    // Each translation names its own licence file.
    LoadLicense(QStringLiteral(":/license/Licences/") + tr("LicenseEN.html"));
}

LicenseDialog::~LicenseDialog()
{
    delete ui;
}

void LicenseDialog::LoadLicense(const QString& path)
{
    m_sPath = path;
    // A missing file leaves the view empty.
    ui->textEdit->setHtml(tessaly::ReadTextFile(path));
}

QString LicenseDialog::LicensePath() const
{
    return m_sPath;
}

void LicenseDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}

void LicenseDialog::on_pushButton_clicked()
{
    close();
}
