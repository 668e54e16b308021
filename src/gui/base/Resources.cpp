#include "Resources.h"

#include <QtGlobal>

static void InitAll()
{
    Q_INIT_RESOURCE(tessaly);
    Q_INIT_RESOURCE(tessaly_translations);
}

namespace tessaly {
void InitResources()
{
    static bool done = false;
    if (!done) {
        done = true;
        InitAll();
    }
}
}
