#pragma once

#include <QDialog>

#include "PinText.h"

namespace Ui { class ChangePINDialog; }

// Collects what changing one of a token's PINs needs: which PIN (the user PIN or the
// administrative PIN), the current one and the new one twice. It talks to no token.
class ChangePINDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ChangePINDialog(QWidget* parent);
    ~ChangePINDialog() override;

    // The new PIN fields take at most nMaximum characters (when above 0).
    void SetPINLength(int nMinimum, int nMaximum);
    // 0 the user PIN, 1 the administrative PIN.
    int GetPINType() const;
    // The PINs as 8-bit text, kept (and wiped) by the dialog; empty before acceptance.
    const char* GetPIN() const { return m_pin.Get(); }
    const char* GetNewPIN() const { return m_newPin.Get(); }
    void ClearPINs();

    bool IsInputValid() const;
    void accept() override;

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_editNewPIN2_textEdited(const QString&);
    void on_editNewPIN_textEdited(const QString&);
    void on_editPIN_textEdited(const QString&);

private:
    void UpdateState();
    void ClearFields();

    int m_nMinPINLength;
    Ui::ChangePINDialog* m_pForm;
    tessaly::CPinBytes m_pin;
    tessaly::CPinBytes m_newPin;
};
