#ifndef SORVIT_BERWALK_H
#define SORVIT_BERWALK_H

// Internal to libsorvit (and its tests): not exported.

#include <cstddef>
#include <string>

// Deepest nesting of constructed values that CheckBerValue accepts.
constexpr unsigned kBerMaxDepth = 64;

// Walks the tag-length-value structure of the first complete BER value at data
// without decoding it: tags of at most four octets, length fields of at most
// four octets, every length inside its container, indefinite length only on
// constructed values and closed by end-of-contents, at most kBerMaxDepth levels
// of nesting, universal BIT STRINGs with 0 to 7 unused bits (0 when empty).
// Bytes after the first value are not examined. On success *valueLen (when not
// null) receives the length of that value; on failure *err (when not null)
// receives a description with the offset of the fault.
bool CheckBerValue(const unsigned char* data, size_t len, std::string* err, size_t* valueLen = nullptr);

#endif
