#ifndef TSY_MODULE_FILE_H
#define TSY_MODULE_FILE_H

#include <string>

// What a module file is before the loader sees it. The loader must never get a file that would
// end the process: its open() of a FIFO waits for a writer for good, and it maps the loadable
// segments of a shared library without checking that the file holds them, so a library cut short
// (a half-written update, a full disk) raises SIGBUS inside dlopen.
enum class TModuleFile {
    Loadable,    // a regular file whose segments it holds, or one the loader refuses by itself
    NotRegular,  // a FIFO, a device, a folder
    CutShort     // an ELF file whose loadable segments (or program headers) reach past its end
};

// Checks a module named by a path, or by a bare file name as the loader would find it (the
// program's search folders; a name found nowhere there is left to the loader). A library that is
// loaded already is never mapped again and passes. With CutShort, *pReason says how short.
TModuleFile CheckModuleFile(const char* pszModule, std::string* pReason);

#endif
