// The rules that depend on a module's file name, as one table.
#include <gtest/gtest.h>

#include "ModuleQuirks.h"

namespace {

struct TQuirkCase {
    const char* path;
    bool bNoKeyTests;
    bool bLabelLocked;
    bool bInitThroughBrannick;
};

const TQuirkCase kCases[] = {
    {"/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so", false, false, false},
    {"/usr/lib/softhsm/libsofthsm2.so", false, false, false},
    // Key tests: "bit4" in exact case, anywhere.
    {"libbit4ipki.so", true, false, false},
    {"LIBBIT4IPKI.SO", false, false, false},
    {"/opt/bit4id/libp11.so", true, false, false},
    // Label lock: "bit4[ix]pki.dll" in any case; the dot is any character; it must end in "dll".
    {"C:/Windows/bit4ipki.dll", true, true, false},
    {"X/BIT4IPKI.DLL", false, true, false},
    {"bit4xpki.dll", true, true, false},
    {"bit4xpki_dll.so", true, true, false},
    {"bit4apki.dll", true, false, false},
    {"bit4ipki.dl", true, false, false},
    // brannick: "siecap11.so" in exact case, anywhere.
    {"/usr/lib/libsiecap11.so", false, false, true},
    {"/tmp/links/siecap11.so.softhsm", false, false, true},
    {"/usr/lib/LIBSIECAP11.SO", false, false, false},
    {"", false, false, false},
};

TEST(ModuleQuirks, Table)
{
    for (const TQuirkCase& c : kCases) {
        SCOPED_TRACE(c.path);
        const tsy::TModuleQuirks q = tsy::GetModuleQuirks(c.path);
        EXPECT_EQ(q.bNoKeyTests, c.bNoKeyTests);
        EXPECT_EQ(q.bLabelLocked, c.bLabelLocked);
        EXPECT_EQ(q.bInitThroughBrannick, c.bInitThroughBrannick);
    }
}

} // namespace
