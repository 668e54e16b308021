#ifndef SORVIT_HELPERS_H
#define SORVIT_HELPERS_H

// File size, string width conversions and URL splitting.

#include <sorvit/export.h>

#include <cstdint>
#include <string>

// Size of the file at path (links followed); 0 when it cannot be read or when
// it does not fit in 32 bits.
SORVIT_API uint32_t GetFileLength(const char* path);

// Multibyte form of src under the current locale (UTF-8 under a UTF-8 locale).
// Nothing happens for a null src; out is left unchanged when src holds a
// character the locale cannot convert.
SORVIT_API void WCharToUTF8String(const wchar_t* src, std::string& out);
// Byte-wise widening (each byte as a signed 8-bit value) and narrowing (low 8
// bits); no multibyte decoding.
SORVIT_API std::wstring StringToWString(const std::string& text);
SORVIT_API std::string WStringToString(const std::wstring& text);

// Splits scheme://host[:port][/path] into its parts. Returns false only for a
// null url; *port (when given) is 80 unless the url names one; without "://"
// nothing but the port is written. A trailing "/" is dropped from the path.
SORVIT_API bool ParseURL(const char* url, std::string* host, std::string* path, int* port);

#endif
