#pragma once

#include <QDialog>
#include <QString>

namespace Ui {
class DownloadCertDialog;
}

// What the certificate download is doing, then one row per key pair: a status icon,
// the pair's label and what happened. The enrolment driver fills it while it works
// and finally runs it modally as the summary.
class DownloadCertDialog : public QDialog
{
    Q_OBJECT
public:
    // Row codes: the request states of the service. Any other code shows as unknown.
    enum TStatus { StatusUnknown = 0, StatusApproved = 1, StatusPending = 2, StatusRejected = 3 };

    explicit DownloadCertDialog(QWidget* parent = nullptr);
    ~DownloadCertDialog() override;

    // Both repaint at once: the driver keeps the event loop busy while it works.
    void SetActionText(const QString& text);
    void AddStatusItem(int nStatus, const QString& qsLabel, const QString& qsMessage);

    // The icon resource of a row code.
    static QString StatusIcon(int nStatus);

protected:
    void changeEvent(QEvent* event) override;

private:
    Ui::DownloadCertDialog* ui;
};
