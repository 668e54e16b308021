#include "Resources.h"

#include <QtGlobal>

static void InitAll()
{
#ifdef TESSALY_HAVE_RESOURCES
    Q_INIT_RESOURCE(tessaly);
#endif
#ifdef TESSALY_HAVE_TRANSLATIONS
    Q_INIT_RESOURCE(tessaly_translations);
#endif
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
