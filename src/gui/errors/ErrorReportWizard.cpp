#include "ErrorReportWizard.h"
#include "ui_ErrorReportWizard.h"

#include <QAbstractButton>
#include <QEvent>
#include <QRegExp>
#include <QRegExpValidator>

ErrorReportWizard::ErrorReportWizard(const wchar_t* details, QWidget* parent)
    : QWizard(parent), m_pForm(new Ui::ErrorReportWizard), m_pEmailValidator(nullptr)
{
    m_pForm->setupUi(this);
    m_pForm->edtDetails->hide();
    m_pForm->edtDetails->setPlainText(details ? QString::fromWCharArray(details) : QString());
    // A top-level name is up to 63 letters (".email", ".online"), or an internationalised one
    // in its ASCII form (".xn--p1ai").
    m_pEmailValidator = new QRegExpValidator(
        QRegExp(QStringLiteral("^[A-Z0-9._%+-]+@[A-Z0-9.-]+\\.(?:[A-Z]{2,63}|XN--[A-Z0-9-]{1,59})$"),
                Qt::CaseInsensitive),
        this);
    m_pForm->edtEmail->setValidator(m_pEmailValidator);
    m_pForm->lblInvalidEmail->hide();
}

ErrorReportWizard::~ErrorReportWizard()
{
    delete m_pForm;
}

std::wstring ErrorReportWizard::GetEmail() const
{
    return m_pForm->edtEmail->text().toStdWString();
}

std::wstring ErrorReportWizard::GetComment() const
{
    return m_pForm->edtComment->toPlainText().toStdWString();
}

bool ErrorReportWizard::IsEmailAcceptable() const
{
    QString text = m_pForm->edtEmail->text();
    int pos = 0;
    return !text.isEmpty() && m_pEmailValidator->validate(text, pos) == QValidator::Acceptable;
}

void ErrorReportWizard::on_btnShowDetails_clicked()
{
    if (!m_pForm->edtDetails->isHidden())
        return;
    m_pForm->edtDetails->show();
    resize(width(), height() + 100);
}

int ErrorReportWizard::nextId() const
{
    if (currentPage() == m_pForm->wizardPage1) {
        // nextId is const in QWizard, but this is where the wizard learns the last page is next.
        const_cast<ErrorReportWizard*>(this)->setButtonText(
            QWizard::FinishButton, QCoreApplication::translate("ErrorReportWizard", "Send"));
        return QWizard::nextId();
    }
    return -1;
}

void ErrorReportWizard::done(int result)
{
    if (result != QDialog::Accepted || IsEmailAcceptable()) {
        QWizard::done(result);
        return;
    }
    m_pForm->lblInvalidEmail->show();
    m_pForm->edtEmail->setFocus(Qt::OtherFocusReason);
}

void ErrorReportWizard::changeEvent(QEvent* event)
{
    QWizard::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        m_pForm->retranslateUi(this);
}
