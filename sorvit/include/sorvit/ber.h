#ifndef SORVIT_BER_H
#define SORVIT_BER_H

// Glue between byte blobs and the eSNACC ASN.1 types. Runtime exceptions become
// a false (or 0) result and an error text; *err is written only on failure.

#include <sorvit/blob.h>
#include <sorvit/export.h>

#include <cstdint>
#include <string>

namespace SNACC {
class AsnType;
class AsnAny;
class AsnBuf;
}

// Decodes the first value in blob into obj. Its structure is walked first
// (lengths inside their containers, at most four length octets, indefinite
// lengths closed, bounded nesting, sound BIT STRINGs), so hostile lengths never
// reach the runtime; bytes after the first value are not examined. True when
// the decoder consumed at least one byte.
SORVIT_API bool BlobToType(const _CPBLOB* blob, SNACC::AsnType* obj, std::string* err);
// Re-reads the contents of an ANY as obj. False for an empty ANY.
SORVIT_API bool AnyToType(const SNACC::AsnAny* any, SNACC::AsnType* obj, std::string* err);
// DER-encodes obj into buf and returns the number of bytes readable from buf;
// 0 on failure.
SORVIT_API uint64_t ExtractAnyBuf(SNACC::AsnBuf* buf, const SNACC::AsnType* obj, std::string* err);

#endif
