#include <sorvit/sha1.h>

namespace {
inline uint32_t Rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}
}

CSHA1::CSHA1()
{
    Reset();
}

CSHA1::~CSHA1() = default;

void CSHA1::Reset()
{
    m_nLengthLow = 0;
    m_nLengthHigh = 0;
    m_nBlockIndex = 0;
    m_H[0] = 0x67452301;
    m_H[1] = 0xEFCDAB89;
    m_H[2] = 0x98BADCFE;
    m_H[3] = 0x10325476;
    m_H[4] = 0xC3D2E1F0;
    m_bComputed = false;
    m_bCorrupted = false;
}

void CSHA1::Input(const unsigned char* bytes, uint32_t count)
{
    if (count == 0)
        return;
    if (m_bComputed || m_bCorrupted || bytes == nullptr) {
        m_bCorrupted = true;
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        m_block[m_nBlockIndex++] = bytes[i];
        m_nLengthLow += 8;
        if (m_nLengthLow == 0) {
            if (++m_nLengthHigh == 0) {
                // More than 2^64 bits: the length can no longer be encoded.
                m_bCorrupted = true;
                return;
            }
        }
        if (m_nBlockIndex == 64)
            ProcessMessageBlock();
    }
}

void CSHA1::Input(const char* bytes, uint32_t count)
{
    Input(reinterpret_cast<const unsigned char*>(bytes), count);
}

void CSHA1::Input(unsigned char byte)
{
    Input(&byte, 1);
}

void CSHA1::Input(char byte)
{
    Input(reinterpret_cast<const unsigned char*>(&byte), 1);
}

CSHA1& CSHA1::operator<<(const char* text)
{
    if (text != nullptr)
        while (*text != '\0')
            Input(*text++);
    return *this;
}

CSHA1& CSHA1::operator<<(const unsigned char* text)
{
    return *this << reinterpret_cast<const char*>(text);
}

CSHA1& CSHA1::operator<<(char c)
{
    Input(c);
    return *this;
}

CSHA1& CSHA1::operator<<(unsigned char c)
{
    Input(c);
    return *this;
}

bool CSHA1::Result(uint32_t digest[5])
{
    if (m_bCorrupted)
        return false;
    if (!m_bComputed) {
        PadMessage();
        m_bComputed = true;
    }
    for (int i = 0; i < 5; ++i)
        digest[i] = m_H[i];
    return true;
}

void CSHA1::ProcessMessageBlock()
{
    static const uint32_t K[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};
    uint32_t W[80];
    for (int t = 0; t < 16; ++t) {
        W[t] = static_cast<uint32_t>(m_block[t * 4]) << 24 | static_cast<uint32_t>(m_block[t * 4 + 1]) << 16 |
               static_cast<uint32_t>(m_block[t * 4 + 2]) << 8 | static_cast<uint32_t>(m_block[t * 4 + 3]);
    }
    for (int t = 16; t < 80; ++t)
        W[t] = Rotl(W[t - 3] ^ W[t - 8] ^ W[t - 14] ^ W[t - 16], 1);

    uint32_t a = m_H[0], b = m_H[1], c = m_H[2], d = m_H[3], e = m_H[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f;
        if (t < 20)
            f = (b & c) | (~b & d);
        else if (t < 40)
            f = b ^ c ^ d;
        else if (t < 60)
            f = (b & c) | (b & d) | (c & d);
        else
            f = b ^ c ^ d;
        const uint32_t temp = Rotl(a, 5) + f + e + W[t] + K[t / 20];
        e = d;
        d = c;
        c = Rotl(b, 30);
        b = a;
        a = temp;
    }
    m_H[0] += a;
    m_H[1] += b;
    m_H[2] += c;
    m_H[3] += d;
    m_H[4] += e;
    m_nBlockIndex = 0;
}

void CSHA1::PadMessage()
{
    m_block[m_nBlockIndex++] = 0x80;
    if (m_nBlockIndex > 56) {
        while (m_nBlockIndex < 64)
            m_block[m_nBlockIndex++] = 0;
        ProcessMessageBlock();
    }
    while (m_nBlockIndex < 56)
        m_block[m_nBlockIndex++] = 0;
    for (int i = 0; i < 4; ++i) {
        m_block[56 + i] = static_cast<unsigned char>(m_nLengthHigh >> (24 - 8 * i));
        m_block[60 + i] = static_cast<unsigned char>(m_nLengthLow >> (24 - 8 * i));
    }
    ProcessMessageBlock();
}
