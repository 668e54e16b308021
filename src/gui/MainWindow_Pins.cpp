// PIN change and unblocking.
#include "MainWindow.h"

#include "ChangePINDialog.h"
#include "MessageBoxes.h"
#include "PKCS11Token.h"
#include "UnblockPINDialog.h"

namespace {

// Logs out whatever the PIN action logged in, also when it ends by an exception; the normal
// end does it earlier, through EndPinOperation, which reports a refused logout.
struct TLogoutOnExit {
    CPKCS11Token* pToken;
    ~TLogoutOnExit()
    {
        if (pToken && pToken->IsLoggedIn())
            pToken->Logout();
    }
};

} // namespace

void MainWindow::EndPinOperation(CPKCS11Token* pToken)
{
    if (pToken->IsLoggedIn())
        LogoutToken(pToken);
    // A wrong PIN may have blocked one, a good one unblocked it: the pane shows it.
    pToken->ReadTokenInfo();
    RefreshTokenRow(pToken);
    on_item_selection_changed();
}

void MainWindow::on_actionChangePIN_triggered()
{
    RunOperation(tr("Unable to change PIN."), [&] {
        CPKCS11Token* pToken = SelectedTokenOnly();
        if (!pToken)
            return;
        TLogoutOnExit logout{pToken};
        // The login below starts from nobody logged in.
        LogoutToken(pToken);
        bool bChanged = false;
        {
            ChangePINDialog dialog(this);
            dialog.SetPINLength(int(pToken->GetMinPINLength()), int(pToken->GetMaxPINLength()));
            if (dialog.exec() == QDialog::Accepted) {
                const TUserType eUser = dialog.GetPINType() == 0 ? NormalUser : SecurityOfficer;
                if (!pToken->Login(dialog.GetPIN(), eUser) || !pToken->ChangePIN(dialog.GetPIN(), dialog.GetNewPIN())) {
                    dialog.ClearPINs();
                    ShowError(tr("Unable to change PIN."), false, true);
                } else {
                    bChanged = true;
                }
                dialog.ClearPINs();
            }
        }
        EndPinOperation(pToken);
        if (bChanged)
            tessaly::InformationBox(this, tr("The PIN was successfully changed."));
    });
}

void MainWindow::on_actionUnblockPIN_triggered()
{
    RunOperation(tr("Unable to unblock user PIN."), [&] {
        CPKCS11Token* pToken = SelectedTokenOnly();
        if (!pToken)
            return;
        TLogoutOnExit logout{pToken};
        LogoutToken(pToken);
        bool bUnblocked = false;
        {
            UnblockPINDialog dialog(this);
            dialog.SetPINLengths(int(pToken->GetMinPINLength()), int(pToken->GetMaxPINLength()));
            if (dialog.exec() == QDialog::Accepted) {
                if (!pToken->Login(dialog.GetSOPIN(), SecurityOfficer)) {
                    dialog.ClearPINs();
                    ShowError(tr("Unable to login."), false, true);
                } else if (!pToken->InitPIN(dialog.GetNewPIN())) {
                    dialog.ClearPINs();
                    ShowError(tr("Unable to unblock user PIN."), false, true);
                } else {
                    bUnblocked = true;
                }
                dialog.ClearPINs();
            }
        }
        EndPinOperation(pToken);
        if (bUnblocked)
            tessaly::InformationBox(this, tr("The user PIN was successfully unblocked."));
    });
}
