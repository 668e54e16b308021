#ifndef SORVIT_BASE64_H
#define SORVIT_BASE64_H

// Base64 with the standard alphabet and "=" padding (RFC 4648), no line breaks.
// Problems are reported on the standard error stream and through the results.

#include <sorvit/export.h>

#include <cstdint>
#include <string>

namespace base64 {

// Appends the encoding of len bytes to out.
SORVIT_API void encode(const char* data, uint32_t len, std::string& out);
SORVIT_API std::string encode(const char* data, uint32_t len);

// Decoded size of text, ignoring trailing characters outside the alphabet.
// May exceed the bytes decode writes (inner whitespace, odd lengths).
SORVIT_API uint32_t decodeSize(const std::string& text);

// Decodes into buf (len bytes); whitespace is skipped; "=" ends decoding.
SORVIT_API bool decode(const std::string& text, char* buf, uint32_t len);
// new[] array of decodeSize(text) bytes (zero beyond the decoded ones), or
// null on failure; outLen receives decodeSize(text) either way.
SORVIT_API char* decode(const std::string& text, uint64_t& outLen);

}

#endif
