// Login and logout, the PIN-pad login and the tree's context menu.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QCursor>
#include <QMenu>

#include <cassert>

#include "LoginDialog.h"
#include "LoginThread.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Token.h"
#include "ProtectedAuthPathDialog.h"
#include "SelectUserDialog.h"

bool MainWindow::Login(CPKCS11Token* pToken, TUserType eUserType)
{
    assert(pToken);
    // Slot events wait while the dialogs run: they would delete the token.
    COperationGuard operation(this);

    if (!pToken->HasProtectedAuthenticationPath()) {
        bool bLoggedIn = false;
        {
            LoginDialog dialog(eUserType, this);
            dialog.SetPINLength(int(pToken->GetMinPINLength()), int(pToken->GetMaxPINLength()));
            if (dialog.exec() != QDialog::Accepted)
                return false;
            bLoggedIn = pToken->Login(dialog.GetPIN(), dialog.GetUserType());
            dialog.ClearPIN();
        }
        if (!bLoggedIn) {
            ReportLoginFailure(pToken);
            return false;
        }
        on_item_selection_changed();
        return true;
    }

    TUserType eType = eUserType;
    if (eType != SecurityOfficer && eType != NormalUser) {
        SelectUserDialog dialog(this);
        if (dialog.exec() != QDialog::Accepted)
            return false;
        eType = dialog.GetUserType();
    }

    // The module waits in C_Login until the user has acted on the device. The notice cannot
    // be dismissed meanwhile; the thread's end closes it, and the thread is waited for
    // before it goes.
    QLoginThread thread(pToken, eType, nullptr);
    connect(&thread, &QThread::finished, this, &MainWindow::on_protected_auth_login_finished, Qt::QueuedConnection);
    if (!m_pAuthPathDialog)
        m_pAuthPathDialog = new ProtectedAuthPathDialog(this);
    m_pAuthPathDialog->BeginWait();
    thread.start(QThread::InheritPriority);
    m_pAuthPathDialog->exec();
    thread.wait();

    if (thread.GetResult()) {
        on_item_selection_changed();
        return true;
    }
    if (m_lastError.GetFlag() == TSY_KIND_PKCS11 && m_lastError.GetCode() == CKR_FUNCTION_CANCELED) {
        // The user cancelled on the device: nothing to report.
        m_lastError.Reset();
        return false;
    }
    ReportLoginFailure(pToken);
    return false;
}

QString MainWindow::LoginFailureText(const CPKCS11Token* pToken)
{
    QString text = tr("Unable to login.");
    if (pToken->IsWriteProtected()) {
        text += QLatin1Char('\n') + tr("The smart-card is write-protected and was opened read-only.");
        if (!pToken->IsLoginRequired())
            text += QLatin1Char('\n') + tr("The smart-card does not require a login.");
    }
    return text;
}

void MainWindow::ReportLoginFailure(CPKCS11Token* pToken)
{
    // The session the login was for went with the card: the token must be chosen anew. Unless
    // another provider's finalisation closed the module under this one: then it went with that,
    // and the report says so.
    const CK_RV rv = m_lastError.GetFlag() == TSY_KIND_PKCS11 ? m_lastError.GetCode() : CKR_OK;
    if ((rv != CKR_SESSION_HANDLE_INVALID && rv != CKR_SESSION_CLOSED && rv != CKR_DEVICE_REMOVED &&
         rv != CKR_TOKEN_NOT_PRESENT) ||
        !ClosedUnderText().isEmpty()) {
        ShowError(LoginFailureText(pToken), false, true);
        return;
    }
    RereadSlotOf(pToken);
    ShowError(tr("Unable to login.") + QLatin1Char('\n') +
                  tr("The card was removed or replaced. Please select the token again."),
              false, true);
}

void MainWindow::on_protected_auth_login_finished()
{
    if (m_pAuthPathDialog)
        m_pAuthPathDialog->EndWait();
}

bool MainWindow::LogoutToken(CPKCS11Token* pToken)
{
    // Without a session (an uninitialised token) nobody is logged in: nothing to end, nothing to say.
    if (!pToken->GetSession())
        return true;
    if (!ClosedUnderText().isEmpty()) {
        // The module answered so when it was found closed.
        m_lastError.Reset();
        m_lastError.SetMessage("Logout failed: the module was closed under this provider");
        m_lastError.SetCode(CKR_CRYPTOKI_NOT_INITIALIZED);
        m_lastError.SetFlag(TSY_KIND_PKCS11);
        ShowError(tr("Unable to logout."), false, true);
        return false;
    }
    const CK_RV rv = pToken->Logout();
    if (rv == CKR_OK || rv == CKR_USER_NOT_LOGGED_IN)
        return true;
    m_lastError.Reset();
    m_lastError.SetMessage("Logout failed");
    m_lastError.SetCode(rv);
    m_lastError.SetFlag(TSY_KIND_PKCS11);
    ShowError(tr("Unable to logout."), false, true);
    return true;
}

void MainWindow::on_actionLogin_triggered()
{
    RunOperation(tr("Unable to login."), [&] {
        CPKCS11Token* pToken = SelectedTokenOnly();
        if (pToken && Login(pToken, AnyUser))
            RefreshTokenRow(pToken);
    });
}

void MainWindow::on_actionLogout_triggered()
{
    RunOperation(tr("Unable to logout."), [&] {
        CPKCS11Token* pToken = SelectedTokenOnly();
        if (!pToken)
            return;
        if (LogoutToken(pToken))
            RefreshTokenRow(pToken);
        on_item_selection_changed();
    });
}

void MainWindow::on_tree_context_menu(QPoint)
{
    RunOperation(tr("Unable to show the menu."), [&] {
        on_item_selection_changed();
        if (!m_pSelectedItem)
            return;
        // The selection left visible exactly the actions of its kind.
        QMenu* pMenu = nullptr;
        switch (m_pSelectedItem->GetObjectType()) {
        case CryptokiToken:
            pMenu = ui->menuSmart_card;
            break;
        case CryptokiAsymmetricKey:
            pMenu = ui->menuKey;
            break;
        case CryptokiCertificate:
            pMenu = ui->menuCertificate;
            break;
        case CryptokiSlot:
            break;
        }
        if (pMenu)
            pMenu->exec(QCursor::pos());
    });
}

CPKCS11Token* MainWindow::SelectedTokenOnly() const
{
    if (!m_pSelectedItem || m_pSelectedItem->GetObjectType() != CryptokiToken)
        return nullptr;
    return static_cast<CPKCS11Token*>(m_pSelectedItem);
}

CPKCS11Certificate* MainWindow::SelectedCertificate() const
{
    if (!m_pSelectedItem || m_pSelectedItem->GetObjectType() != CryptokiCertificate)
        return nullptr;
    return static_cast<CPKCS11Certificate*>(m_pSelectedItem);
}

const _CPBLOB* MainWindow::SelectedCertificateValue() const
{
    const CPKCS11Certificate* pCertificate = SelectedCertificate();
    const _CPBLOB* pValue = pCertificate ? pCertificate->GetValue() : nullptr;
    return pValue && pValue->pbData && pValue->cbData ? pValue : nullptr;
}

CPKCS11AsymmetricKey* MainWindow::SelectedKey() const
{
    if (!m_pSelectedItem || m_pSelectedItem->GetObjectType() != CryptokiAsymmetricKey)
        return nullptr;
    return static_cast<CPKCS11AsymmetricKey*>(m_pSelectedItem);
}
