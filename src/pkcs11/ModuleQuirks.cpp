#include "ModuleQuirks.h"

#include <cctype>

namespace tsy {

namespace {

// "bit4[ix]pki.dll" as a regular expression, in any letter case, anywhere: the dot matches
// any one character.
bool MatchesLabelLockPattern(const std::string& path)
{
    static const char kPattern[] = "bit4?pki?dll";
    const size_t nPattern = sizeof(kPattern) - 1;
    for (size_t start = 0; start + nPattern <= path.size(); ++start) {
        size_t i = 0;
        for (; i < nPattern; ++i) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(path[start + i])));
            if (i == 4 ? (c != 'i' && c != 'x') : kPattern[i] != '?' && c != kPattern[i])
                break;
        }
        if (i == nPattern)
            return true;
    }
    return false;
}

} // namespace

TModuleQuirks GetModuleQuirks(const std::string& modulePath)
{
    TModuleQuirks quirks;
    quirks.bNoKeyTests = modulePath.find("bit4") != std::string::npos;
    quirks.bLabelLocked = MatchesLabelLockPattern(modulePath);
    quirks.bInitThroughBrannick = modulePath.find("siecap11.so") != std::string::npos;
    return quirks;
}

} // namespace tsy
