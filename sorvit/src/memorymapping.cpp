#include <sorvit/memorymapping.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

CMemoryMapping::CMemoryMapping() : m_nDescriptor(-1), m_pData(nullptr), m_nLength(0) {}

CMemoryMapping::~CMemoryMapping()
{
    ReleaseMapping();
}

bool CMemoryMapping::MapFile(const char* path)
{
    if (path == nullptr)
        return false;
    if (m_nDescriptor != -1 || m_pData != nullptr)
        ReleaseMapping();
    try {
        m_nDescriptor = open(path, O_RDONLY | O_CLOEXEC);
        if (m_nDescriptor == -1) {
            m_sErrorText = "Unable to open input file.";
            ReleaseMapping();
            return false;
        }
        // The size of the file actually opened, not of whatever the path names now.
        struct stat st;
        if (fstat(m_nDescriptor, &st) != 0 || st.st_size < 0) {
            m_sErrorText = "Unable to get the size of the input file.";
            ReleaseMapping();
            return false;
        }
        if (static_cast<unsigned long long>(st.st_size) > std::numeric_limits<uint32_t>::max()) {
            m_sErrorText = "The input file is too large to map.";
            ReleaseMapping();
            return false;
        }
        const size_t size = static_cast<size_t>(st.st_size);
        void* p = size != 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, m_nDescriptor, 0) : MAP_FAILED;
        if (p == MAP_FAILED) {
            m_sErrorText = "Unable to map the specified file.";
            ReleaseMapping();
            return false;
        }
        m_pData = p;
        m_nLength = static_cast<uint32_t>(size);
        return true;
    } catch (...) {
        ReleaseMapping();
        return false;
    }
}

void CMemoryMapping::ReleaseMapping()
{
    if (m_pData != nullptr)
        munmap(m_pData, m_nLength);
    if (m_nDescriptor != -1)
        close(m_nDescriptor);
    m_nDescriptor = -1;
    m_pData = nullptr;
    m_nLength = 0;
}

const unsigned char* CMemoryMapping::GetData() const
{
    return static_cast<const unsigned char*>(m_pData);
}

uint32_t CMemoryMapping::GetLength() const
{
    return m_nLength;
}

const std::string& CMemoryMapping::GetErrorText() const
{
    return m_sErrorText;
}
