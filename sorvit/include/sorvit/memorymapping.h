#ifndef SORVIT_MEMORYMAPPING_H
#define SORVIT_MEMORYMAPPING_H

// A read-only private mapping of a whole file.

#include <sorvit/export.h>

#include <cstdint>
#include <string>

class SORVIT_API CMemoryMapping {
public:
    CMemoryMapping();
    ~CMemoryMapping();
    CMemoryMapping(const CMemoryMapping&) = delete;
    CMemoryMapping& operator=(const CMemoryMapping&) = delete;

    // Maps the file at path, releasing any earlier mapping first. On failure
    // the mapping is released and GetErrorText tells why.
    bool MapFile(const char* path);
    void ReleaseMapping();

    const unsigned char* GetData() const;
    uint32_t GetLength() const;
    // The text of the last failure; a later success does not clear it.
    const std::string& GetErrorText() const;

private:
    int m_nDescriptor;
    void* m_pData;
    uint32_t m_nLength;
    std::string m_sErrorText;
};

#endif
