#ifndef SORVIT_BER_H
#define SORVIT_BER_H

// Glue between byte blobs and the eSNACC ASN.1 types. Runtime exceptions become
// a false (or 0) result and an error text; *err is written only on failure.

#include <sorvit/blob.h>
#include <sorvit/export.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace SNACC {
class AsnType;
class AsnAny;
class AsnBuf;
}

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
SORVIT_API bool CheckBerValue(const unsigned char* data, size_t len, std::string* err,
                              size_t* valueLen = nullptr);

// Decodes the first value in blob into obj (after CheckBerValue). True when
// the decoder consumed at least one byte.
SORVIT_API bool BlobToType(const _CPBLOB* blob, SNACC::AsnType* obj, std::string* err);
// Re-reads the contents of an ANY as obj. False for an empty ANY.
SORVIT_API bool AnyToType(const SNACC::AsnAny* any, SNACC::AsnType* obj, std::string* err);
// DER-encodes obj into buf and returns the number of bytes readable from buf;
// 0 on failure.
SORVIT_API uint64_t ExtractAnyBuf(SNACC::AsnBuf* buf, const SNACC::AsnType* obj, std::string* err);

#endif
