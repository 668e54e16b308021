// The character sets of ASN.1 strings, handed out as UTF-8.

#include "Internal.h"

namespace pellum {

namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool IsScalar(uint32_t cp)
{
    return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
}

uint32_t BigEndian(const unsigned char* p, size_t n)
{
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// The length of the well-formed UTF-8 sequence at p (at most n bytes): no
// overlong forms, no surrogates, nothing above U+10FFFF. For an ill-formed one,
// 0 and in *bad the bytes of its longest start that could begin a sequence (at
// least 1), which stand for one U+FFFD.
size_t Utf8SequenceLength(const unsigned char* p, size_t n, size_t* bad)
{
    *bad = 1;
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    size_t len;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (size_t i = 1; i < len; ++i) {
        if (i >= n || p[i] < (i == 1 ? low : 0x80) || p[i] > (i == 1 ? high : 0xBF)) {
            *bad = i;
            return 0;
        }
    }
    return len;
}

}

void AppendUtf8(uint32_t cp, std::string* out)
{
    if (!IsScalar(cp)) {
        *out += kReplacement;
    } else if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | (cp >> 6));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += static_cast<char>(0xE0 | (cp >> 12));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | (cp >> 18));
        *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string ValidUtf8(const unsigned char* p, size_t n)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        // Runs of ASCII go over whole: they are nearly every name.
        size_t ascii = i;
        while (ascii < n && p[ascii] < 0x80)
            ++ascii;
        out.append(reinterpret_cast<const char*>(p + i), ascii - i);
        if ((i = ascii) == n)
            break;
        size_t bad = 0;
        const size_t len = Utf8SequenceLength(p + i, n - i, &bad);
        if (len) {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
        } else {
            out += kReplacement;
            i += bad;
        }
    }
    return out;
}

std::string Latin1ToUtf8(const unsigned char* p, size_t n)
{
    std::string out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i)
        AppendUtf8(p[i], &out);
    return out;
}

std::string Utf16BeToUtf8(const unsigned char* p, size_t n)
{
    std::string out;
    out.reserve(n);
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
        uint32_t unit = BigEndian(p + i, 2);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 4 <= n) {
            const uint32_t next = BigEndian(p + i + 2, 2);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
                i += 2;
            }
        }
        AppendUtf8(unit, &out);  // a surrogate left alone becomes U+FFFD
    }
    if (i < n)
        out += kReplacement;
    return out;
}

std::string Utf32BeToUtf8(const unsigned char* p, size_t n)
{
    std::string out;
    out.reserve(n);
    size_t i = 0;
    for (; i + 4 <= n; i += 4)
        AppendUtf8(BigEndian(p + i, 4), &out);
    if (i < n)
        out += kReplacement;
    return out;
}


std::string ShownNameValue(const std::string& value)
{
    // Line breaks would start a line that reads as an attribute of its own; bidirectional
    // controls reorder what is shown after them.
    auto escape = [](const unsigned char* p, size_t n, std::string* out) -> size_t {
        static const char hex[] = "0123456789abcdef";
        uint32_t cp = 0;
        size_t len = 0;
        if (p[0] >= 0x0A && p[0] <= 0x0D) {
            cp = p[0];
            len = 1;
        } else if (n >= 2 && p[0] == 0xC2 && p[1] == 0x85) {
            cp = 0x85;
            len = 2;
        } else if (n >= 2 && p[0] == 0xD8 && p[1] == 0x9C) {
            cp = 0x061C;
            len = 2;
        } else if (n >= 3 && p[0] == 0xE2 && (p[1] == 0x80 || p[1] == 0x81) && (p[2] & 0xC0) == 0x80) {
            const uint32_t c = 0x2000 | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
            if (c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) {
                cp = c;
                len = 3;
            }
        }
        if (!len)
            return 0;
        if (cp < 0x100) {
            *out += "\\x";
        } else {
            *out += "\\u";
            *out += hex[(cp >> 12) & 0xF];
            *out += hex[(cp >> 8) & 0xF];
        }
        *out += hex[(cp >> 4) & 0xF];
        *out += hex[cp & 0xF];
        return len;
    };
    const unsigned char* p = reinterpret_cast<const unsigned char*>(value.data());
    const size_t n = value.size();
    size_t i = 0;
    while (i < n && !((p[i] >= 0x0A && p[i] <= 0x0D) || p[i] == 0xC2 || p[i] == 0xD8 || p[i] == 0xE2))
        ++i;
    if (i == n)
        return value;
    std::string out(value, 0, i);
    while (i < n) {
        const size_t len = escape(p + i, n - i, &out);
        if (len) {
            i += len;
        } else {
            out += value[i];
            ++i;
        }
    }
    return out;
}

}
