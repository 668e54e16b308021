#include "StatusText.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace varnock {
namespace {

struct TEnumText {
    const char* text;
    long value;
};

const TEnumText kRequestStates[] = {{"unknown", 0}, {"approved", 1}, {"pending", 2}, {"deleted", 3}};
const TEnumText kUploadStates[] = {{"accepted", 0}, {"malformed", 1}, {"rejected", 2}};

bool IsBlank(unsigned char c)
{
    return c <= 0x20;
}

template <size_t N>
bool ParseEnumText(const std::string& raw, const TEnumText (&table)[N], long& value)
{
    size_t begin = 0, end = raw.size();
    while (begin < end && IsBlank(static_cast<unsigned char>(raw[begin])))
        ++begin;
    while (end > begin && IsBlank(static_cast<unsigned char>(raw[end - 1])))
        --end;
    const std::string text = raw.substr(begin, end - begin);
    for (const TEnumText& entry : table) {
        if (text == entry.text) {
            value = entry.value;
            return true;
        }
    }
    if (text.empty()) {
        value = 0;
        return true;
    }
    // strtol alone would accept leading blanks and a "0x" that are not decimal text.
    size_t i = (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (i == text.size())
        return false;
    for (size_t j = i; j < text.size(); ++j) {
        if (text[j] < '0' || text[j] > '9')
            return false;
    }
    errno = 0;
    const long number = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE)
        return false;
    value = number;
    return true;
}

} // namespace

bool IsBlankText(const std::string& text)
{
    for (char c : text) {
        if (!IsBlank(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

bool ParseRequestStatusText(const std::string& text, long& value)
{
    return ParseEnumText(text, kRequestStates, value);
}

bool ParseUploadStatusText(const std::string& text, long& value)
{
    return ParseEnumText(text, kUploadStates, value);
}

} // namespace varnock
