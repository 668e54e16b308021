// PIN change and unblocking.
#include "MainWindow.h"

void MainWindow::on_actionChangePIN_triggered()
{
}

void MainWindow::on_actionUnblockPIN_triggered()
{
}
