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

// Loads a module named by a path, or by a bare file name as the loader would find it (the
// program's search folders; a name found nowhere there is left to the loader). The file is opened
// once, checked on that descriptor and loaded from it (through a link to /proc/self/fd/N in a
// folder of the process's own, named as the module's file, which is then the library's name in
// the loader), so a file renamed into its place meanwhile is never mapped. A library that is
// loaded already is never mapped again and is handed out even when its file is now cut short.
// Null on failure: *pKind says why; with CutShort *pMessage says how short, with Loadable it
// holds the loader's text (naming the module's path). The handle is given back with dlclose.
void* LoadModuleFile(const char* pszModule, TModuleFile* pKind, std::string* pMessage);

// One more reference to a loaded library (dlopen flags added to RTLD_NOLOAD), found by the name
// the loader has it under, without opening its file again. Null when it is not loaded.
void* ReferenceLoadedModule(void* hModule, int nFlags);

#endif
