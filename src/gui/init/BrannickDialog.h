#pragma once

#include <QDialog>
#include <QString>

#include "Secret.h"

class QLineEdit;
namespace Ui {
class BrannickDialog;
}

// Collects what a card initialisation needs: the SO PIN, the label and the new SO and user
// PINs, and proposes random numeric PINs. It touches no token.
class BrannickDialog : public QDialog
{
    Q_OBJECT
public:
    // labelFixed keeps the label at its default text (modules that cannot take another).
    BrannickDialog(int minPINLength, int maxPINLength, bool labelFixed, QWidget* parent = nullptr);
    ~BrannickDialog() override;

    // After acceptance; NUL-terminated, valid while the dialog lives, empty before. PINs are
    // Latin-1, the label UTF-8 as it goes to the card.
    const char* GetSOPIN() const { return m_sSOPIN.c_str(); }
    const char* GetNewSOPIN() const { return m_sNewSOPIN.c_str(); }
    const char* GetNewUserPIN() const { return m_sNewUserPIN.c_str(); }
    const char* GetLabel() const { return m_sLabel.c_str(); }

    // A PIN of that many decimal digits from the system's cryptographic random source, the first
    // one not 0; empty when the source fails.
    static QString GenerateNumericPIN(int nDigits);
    // The length of a generated PIN: the preferred one, at least the minimum and, where the
    // token's limits allow, at most the maximum.
    static int GeneratedLength(int nPreferred, int minPINLength, int maxPINLength);
    // The default of the new user PIN: the stored default with the minimum appended when it
    // lies between 5 and 10.
    static QString BuildDefaultPIN(const QString& storedDefault, int minPINLength);

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_btnGenerate_clicked();
    void on_buttonBox_accepted();
    void on_buttonBox_rejected();

private:
    // Each shows its box, clears and focuses the field, and answers false when the PIN fails.
    bool CheckLength(QLineEdit* pField);
    bool CheckCharacters(QLineEdit* pField);
    bool CheckLabel();
    void ShowInvalid(const QString& title, const QString& text, QLineEdit* pField, bool clear);

    Ui::BrannickDialog* m_pForm;
    int m_nMinPINLength;
    int m_nMaxPINLength;
    tsy::CSecretString m_sSOPIN;
    tsy::CSecretString m_sNewSOPIN;
    tsy::CSecretString m_sNewUserPIN;
    std::string m_sLabel;
};
