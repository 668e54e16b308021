#include <QApplication>

#include "AccessibleNames.h"
#include "GuiLog.h"
#include "MainWindow.h"
#include "ProcessProtection.h"
#include "Resources.h"
#include "TessalyStyle.h"

int main(int argc, char* argv[])
{
    // The program holds PINs from its first dialog on: no core file, no debugger of
    // another process, and no line of Qt's own categories, for the whole run.
    tsy::KeepMemoryPrivate();
    tessaly::KeepSecretsOutOfQtLogs();
    CTessalyStyle::PrepareHighDpi();
    QApplication app(argc, argv);
    tessaly::InitResources();
    CTessalyStyle::Install();
    tessaly::InstallAccessibleNames();
    int status = 0;
    {
        // The window goes before the application object.
        MainWindow window;
        window.show();
        status = app.exec();
    }
    return status;
}
