#include "Utf8.h"

#include <cstring>

namespace Logging::detail {

namespace {
const wchar_t kReplacement = 0xFFFD;
}

std::wstring FromUtf8(const char* text)
{
    std::wstring out;
    if (!text)
        return out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = p + std::strlen(text);
    while (p < end) {
        unsigned char c = *p;
        int extra;
        unsigned long cp;
        if (c < 0x80) {
            out.push_back(c);
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            out.push_back(kReplacement);
            ++p;
            continue;
        }
        const unsigned char* q = p + 1;
        int i = 0;
        for (; i < extra && q < end && (*q & 0xC0) == 0x80; ++i, ++q)
            cp = (cp << 6) | (*q & 0x3F);
        static const unsigned long kMin[] = {0, 0x80, 0x800, 0x10000};
        if (i != extra || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            p = (i == extra) ? q : p + 1 + i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        p = q;
    }
    return out;
}

std::string ToUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        unsigned long cp = static_cast<unsigned long>(wc);
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            cp = kReplacement;
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

} // namespace Logging::detail
