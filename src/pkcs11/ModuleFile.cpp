#include "ModuleFile.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The file descriptor of one check, closed on every road.
class CFile
{
public:
    explicit CFile(const char* pszPath) : m_fd(::open(pszPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)) {}
    ~CFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    int Get() const { return m_fd; }
    // The descriptor, no longer closed here.
    int Release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Exactly n bytes at offset; false when the file holds fewer.
    bool ReadAt(void* pBuffer, size_t n, uint64_t offset) const
    {
        size_t done = 0;
        while (done < n) {
            const ssize_t got = ::pread(m_fd, static_cast<char*>(pBuffer) + done, n - done, off_t(offset + done));
            if (got <= 0)
                return false;
            done += size_t(got);
        }
        return true;
    }

private:
    int m_fd;
};

// The end of the part of the file that the loader reads or maps: the program headers and the
// file contents of every loadable segment (one with none, only memory, is never read). 0 when
// the header has no program headers the loader could use (it refuses such a file itself, before
// it maps anything).
template <class TEhdr, class TPhdr>
uint64_t NeededSize(const CFile& file, uint64_t nFileSize)
{
    TEhdr header;
    if (!file.ReadAt(&header, sizeof(header), 0))
        return 0;
    if (header.e_phentsize != sizeof(TPhdr) || header.e_phnum == 0)
        return 0;
    const uint64_t nHeadersEnd = uint64_t(header.e_phoff) + uint64_t(header.e_phnum) * sizeof(TPhdr);
    if (nHeadersEnd > nFileSize)
        return nHeadersEnd;
    std::vector<TPhdr> segments(header.e_phnum);
    if (!file.ReadAt(segments.data(), segments.size() * sizeof(TPhdr), header.e_phoff))
        return nHeadersEnd;
    uint64_t nEnd = nHeadersEnd;
    for (const TPhdr& segment : segments) {
        if (segment.p_type != PT_LOAD || segment.p_filesz == 0)
            continue;
        const uint64_t offset = segment.p_offset;
        const uint64_t size = segment.p_filesz;
        // Sizes that overflow reach past any file.
        const uint64_t end = offset > UINT64_MAX - size ? UINT64_MAX : offset + size;
        if (end > nEnd)
            nEnd = end;
    }
    return nEnd;
}

// Whether the regular file open as file holds what the loader maps of it.
TModuleFile CheckFile(const CFile& file, uint64_t nFileSize, std::string* pReason)
{
    unsigned char ident[EI_NIDENT];
    // Too short for a header, or no ELF file: the loader reads it into memory and refuses it.
    if (!file.ReadAt(ident, sizeof(ident), 0) || std::memcmp(ident, ELFMAG, SELFMAG) != 0)
        return TModuleFile::Loadable;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    const unsigned char nativeData = ELFDATA2LSB;
#else
    const unsigned char nativeData = ELFDATA2MSB;
#endif
    // A library of another kind is refused (or, found by name, passed over) by the loader itself.
    if (ident[EI_DATA] != nativeData || ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32))
        return TModuleFile::Loadable;
    const uint64_t nNeeded = sizeof(void*) == 8 ? NeededSize<Elf64_Ehdr, Elf64_Phdr>(file, nFileSize)
                                                : NeededSize<Elf32_Ehdr, Elf32_Phdr>(file, nFileSize);
    if (nNeeded <= nFileSize)
        return TModuleFile::Loadable;
    if (pReason)
        *pReason = "cut short: the file has " + std::to_string(nFileSize) + " bytes, its loadable segments need " +
                   (nNeeded == UINT64_MAX ? std::string("more than any file holds")
                                          : std::to_string(nNeeded));
    return TModuleFile::CutShort;
}

// The libraries a module needs (DT_NEEDED) and its own search folders (DT_RUNPATH, else
// DT_RPATH), as its file holds them. False when the file has no dynamic section to read.
template <class TEhdr, class TPhdr, class TDyn>
bool ReadDynamic(const CFile& file, uint64_t nFileSize, std::vector<std::string>* pNeeded, std::string* pSearch)
{
    TEhdr header;
    if (!file.ReadAt(&header, sizeof(header), 0) || header.e_phentsize != sizeof(TPhdr) || header.e_phnum == 0)
        return false;
    std::vector<TPhdr> segments(header.e_phnum);
    if (!file.ReadAt(segments.data(), segments.size() * sizeof(TPhdr), header.e_phoff))
        return false;
    // Where an address of the loaded library lies in the file.
    const auto fileOffset = [&segments](uint64_t address, uint64_t* pOffset) {
        for (const TPhdr& segment : segments)
            if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
                address - segment.p_vaddr < segment.p_filesz) {
                *pOffset = segment.p_offset + (address - segment.p_vaddr);
                return true;
            }
        return false;
    };
    const TPhdr* pDynamic = nullptr;
    for (const TPhdr& segment : segments)
        if (segment.p_type == PT_DYNAMIC)
            pDynamic = &segment;
    const uint64_t kLimit = 1 << 20;   // more than any dynamic section or string table holds
    if (!pDynamic || pDynamic->p_filesz > kLimit || pDynamic->p_offset > nFileSize ||
        pDynamic->p_filesz > nFileSize - pDynamic->p_offset)
        return false;
    std::vector<TDyn> entries(pDynamic->p_filesz / sizeof(TDyn));
    if (!file.ReadAt(entries.data(), entries.size() * sizeof(TDyn), pDynamic->p_offset))
        return false;
    uint64_t stringsAddress = 0, stringsSize = 0;
    std::vector<uint64_t> needed;
    uint64_t runPath = UINT64_MAX, rPath = UINT64_MAX;
    for (const TDyn& entry : entries) {
        if (entry.d_tag == DT_NULL)
            break;
        switch (entry.d_tag) {
        case DT_STRTAB: stringsAddress = entry.d_un.d_ptr; break;
        case DT_STRSZ: stringsSize = entry.d_un.d_val; break;
        case DT_NEEDED: needed.push_back(entry.d_un.d_val); break;
        case DT_RUNPATH: runPath = entry.d_un.d_val; break;
        case DT_RPATH: rPath = entry.d_un.d_val; break;
        default: break;
        }
    }
    uint64_t stringsOffset = 0;
    if (stringsSize == 0 || stringsSize > kLimit || !fileOffset(stringsAddress, &stringsOffset))
        return false;
    std::string strings(stringsSize, '\0');
    if (!file.ReadAt(&strings[0], strings.size(), stringsOffset))
        return false;
    const auto text = [&strings](uint64_t at) {
        return at < strings.size() ? std::string(strings.c_str() + at) : std::string();
    };
    for (uint64_t at : needed)
        pNeeded->push_back(text(at));
    *pSearch = text(runPath != UINT64_MAX ? runPath : rPath);
    return true;
}

// Loaded from its descriptor, a library's $ORIGIN is /proc/self/fd: the libraries it needs from
// folders given relative to its own ($ORIGIN in its run path) are loaded first, from the folder
// of its file, so that the loader finds them loaded under their names. The references to give
// back once the module is loaded.
std::vector<void*> LoadOriginDependencies(const CFile& file, uint64_t nFileSize, const std::string& sPath)
{
    std::vector<void*> loaded;
    std::vector<std::string> needed;
    std::string search;
    const bool bRead = sizeof(void*) == 8 ? ReadDynamic<Elf64_Ehdr, Elf64_Phdr, Elf64_Dyn>(file, nFileSize, &needed, &search)
                                          : ReadDynamic<Elf32_Ehdr, Elf32_Phdr, Elf32_Dyn>(file, nFileSize, &needed, &search);
    if (!bRead || search.find("ORIGIN") == std::string::npos)
        return loaded;
    std::string origin = sPath.substr(0, sPath.rfind('/'));
    if (origin.empty())
        origin = "/";
    if (origin[0] != '/') {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd))
            return loaded;
        origin = std::string(cwd) + "/" + origin;
    }
    std::vector<std::string> folders;
    for (size_t start = 0; start <= search.size();) {
        size_t end = search.find(':', start);
        if (end == std::string::npos)
            end = search.size();
        std::string folder = search.substr(start, end - start);
        start = end + 1;
        bool bRelative = false;
        for (const char* token : {"${ORIGIN}", "$ORIGIN"})
            for (size_t at = folder.find(token); at != std::string::npos; at = folder.find(token, at)) {
                folder.replace(at, std::strlen(token), origin);
                at += origin.size();
                bRelative = true;
            }
        if (bRelative)
            folders.push_back(folder);
    }
    for (const std::string& name : needed) {
        if (name.empty() || name.find('/') != std::string::npos)
            continue;
        // Loaded already under that name: the loader takes that one.
        if (void* h = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD)) {
            dlclose(h);
            continue;
        }
        for (const std::string& folder : folders) {
            const std::string candidate = folder + "/" + name;
            if (::access(candidate.c_str(), F_OK) != 0)
                continue;
            if (void* h = dlopen(candidate.c_str(), RTLD_LAZY))
                loaded.push_back(h);
            break;
        }
    }
    return loaded;
}

// The file the loader would take for a bare name: the first folder of the program's search list
// (its RPATH, LD_LIBRARY_PATH, its RUNPATH, the system's folders) that holds it. Empty when none
// does (a folder only the loader's cache knows of, or no such library).
std::string FindInSearchPath(const char* pszName)
{
    void* hSelf = dlopen(nullptr, RTLD_LAZY);
    if (!hSelf)
        return std::string();
    std::string found;
    Dl_serinfo size;
    if (dlinfo(hSelf, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<unsigned char> buffer(size.dls_size);
        Dl_serinfo* pInfo = reinterpret_cast<Dl_serinfo*>(buffer.data());
        *pInfo = size;
        if (dlinfo(hSelf, RTLD_DI_SERINFO, pInfo) == 0) {
            for (unsigned i = 0; i < pInfo->dls_cnt && found.empty(); ++i) {
                const std::string candidate = std::string(pInfo->dls_serpath[i].dls_name) + "/" + pszName;
                if (::access(candidate.c_str(), F_OK) == 0)
                    found = candidate;
            }
        }
    }
    dlclose(hSelf);
    return found;
}

// The folder the links of the loader's names are made in: the user's runtime folder, else the
// temporary one.
std::string LinkBase()
{
    for (const char* pszVariable : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* pszBase = std::getenv(pszVariable);
        if (pszBase && *pszBase == '/' && ::access(pszBase, W_OK | X_OK) == 0)
            return pszBase;
    }
    return "/tmp";
}

// The name a module file open as fd is given to the loader under: a link to /proc/self/fd/N,
// named as the module's file, in a folder of its own (mode 0700, removed with the link once the
// loader has the file), so that the loader opens that very file and logs, backtraces and the
// sanitizers still name the module. The loader knows a library by every name it was loaded
// under and hands it out again for any of them without opening a file, so no name is ever used
// twice in the process (its ID and a count are in the folder's name). Without a folder the
// descriptor's own name serves, and the descriptor then stays open for good (its number is
// never used again).
class CLoaderName
{
public:
    CLoaderName(int fd, const std::string& sPath) : m_sDescriptor("/proc/self/fd/" + std::to_string(fd))
    {
        static std::atomic<unsigned long> nCount(0);
        std::string folder = LinkBase() + "/tessaly-module-" + std::to_string(long(::getpid())) + "-" +
                             std::to_string(++nCount) + "-XXXXXX";
        if (!::mkdtemp(&folder[0]))
            return;
        const std::string link = folder + "/" + sPath.substr(sPath.rfind('/') + 1);
        if (::symlink(m_sDescriptor.c_str(), link.c_str()) != 0) {
            ::rmdir(folder.c_str());
            return;
        }
        m_sFolder = folder;
        m_sLink = link;
    }
    ~CLoaderName()
    {
        if (m_sLink.empty())
            return;
        ::unlink(m_sLink.c_str());
        ::rmdir(m_sFolder.c_str());
    }
    CLoaderName(const CLoaderName&) = delete;
    CLoaderName& operator=(const CLoaderName&) = delete;

    const std::string& Get() const { return m_sLink.empty() ? m_sDescriptor : m_sLink; }
    // Whether the descriptor must stay open once the loader has a library under this name.
    bool KeepsDescriptor() const { return m_sLink.empty(); }

private:
    std::string m_sDescriptor;
    std::string m_sFolder;
    std::string m_sLink;
};

// The loader's text with the name it was given replaced by the module's.
std::string LoaderError(const std::string& sGiven, const std::string& sModule)
{
    const char* pszError = dlerror();
    std::string text = pszError ? pszError : "";
    for (size_t at = text.find(sGiven); at != std::string::npos; at = text.find(sGiven, at)) {
        const size_t after = at + sGiven.size();
        if (after < text.size() && text[after] >= '0' && text[after] <= '9') {
            at = after;
            continue;
        }
        text.replace(at, sGiven.size(), sModule);
        at += sModule.size();
    }
    return text;
}

} // namespace

void* LoadModuleFile(const char* pszModule, TModuleFile* pKind, std::string* pMessage)
{
    *pKind = TModuleFile::Loadable;
    std::string path = pszModule;
    if (!std::strchr(pszModule, '/')) {
        // A library the loader has under that name (or its soname) is handed out, never mapped again.
        if (void* h = dlopen(pszModule, RTLD_LAZY | RTLD_NOLOAD))
            return h;
        path = FindInSearchPath(pszModule);
        if (path.empty()) {
            // Only the loader's cache knows where it is, if anywhere.
            dlerror();
            void* h = dlopen(pszModule, RTLD_LAZY);
            if (!h) {
                const char* pszError = dlerror();
                *pMessage = pszError ? pszError : "";
            }
            return h;
        }
    }
    // Opened once: the file checked is the file loaded, whatever is renamed into its place.
    CFile file(path.c_str());
    if (file.Get() < 0) {
        *pMessage = path + ": cannot open shared object file: " + std::strerror(errno);
        return nullptr;
    }
    struct stat info;
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        *pKind = TModuleFile::NotRegular;
        return nullptr;
    }
    std::string sReason;
    const TModuleFile kind = CheckFile(file, uint64_t(info.st_size), &sReason);

    const CLoaderName name(file.Get(), path);
    const std::vector<void*> dependencies = kind == TModuleFile::Loadable
                                                ? LoadOriginDependencies(file, uint64_t(info.st_size), path)
                                                : std::vector<void*>();
    dlerror();
    // A library cut short is still handed out when the loader has it already.
    void* h = dlopen(name.Get().c_str(), kind == TModuleFile::CutShort ? RTLD_LAZY | RTLD_NOLOAD : RTLD_LAZY);
    const std::string sLoaderError = h ? std::string() : LoaderError(name.Get(), path);
    for (void* hDependency : dependencies)
        dlclose(hDependency);
    if (!h) {
        if (kind == TModuleFile::CutShort) {
            *pKind = TModuleFile::CutShort;
            *pMessage = sReason;
        } else {
            *pMessage = sLoaderError;
        }
        return nullptr;
    }
    if (name.KeepsDescriptor())
        file.Release();
    return h;
}

void* ReferenceLoadedModule(void* hModule, int nFlags)
{
    struct link_map* pMap = nullptr;
    if (!hModule || dlinfo(hModule, RTLD_DI_LINKMAP, &pMap) != 0 || !pMap || !pMap->l_name)
        return nullptr;
    // The name the loader has the library under: found by name, no file is opened.
    return dlopen(pMap->l_name, RTLD_LAZY | RTLD_NOLOAD | nFlags);
}
