#include <QApplication>

#include "AccessibleNames.h"
#include "CloseSignals.h"
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
    // Ended by the session, kill or the terminal, the program closes as its window does: once an
    // operation that runs has ended, with the settings saved.
    CCloseSignals closeSignals;
    int status = 0;
    {
        // The window goes before the application object.
        MainWindow window;
        QObject::connect(&closeSignals, &CCloseSignals::CloseRequested, &window, [&window] { window.close(); });
        window.show();
        status = app.exec();
    }
    return status;
}
