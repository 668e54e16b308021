#pragma once

#include <QDialog>

namespace Ui { class AboutDialog; }

// The about box: name and version (read from the version resource) and the licence.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
    ~AboutDialog() override;

    // "2.1.0.0" from the PRODUCTVERSION line of the given version script; empty when
    // it cannot be read or has fewer than four parts.
    static QString GetVersion(const QString& path = QStringLiteral(":/other/res/tessaly.rc"));

protected:
    void changeEvent(QEvent* event) override;

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    // Opens the address in the desktop's browser; says so when none could be started.
    void on_label_4_linkActivated(const QString& link);

private:
    void ShowVersion();

    Ui::AboutDialog* ui;
};
