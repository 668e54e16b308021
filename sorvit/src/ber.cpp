#include <sorvit/ber.h>

#include "berwalk.h"

#include <asn-incl.h>

#include <string>

namespace {

bool Decode(const char* data, size_t len, SNACC::AsnType* obj, std::string* err)
{
    std::string walkError;
    size_t valueLen = 0;
    if (!CheckBerValue(reinterpret_cast<const unsigned char*>(data), len, &walkError, &valueLen)) {
        if (err != nullptr)
            *err = walkError;
        return false;
    }
    try {
        // Only the checked value reaches the runtime: a decoder that reads past a
        // short SEQUENCE must meet the end of the buffer, not unchecked bytes.
        SNACC::AsnBuf buf(data, valueLen);
        SNACC::AsnLen decoded = 0;
        obj->BDec(buf, decoded);
        // An empty BIT STRING comes out of the runtime as a block of no octets, whose first
        // octet its named-bit-list encoder reads: with no block at all it reads nothing.
        if (auto* bits = dynamic_cast<SNACC::AsnBits*>(obj))
            if (bits->BitLen() == 0)
                bits->clear();
        return decoded != 0;
    } catch (const SNACC::SnaccException& e) {
        if (err != nullptr)
            *err = e.what();
        return false;
    }
}

}

bool BlobToType(const _CPBLOB* blob, SNACC::AsnType* obj, std::string* err)
{
    if (blob == nullptr || blob->pbData == nullptr || obj == nullptr)
        return false;
    return Decode(reinterpret_cast<const char*>(blob->pbData), blob->cbData, obj, err);
}

bool AnyToType(const SNACC::AsnAny* any, SNACC::AsnType* obj, std::string* err)
{
    if (any == nullptr || obj == nullptr)
        return false;
    std::string bytes;
    try {
        SNACC::AsnBuf scratch;
        scratch.ResetMode(std::ios_base::out);
        any->BEnc(scratch);
        scratch.ResetMode(std::ios_base::in);
        const unsigned long len = scratch.length();
        if (len == 0)
            return false;
        scratch.GetSeg(bytes, static_cast<long>(len));
    } catch (const SNACC::SnaccException& e) {
        if (err != nullptr)
            *err = e.what();
        return false;
    }
    return Decode(bytes.data(), bytes.size(), obj, err);
}

uint64_t ExtractAnyBuf(SNACC::AsnBuf* buf, const SNACC::AsnType* obj, std::string* err)
{
    if (buf == nullptr || obj == nullptr)
        return 0;
    try {
        buf->ResetMode(std::ios_base::out);
        obj->BEnc(*buf);
        buf->ResetMode(std::ios_base::in);
        return buf->length();
    } catch (const SNACC::SnaccException& e) {
        if (err != nullptr)
            *err = e.what();
        return 0;
    }
}
