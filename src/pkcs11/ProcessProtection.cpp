#include "ProcessProtection.h"

#include <cerrno>
#include <cstring>
#include <sys/prctl.h>
#include <sys/resource.h>

bool tsy::KeepMemoryPrivate(std::string* pReason)
{
    bool bDone = true;
    const rlimit none{0, 0};
    if (setrlimit(RLIMIT_CORE, &none) != 0) {
        bDone = false;
        if (pReason)
            *pReason += std::string("core file limit: ") + std::strerror(errno) + "\n";
    }
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        bDone = false;
        if (pReason)
            *pReason += std::string("not dumpable: ") + std::strerror(errno) + "\n";
    }
    return bDone;
}
