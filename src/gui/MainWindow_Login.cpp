// Login and logout, the PIN-pad login and the tree's context menu.
#include "MainWindow.h"

#include <QDialog>

void MainWindow::on_actionLogin_triggered()
{
}

void MainWindow::on_actionLogout_triggered()
{
}

void MainWindow::on_tree_context_menu(QPoint)
{
}

void MainWindow::on_protected_auth_login_finished()
{
    if (m_pAuthPathDialog)
        m_pAuthPathDialog->close();
}
