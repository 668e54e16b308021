// BER glue: decoding blobs and ANY values into runtime and generated types,
// and refusing hostile encodings before the runtime sees them.
#include <sorvit/ber.h>
#include <sorvit/oids.h>

#include "berwalk.h"

#include <asn-incl.h>
#include <GlueTypes.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

namespace {

_CPBLOB BlobOf(Bytes& bytes)
{
    _CPBLOB blob;
    blob.pbData = bytes.data();
    blob.cbData = static_cast<uint32_t>(bytes.size());
    return blob;
}

// DER of Pair { number 5, label "hi" }.
Bytes PairDer()
{
    return {0x30, 0x07, 0x02, 0x01, 0x05, 0x04, 0x02, 'h', 'i'};
}

// DER of Tagged { kind 1.2.3, value INTEGER 300 }.
Bytes TaggedDer()
{
    return {0x30, 0x08, 0x06, 0x02, 0x2A, 0x03, 0x02, 0x02, 0x01, 0x2C};
}

}

TEST(BlobToType, DecodesRuntimeTypes)
{
    Bytes intDer = {0x02, 0x02, 0x01, 0x00};
    _CPBLOB blob = BlobOf(intDer);
    SNACC::AsnInt number;
    std::string err = "untouched";
    ASSERT_TRUE(BlobToType(&blob, &number, &err));
    EXPECT_EQ(256, static_cast<long>(number));
    EXPECT_EQ("untouched", err) << "success must leave the error text alone";

    Bytes oidDer = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    blob = BlobOf(oidDer);
    SNACC::AsnOid oid;
    ASSERT_TRUE(BlobToType(&blob, &oid, &err));
    EXPECT_TRUE(oid == SNACC::AsnOid(id_RSA_rsa));

    Bytes textDer = {0x13, 0x03, 'a', 'b', 'c'};
    blob = BlobOf(textDer);
    SNACC::PrintableString text;
    ASSERT_TRUE(BlobToType(&blob, &text, &err));
    EXPECT_EQ("abc", std::string(text.c_str()));

    Bytes bitsDer = {0x03, 0x02, 0x07, 0x80};
    blob = BlobOf(bitsDer);
    SNACC::AsnBits bits;
    ASSERT_TRUE(BlobToType(&blob, &bits, &err));
    EXPECT_EQ(1u, bits.BitLen());
    EXPECT_TRUE(bits.GetBit(0));
}

TEST(BlobToType, DecodesGeneratedSequenceAndIgnoresTrailingBytes)
{
    Bytes der = PairDer();
    der.push_back(0xFF); // not examined: only the first value is decoded
    der.push_back(0x00);
    _CPBLOB blob = BlobOf(der);
    SNACC::Pair pair;
    std::string err;
    ASSERT_TRUE(BlobToType(&blob, &pair, &err)) << err;
    EXPECT_EQ(5, static_cast<long>(pair.number));
    EXPECT_EQ(std::string("hi"), std::string(reinterpret_cast<const char*>(pair.label.c_ustr()), pair.label.Len()));
}

TEST(BlobToType, IndefiniteLengthSequenceDecodes)
{
    Bytes der = {0x30, 0x80, 0x02, 0x01, 0x05, 0x04, 0x02, 'h', 'i', 0x00, 0x00};
    _CPBLOB blob = BlobOf(der);
    SNACC::Pair pair;
    std::string err;
    ASSERT_TRUE(BlobToType(&blob, &pair, &err)) << err;
    EXPECT_EQ(5, static_cast<long>(pair.number));
}

TEST(BlobToType, NullArgumentsGiveFalseAndLeaveTheTextAlone)
{
    Bytes der = PairDer();
    _CPBLOB blob = BlobOf(der);
    _CPBLOB empty = {nullptr, 4};
    SNACC::Pair pair;
    std::string err = "untouched";
    EXPECT_FALSE(BlobToType(nullptr, &pair, &err));
    EXPECT_FALSE(BlobToType(&empty, &pair, &err));
    EXPECT_FALSE(BlobToType(&blob, nullptr, &err));
    EXPECT_EQ("untouched", err);
    EXPECT_TRUE(BlobToType(&blob, &pair, nullptr));
}

TEST(BlobToType, RuntimeFailuresGiveTheRuntimeText)
{
    struct Case {
        const char* what;
        Bytes der;
    } cases[] = {
        // The SEQUENCE says 7 bytes but its INTEGER runs to the end: the walk passes
        // the outer length only when it fits, so cut the inner value instead.
        {"missing second element", {0x30, 0x03, 0x02, 0x01, 0x05}},
        {"wrong tag in the sequence", {0x30, 0x06, 0x04, 0x01, 0x05, 0x02, 0x01, 0x05}},
        {"not a sequence at all", {0x02, 0x01, 0x05}},
    };
    for (auto& c : cases) {
        _CPBLOB blob = BlobOf(c.der);
        SNACC::Pair pair;
        std::string err;
        EXPECT_FALSE(BlobToType(&blob, &pair, &err)) << c.what;
        EXPECT_FALSE(err.empty()) << c.what;
        EXPECT_EQ(std::string::npos, err.find("Malformed BER")) << c.what << ": " << err;
    }
}

// Encodings that crash the runtime or make it allocate what a length says.
// Each must come back false with a text from the structure walk.
TEST(BlobToType, HostileEncodingsAreRefusedBeforeDecoding)
{
    Bytes deep;
    for (int i = 0; i < 200; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    for (int i = 0; i < 200; ++i) {
        deep.push_back(0x00);
        deep.push_back(0x00);
    }
    struct Case {
        const char* what;
        Bytes der;
        const char* expected;
    } cases[] = {
        {"INTEGER with an 8-octet length", {0x02, 0x88, 0, 0, 0, 0, 0, 0, 0, 1, 0x05}, "length field longer than four octets"},
        {"OID with an 8-octet length", {0x06, 0x88, 0, 0, 0, 0, 0, 0, 0, 1, 0x2A}, "length field longer than four octets"},
        {"OCTET STRING claiming 2 GB", {0x04, 0x84, 0x7F, 0xFF, 0xFF, 0xFF, 0x00}, "exceeds"},
        {"length longer than the blob", {0x02, 0x05, 0x01}, "exceeds"},
        {"inner length longer than its sequence", {0x30, 0x03, 0x02, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}, "exceeds"},
        {"empty BIT STRING with 7 unused bits", {0x03, 0x01, 0x07}, "empty BIT STRING"},
        {"BIT STRING with 8 unused bits", {0x03, 0x02, 0x08, 0x00}, "unused bits"},
        {"BIT STRING without its unused-bits octet", {0x03, 0x00}, "unused-bits octet"},
        {"BIT STRING segment of a constructed one", {0x23, 0x03, 0x03, 0x01, 0x07}, "empty BIT STRING"},
        {"indefinite length on a primitive", {0x04, 0x80, 0x01, 0x00, 0x00}, "primitive"},
        {"indefinite length never closed", {0x30, 0x80, 0x02, 0x01, 0x05}, "not closed"},
        {"end-of-contents in a definite sequence", {0x30, 0x04, 0x00, 0x00, 0x02, 0x00}, "end-of-contents"},
        {"end-of-contents at the top", {0x00, 0x00}, "end-of-contents"},
        {"nesting 200 levels deep", deep, "nesting deeper"},
        {"tag cut short", {0x1F}, "tag runs past"},
        {"tag of six octets", {0x1F, 0x81, 0x81, 0x81, 0x81, 0x01, 0x00}, "tag longer"},
        {"length missing", {0x02}, "length missing"},
        {"length field cut short", {0x02, 0x82, 0x01}, "length field runs past"},
        {"nothing at all", {}, "data ends"},
    };
    for (auto& c : cases) {
        Bytes der = c.der;
        der.reserve(der.size() + 1); // a valid pointer also for the empty case
        _CPBLOB blob = {der.data() != nullptr ? der.data() : reinterpret_cast<unsigned char*>(&der), static_cast<uint32_t>(der.size())};
        std::string err;
        SNACC::AsnInt number;
        EXPECT_FALSE(BlobToType(&blob, &number, &err)) << c.what;
        EXPECT_NE(std::string::npos, err.find("Malformed BER")) << c.what << ": " << err;
        EXPECT_NE(std::string::npos, err.find(c.expected)) << c.what << ": " << err;

        // The same refusal whatever type the caller decodes into.
        SNACC::Pair pair;
        SNACC::AsnBits bits;
        SNACC::AsnOid oid;
        err.clear();
        EXPECT_FALSE(BlobToType(&blob, &pair, &err)) << c.what;
        EXPECT_FALSE(BlobToType(&blob, &bits, &err)) << c.what;
        EXPECT_FALSE(BlobToType(&blob, &oid, &err)) << c.what;
        EXPECT_FALSE(err.empty()) << c.what;
    }
}

// A short SEQUENCE passes the walk; the decoder then looks for its missing
// components. They must not come from the unchecked bytes behind the value
// (here an INTEGER claiming about 150 TB).
TEST(BlobToType, OnlyTheCheckedValueReachesTheDecoder)
{
    Bytes der = {0x30, 0x00, 0x02, 0x86, 0x88, 0x88, 0x88, 0x88, 0x88, 0x88, 0x01};
    _CPBLOB blob = BlobOf(der);
    SNACC::Pair pair;
    std::string err;
    EXPECT_FALSE(BlobToType(&blob, &pair, &err));
    EXPECT_FALSE(err.empty());
}

TEST(CheckBerValue, AcceptsSoundValuesAndReportsTheirLength)
{
    struct Case {
        const char* what;
        Bytes der;
        size_t length;
    } cases[] = {
        {"integer", {0x02, 0x01, 0x05}, 3},
        {"integer then trailing bytes", {0x02, 0x01, 0x05, 0xFF, 0xFF}, 3},
        {"empty BIT STRING", {0x03, 0x01, 0x00}, 3},
        {"BIT STRING with 7 unused bits", {0x03, 0x02, 0x07, 0x80}, 4},
        {"long-form length", {0x04, 0x81, 0x02, 0x01, 0x02}, 5},
        {"four-octet length", {0x04, 0x84, 0x00, 0x00, 0x00, 0x01, 0xAA}, 7},
        {"indefinite sequence", {0x30, 0x80, 0x05, 0x00, 0x00, 0x00}, 6},
        {"nested indefinite", {0x30, 0x80, 0x31, 0x80, 0x00, 0x00, 0x00, 0x00}, 8},
        {"high tag number", {0x9F, 0x81, 0x00, 0x00}, 4},
        {"implicit [1] with one octet (not a universal BIT STRING)", {0x81, 0x01, 0x07}, 3},
        {"empty sequence", {0x30, 0x00}, 2},
    };
    for (auto& c : cases) {
        size_t length = 0;
        std::string err;
        EXPECT_TRUE(CheckBerValue(c.der.data(), c.der.size(), &err, &length)) << c.what << ": " << err;
        EXPECT_EQ(c.length, length) << c.what;
    }
}

TEST(CheckBerValue, NestingLimitIsExact)
{
    auto nested = [](unsigned levels) {
        Bytes b;
        for (unsigned i = 0; i < levels; ++i) {
            b.push_back(0x30);
            b.push_back(0x80);
        }
        b.push_back(0x05);
        b.push_back(0x00);
        for (unsigned i = 0; i < levels; ++i) {
            b.push_back(0x00);
            b.push_back(0x00);
        }
        return b;
    };
    Bytes ok = nested(kBerMaxDepth);
    Bytes tooDeep = nested(kBerMaxDepth + 1);
    std::string err;
    EXPECT_TRUE(CheckBerValue(ok.data(), ok.size(), &err)) << err;
    EXPECT_FALSE(CheckBerValue(tooDeep.data(), tooDeep.size(), &err));
    EXPECT_NE(std::string::npos, err.find("nesting deeper"));
    EXPECT_FALSE(CheckBerValue(nullptr, 3, &err));
    EXPECT_FALSE(CheckBerValue(ok.data(), 0, nullptr));
}

TEST(AnyToType, ReadsTheAnyAsAConcreteType)
{
    Bytes der = TaggedDer();
    _CPBLOB blob = BlobOf(der);
    SNACC::Tagged tagged;
    std::string err;
    ASSERT_TRUE(BlobToType(&blob, &tagged, &err)) << err;
    SNACC::AsnInt number;
    ASSERT_TRUE(AnyToType(&tagged.value, &number, &err)) << err;
    EXPECT_EQ(300, static_cast<long>(number));

    SNACC::AsnOid wrong;
    err.clear();
    EXPECT_FALSE(AnyToType(&tagged.value, &wrong, &err));
    EXPECT_FALSE(err.empty()) << "an INTEGER read as an OID must give the runtime's text";
}

TEST(AnyToType, EmptyAnyAndNullArguments)
{
    SNACC::AsnAny empty;
    empty.anyBuf = new SNACC::AsnBuf;
    SNACC::AsnInt number;
    std::string err = "untouched";
    EXPECT_FALSE(AnyToType(&empty, &number, &err));
    EXPECT_FALSE(AnyToType(nullptr, &number, &err));
    EXPECT_FALSE(AnyToType(&empty, nullptr, &err));
    EXPECT_EQ("untouched", err);

    // An ANY with no value at all: the runtime refuses to encode it, which
    // comes back as a failure with its text, not as an exception.
    SNACC::AsnAny nothing;
    err.clear();
    EXPECT_FALSE(AnyToType(&nothing, &number, &err));
    EXPECT_FALSE(err.empty());
}

TEST(AnyToType, HostileContentIsRefused)
{
    const char hostile[] = {0x02, static_cast<char>(0x88), 0, 0, 0, 0, 0, 0, 0, 1, 5};
    SNACC::AsnAny any;
    any.anyBuf = new SNACC::AsnBuf(hostile, sizeof hostile);
    SNACC::AsnInt number;
    std::string err;
    EXPECT_FALSE(AnyToType(&any, &number, &err));
    EXPECT_NE(std::string::npos, err.find("length field longer than four octets")) << err;

    const char bits[] = {0x03, 0x01, 0x07};
    SNACC::AsnAny anyBits;
    anyBits.anyBuf = new SNACC::AsnBuf(bits, sizeof bits);
    SNACC::AsnBits target;
    err.clear();
    EXPECT_FALSE(AnyToType(&anyBits, &target, &err));
    EXPECT_NE(std::string::npos, err.find("empty BIT STRING")) << err;
}

TEST(ExtractAnyBuf, GivesTheDerLength)
{
    SNACC::Pair pair;
    pair.number = 5;
    pair.label.Set("hi", 2);
    SNACC::AsnBuf buf;
    std::string err;
    ASSERT_EQ(PairDer().size(), ExtractAnyBuf(&buf, &pair, &err)) << err;
    std::string out;
    buf.GetSeg(out, static_cast<long>(PairDer().size()));
    Bytes expected = PairDer();
    EXPECT_EQ(std::string(expected.begin(), expected.end()), out);

    EXPECT_EQ(0u, ExtractAnyBuf(nullptr, &pair, &err));
    EXPECT_EQ(0u, ExtractAnyBuf(&buf, nullptr, &err));
}

// Random damage to sound encodings of every test type: the glue must answer
// true or false, never crash or leak (the sanitizers watch).
TEST(BlobToType, SurvivesDamagedEncodings)
{
    const std::vector<Bytes> seeds = {
        PairDer(),
        TaggedDer(),
        {0x30, 0x09, 0x02, 0x01, 0x01, 0x02, 0x01, 0x02, 0x02, 0x01, 0x03},
        {0x30, 0x0C, 0x03, 0x02, 0x07, 0x80, 0x81, 0x02, 0x00, 0xFF, 0x13, 0x02, 'o', 'k'},
    };
    const unsigned char nasty[] = {0x00, 0x80, 0x81, 0x84, 0x88, 0xFF, 0x7F, 0x1F, 0x03, 0x07, 0x23, 0x30};
    std::mt19937 rng(20261209);
    unsigned accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes b = seeds[round % seeds.size()];
        const int edits = 1 + static_cast<int>(rng() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t pos = rng() % b.size();
            switch (rng() % 4) {
            case 0: b[pos] = static_cast<unsigned char>(rng()); break;
            case 1: b[pos] = nasty[rng() % sizeof nasty]; break;
            case 2: b.insert(b.begin() + static_cast<long>(pos), nasty[rng() % sizeof nasty]); break;
            case 3: if (b.size() > 1) b.erase(b.begin() + static_cast<long>(pos)); break;
            }
        }
        _CPBLOB blob = BlobOf(b);
        std::string err;
        SNACC::Pair pair;
        SNACC::Tagged t;
        SNACC::Numbers numbers;
        SNACC::Holder holder;
        SNACC::AsnInt number;
        SNACC::AsnBits bits;
        accepted += BlobToType(&blob, &pair, &err);
        if (BlobToType(&blob, &t, &err)) {
            ++accepted;
            SNACC::AsnInt inner;
            AnyToType(&t.value, &inner, &err);
        }
        accepted += BlobToType(&blob, &numbers, &err);
        if (BlobToType(&blob, &holder, &err)) {
            ++accepted;
            SNACC::AsnBuf out;
            ExtractAnyBuf(&out, &holder, &err);
        }
        accepted += BlobToType(&blob, &number, &err);
        accepted += BlobToType(&blob, &bits, &err);
    }
    EXPECT_GT(accepted, 0u) << "some damaged values should still decode";
}
