// What the fuzz entries share: an input split into the parts of one case, and files
// in memory for the readers that take a file name.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzzsupport {

// The line that separates the parts of an input (the seed corpora use it as well).
constexpr char kSeparator[] = "\n--8<--\n";

// The parts of the input between separators; at least nParts, the missing ones empty.
inline std::vector<std::string> Split(const uint8_t* data, size_t size, size_t nParts)
{
    std::vector<std::string> parts;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t nSep = sizeof kSeparator - 1;
    size_t from = 0;
    for (;;) {
        const size_t at = input.find(kSeparator, from);
        if (at == std::string::npos) {
            parts.push_back(input.substr(from));
            break;
        }
        parts.push_back(input.substr(from, at - from));
        from = at + nSep;
    }
    if (parts.size() < nParts)
        parts.resize(nParts);
    return parts;
}

// A regular file in memory (memfd) with a path that opens it; refilled for each case.
class CMemoryFile
{
public:
    explicit CMemoryFile(const char* pszName)
        : m_fd(memfd_create(pszName, MFD_CLOEXEC)), m_path("/proc/self/fd/" + std::to_string(m_fd))
    {
    }
    ~CMemoryFile() { ::close(m_fd); }
    CMemoryFile(const CMemoryFile&) = delete;
    CMemoryFile& operator=(const CMemoryFile&) = delete;

    bool Fill(const void* p, size_t n)
    {
        if (m_fd < 0 || ftruncate(m_fd, 0) != 0)
            return false;
        const char* pc = static_cast<const char*>(p);
        for (size_t done = 0; done < n;) {
            const ssize_t w = pwrite(m_fd, pc + done, n - done, off_t(done));
            if (w <= 0)
                return false;
            done += size_t(w);
        }
        return true;
    }
    bool Fill(const std::string& s) { return Fill(s.data(), s.size()); }
    const std::string& Path() const { return m_path; }

private:
    int m_fd;
    std::string m_path;
};

} // namespace fuzzsupport
