// Card initialisation and its access report.
#include "MainWindow.h"

#include <cassert>
#include <climits>
#include <cstring>
#include <memory>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>

#include "AccessReport.h"
#include "AutoSplash.h"
#include "BrannickDialog.h"
#include "FieldList.h"
#include "GuiLog.h"
#include "MessageBoxes.h"
#include "ModuleQuirks.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "ProviderTreeWidget.h"
#include "Secret.h"
#include "pkcs11provider.h"

namespace {

// The SO PIN a card may have been given when brannick stopped waiting for it.
const char kFallbackSOPIN[] = "5820463917";

int ToInt(uint32_t n)
{
    return n > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

// brannick's exit status; -1 when it crashed, -2 when it could not be started. The SO PIN goes
// to its standard input: on its command line every local user could read it.
int RunBrannick(const std::string& module, unsigned long nSlotID, const char* pszSOPIN, const char* pszLabel)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    const QString program = QCoreApplication::applicationDirPath() + QDir::separator() + QStringLiteral("brannick");
    // Arguments go out through the file-name encoding, so decoding with it passes the bytes as given.
    tool.start(program, {QFile::decodeName(module.c_str()), QString::number(nSlotID), QStringLiteral("-"),
                         QFile::decodeName(pszLabel)});
    if (!tool.waitForStarted(-1))
        return -2;
    QByteArray line;
    line.reserve(static_cast<int>(strlen(pszSOPIN)) + 1);
    line.append(pszSOPIN);
    line.append('\n');
    tool.write(line);
    tsy::Wipe(line);
    tool.closeWriteChannel();
    tool.waitForFinished(-1);
    for (const QByteArray& output : tool.readAll().split('\n'))
        if (!output.isEmpty())
            qCDebug(lcGui) << "brannick:" << output.constData();
    if (tool.exitStatus() == QProcess::CrashExit)
        return -1;
    return tool.exitCode();
}

} // namespace

void MainWindow::on_actionInitialize_triggered()
{
    RunOperation(tr("Unable to initialize card."), [this] { InitializeSelectedToken(); });
}

void MainWindow::InitializeSelectedToken()
{
    CPKCS11Token* pToken = SelectedTokenOnly();
    assert(pToken && "pToken");
    CPKCS11Provider* pProvider = m_pCurrentProvider;
    assert(pProvider && "m_pCurrentProvider");

    if (!tessaly::QuestionBox(this, tr("Initialize Card"),
                              tr("By initialising the card you will erase all the information it contains.\n"
                                 "Are you sure you want to continue?")))
        return;

    const std::string sModule = pProvider->GetContext()->GetModuleName();
    const tsy::TModuleQuirks quirks = tsy::GetModuleQuirks(sModule);
    tsy::CSecretString soPIN, newSOPIN, newUserPIN;
    std::string sLabel;
    {
        BrannickDialog dialog(ToInt(pToken->GetMinPINLength()), ToInt(pToken->GetMaxPINLength()), quirks.bLabelLocked,
                              this);
        if (dialog.exec() != QDialog::Accepted)
            return;
        soPIN.Assign(dialog.GetSOPIN());
        newSOPIN.Assign(dialog.GetNewSOPIN());
        newUserPIN.Assign(dialog.GetNewUserPIN());
        sLabel = dialog.GetLabel();
    }

    const unsigned long nSlotID = pToken->GetSlotID();
    tsy::CSecretString soPINInEffect(soPIN.c_str());
    std::unique_ptr<CAutoSplash> pSplash(new CAutoSplash(QStringLiteral(":/bitmaps/Progress"), this, false));
    pSplash->ShowMessage(tr("Initializing card, please wait..."), Qt::AlignBottom, Qt::black);

    QString failure;
    // How far it got: what the card has if a later step fails. After brannick's time-out the
    // erase may or may not have happened; only a login with the fallback AIN tells.
    bool bTimedOut = false;
    bool bErased = false;
    bool bUserPINSet = false;
    if (quirks.bInitThroughBrannick) {
        const int status = RunBrannick(sModule, nSlotID, soPIN.c_str(), sLabel.c_str());
        qCDebug(lcGui) << "brannick exit status" << status;
        // Only a finished initialisation or one that may have finished goes on: any other
        // status would give an unerased card new PINs and a report that says otherwise.
        if (status == 1) {
            bTimedOut = true;
            soPINInEffect.Assign(kFallbackSOPIN);
        } else if (status != 0) {
            failure = tr("Unable to initialize card.");
        }
    } else if (!pToken->InitializeToken(soPIN.c_str(), sLabel.c_str())) {
        failure = tr("Unable to initialize card.");
    }
    if (failure.isEmpty()) {
        bErased = !bTimedOut;
        pToken->CloseSession();
        if (!pToken->OpenSession(false)) {
            failure = tr("Unable to open session.");
        } else if (!pToken->Login(soPINInEffect.c_str(), SecurityOfficer)) {
            failure = tr("Unable to login.");
        } else {
            // The fallback AIN works only on a card that was erased.
            bErased = true;
            if (!pToken->InitPIN(newUserPIN.c_str())) {
                failure = tr("Unable to change user PIN.");
            } else {
                bUserPINSet = true;
                if (!newSOPIN.empty()) {
                    if (pToken->ChangePIN(soPINInEffect.c_str(), newSOPIN.c_str()))
                        soPINInEffect.Assign(newSOPIN.c_str());
                    else
                        failure = tr("Unable to change AIN.");
                }
            }
        }
    }

    // Whatever happened, the card may no longer hold what the tree shows. The failure's error
    // is kept over the re-read, which reports through the same sink.
    const CTSYException error = m_lastError;
    pToken = RereadSlots(pProvider, nSlotID);
    if (!failure.isEmpty()) {
        m_lastError = error;
        pSplash.reset();
        ShowError(failure, false, true);
        // Past the erasure the card is neither as it was nor as asked: the user learns what it
        // has now. No report is made, nor the message of success.
        if (bErased)
            ShowUnfinishedInitialization(sLabel, soPINInEffect.c_str(), !newSOPIN.empty(),
                                         bUserPINSet ? newUserPIN.c_str() : nullptr);
        else if (bTimedOut)
            ShowUnknownErasure(sLabel, soPIN.c_str(), kFallbackSOPIN);
        return;
    }
    m_lastError.Reset();

    tessaly::TAccessData data;
    if (pToken) {
        data.manufacturer = Pkcs11Text(pToken->GetManufacturer());
        data.model = Pkcs11Text(pToken->GetModel());
        data.serialNumber = Pkcs11Text(pToken->GetSerialNumber());
    }
    data.label = QString::fromUtf8(sLabel.c_str());
    data.ain = QString::fromLatin1(soPINInEffect.c_str());
    data.pin = QString::fromLatin1(newUserPIN.c_str());
    tessaly::TReportDestination destination = tessaly::ReportDestinationOf(qgetenv("TESSALY_PRINT_TO_FILE"));
    if (destination.kind == tessaly::TReportDestination::AskForFile) {
        pSplash->Hide();
        destination.fileName = tessaly::SuggestedReportFile(tessaly::ReportFolder(), data.label);
    }
    TextPrinter::TResult printed = tessaly::PrintAccessReport(this, data, destination);
    tessaly::TReportDestination::TKind tried = destination.kind;
    if (printed == TextPrinter::Failed && destination.kind == tessaly::TReportDestination::Printer) {
        tried = tessaly::TReportDestination::AskForFile;
        // No printer, or printing failed: the report may still be kept, as a PDF file of the
        // user's (owner-only, like every report file). The dialog's title alone is no
        // explanation: a desktop without a window manager shows none.
        pSplash->Hide();
        tessaly::InformationBox(this, tr("The access report could not be printed. It holds the card's new PINs: "
                                         "save it as a PDF file in the next dialog."));
        const tessaly::TReportDestination file = {tessaly::TReportDestination::AskForFile,
                                                  tessaly::SuggestedReportFile(tessaly::ReportFolder(), data.label)};
        printed = tessaly::PrintAccessReport(this, data, file, tr("Save the access report as PDF"));
    }
    pSplash.reset();
    if (printed == TextPrinter::Cancelled) {
        ShowError(tr("The access report was not saved. Write down the new PINs now: the next message shows them, "
                     "and nothing else keeps them."),
                  false, true);
    } else if (printed == TextPrinter::Failed) {
        switch (tried) {
        case tessaly::TReportDestination::Printer:
            ShowError(tr("Unable to print the access report."), false, true);
            break;
        case tessaly::TReportDestination::AskForFile:
            ShowError(tr("Unable to write the access report."), false, true);
            break;
        case tessaly::TReportDestination::File:
            ShowError(tr("Unable to write the access report to %1.").arg(destination.fileName), false, true);
            break;
        }
    }
    ShowAccessData(soPINInEffect.c_str(), newUserPIN.c_str());
}

CPKCS11Token* MainWindow::RereadSlots(CPKCS11Provider* pProvider, unsigned long nSlotID)
{
    // The rows, the selection and the provider's slot map point into the slots that the re-read
    // frees: they go first.
    CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
    m_pSelectedItem = nullptr;
    m_pTokenToSelect = nullptr;
    if (pTree)
        pTree->Clear();
    pProvider->GetSlots().clear();

    CPKCS11Context* pContext = pProvider->GetContext();
    if (!pContext->RefreshSlotList())
        LogError(tr("Unable to read the slot list again."));
    if (pTree) {
        DisplaySlots(pProvider, pTree);
        pTree->expandAll();
    }
    CPKCS11Slot* pSlot = pContext->FindSlot(nSlotID);
    CPKCS11Token* pToken = pSlot ? pSlot->GetToken() : nullptr;
    if (pTree) {
        if (QTreeWidgetItem* pRow = pToken ? pTree->FindItem(pToken) : nullptr)
            pTree->setCurrentItem(pRow);
        pTree->on_item_selection_changed();
    }
    on_item_selection_changed();
    return pToken;
}

void MainWindow::ShowAccessData(const char* pszAIN, const char* pszPIN)
{
    // One pass over both values: a PIN holding "%2" stays as it is.
    QMessageBox::information(this, tr("Initialize Card"),
                             tr("The smart-card was successfully initialized.\nAccess information:\n\tAIN: %1\n\tPIN: %2")
                                 .arg(QString::fromLatin1(pszAIN), QString::fromLatin1(pszPIN)));
}

void MainWindow::ShowUnfinishedInitialization(const std::string& sLabel, const char* pszAIN, bool bNewAINAsked,
                                              const char* pszPIN)
{
    // In a box of its own: the access data never go into the error text or the log.
    QString text = tr("The card was erased and labelled \"%1\", but its initialization did not finish. "
                      "No access report was made.")
                       .arg(QString::fromUtf8(sLabel.c_str()));
    text += QLatin1Char('\n') + tr("Access information the card has now:");
    text += QStringLiteral("\n\t") + tr("AIN: %1").arg(QString::fromLatin1(pszAIN));
    if (bNewAINAsked)
        text += QLatin1Char(' ') + tr("(the new AIN was not set)");
    text += QStringLiteral("\n\t") +
            (pszPIN ? tr("PIN: %1").arg(QString::fromLatin1(pszPIN)) : tr("PIN: not set"));
    QMessageBox::warning(this, tr("Initialize Card"), text);
}

void MainWindow::ShowUnknownErasure(const std::string& sLabel, const char* pszOldAIN, const char* pszFallbackAIN)
{
    // As above, in a box of its own.
    QString text = tr("The initialization timed out and no login with the fallback AIN succeeded: it is not known "
                      "whether the card was erased and labelled \"%1\". No access report was made.")
                       .arg(QString::fromUtf8(sLabel.c_str()));
    text += QLatin1Char('\n') + tr("Access information the card may have now:");
    text += QStringLiteral("\n\t") + tr("AIN: %1").arg(QString::fromLatin1(pszOldAIN)) + QLatin1Char(' ') +
            tr("(its old one, if it was not erased)");
    text += QStringLiteral("\n\t") + tr("AIN: %1").arg(QString::fromLatin1(pszFallbackAIN)) + QLatin1Char(' ') +
            tr("(the fallback, if it was erased)");
    text += QStringLiteral("\n\t") + tr("PIN: its old one, or not set if it was erased");
    QMessageBox::warning(this, tr("Initialize Card"), text);
}
