// Card initialisation and its access report.
#include "MainWindow.h"

void MainWindow::on_actionInitialize_triggered()
{
}
