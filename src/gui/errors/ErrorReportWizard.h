#ifndef TESSALY_ERRORREPORTWIZARD_H
#define TESSALY_ERRORREPORTWIZARD_H

#include <QWizard>
#include <string>

class QRegExpValidator;
namespace Ui { class ErrorReportWizard; }

// Asks the user, for the web error-report logger, for a feedback e-mail address and a comment.
// exec() returns QDialog::Accepted when the user sends the report.
class ErrorReportWizard : public QWizard
{
    Q_OBJECT

public:
    ErrorReportWizard(const wchar_t* details, QWidget* parent = nullptr);
    ~ErrorReportWizard() override;

    std::wstring GetEmail() const;
    std::wstring GetComment() const;

    // True when the whole e-mail text matches the address rule.
    bool IsEmailAcceptable() const;

    int nextId() const override;
    void done(int result) override;

public slots:
    void on_btnShowDetails_clicked();

protected:
    void changeEvent(QEvent* event) override;

private:
    Ui::ErrorReportWizard* m_pForm;
    QRegExpValidator* m_pEmailValidator;
};

#endif
