// Error reports and the frame of every user operation.
#include "MainWindow.h"

#include <QFile>
#include <QMessageBox>

#include "ErrorReportWizard.h"
#include "GuiLog.h"
#include "OverrideCursor.h"
#include "PKCS11Context.h"
#include "Pkcs11Errors.h"
#include "Settings.h"
#include "pkcs11provider.h"

void MainWindow::ShowError(const QString& text, bool critical, bool showBox)
{
    QString moduleName;
    if (m_pCurrentProvider && m_pCurrentProvider->GetContext())
        moduleName = QFile::decodeName(m_pCurrentProvider->GetContext()->GetModuleName());
    // The module's answer is then about sessions another provider's finalisation took away.
    const QString closedUnder = m_lastError.GetFlag() == TSY_KIND_PKCS11 ? ClosedUnderText() : QString();
    if (!closedUnder.isEmpty())
        RereadClosedProvider();
    ShowErrorOfModule(closedUnder.isEmpty() ? text : text + QLatin1Char('\n') + closedUnder, critical, showBox,
                      m_pCurrentProvider ? &moduleName : nullptr);
}

QString MainWindow::ClosedUnderText() const
{
    const CPKCS11Context* pContext = m_pCurrentProvider ? m_pCurrentProvider->GetContext() : nullptr;
    if (!pContext || !pContext->IsModuleClosedUnder())
        return QString();
    return tr("The module of the provider %1 was closed under it: another provider reaches the same module and "
              "was reloaded or closed. Reload the provider %1 to use it again.")
        .arg(CSettings::FromMapText(pContext->GetDescription()));
}

void MainWindow::ShowErrorOfModule(const QString& text, bool critical, bool showBox, const QString* moduleName)
{
    const TErrorReport report =
        ComposeErrorReport(text, critical, m_lastError.GetMessage(), m_lastError.GetCode(), moduleName);
    // The sink is read; the next failure starts from an empty one.
    m_lastError.Reset();

    // A critical entry asks the user for an error report: the user learns what happened first.
    // Any other entry is written before the box, which runs the event loop: whatever happens
    // meanwhile (or a program that ends there) must not lose it.
    const bool bEntryAfterBox = showBox && report.severity == ErrorSeverityCritical;
    if (!bEntryAfterBox)
        WriteLogEntry(report);
    if (showBox) {
        COperationGuard operation(this);
        // The box waits for the user, not the user for the program.
        COverrideCursor arrow(Qt::ArrowCursor);
        QMessageBox::critical(this, windowTitle(), report.boxText, QMessageBox::Ok, QMessageBox::NoButton);
    }
    if (bEntryAfterBox)
        WriteLogEntry(report);
}

void MainWindow::WriteLogEntry(const TErrorReport& report)
{
    Logging::ILogger& logger = Logging::ILogger::instance();
    logger.severity(report.severity);
    logger << report.logText.toStdWString();
    logger.flush();
}

void MainWindow::LogError(const QString& text, bool critical)
{
    ShowError(text, critical, false);
}

void MainWindow::RunOperation(const QString& failureText, const std::function<void()>& body, TCursorMode cursor)
{
    COperationGuard operation(this);
    std::unique_ptr<COverrideCursor> pCursor;
    if (cursor == WaitCursor)
        pCursor.reset(new COverrideCursor(Qt::WaitCursor));
    CatchAll(failureText, body);
}

void MainWindow::CatchAll(const QString& failureText, const std::function<void()>& body)
{
    try {
        body();
    } catch (const std::exception& e) {
        ReportException(failureText, &e);
    } catch (...) {
        ReportException(failureText, nullptr);
    }
}

void MainWindow::ReportException(const QString& text, const std::exception* pError)
{
    if (const CTSYException* pTSY = dynamic_cast<const CTSYException*>(pError)) {
        m_lastError.SetMessage(pTSY->GetMessage() ? pTSY->GetMessage() : "");
        m_lastError.SetCode(pTSY->GetCode());
        m_lastError.SetFlag(pTSY->GetFlag());
    } else {
        m_lastError.Reset();
        m_lastError.SetMessage(pError ? pError->what() : "unknown exception");
    }
    qCDebug(lcGui) << "Exception caught:" << text << m_lastError.GetMessage();
    ShowError(text, false, true);
}

bool MainWindow::confirmErrorReport(std::wstring& email, std::wstring& comment, const wchar_t* details)
{
    COperationGuard operation(this);
    ErrorReportWizard wizard(details, this);
    if (wizard.exec() != QDialog::Accepted)
        return false;
    email = wizard.GetEmail();
    comment = wizard.GetComment();
    return true;
}
