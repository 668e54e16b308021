#pragma once

#include <QDialog>

#include "PKCS11Token.h"

namespace Ui { class SelectUserDialog; }

// Asks who logs in on a token with its own PIN entry: the normal user or the administrator.
class SelectUserDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SelectUserDialog(QWidget* parent);
    ~SelectUserDialog() override;

    // Meaningful after the dialog was accepted.
    TUserType GetUserType() const { return m_eUserType; }

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_buttonBox_accepted();

private:
    TUserType m_eUserType;
    Ui::SelectUserDialog* m_pForm;
};
