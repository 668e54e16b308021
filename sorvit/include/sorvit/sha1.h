#ifndef SORVIT_SHA1_H
#define SORVIT_SHA1_H

// Incremental SHA-1 (FIPS 180-1).

#include <sorvit/export.h>

#include <cstdint>

class SORVIT_API CSHA1 {
public:
    CSHA1();
    virtual ~CSHA1();

    void Reset();
    // Input after Result, or beyond 2^64 bits, corrupts the object until Reset.
    void Input(const unsigned char* bytes, uint32_t count);
    void Input(const char* bytes, uint32_t count);
    void Input(unsigned char byte);
    void Input(char byte);

    // Inputs the bytes of a NUL-terminated text, or one character.
    CSHA1& operator<<(const char* text);
    CSHA1& operator<<(const unsigned char* text);
    CSHA1& operator<<(char c);
    CSHA1& operator<<(unsigned char c);

    // Pads on the first call, then copies H0..H4 (host words; the digest's bytes
    // are each word from the most significant byte down, H0 first). False when
    // the object is corrupted.
    bool Result(uint32_t digest[5]);

private:
    SORVIT_LOCAL void ProcessMessageBlock();
    SORVIT_LOCAL void PadMessage();

    uint32_t m_H[5];
    uint32_t m_nLengthLow;
    uint32_t m_nLengthHigh;
    unsigned char m_block[64];
    int m_nBlockIndex;
    bool m_bComputed;
    bool m_bCorrupted;
};

#endif
