#ifndef TSY_MODULE_QUIRKS_H
#define TSY_MODULE_QUIRKS_H

#include <string>

namespace tsy {

// What the program does differently for a module, told by its file name. Every such rule
// lives here.
struct TModuleQuirks
{
    // Key and certificate tests are disabled: the file name holds "bit4" (exact case).
    bool bNoKeyTests = false;
    // The label of a token cannot be changed when it is initialised: the path matches
    // "bit4[ix]pki.dll" in any letter case.
    bool bLabelLocked = false;
    // Tokens are erased by the separate tool brannick: the path holds "siecap11.so" (exact case).
    bool bInitThroughBrannick = false;
};

TModuleQuirks GetModuleQuirks(const std::string& modulePath);

} // namespace tsy

#endif
