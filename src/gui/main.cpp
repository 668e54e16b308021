#include <QApplication>

#include "MainWindow.h"
#include "Resources.h"
#include "TessalyStyle.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    tessaly::InitResources();
    CTessalyStyle::Install();
    int status = 0;
    {
        // The window goes before the application object.
        MainWindow window;
        window.show();
        status = app.exec();
    }
    return status;
}
