// ASN.1 time texts and mkgmtime.
#include <sorvit/asntime.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

tm Make(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0)
{
    tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_sec = sec;
    return t;
}

// The C library's inverse of gmtime, as the reference.
time_t Reference(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0)
{
    tm t = Make(year, mon, mday, hour, min, sec);
    return timegm(&t);
}

}

TEST(UTCTime, CenturyRule)
{
    time_t out = 0;
    ASSERT_TRUE(UTCTimeToTime_t("491231235959Z", &out));
    EXPECT_EQ(Reference(2049, 12, 31, 23, 59, 59), out);

    tm t;
    ASSERT_TRUE(UTCTimeToTm("500101000000Z", &t));
    EXPECT_EQ(50, t.tm_year);
    EXPECT_EQ(-1, t.tm_isdst);
    out = 0;
    EXPECT_TRUE(UTCTimeToTime_t("500101000000Z", &out)) << "a date before 1970 still succeeds";
    EXPECT_EQ(-1, out);

    ASSERT_TRUE(UTCTimeToTime_t("000229120000Z", &out));
    EXPECT_EQ(Reference(2000, 2, 29, 12), out);
    ASSERT_TRUE(UTCTimeToTime_t("991231235959Z", &out));
    EXPECT_EQ(Reference(1999, 12, 31, 23, 59, 59), out);
}

TEST(UTCTime, WrongLengthsAndNulls)
{
    time_t out = 77;
    EXPECT_FALSE(UTCTimeToTime_t("49123123595Z", &out));
    EXPECT_FALSE(UTCTimeToTime_t("4912312359590Z", &out));
    EXPECT_FALSE(UTCTimeToTime_t("", &out));
    EXPECT_EQ(77, out);
    EXPECT_FALSE(UTCTimeToTime_t("491231235959Z", nullptr));
    EXPECT_FALSE(UTCTimeToTm("491231235959Z", nullptr));
}

TEST(GeneralizedTime, ZuluAndDifferentials)
{
    const time_t zulu = Reference(2024, 3, 1, 12, 0, 0);
    struct Case {
        const char* text;
        time_t expected;
    } cases[] = {
        {"20240301120000Z", zulu},
        {"20240301120000", zulu},
        {"20240301120000+0200", zulu - 2 * 3600},
        {"20240301120000-0130", zulu + 90 * 60},
        {"20240301003000+0100", Reference(2024, 2, 29, 23, 30)},
        {"20241231233000-0100", Reference(2025, 1, 1, 0, 30)},
        {"20240301120000.123Z", zulu},
        {"202403011200", zulu},
        {"2024030112000", zulu},
        {"20240301120005Z", zulu + 5},
        {"99991231235959Z", Reference(9999, 12, 31, 23, 59, 59)},
        {"19700101000000Z", 0},
        {"19691231235959Z", -1},
    };
    for (const auto& c : cases) {
        time_t out = 0;
        EXPECT_TRUE(GeneralizedTimeToTime_t(c.text, &out)) << c.text;
        EXPECT_EQ(c.expected, out) << c.text;
    }
}

TEST(GeneralizedTime, DifferentialOfHoursOnlyAndNulls)
{
    time_t out = 0;
    EXPECT_TRUE(GeneralizedTimeToTime_t("20240301120000+01", &out));
    EXPECT_EQ(Reference(2024, 3, 1, 11), out);
    EXPECT_FALSE(GeneralizedTimeToTime_t("20240301120000Z", nullptr));
    EXPECT_FALSE(GeneralizedTimeToTm("20240301120000Z", nullptr));
}

// A text that is no date and time that exists reads as nothing: false, the output
// untouched, never a neighbouring date and never an exception.
TEST(AsnTimeTexts, TextsThatAreNoDateAreUnreadable)
{
    struct Case {
        bool utc;
        const char* text;
    } cases[] = {
        {false, "20241601120000Z"},   // month 16
        {false, "20240001120000Z"},   // month 0
        {false, "20240091120000Z"},   // day 91
        {false, "20240431120000Z"},   // 31 April
        {false, "20230229120000Z"},   // 29 February of a common year
        {false, "20240300120000Z"},   // day 0
        {false, "20240301240000Z"},   // hour 24
        {false, "20240301126900Z"},   // minute 69
        {false, "20240301120069Z"},   // second 69
        {false, "20240301120061Z"},   // second 61
        {false, "20161231236000Z"},   // minute 60
        {false, "20161232235960Z"},   // a leap second of a day that does not exist
        {false, "20161331235960Z"},   // nor of a month
        {false, "201612312359 60Z"},  // its seconds no number
        {false, "2016123123596OZ"},
        {false, "2024O301120000Z"},   // a letter among the digits
        {false, "2024030112 000Z"},   // a blank among them
        {false, "202403011200A0Z"},   // a letter where the seconds are
        {false, "2024030112000AZ"},
        {false, "20240301120000+0A00"},  // a letter in the differential
        {false, "20240301120000+2400"},  // differential of 24 hours
        {false, "20240301120000-0160"},  // differential of 60 minutes
        {false, "20240301120000+011"},   // one digit of minutes
        {false, "2020Z"},             // too short for any form
        {false, "2020010100Z"},
        {false, "20240301120"},
        {false, ""},
        {false, "20240301120000-"},   // a bare sign
        {false, "20240301120000+1"},
        {true, "241601120000Z"},
        {true, "240431120000Z"},
        {true, "230229120000Z"},
        {true, "240301240000Z"},
        {true, "240301126900Z"},
        {true, "240301120069Z"},
        {true, "161231235961Z"},
        {true, "161232235960Z"},
        {true, "161231235960"},       // 12 characters
        {true, "16123123596OZ"},
        {true, "AB0301120000Z"},      // letters where the year is
        {true, "2403011200 0Z"},
        {true, "24-301120000Z"},
    };
    for (const Case& c : cases) {
        time_t out = 77;
        tm t;
        std::memset(&t, 0, sizeof t);
        t.tm_year = 55;
        bool read = true, readTm = true;
        EXPECT_NO_THROW(read = c.utc ? UTCTimeToTime_t(c.text, &out) : GeneralizedTimeToTime_t(c.text, &out))
            << c.text;
        EXPECT_NO_THROW(readTm = c.utc ? UTCTimeToTm(c.text, &t) : GeneralizedTimeToTm(c.text, &t)) << c.text;
        EXPECT_FALSE(read) << c.text;
        EXPECT_FALSE(readTm) << c.text;
        EXPECT_EQ(77, out) << c.text;
        EXPECT_EQ(55, t.tm_year) << c.text;
    }

    // The last days that exist are read.
    time_t out = 0;
    EXPECT_TRUE(GeneralizedTimeToTime_t("20240229235959Z", &out));
    EXPECT_EQ(Reference(2024, 2, 29, 23, 59, 59), out);
    EXPECT_TRUE(UTCTimeToTime_t("240430000000Z", &out));
    EXPECT_EQ(Reference(2024, 4, 30), out);
    EXPECT_TRUE(GeneralizedTimeToTime_t("202403011200Z", &out));
    EXPECT_EQ(Reference(2024, 3, 1, 12), out);
    EXPECT_TRUE(GeneralizedTimeToTime_t("202403011200+0100", &out));
    EXPECT_EQ(Reference(2024, 3, 1, 11), out);
}

// A leap second is read as it stands and carried into the next minute when the fields are
// normalised, also across a day, a year and a differential.
TEST(AsnTimeTexts, LeapSecondCarriesIntoTheNextMinute)
{
    struct Case {
        bool utc;
        const char* text;
        time_t expected;
    } cases[] = {
        {false, "20161231235960Z", Reference(2017, 1, 1)},
        {true, "161231235960Z", Reference(2017, 1, 1)},
        {false, "20150630235960Z", Reference(2015, 7, 1)},
        {true, "150630235960Z", Reference(2015, 7, 1)},
        {false, "20240301120060Z", Reference(2024, 3, 1, 12, 1)},
        {false, "20161231235960.5Z", Reference(2017, 1, 1)},
        {false, "20170101005960+0100", Reference(2017, 1, 1)},
        {true, "491231235960Z", Reference(2050, 1, 1)},
    };
    for (const Case& c : cases) {
        time_t out = 77;
        ASSERT_TRUE(c.utc ? UTCTimeToTime_t(c.text, &out) : GeneralizedTimeToTime_t(c.text, &out)) << c.text;
        EXPECT_EQ(c.expected, out) << c.text;
    }
    // The reader keeps the field as written; mkgmtime normalises it.
    tm t;
    std::memset(&t, 0, sizeof t);
    ASSERT_TRUE(GeneralizedTimeToTm("20161231235960Z", &t));
    EXPECT_EQ(60, t.tm_sec);
    EXPECT_EQ(59, t.tm_min);
    EXPECT_EQ(Reference(2017, 1, 1), mkgmtime(&t));
    EXPECT_EQ(117, t.tm_year);
    EXPECT_EQ(0, t.tm_mon);
    EXPECT_EQ(1, t.tm_mday);
    EXPECT_EQ(0, t.tm_hour);
    EXPECT_EQ(0, t.tm_min);
    EXPECT_EQ(0, t.tm_sec);
}

TEST(GeneralizedTime, TmReaderLeavesOtherFieldsAlone)
{
    tm t;
    std::memset(&t, 0, sizeof t);
    t.tm_wday = 6;
    t.tm_isdst = 1;
    ASSERT_TRUE(GeneralizedTimeToTm("20240301120000Z", &t));
    EXPECT_EQ(6, t.tm_wday);
    EXPECT_EQ(-1, t.tm_isdst);
    EXPECT_EQ(124, t.tm_year);
    EXPECT_EQ(2, t.tm_mon);
}

TEST(TimeWriters, Formats)
{
    std::string out;
    tm t = Make(2050, 1, 1);
    EXPECT_FALSE(TmToUTCTime(&t, &out));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(TmToGeneralizedTime(&t, &out));
    EXPECT_EQ("20500101000000Z", out);

    t = Make(2049, 12, 31, 23, 59, 59);
    ASSERT_TRUE(TmToUTCTime(&t, &out));
    EXPECT_EQ("491231235959Z", out);
    t = Make(1950, 1, 1);
    ASSERT_TRUE(TmToUTCTime(&t, &out));
    EXPECT_EQ("500101000000Z", out);
    t = Make(1949, 12, 31);
    out = "kept";
    EXPECT_FALSE(TmToUTCTime(&t, &out));
    EXPECT_EQ("kept", out);

    EXPECT_FALSE(TmToUTCTime(nullptr, &out));
    EXPECT_FALSE(TmToUTCTime(&t, nullptr));
    EXPECT_FALSE(TmToGeneralizedTime(nullptr, &out));
    EXPECT_FALSE(TmToGeneralizedTime(&t, nullptr));
}

TEST(TimeWriters, FromTimeT)
{
    std::string out;
    time_t t = Reference(2024, 2, 29, 8, 7, 6);
    ASSERT_TRUE(Time_tToGeneralizedTime(&t, &out));
    EXPECT_EQ("20240229080706Z", out);
    ASSERT_TRUE(Time_tToUTCTime(&t, &out));
    EXPECT_EQ("240229080706Z", out);
    time_t back = 0;
    ASSERT_TRUE(UTCTimeToTime_t(out, &back));
    EXPECT_EQ(t, back);

    time_t far = Reference(2100, 1, 1);
    EXPECT_FALSE(Time_tToUTCTime(&far, &out));
    EXPECT_FALSE(Time_tToUTCTime(nullptr, &out));
    EXPECT_FALSE(Time_tToGeneralizedTime(&t, nullptr));
}

TEST(TimeWriters, TwoThreadsGetTheirOwnResults)
{
    // The writers break time down per call (gmtime_r), so concurrent callers
    // never see each other's dates.
    auto run = [](time_t t, const char* expected, bool* ok) {
        for (int i = 0; i < 20000; ++i) {
            std::string out;
            if (!Time_tToGeneralizedTime(&t, &out) || out != expected) {
                *ok = false;
                return;
            }
        }
    };
    bool okA = true, okB = true;
    std::thread a(run, Reference(2001, 2, 3, 4, 5, 6), "20010203040506Z", &okA);
    std::thread b(run, Reference(2033, 11, 22, 21, 20, 19), "20331122212019Z", &okB);
    a.join();
    b.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
}

TEST(Mkgmtime, LeapDayAndNormalisation)
{
    tm t = Make(2000, 2, 29, 12);
    EXPECT_EQ(Reference(2000, 2, 29, 12), mkgmtime(&t));
    EXPECT_EQ(2, t.tm_wday);
    EXPECT_EQ(59, t.tm_yday);

    t = Make(1999, 13, 1); // month 12 counted from 0
    EXPECT_EQ(Reference(2000, 1, 1), mkgmtime(&t));
    EXPECT_EQ(100, t.tm_year);
    EXPECT_EQ(0, t.tm_mon);
    EXPECT_EQ(1, t.tm_mday);

    t = Make(1970, 1, 2, 0, 0, -1);
    EXPECT_EQ(86399, mkgmtime(&t));
    EXPECT_EQ(70, t.tm_year);
    EXPECT_EQ(0, t.tm_mon);
    EXPECT_EQ(1, t.tm_mday);
    EXPECT_EQ(23, t.tm_hour);
    EXPECT_EQ(59, t.tm_min);
    EXPECT_EQ(59, t.tm_sec);

    t = Make(2024, 3, 0); // day 0 is the last of the month before
    EXPECT_EQ(Reference(2024, 2, 29), mkgmtime(&t));
    t = Make(2023, 1, 1, -25);
    EXPECT_EQ(Reference(2022, 12, 30, 23), mkgmtime(&t));
    t = Make(2100, 2, 29); // 2100 is no leap year
    EXPECT_EQ(Reference(2100, 3, 1), mkgmtime(&t));
}

TEST(Mkgmtime, BeforeEpochNormalisesAndFails)
{
    tm t = Make(1969, 12, 32);
    EXPECT_EQ(0, mkgmtime(&t)) << "normalises to 1970-01-01 before the year is tested";
    t = Make(1969, 12, 31, 23, 59, 59);
    EXPECT_EQ(-1, mkgmtime(&t));
    EXPECT_EQ(69, t.tm_year);
    t = Make(1950, 14, 1);
    EXPECT_EQ(-1, mkgmtime(&t));
    EXPECT_EQ(51, t.tm_year);
    EXPECT_EQ(1, t.tm_mon);
    EXPECT_EQ(-1, mkgmtime(nullptr));
}

TEST(Mkgmtime, AgreesWithTheCLibrary)
{
    std::mt19937 rng(4242);
    for (int i = 0; i < 5000; ++i) {
        tm t = Make(1970 + static_cast<int>(rng() % 8000), 1 + static_cast<int>(rng() % 12),
                    1 + static_cast<int>(rng() % 28), static_cast<int>(rng() % 24), static_cast<int>(rng() % 60),
                    static_cast<int>(rng() % 60));
        // Push fields out of range in both directions.
        t.tm_sec += static_cast<int>(rng() % 200000) - 100000;
        t.tm_mday += static_cast<int>(rng() % 2000) - 1000;
        tm ref = t;
        tm mine = t;
        const time_t expected = timegm(&ref);
        if (expected < 0)
            continue;
        ASSERT_EQ(expected, mkgmtime(&mine)) << i;
        EXPECT_EQ(ref.tm_year, mine.tm_year);
        EXPECT_EQ(ref.tm_mon, mine.tm_mon);
        EXPECT_EQ(ref.tm_mday, mine.tm_mday);
        EXPECT_EQ(ref.tm_wday, mine.tm_wday);
        EXPECT_EQ(ref.tm_yday, mine.tm_yday);
    }
}

TEST(Mkgmtime, ExtremeFieldsDoNotOverflow)
{
    tm t = Make(2000, 1, 1);
    t.tm_sec = INT_MAX;
    t.tm_min = INT_MAX;
    t.tm_hour = INT_MAX;
    t.tm_mday = INT_MAX;
    EXPECT_GT(mkgmtime(&t), 0);
    t = Make(2000, 1, 1);
    t.tm_year = INT_MAX;
    t.tm_mon = 12;
    EXPECT_EQ(-1, mkgmtime(&t)) << "a year beyond int cannot be stored";
    t = Make(2000, 1, 1);
    t.tm_mday = INT_MIN;
    t.tm_sec = INT_MIN;
    EXPECT_EQ(-1, mkgmtime(&t));
}

TEST(GetGMT, IsTheCurrentTime)
{
    const time_t before = time(nullptr);
    const time_t now = GetGMT();
    const time_t after = time(nullptr);
    EXPECT_LE(before, now);
    EXPECT_GE(after, now);
}
