#pragma once

#include <QDialog>

namespace Ui { class ProtectedAuthPathDialog; }

// The notice shown while the user authenticates on the token's own device (a PIN pad). It has
// no buttons; while it waits for the login it cannot be dismissed (Escape, the close button of
// a window manager, Alt+F4): only EndWait closes it.
class ProtectedAuthPathDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ProtectedAuthPathDialog(QWidget* parent);
    ~ProtectedAuthPathDialog() override;

    // From now on the user cannot close the dialog.
    void BeginWait();
    // The login has ended: the dialog closes (rejected), ending its modal run.
    void EndWait();
    bool IsWaiting() const { return m_bWaiting; }

    void reject() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    Ui::ProtectedAuthPathDialog* m_pForm;
    bool m_bWaiting;
};
