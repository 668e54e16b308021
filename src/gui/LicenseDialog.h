#pragma once

#include <QDialog>

namespace Ui { class LicenseDialog; }

// The licence agreement in the user's language.
class LicenseDialog : public QDialog
{
    Q_OBJECT
public:
    explicit LicenseDialog(QWidget* parent = nullptr);
    ~LicenseDialog() override;

    void LoadLicense(const QString& path);
    QString LicensePath() const;

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_pushButton_clicked();

private:
    Ui::LicenseDialog* ui;
    QString m_sPath;
};
