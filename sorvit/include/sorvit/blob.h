#ifndef SORVIT_BLOB_H
#define SORVIT_BLOB_H

// Byte blobs, upper-case hex text of byte strings, integer text and canonical
// DER INTEGER content octets. Every buffer returned here is allocated with
// new[] and freed by the caller with delete[].

#include <sorvit/export.h>

#include <cstdint>
#include <string>

// A byte string passed between the libraries; owns nothing by itself.
struct _CPBLOB {
    unsigned char* pbData;
    uint32_t cbData;
};

// Two upper-case hex digits per byte. With len 0 out is left as it was;
// otherwise out is resized to 2 * len + 1 (the last character is a NUL inside
// the length) and the digits are written over characters 0 .. 2 * len - 1.
SORVIT_API void ByteToStdString(const unsigned char* data, int len, std::string& out);
SORVIT_API std::string ByteToStdString(const unsigned char* data, int len);
// new[] NUL-terminated hex text, or null for len below 1.
SORVIT_API char* ByteToString(const unsigned char* data, int len);

// Integer text in bases 2 to 16, lower-case digits; a sign only in base 10.
// buf must hold 33 characters. A base out of range gives the empty text.
SORVIT_API char* __itoa(int value, char* buf, int base);
SORVIT_API std::string __itoa(int value, int base);

// DER INTEGER content octets -> unsigned magnitude (all leading zero bytes dropped).
SORVIT_API unsigned char* DecanonizeInteger(const unsigned char* src, uint32_t srcLen, uint32_t& outLen);
// Unsigned magnitude -> DER INTEGER content octets (a 0x00 put in front when the top bit is set).
SORVIT_API unsigned char* CanonizeInteger(const unsigned char* src, uint32_t srcLen, uint32_t& outLen);

// Deep copies; the previous contents of the destination are not freed.
SORVIT_API bool DuplicateBlob(const unsigned char* src, uint32_t size, _CPBLOB* out);
SORVIT_API bool DuplicateBlob(const _CPBLOB* src, _CPBLOB* dst);

// Orders by length first, then by memcmp of the bytes; -2 for a null argument.
SORVIT_API int CompareBlobs(const _CPBLOB* a, const _CPBLOB* b);
SORVIT_API int CompareBlobs(const _CPBLOB* a, const unsigned char* data, uint32_t len);

#endif
