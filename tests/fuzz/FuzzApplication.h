// The application object of the fuzz entries that build widgets, made once and kept
// for the process, offscreen.
#pragma once

#include <cstdlib>

#include <QApplication>

namespace fuzzsupport {

inline void StartApplication()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "tessaly_fuzz";
    static char* argv[] = {name, nullptr};
    static QApplication* pApplication = new QApplication(argc, argv);
    (void)pApplication;
}

} // namespace fuzzsupport
