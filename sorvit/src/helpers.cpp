#include <sorvit/helpers.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

uint32_t GetFileLength(const char* path)
{
    if (path == nullptr)
        return 0;
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size < 0)
        return 0;
    // A size the 32-bit result cannot hold is refused rather than cut short.
    if (static_cast<unsigned long long>(st.st_size) > std::numeric_limits<uint32_t>::max())
        return 0;
    return static_cast<uint32_t>(st.st_size);
}

void WCharToUTF8String(const wchar_t* src, std::string& out)
{
    if (src == nullptr)
        return;
    const size_t len = std::wcstombs(nullptr, src, 0);
    if (len == static_cast<size_t>(-1))
        return; // a character the locale cannot convert: out stays as it was
    std::unique_ptr<char[]> buf(new char[len + 1]());
    if (std::wcstombs(buf.get(), src, len + 1) == static_cast<size_t>(-1))
        return;
    out.assign(buf.get(), len);
}

std::wstring StringToWString(const std::string& text)
{
    std::wstring out(text.size(), L'\0');
    for (size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<wchar_t>(static_cast<signed char>(text[i]));
    return out;
}

std::string WStringToString(const std::wstring& text)
{
    std::string out(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<char>(static_cast<unsigned char>(static_cast<unsigned long>(text[i]) & 0xFF));
    return out;
}

bool ParseURL(const char* url, std::string* host, std::string* path, int* port)
{
    if (url == nullptr)
        return false;
    if (port != nullptr)
        *port = 80;
    std::string rest(url);
    const size_t scheme = rest.find("://");
    if (scheme == std::string::npos)
        return true;
    rest.erase(0, scheme + 3);
    if (!rest.empty() && rest[rest.size() - 1] == '/')
        rest.erase(rest.size() - 1);
    const size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        if (path != nullptr)
            *path = rest.substr(slash);
        rest.erase(slash);
    }
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        if (port != nullptr)
            *port = std::atoi(rest.c_str() + colon + 1);
        rest.erase(colon);
    }
    if (host != nullptr)
        *host = rest;
    return true;
}
