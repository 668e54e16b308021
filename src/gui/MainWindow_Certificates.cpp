// Certificate import, export, view and deletion of objects.
#include "MainWindow.h"

void MainWindow::on_actionCertImport_triggered()
{
}

void MainWindow::on_actionCertExport_triggered()
{
}

void MainWindow::on_actionCertView_triggered()
{
}

void MainWindow::on_actionDelete_triggered()
{
}
