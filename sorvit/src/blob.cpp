#include <sorvit/blob.h>

#include <cstring>

namespace {
const char kHexDigits[] = "0123456789ABCDEF";
const char kItoaDigits[] = "0123456789abcdef";
}

namespace {
// The one hex writer: two upper-case digits per byte into out[0 .. 2 * n - 1].
void WriteHex(const unsigned char* data, size_t n, char* out)
{
    for (size_t i = 0; i < n; ++i) {
        out[2 * i] = kHexDigits[data[i] >> 4];
        out[2 * i + 1] = kHexDigits[data[i] & 0x0F];
    }
}
} // namespace

void ByteToStdString(const unsigned char* data, int len, std::string& out)
{
    if (len <= 0)
        return;
    const size_t n = static_cast<size_t>(len);
    out.resize(2 * n + 1);
    WriteHex(data, n, &out[0]);
    // The last character stays inside the length; a longer string was cut to
    // 2 * len + 1, so the terminator must be written here.
    out[2 * n] = '\0';
}

std::string ByteToStdString(const unsigned char* data, int len)
{
    std::string out;
    ByteToStdString(data, len, out);
    return out;
}

char* ByteToString(const unsigned char* data, int len)
{
    if (len < 1)
        return nullptr;
    const size_t n = static_cast<size_t>(len);
    char* text = new char[2 * n + 1];
    WriteHex(data, n, text);
    text[2 * n] = '\0';
    return text;
}

char* __itoa(int value, char* buf, int base)
{
    if (base < 2 || base > 16) {
        buf[0] = '\0';
        return buf;
    }
    // Remainders are negated one by one so the smallest int needs no negation.
    int pos = 0;
    int rest = value;
    do {
        int digit = rest % base;
        if (digit < 0)
            digit = -digit;
        buf[pos++] = kItoaDigits[digit];
        rest /= base;
    } while (rest != 0);
    if (value < 0 && base == 10)
        buf[pos++] = '-';
    for (int i = 0, j = pos - 1; i < j; ++i, --j) {
        char c = buf[i];
        buf[i] = buf[j];
        buf[j] = c;
    }
    buf[pos] = '\0';
    return buf;
}

std::string __itoa(int value, int base)
{
    std::string out;
    out.reserve(35);
    char buf[35];
    out = __itoa(value, buf, base);
    return out;
}

unsigned char* DecanonizeInteger(const unsigned char* src, uint32_t srcLen, uint32_t& outLen)
{
    uint32_t skip = 0;
    if (src != nullptr) {
        while (skip < srcLen && src[skip] == 0x00)
            ++skip;
    } else {
        skip = srcLen;
    }
    outLen = srcLen - skip;
    unsigned char* out = new unsigned char[outLen];
    if (outLen != 0)
        std::memcpy(out, src + skip, outLen);
    return out;
}

unsigned char* CanonizeInteger(const unsigned char* src, uint32_t srcLen, uint32_t& outLen)
{
    // An empty (or missing) magnitude has no first byte to look at.
    if (src == nullptr || srcLen == 0) {
        outLen = 0;
        return new unsigned char[outLen];
    }
    const bool pad = (src[0] & 0x80) != 0;
    outLen = srcLen + (pad ? 1 : 0);
    unsigned char* out = new unsigned char[outLen];
    if (pad)
        out[0] = 0x00;
    std::memcpy(out + (pad ? 1 : 0), src, srcLen);
    return out;
}

bool DuplicateBlob(const unsigned char* src, uint32_t size, _CPBLOB* out)
{
    if (src == nullptr || out == nullptr)
        return false;
    unsigned char* copy = new unsigned char[size];
    if (size != 0)
        std::memcpy(copy, src, size);
    out->pbData = copy;
    out->cbData = size;
    return true;
}

bool DuplicateBlob(const _CPBLOB* src, _CPBLOB* dst)
{
    if (src == nullptr || src->pbData == nullptr || dst == nullptr)
        return false;
    return DuplicateBlob(src->pbData, src->cbData, dst);
}

int CompareBlobs(const _CPBLOB* a, const _CPBLOB* b)
{
    if (a == nullptr || b == nullptr)
        return -2;
    if (a->cbData < b->cbData)
        return -1;
    if (a->cbData > b->cbData)
        return 1;
    if (a->cbData == 0)
        return 0;
    return std::memcmp(a->pbData, b->pbData, a->cbData);
}

int CompareBlobs(const _CPBLOB* a, const unsigned char* data, uint32_t len)
{
    if (a == nullptr || data == nullptr)
        return -2;
    _CPBLOB b;
    b.pbData = const_cast<unsigned char*>(data);
    b.cbData = len;
    return CompareBlobs(a, &b);
}
