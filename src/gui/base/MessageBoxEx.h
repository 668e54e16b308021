#pragma once

#include <QDialog>

namespace Ui { class QMessageBoxEx; }

// An information box with a "Show this message again" check box.
class QMessageBoxEx : public QDialog
{
    Q_OBJECT
public:
    explicit QMessageBoxEx(QWidget* parent);
    ~QMessageBoxEx() override;

    void SetText(const QString& text);
    bool IsShowAgainChecked() const;

protected:
    void changeEvent(QEvent* event) override;

private:
    Ui::QMessageBoxEx* ui;
};
