#pragma once

#include <QDialog>

#include "PKCS11Token.h"
#include "PinText.h"

namespace Ui { class LoginDialog; }

// Asks for a token's PIN and for who logs in: the normal user or the administrator (the
// security officer). It talks to no token; the caller logs in with what it returns.
class LoginDialog : public QDialog
{
    Q_OBJECT

public:
    // eUserType 1 or 2 shows that user and locks the choice; anything else leaves it open.
    LoginDialog(TUserType eUserType, QWidget* parent);
    ~LoginDialog() override;

    // The maximum is not enforced: a longer PIN goes to the token, which refuses it.
    void SetPINLength(int nMinimum, int nMaximum);
    TUserType GetUserType() const { return m_eUserType; }
    // The PIN as 8-bit text; valid while the dialog lives, empty before acceptance.
    const char* GetPIN() const { return m_pin.Get(); }
    // Wipes the PIN the dialog kept.
    void ClearPIN() { m_pin.Clear(); }

    // Accepts only input that passes the check, however accept is reached.
    void accept() override;

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_edtPassword_textEdited(const QString&);
    void on_buttonBox_rejected();
    void on_buttonBox_accepted();

private:
    bool IsInputValid() const;
    void UpdateState();

    Ui::LoginDialog* m_pForm;
    TUserType m_eUserType;
    TUserType m_eRequested;
    tessaly::CPinBytes m_pin;
    int m_nMinPINLength;
};
