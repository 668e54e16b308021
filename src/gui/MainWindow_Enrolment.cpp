// Certificate enrolment: request and download.
#include "MainWindow.h"

void MainWindow::on_actionRequestCertificate_triggered()
{
}

void MainWindow::on_actionDownloadCertificate_triggered()
{
}
