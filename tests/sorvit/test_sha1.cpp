// SHA-1: published vectors, OpenSSL on random data, and the object's states.
#include <sorvit/sha1.h>

#include "Fixture.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

namespace {

// The digest's words, most significant byte first, as hex.
std::string Hex(const uint32_t words[5])
{
    unsigned char bytes[20];
    for (int i = 0; i < 20; ++i)
        bytes[i] = static_cast<unsigned char>(words[i / 4] >> (24 - 8 * (i % 4)));
    return fixture::ToHex(bytes, sizeof bytes);
}

std::string Digest(CSHA1& sha)
{
    uint32_t words[5] = {};
    if (!sha.Result(words))
        return "corrupted";
    return Hex(words);
}

std::string OpenSslDigest(const std::vector<unsigned char>& data)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha1(), nullptr);
    return fixture::ToHex(md, len);
}

}

TEST(CSHA1, PublishedVectors)
{
    struct Case {
        std::string input;
        const char* digest;
    } cases[] = {
        {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
        {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
        {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"},
    };
    for (const auto& c : cases) {
        CSHA1 sha;
        sha.Input(c.input.data(), static_cast<uint32_t>(c.input.size()));
        EXPECT_EQ(c.digest, Digest(sha)) << c.input.size() << " bytes";
    }
}

TEST(CSHA1, MatchesOpenSslOnRandomDataInRandomPieces)
{
    std::mt19937 rng(1811);
    std::vector<size_t> sizes = {1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4096, 100003};
    for (int i = 0; i < 40; ++i)
        sizes.push_back(rng() % 5000);
    for (size_t size : sizes) {
        std::vector<unsigned char> data(size);
        for (auto& b : data)
            b = static_cast<unsigned char>(rng());
        CSHA1 sha;
        size_t pos = 0;
        while (pos < size) {
            const size_t piece = std::min<size_t>(size - pos, 1 + rng() % 200);
            if (piece == 1)
                sha.Input(data[pos]);
            else
                sha.Input(data.data() + pos, static_cast<uint32_t>(piece));
            pos += piece;
        }
        EXPECT_EQ(OpenSslDigest(data), Digest(sha)) << size << " bytes";
    }
}

TEST(CSHA1, StreamOperators)
{
    CSHA1 sha;
    sha << "a" << 'b' << static_cast<unsigned char>('c');
    EXPECT_EQ("A9993E364706816ABA3E25717850C26C9CD0D89D", Digest(sha));
    CSHA1 other;
    const unsigned char text[] = "abc";
    other << text;
    EXPECT_EQ("A9993E364706816ABA3E25717850C26C9CD0D89D", Digest(other));
}

TEST(CSHA1, ResultIsStableAndLaterInputCorrupts)
{
    CSHA1 sha;
    sha << "abc";
    const std::string first = Digest(sha);
    EXPECT_EQ(first, Digest(sha)) << "a second Result gives the same words";
    sha.Input("", 0);
    EXPECT_EQ(first, Digest(sha)) << "input of no bytes does nothing";
    sha.Input('x');
    EXPECT_EQ("corrupted", Digest(sha));
    EXPECT_EQ("corrupted", Digest(sha));
    sha.Reset();
    sha << "abc";
    EXPECT_EQ(first, Digest(sha));
}
