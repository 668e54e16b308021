// Token, key and certificate tests.
#include "MainWindow.h"

void MainWindow::on_actionTestToken_triggered()
{
}

void MainWindow::on_actionTestKey_triggered()
{
}

void MainWindow::on_actionTestCertificate_triggered()
{
}
