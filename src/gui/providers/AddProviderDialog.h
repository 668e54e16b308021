#ifndef TESSALY_ADDPROVIDERDIALOG_H
#define TESSALY_ADDPROVIDERDIALOG_H

#include <QDialog>
#include <string>

namespace Ui { class AddProviderDialog; }

// Asks for a new PKCS#11 module: its description (the tab's name) and its module file.
// The two accessors are valid after exec() returned non-zero.
class AddProviderDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AddProviderDialog(QWidget* parent = nullptr);
    ~AddProviderDialog() override;

    const std::string& GetDescription() const { return m_sDescription; }
    const std::string& GetModule() const { return m_sModule; }

public slots:
    void on_buttonBox_accepted();
    void on_buttonBox_rejected();
    void on_browseButton_clicked();

protected:
    void changeEvent(QEvent* event) override;

private:
    Ui::AddProviderDialog* m_pForm;
    std::string m_sModule;
    std::string m_sDescription;
};

#endif
