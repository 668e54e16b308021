#include "AboutDialog.h"
#include "ui_AboutDialog.h"

#include <QDesktopServices>
#include <QFile>
#include <QMessageBox>
#include <QTextStream>
#include <QUrl>

#include "LicenseDialog.h"

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent), ui(new Ui::AboutDialog)
{
    ui->setupUi(this);
    ShowVersion();
}

AboutDialog::~AboutDialog()
{
    delete ui;
}

QString AboutDialog::GetVersion(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    const QString key = QStringLiteral("PRODUCTVERSION ");
    while (!stream.atEnd()) {
        const QString line = stream.readLine();
        const int at = line.indexOf(key);
        if (at < 0)
            continue;
        const QStringList parts = line.mid(at + key.size()).split(QLatin1Char(','), Qt::SkipEmptyParts);
        if (parts.size() < 4)
            return QString();
        return QStringLiteral("%1.%2.%3.%4").arg(parts[0].trimmed(), parts[1].trimmed(), parts[2].trimmed(),
                                                  parts[3].trimmed());
    }
    return QString();
}

void AboutDialog::ShowVersion()
{
    ui->lblNameAndVersion->setText(ui->lblNameAndVersion->text().arg(GetVersion()));
}

void AboutDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        ui->retranslateUi(this);
        // retranslateUi brings back the "%1" placeholder.
        ShowVersion();
    }
}

void AboutDialog::on_pushButton_clicked()
{
    LicenseDialog dialog(this);
    dialog.exec();
}

void AboutDialog::on_pushButton_2_clicked()
{
    close();
}

void AboutDialog::on_label_4_linkActivated(const QString& link)
{
    if (QDesktopServices::openUrl(QUrl(link)))
        return;
    QMessageBox::warning(this, windowTitle(),
                         tr("No web browser could be started. The address is:\n%1").arg(link));
}
