#pragma once

#include <QDialog>

#include "PinText.h"

namespace Ui { class UnblockPINDialog; }

// Asks for the administrative PIN (the security officer's) and a new user PIN twice, to set the
// user PIN anew, which also unblocks it. It talks to no token.
class UnblockPINDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UnblockPINDialog(QWidget* parent);
    ~UnblockPINDialog() override;

    // The new PIN fields take at most nMaximum characters; the administrative PIN has no limit.
    void SetPINLengths(int nMinimum, int nMaximum);
    // 8-bit text kept (and wiped) by the dialog; empty before acceptance.
    const char* GetSOPIN() const { return m_soPin.Get(); }
    const char* GetNewPIN() const { return m_newPin.Get(); }
    void ClearPINs();

    bool IsInputValid() const;
    void accept() override;

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_buttonBox_accepted();
    void on_editSOPIN_textEdited(const QString&);
    void on_editNewPIN_textEdited(const QString&);
    void on_editNewPIN_2_textEdited(const QString&);

private:
    void UpdateState();
    void ClearFields();

    int m_nMinPINLength;
    tessaly::CPinBytes m_soPin;
    tessaly::CPinBytes m_newPin;
    Ui::UnblockPINDialog* m_pForm;
};
