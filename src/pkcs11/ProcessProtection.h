#ifndef TSY_PROCESSPROTECTION_H
#define TSY_PROCESSPROTECTION_H

#include <string>

namespace tsy {

// Keeps the memory of a program that holds PINs out of core files and away from other
// processes: no core dump (zero core limit, also for the programs it starts) and not
// dumpable, which also keeps same-user debuggers from attaching and /proc/<pid>/mem, maps
// and environ from other users of the same account. For the whole run: PINs pass through
// many places (dialogs, toolkit buffers, the module's own copies) and outlive their use in
// memory that was given back. False, with the reason in pReason, when a step failed.
bool KeepMemoryPrivate(std::string* pReason = nullptr);

} // namespace tsy

#endif
