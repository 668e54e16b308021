#ifndef TESSALY_PROVIDERSDIALOG_H
#define TESSALY_PROVIDERSDIALOG_H

#include <QDialog>

class IProviderSettings;
namespace Ui { class ProvidersDialog; }

// The Preferences dialog: the provider table (add, remove, reset to the defaults) and the
// interface language. Table changes go straight into the settings; IsChanged tells the caller
// to reload its providers and save. The language is applied by the OK button only.
class ProvidersDialog : public QDialog
{
    Q_OBJECT

public:
    // settings must outlive the dialog.
    ProvidersDialog(IProviderSettings& settings, QWidget* parent = nullptr);
    ~ProvidersDialog() override;

    bool IsChanged() const { return m_bChanged; }

public slots:
    void on_addButton_clicked();
    void on_removeButton_clicked();
    void on_resetButton_clicked();
    void on_closeButton_clicked();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void FillProviderList();
    void FillLanguages();
    void ReportFailure(const char* what);

    Ui::ProvidersDialog* m_pForm;
    IProviderSettings& m_settings;
    bool m_bChanged;
};

#endif
