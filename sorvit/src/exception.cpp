#include <sorvit/blob.h>
#include <sorvit/exception.h>

CEDMException::CEDMException() : m_nLine(0) {}

CEDMException::CEDMException(const char* file, int64_t line, const char* message)
    : m_sMessage(message != nullptr ? message : ""), m_sFile(file != nullptr ? file : ""), m_nLine(line)
{
}

CEDMException::~CEDMException() = default;

const char* CEDMException::what() const noexcept
{
    return m_sMessage.c_str();
}

const char* CEDMException::file() const noexcept
{
    return m_sFile.c_str();
}

int64_t CEDMException::lineNumber() const noexcept
{
    return m_nLine;
}

void EDMAssert(const char* file, int64_t line, const void* p)
{
    if (p == nullptr)
        throw CEDMException(file, line, "Ran out of memory.");
}

std::string FormatError(const char* file, int64_t line, const char* message)
{
    std::string name(file != nullptr ? file : "");
    const size_t slash = name.rfind('\\');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    return "Error in file " + name + ", on line " + __itoa(static_cast<int>(line), 10) + " :\n" +
           (message != nullptr ? message : "");
}
