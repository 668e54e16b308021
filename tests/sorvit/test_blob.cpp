// Hex text, integer text, canonical integers and blob copies and ordering.
#include <sorvit/blob.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

TEST(ByteToString, UpperCaseDigitsAndTerminator)
{
    const unsigned char data[] = {0x00, 0x7F, 0xA5};
    std::unique_ptr<char[]> text(ByteToString(data, 3));
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ("007FA5", text.get());
    EXPECT_EQ('\0', text[6]);
    EXPECT_EQ(nullptr, ByteToString(data, 0));
    EXPECT_EQ(nullptr, ByteToString(data, -1));
}

TEST(ByteToStdString, ResizesToTwiceThePlusOne)
{
    const unsigned char data[] = {0x01, 0x02};
    std::string out;
    ByteToStdString(data, 2, out);
    EXPECT_EQ(5u, out.size());
    EXPECT_STREQ("0102", out.c_str());
    EXPECT_EQ('\0', out[4]);

    const unsigned char all[] = {0x0A, 0xFF};
    EXPECT_STREQ("0AFF", ByteToStdString(all, 2).c_str());
    EXPECT_EQ(std::string("0AFF\0", 5), ByteToStdString(all, 2));
    EXPECT_EQ("", ByteToStdString(all, 0));
}

TEST(ByteToStdString, ZeroLengthLeavesTheStringAlone)
{
    std::string out = "keep me";
    ByteToStdString(nullptr, 0, out);
    EXPECT_EQ("keep me", out);
    ByteToStdString(nullptr, -3, out);
    EXPECT_EQ("keep me", out);
}

TEST(ByteToStdString, LongerStringIsCutAndTerminated)
{
    // A longer string is cut to 2 * len + 1; its last character must become
    // the terminator, or c_str() would show a stray old character.
    const unsigned char data[] = {0xBE, 0xEF};
    std::string out = "0123456789";
    ByteToStdString(data, 2, out);
    EXPECT_EQ(5u, out.size());
    EXPECT_STREQ("BEEF", out.c_str());
}

TEST(Itoa, TextsInEveryBase)
{
    struct Case {
        int value;
        int base;
        const char* text;
    } cases[] = {
        {-10, 10, "-10"}, {-10, 16, "a"}, {5, 1, ""}, {5, 17, ""}, {0, 2, "0"},
        {255, 16, "ff"}, {-255, 16, "ff"}, {255, 2, "11111111"}, {42, 10, "42"},
        {INT_MAX, 10, "2147483647"}, {INT_MIN, 10, "-2147483648"},
        {INT_MIN, 2, "10000000000000000000000000000000"}, {INT_MIN, 16, "80000000"},
        {INT_MAX, 8, "17777777777"}, {-7, 7, "10"}, {0, 16, "0"},
    };
    for (const auto& c : cases) {
        char buf[33];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_STREQ(c.text, __itoa(c.value, buf, c.base)) << c.value << " base " << c.base;
        EXPECT_EQ(buf, __itoa(c.value, buf, c.base)) << "returns buf";
        EXPECT_EQ(c.text, __itoa(c.value, c.base)) << c.value << " base " << c.base;
    }
}

TEST(DecanonizeInteger, DropsEveryLeadingZero)
{
    struct Case {
        Bytes in;
        Bytes out;
    } cases[] = {
        {{0x00, 0x00, 0x80}, {0x80}},
        {{0x00}, {}},
        {{0x00, 0x00, 0x00}, {}},
        {{0x01, 0x00}, {0x01, 0x00}},
        {{0x00, 0x7F, 0x00}, {0x7F, 0x00}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        const Bytes input = c.in;
        uint32_t len = 1234;
        std::unique_ptr<unsigned char[]> out(
            DecanonizeInteger(c.in.data(), static_cast<uint32_t>(c.in.size()), len));
        ASSERT_NE(nullptr, out) << "an empty result is still an array";
        EXPECT_EQ(c.out, Bytes(out.get(), out.get() + len));
        EXPECT_EQ(input, c.in) << "input must not change";
    }
}

TEST(CanonizeInteger, PrefixesZeroOnlyWhenTheTopBitIsSet)
{
    struct Case {
        Bytes in;
        Bytes out;
    } cases[] = {
        {{0x80, 0x01}, {0x00, 0x80, 0x01}},
        {{0x00, 0x80}, {0x00, 0x80}},
        {{0x7F}, {0x7F}},
        {{0xFF}, {0x00, 0xFF}},
        {{0x00, 0x00}, {0x00, 0x00}},
    };
    for (const auto& c : cases) {
        uint32_t len = 0;
        std::unique_ptr<unsigned char[]> out(CanonizeInteger(c.in.data(), static_cast<uint32_t>(c.in.size()), len));
        EXPECT_EQ(c.out, Bytes(out.get(), out.get() + len));
    }
}

TEST(CanonizeInteger, EmptyInputReadsNothing)
{
    // A zero-length heap block: ASan reports any read of its "first byte".
    std::unique_ptr<unsigned char[]> empty = std::make_unique<unsigned char[]>(0);
    uint32_t len = 99;
    std::unique_ptr<unsigned char[]> out(CanonizeInteger(empty.get(), 0, len));
    EXPECT_EQ(0u, len);
    EXPECT_NE(nullptr, out);
    len = 99;
    out.reset(CanonizeInteger(nullptr, 0, len));
    EXPECT_EQ(0u, len);
}

TEST(DuplicateBlob, CopiesDeeply)
{
    unsigned char data[] = {1, 2, 3};
    _CPBLOB copy = {nullptr, 0};
    ASSERT_TRUE(DuplicateBlob(data, 3, &copy));
    ASSERT_NE(data, copy.pbData);
    EXPECT_EQ(3u, copy.cbData);
    data[0] = 9;
    EXPECT_EQ(1, copy.pbData[0]);

    _CPBLOB second = {nullptr, 0};
    ASSERT_TRUE(DuplicateBlob(&copy, &second));
    EXPECT_NE(copy.pbData, second.pbData);
    EXPECT_EQ(0, CompareBlobs(&copy, &second));
    delete[] copy.pbData;
    delete[] second.pbData;

    _CPBLOB empty = {nullptr, 0};
    ASSERT_TRUE(DuplicateBlob(data, 0, &empty));
    EXPECT_EQ(0u, empty.cbData);
    EXPECT_NE(nullptr, empty.pbData);
    delete[] empty.pbData;
}

TEST(DuplicateBlob, NullArgumentsGiveFalse)
{
    unsigned char data[] = {1};
    _CPBLOB blob = {data, 1};
    _CPBLOB noData = {nullptr, 1};
    _CPBLOB out = {nullptr, 7};
    EXPECT_FALSE(DuplicateBlob(nullptr, 1, &out));
    EXPECT_FALSE(DuplicateBlob(data, 1, nullptr));
    EXPECT_FALSE(DuplicateBlob(nullptr, &out));
    EXPECT_FALSE(DuplicateBlob(&noData, &out));
    EXPECT_FALSE(DuplicateBlob(&blob, nullptr));
    EXPECT_EQ(nullptr, out.pbData);
    EXPECT_EQ(7u, out.cbData);
}

TEST(CompareBlobs, LengthFirstThenContent)
{
    unsigned char two[] = {0x02};
    unsigned char oneZero[] = {0x01, 0x00};
    unsigned char oneOne[] = {0x01, 0x01};
    _CPBLOB a = {two, 1}, b = {oneZero, 2}, c = {oneOne, 2}, b2 = {oneZero, 2};
    EXPECT_EQ(-1, CompareBlobs(&a, &b)) << "shorter first, whatever the bytes";
    EXPECT_EQ(1, CompareBlobs(&b, &a));
    EXPECT_LT(CompareBlobs(&b, &c), 0);
    EXPECT_GT(CompareBlobs(&c, &b), 0);
    EXPECT_EQ(0, CompareBlobs(&b, &b2));
    EXPECT_EQ(-2, CompareBlobs(static_cast<_CPBLOB*>(nullptr), static_cast<_CPBLOB*>(nullptr)));
    EXPECT_EQ(-2, CompareBlobs(&a, static_cast<_CPBLOB*>(nullptr)));

    EXPECT_EQ(0, CompareBlobs(&b, oneZero, 2));
    EXPECT_EQ(-1, CompareBlobs(&a, oneZero, 2));
    EXPECT_EQ(-2, CompareBlobs(&a, nullptr, 1));
    EXPECT_EQ(-2, CompareBlobs(nullptr, oneZero, 2));
}
