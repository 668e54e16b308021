#include <sorvit/base64.h>

#include <cctype>
#include <iostream>
#include <memory>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kFill = '=';

struct DecodeTable {
    signed char value[256];
    DecodeTable()
    {
        for (int i = 0; i < 256; ++i)
            value[i] = -1;
        for (int i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    }
};

const DecodeTable& Table()
{
    static const DecodeTable table;
    return table;
}

int ValueOf(char c)
{
    return Table().value[static_cast<unsigned char>(c)];
}

}

namespace base64 {

void encode(const char* data, uint32_t len, std::string& out)
{
    if (len == 0 || data == nullptr)
        return;
    out.reserve(out.size() + (static_cast<size_t>(len) - 1) / 3 * 4 + 5);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
    uint32_t i = 0;
    for (; i + 3 <= len; i += 3) {
        const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8 | p[i + 2];
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += kAlphabet[(v >> 6) & 0x3F];
        out += kAlphabet[v & 0x3F];
    }
    const uint32_t left = len - i;
    if (left == 1) {
        const uint32_t v = static_cast<uint32_t>(p[i]) << 16;
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += kFill;
        out += kFill;
    } else if (left == 2) {
        const uint32_t v = static_cast<uint32_t>(p[i]) << 16 | static_cast<uint32_t>(p[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 0x3F];
        out += kAlphabet[(v >> 12) & 0x3F];
        out += kAlphabet[(v >> 6) & 0x3F];
        out += kFill;
    }
}

std::string encode(const char* data, uint32_t len)
{
    std::string out;
    encode(data, len, out);
    return out;
}

uint32_t decodeSize(const std::string& text)
{
    size_t n = text.size();
    while (n > 0 && ValueOf(text[n - 1]) < 0 && text[n - 1] != kFill)
        --n;
    if (n % 4 != 0) {
        std::cerr << "base 64 decodeSize error: data size is not multiple of 4" << std::endl;
        return static_cast<uint32_t>((n / 4 + 1) * 3);
    }
    size_t p = 0;
    while (p < n && text[n - 1 - p] == kFill)
        ++p;
    if (p > 2) {
        std::cerr << "base 64 decodeSize error: too many fill characters";
        n -= p / 3 * 3;
        p %= 3;
    }
    // p <= n here, and n / 4 * 3 >= p whenever n >= 4; an all-fill text of
    // fewer characters gives 0 rather than wrapping around.
    const size_t whole = n / 4 * 3;
    return static_cast<uint32_t>(whole >= p ? whole - p : 0);
}

bool decode(const std::string& text, char* buf, uint32_t len)
{
    uint32_t out = 0;
    int inGroup = 0;
    unsigned accum = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c)))
            continue;
        if (c == kFill) {
            if (inGroup < 2) {
                std::cerr << "base64 decode error: unexpected fill char -- offset read?" << std::endl;
                return false;
            }
            return true;
        }
        const int v = ValueOf(c);
        if (v < 0) {
            std::cerr << "base 64 decode error: illegal character '" << c << "'" << std::endl;
            return false;
        }
        accum = (accum << 6) | static_cast<unsigned>(v);
        ++inGroup;
        if (inGroup >= 2) {
            // Two characters give the first byte, three the second, four the third.
            if (out >= len || buf == nullptr)
                return false;
            // Bits left over after this byte: 4, 2, then 0.
            const int rest = 2 * (4 - inGroup);
            buf[out++] = static_cast<char>((accum >> rest) & 0xFF);
            accum &= (1u << rest) - 1;
        }
        if (inGroup == 4) {
            inGroup = 0;
            accum = 0;
        }
    }
    if (inGroup != 0) {
        std::cerr << "base64 decode error: Truncated data" << std::endl;
        return false;
    }
    return true;
}

char* decode(const std::string& text, uint64_t& outLen)
{
    const uint32_t size = decodeSize(text);
    outLen = size;
    // Zero-filled: the size can exceed the decoded bytes, and the tail must not
    // hand out uninitialised memory.
    std::unique_ptr<char[]> buf(new char[size]());
    if (!decode(text, buf.get(), size))
        return nullptr;
    return buf.release();
}

}
