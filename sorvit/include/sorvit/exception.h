#ifndef SORVIT_EXCEPTION_H
#define SORVIT_EXCEPTION_H

// An exception that carries the source position where it was raised.

#include <sorvit/export.h>

#include <cstdint>
#include <exception>
#include <string>

class SORVIT_API CEDMException : public std::exception {
public:
    CEDMException();
    // A null file or message leaves that text empty.
    CEDMException(const char* file, int64_t line, const char* message);
    ~CEDMException() override;

    const char* what() const noexcept override;
    const char* file() const noexcept;
    int64_t lineNumber() const noexcept;

private:
    std::string m_sMessage;
    std::string m_sFile;
    int64_t m_nLine;
};

// Throws CEDMException("Ran out of memory.") at file and line when p is null.
SORVIT_API void EDMAssert(const char* file, int64_t line, const void* p);

// "Error in file <name>, on line <line> :\n<message>", where name is the part
// of file after its last backslash.
SORVIT_API std::string FormatError(const char* file, int64_t line, const char* message);

#endif
