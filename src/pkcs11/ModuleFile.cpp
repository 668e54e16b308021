#include "ModuleFile.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
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

// The end of the part of the file that the loader reads or maps: the program headers and every
// loadable segment's bytes in the file. 0 when the header has no program headers the loader could
// use (it refuses such a file itself, before it maps anything).
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
        if (segment.p_type != PT_LOAD)
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

TModuleFile CheckFile(const char* pszPath, std::string* pReason)
{
    const CFile file(pszPath);
    if (file.Get() < 0)
        return TModuleFile::Loadable;   // the loader says why it cannot open it
    struct stat info;
    if (::fstat(file.Get(), &info) != 0 || !S_ISREG(info.st_mode))
        return TModuleFile::NotRegular;
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
    const uint64_t nFileSize = uint64_t(info.st_size);
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

// Whether the loader has the library already; it then hands it out without mapping the file again.
// Only asked about a regular file: the loader opens the file to compare it with what it has.
bool IsLoaded(const char* pszModule)
{
    void* h = dlopen(pszModule, RTLD_LAZY | RTLD_NOLOAD);
    if (h)
        dlclose(h);
    return h != nullptr;
}

} // namespace

TModuleFile CheckModuleFile(const char* pszModule, std::string* pReason)
{
    std::string path = pszModule;
    if (!std::strchr(pszModule, '/')) {
        path = FindInSearchPath(pszModule);
        if (path.empty())
            return TModuleFile::Loadable;
    }
    const TModuleFile kind = CheckFile(path.c_str(), pReason);
    return kind == TModuleFile::CutShort && IsLoaded(pszModule) ? TModuleFile::Loadable : kind;
}
