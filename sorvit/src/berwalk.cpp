// The structure walk that runs before every decode of the BER glue.
#include "berwalk.h"

#include <cstdint>
#include <cstdio>

namespace {

// Kept local: std::to_string would export its libstdc++ helpers from this library.
std::string Decimal(unsigned long long value)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llu", value);
    return buf;
}

// One pass over the TLV structure, so that hostile lengths never reach the
// runtime's decoder (it allocates whatever a length says and mishandles
// lengths wider than 32 bits).
class BerWalker {
public:
    BerWalker(const unsigned char* data, size_t len) : m_data(data), m_len(len) {}

    bool Walk(size_t* valueLen)
    {
        size_t end = 0;
        if (!Element(0, m_len, 0, false, &end))
            return false;
        if (valueLen != nullptr)
            *valueLen = end;
        return true;
    }

    const std::string& Error() const { return m_error; }

private:
    bool Fail(size_t offset, const std::string& what)
    {
        m_error = "Malformed BER at offset " + Decimal(offset) + ": " + what;
        return false;
    }

    // Reads one element starting at pos, which must end by limit. *next gets
    // the offset after it. isEoc reports an end-of-contents marker.
    bool Element(size_t pos, size_t limit, unsigned depth, bool inIndefinite, size_t* next,
                 bool* isEoc = nullptr)
    {
        const size_t start = pos;
        if (pos >= limit)
            return Fail(pos, "value expected, data ends");

        const unsigned char first = m_data[pos++];
        const bool constructed = (first & 0x20) != 0;
        const bool universal = (first & 0xC0) == 0;
        unsigned long tagNumber = first & 0x1F;
        if (tagNumber == 0x1F) {
            // High tag number form; the runtime keeps a tag in 32 bits.
            tagNumber = 0;
            size_t octets = 0;
            for (;;) {
                if (pos >= limit)
                    return Fail(start, "tag runs past the end of its container");
                const unsigned char b = m_data[pos++];
                if (++octets > 3)
                    return Fail(start, "tag longer than four octets");
                tagNumber = (tagNumber << 7) | (b & 0x7F);
                if ((b & 0x80) == 0)
                    break;
            }
        }

        if (pos >= limit)
            return Fail(start, "length missing");
        const unsigned char lenByte = m_data[pos++];
        bool indefinite = false;
        size_t contentLen = 0;
        if (lenByte == 0x80) {
            if (!constructed)
                return Fail(start, "indefinite length on a primitive value");
            indefinite = true;
        } else if (lenByte & 0x80) {
            const size_t octets = lenByte & 0x7F;
            if (octets > 4)
                return Fail(start, "length field longer than four octets");
            if (octets > limit - pos)
                return Fail(start, "length field runs past the end of its container");
            uint32_t value = 0;
            for (size_t i = 0; i < octets; ++i)
                value = (value << 8) | m_data[pos++];
            contentLen = value;
        } else {
            contentLen = lenByte;
        }

        if (first == 0x00) {
            // End-of-contents: only as the closing marker of an indefinite value.
            if (!inIndefinite || indefinite || contentLen != 0)
                return Fail(start, "unexpected end-of-contents");
            if (isEoc != nullptr)
                *isEoc = true;
            *next = pos;
            return true;
        }

        if (!indefinite && contentLen > limit - pos)
            return Fail(start, "length " + Decimal(contentLen) + " exceeds the " +
                                   Decimal(limit - pos) + " bytes left in its container");

        if (!constructed) {
            if (universal && tagNumber == 3 && !CheckBits(start, pos, contentLen))
                return false;
            *next = pos + contentLen;
            return true;
        }

        if (depth + 1 > kBerMaxDepth)
            return Fail(start, "nesting deeper than " + Decimal(kBerMaxDepth) + " levels");

        if (indefinite) {
            for (;;) {
                bool eoc = false;
                size_t after = 0;
                if (pos >= limit)
                    return Fail(start, "indefinite length not closed by end-of-contents");
                if (!Element(pos, limit, depth + 1, true, &after, &eoc))
                    return false;
                pos = after;
                if (eoc)
                    break;
            }
            *next = pos;
            return true;
        }

        const size_t contentEnd = pos + contentLen;
        while (pos < contentEnd) {
            size_t after = 0;
            if (!Element(pos, contentEnd, depth + 1, false, &after))
                return false;
            pos = after;
        }
        *next = contentEnd;
        return true;
    }

    bool CheckBits(size_t start, size_t pos, size_t contentLen)
    {
        if (contentLen == 0)
            return Fail(start, "BIT STRING without its unused-bits octet");
        const unsigned char unused = m_data[pos];
        if (unused > 7)
            return Fail(start, "BIT STRING with " + Decimal(unused) + " unused bits");
        if (contentLen == 1 && unused != 0)
            return Fail(start, "empty BIT STRING with unused bits");
        return true;
    }

    const unsigned char* m_data;
    size_t m_len;
    std::string m_error;
};

}

bool CheckBerValue(const unsigned char* data, size_t len, std::string* err, size_t* valueLen)
{
    if (data == nullptr) {
        if (err != nullptr)
            *err = "Malformed BER: no data";
        return false;
    }
    BerWalker walker(data, len);
    if (!walker.Walk(valueLen)) {
        if (err != nullptr)
            *err = walker.Error();
        return false;
    }
    return true;
}

