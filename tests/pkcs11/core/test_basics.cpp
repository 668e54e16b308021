// Error sink and exception, field list, trimming of padded texts.
#include <gtest/gtest.h>

#include "CoreSupport.h"
#include "TSYpkcs11.h"

namespace {

class CReporter : public CErrorHandler
{
public:
    using CErrorHandler::CErrorHandler;
    void Fail(const char* m, unsigned long c, uint32_t k) { SetError(m, c, k); }
};

TEST(Exception, DefaultAndResetAreEmpty)
{
    CTSYException e("Login failed", 0xA0, 1);
    EXPECT_STREQ("Login failed", e.what());
    EXPECT_STREQ("Login failed", e.GetMessage());
    e.Reset();
    EXPECT_EQ(nullptr, e.GetMessage());
    EXPECT_STREQ("", e.what());
    EXPECT_EQ(0u, e.GetCode());
    EXPECT_EQ(0u, e.GetFlag());

    CTSYException fromNull(nullptr, 5, 1);
    EXPECT_EQ(nullptr, fromNull.GetMessage());
    EXPECT_STREQ("", fromNull.what());
}

TEST(Exception, NullMessageKeepsTheOldOne)
{
    CTSYException e("first", 1, 1);
    e.SetMessage(nullptr);
    EXPECT_STREQ("first", e.GetMessage());

    CReporter reporter(&e);
    reporter.Fail(nullptr, TSY_KEYSET_NOT_EXISTS, 0);
    EXPECT_STREQ("first", e.GetMessage());
    EXPECT_EQ(TSY_KEYSET_NOT_EXISTS, e.GetCode());
    EXPECT_EQ(0u, e.GetFlag());
}

TEST(Exception, SecondFailureOverwritesTheFirst)
{
    CTSYException sink;
    CReporter reporter(&sink);
    reporter.Fail("Login failed", CKR_PIN_INCORRECT, 1);
    reporter.Fail("Unable to open session", CKR_DEVICE_ERROR, 1);
    EXPECT_STREQ("Unable to open session", sink.GetMessage());
    EXPECT_EQ(CKR_DEVICE_ERROR, sink.GetCode());
    EXPECT_EQ(1u, sink.GetFlag());
}

TEST(Exception, WithoutSinkThrowsTheSameValuesAndLogsOneLine)
{
    coretest::MessageCapture capture;
    CReporter reporter(nullptr);
    try {
        reporter.Fail("Login failed", CKR_PIN_INCORRECT, 1);
        FAIL() << "no exception";
    } catch (const CTSYException& e) {
        EXPECT_STREQ("Login failed", e.GetMessage());
        EXPECT_EQ(CKR_PIN_INCORRECT, e.GetCode());
        EXPECT_EQ(1u, e.GetFlag());
    }
    auto lines = capture.Lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("Error:  Login failed  Code: 160 \n", lines[0]);
}

TEST(Exception, OwnCodes)
{
    EXPECT_EQ(0x80001001UL, TSY_CERT_DECODE_FAILED);
    EXPECT_EQ(0x80001002UL, TSY_KEYSET_NOT_EXISTS);
    EXPECT_EQ(0x80001004UL, TSY_CERT_ALREADY_EXISTS);
}

TEST(FieldList, AddIndexAndSubscript)
{
    CFieldList list;
    EXPECT_EQ(-1, list.IndexOf("Description"));
    EXPECT_EQ(nullptr, list.GetName(0));
    EXPECT_EQ(nullptr, list.GetValue(0));

    list.Add("Description", "Reader");
    list.Add("Description", "Other");   // existing name: kept
    list.Add("Empty", "");              // empty value: not added
    list.Add("", "value");              // empty name: not added
    ASSERT_EQ(1, list.GetCount());
    EXPECT_EQ(QString("Reader"), *list.GetValue(0));

    QString& fresh = list["Status"];
    EXPECT_TRUE(fresh.isEmpty());
    EXPECT_EQ(2, list.GetCount());
    list["Status"] = "Token present.";
    EXPECT_EQ(2, list.GetCount());
    EXPECT_EQ(QString("Token present."), *list.GetValue(1));
    EXPECT_EQ(-1, list.IndexOf("status"));   // case matters
    list["status"] = "x";
    EXPECT_EQ(3, list.GetCount());
}

TEST(FieldList, RemoveKeepsOrder)
{
    CFieldList list;
    list["a"] = "1";
    list["b"] = "2";
    list["c"] = "3";
    list.Remove(1);
    ASSERT_EQ(2, list.GetCount());
    EXPECT_EQ(QString("a"), *list.GetName(0));
    EXPECT_EQ(QString("3"), *list.GetValue(1));
    list.Remove(static_cast<unsigned long>(-1));
    list.Remove(2);
    EXPECT_EQ(2, list.GetCount());
    EXPECT_EQ(nullptr, list.GetName(static_cast<unsigned long>(-1)));
    list.Clear();
    EXPECT_EQ(0, list.GetCount());
}

TEST(TrimmedLength, Cases)
{
    struct { const char* text; uint32_t length; uint32_t expected; } cases[] = {
        {"abc   ", 6, 3},
        {"      ", 6, 0},
        {"a b", 3, 3},
        {"", 0, 0},
        {"abc  ", 0xFFFFFFFFu, 3},
        {"ab\0  ", 5, 3},          // NUL is not trimmed
        {"ab\t", 3, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, GetTrimmedLength(c.text, c.length)) << "text \"" << c.text << "\"";
}

} // namespace
