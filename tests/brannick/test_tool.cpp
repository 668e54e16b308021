// brannick as a process against SoftHSM2 tokens: initialisation with the SO PIN as argument and
// on standard input, the refusals that must leave the token as it was, and the time limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BrannickSupport.h"
#include "Fixture.h"

using brannick_test::Labels;
using brannick_test::Objects;
using brannick_test::SlotOf;
using brannick_test::SOLogsIn;
using brannick_test::TRun;

namespace {

const char* const kSOPIN = "12345678";
const char* const kUserPIN = "1234";
const char* const kKeep = "Keep";
// 16 Cyrillic letters: 32 bytes of UTF-8, as much as the label field holds.
const char* const kCyrillic16 = "АБВГДЕЖЗИЙКЛМНОП";

std::string g_keyPem;

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

std::string Hex(const char* format, unsigned long long n)
{
    char sz[40];
    snprintf(sz, sizeof sz, format, n);
    return sz;
}

// A store of its own with the token "Keep" (SO PIN 12345678, user PIN 1234) holding a key pair,
// and SoftHSM2's free slot.
class BrannickTool : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        const std::string dir = fixture::ScratchDir("keys");
        g_keyPem = fixture::MakeKey(dir, "k", "rsa:1024").keyPem;
    }

    // A fresh store for one case.
    void MakeStore()
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '_';
        m_dir = fixture::ScratchDir(name + "_" + std::to_string(++m_nStores));
        m_hsm.reset(new fixture::SoftHsm(m_dir + "/store"));
        ASSERT_TRUE(m_hsm->InitToken(kKeep, kSOPIN, kUserPIN)) << m_hsm->LastOutput();
        ASSERT_TRUE(m_hsm->ImportKey(g_keyPem, kKeep, "K", "01", kUserPIN)) << m_hsm->LastOutput();
        m_slot = SlotOf(kKeep);
        ASSERT_FALSE(m_slot.empty());
        m_freeSlot = SlotOf("");
        ASSERT_FALSE(m_freeSlot.empty());
    }

    TRun Brannick(const std::vector<std::string>& args, const std::string* input = nullptr,
                  const std::string& program = BRANNICK_PATH)
    {
        return brannick_test::Run(program, args, m_dir, input);
    }

    // Label, key pair and user PIN as SetUp left them.
    void ExpectUntouched(const std::string& what)
    {
        EXPECT_EQ(m_slot, SlotOf(kKeep)) << what;
        int status = -1;
        const std::string objects = Objects(kKeep, kUserPIN, &status);
        EXPECT_EQ(0, status) << what << ": the user PIN no longer logs in\n" << objects;
        EXPECT_TRUE(Contains(objects, "Private Key Object")) << what << "\n" << objects;
        EXPECT_TRUE(Contains(objects, "Public Key Object")) << what << "\n" << objects;
    }

    std::string m_dir;
    std::unique_ptr<fixture::SoftHsm> m_hsm;
    std::string m_slot;
    std::string m_freeSlot;
    int m_nStores = 0;
};

struct TInitCase {
    const char* name;
    bool freeSlot;       // the uninitialised slot instead of "Keep"
    const char* soPIN;
    bool viaStdin;
    const char* label;
};

const TInitCase kInitCases[] = {
    {"SO PIN as argument", false, kSOPIN, false, "Fresh"},
    {"SO PIN on standard input", false, kSOPIN, true, "Fresh"},
    {"free slot, 32-byte Cyrillic label", true, "87654321", true, kCyrillic16},
    {"free slot, SO PIN as argument, label of blanks inside", true, "24681357", false, "A  B"},
};

TEST_F(BrannickTool, InitialisesTheTokenOfTheSlot)
{
    for (const TInitCase& c : kInitCases) {
        SCOPED_TRACE(c.name);
        MakeStore();
        if (HasFatalFailure())
            return;
        const std::string slot = c.freeSlot ? m_freeSlot : m_slot;
        const std::string input = std::string(c.soPIN) + "\n";
        const TRun run = Brannick({fixture::SoftHsm::ModulePath(), slot, c.viaStdin ? "-" : c.soPIN, c.label},
                                  c.viaStdin ? &input : nullptr);
        EXPECT_EQ(0, run.status) << run.err;
        EXPECT_EQ("Card initialized\n", run.out);
        EXPECT_FALSE(Contains(run.out + run.err, c.soPIN)) << run.err;

        EXPECT_FALSE(SlotOf(c.label).empty()) << "labels now: " << ::testing::PrintToString(Labels());
        int status = -1;
        const std::string objects = Objects(c.label, "", &status);
        EXPECT_EQ(0, status) << objects;
        EXPECT_FALSE(Contains(objects, "Object;")) << "objects left:\n" << objects;
        if (!c.freeSlot) {
            EXPECT_TRUE(SlotOf(kKeep).empty());
        }
        EXPECT_TRUE(SOLogsIn(c.label, c.soPIN));
        EXPECT_FALSE(SOLogsIn(c.label, "11111111"));
    }
}

// The slot ID as the window shows it (0x and hexadecimal digits) names the same slot as its
// decimal form.
TEST_F(BrannickTool, TakesTheSlotIDInDecimalOrHexadecimal)
{
    struct TForm {
        const char* name;
        std::string (*write)(unsigned long long);
    };
    static const TForm forms[] = {
        {"decimal", [](unsigned long long n) { return std::to_string(n); }},
        {"0x and lower-case digits", [](unsigned long long n) { return std::string("0x") + Hex("%llx", n); }},
        {"0X and upper-case digits", [](unsigned long long n) { return std::string("0X") + Hex("%llX", n); }},
        {"leading zeros", [](unsigned long long n) { return std::string("0x000") + Hex("%llx", n); }},
    };
    for (const TForm& form : forms) {
        SCOPED_TRACE(form.name);
        MakeStore();
        if (HasFatalFailure())
            return;
        const std::string slot = form.write(std::stoull(m_slot));
        const TRun run = Brannick({fixture::SoftHsm::ModulePath(), slot, kSOPIN, "Fresh"});
        EXPECT_EQ(0, run.status) << slot << ": " << run.err;
        EXPECT_EQ("Card initialized\n", run.out);
        EXPECT_TRUE(SlotOf(kKeep).empty()) << slot;
        EXPECT_FALSE(SlotOf("Fresh").empty()) << slot << ", labels now: " << ::testing::PrintToString(Labels());
    }
}

struct TRefusal {
    const char* name;
    // "{M}" module, "{B}" the module whose C_InitToken says the token is in use, "{S}" the slot
    // of "Keep", "{SO}" its SO PIN
    std::vector<std::string> args;
    std::string input;  // standard input
    std::string err;    // all of standard error, one line a refusal (a prefix when it ends in "*")
    // What the "{B}" module's C_Initialize answers instead of initialising, when set.
    const char* initializeRV = nullptr;
};

std::string BadSlot(const std::string& arg)
{
    return "Invalid slot ID \"" + arg + "\": decimal digits, or 0x and hexadecimal digits, expected\n";
}

// A copy of SoftHSM2 cut short in a folder of its own, which the tool also searches for bare names.
const char* const kCutModuleName = "libsofthsm2-cut.so";

const std::string& CutModuleFolder()
{
    static const std::string folder = fixture::ScratchDir("cut-module");
    return folder;
}

std::string CutModulePath()
{
    const std::string path = CutModuleFolder() + "/" + kCutModuleName;
    fixture::WriteCutShort(fixture::SoftHsm::ModulePath(), path, 40000);
    return path;
}

const char* const kUsage =
    "Usage: brannick <module> <slot-id> <so-pin> <label>  (an SO PIN of \"-\" is read from standard input)\n";

std::vector<TRefusal> Refusals()
{
    const std::string nowhere = "/nonexistent/libnothing.so";
    const std::string pin = std::string(kSOPIN) + "\n";
    const std::string count = "Invalid number of arguments\n";
    return {
        {"wrong SO PIN", {"{M}", "{S}", "87654321", "X"}, "",
         "Failed to initialize card. The specified PIN is incorrect. (CKR_PIN_INCORRECT)\n"},
        {"token in use by another program", {"{B}", "{S}", "{SO}", "X"}, "",
         "Failed to initialize card. A session with the smart-card is already open. (CKR_SESSION_EXISTS)\n"},
        // An unloadable module shows that nothing was loaded before the count was checked.
        {"three arguments", {nowhere, "{S}", "{SO}"}, pin, count},
        {"five arguments", {nowhere, "{S}", "{SO}", "X", "Y"}, pin, count},
        {"no arguments", {}, pin, count + kUsage},
        {"--help", {"--help"}, pin, count + kUsage},
        {"--help among four", {"--help", "{S}", "{SO}", "X"}, pin, "test: *"},
        {"slot abc", {"{M}", "abc", "{SO}", "X"}, pin, BadSlot("abc")},
        {"slot 1x", {"{M}", "1x", "{SO}", "X"}, pin, BadSlot("1x")},
        {"empty slot", {"{M}", "", "{SO}", "X"}, pin, BadSlot("")},
        {"negative slot", {"{M}", "-1", "{SO}", "X"}, pin, BadSlot("-1")},
        {"slot with a sign", {"{M}", "+1", "{SO}", "X"}, pin, BadSlot("+1")},
        {"slot over 64 bits", {"{M}", "18446744073709551616", "{SO}", "X"}, pin, BadSlot("18446744073709551616")},
        {"0x alone", {"{M}", "0x", "{SO}", "X"}, pin, BadSlot("0x")},
        {"hexadecimal without 0x", {"{M}", "5a", "{SO}", "X"}, pin, BadSlot("5a")},
        {"not a hexadecimal digit", {"{M}", "0x5g", "{SO}", "X"}, pin, BadSlot("0x5g")},
        {"blank after 0x", {"{M}", "0x 5", "{SO}", "X"}, pin, BadSlot("0x 5")},
        {"sign after 0x", {"{M}", "0x-5", "{SO}", "X"}, pin, BadSlot("0x-5")},
        {"two prefixes", {"{M}", "0x0x5", "{SO}", "X"}, pin, BadSlot("0x0x5")},
        {"hexadecimal over 64 bits", {"{M}", "0x10000000000000000", "{SO}", "X"}, pin,
         BadSlot("0x10000000000000000")},
        {"unknown slot", {"{M}", "999", "{SO}", "X"}, pin, "No slot with ID 999\n"},
        {"unknown slot in hexadecimal", {"{M}", "0x3E7", "{SO}", "X"}, pin, "No slot with ID 999\n"},
        {"empty SO PIN", {"{M}", "{S}", "", "X"}, pin, "The SO PIN is empty\n"},
        {"empty line on standard input", {"{M}", "{S}", "-", "X"}, "\n", "The SO PIN is empty\n"},
        {"nothing on standard input", {"{M}", "{S}", "-", "X"}, "", "The SO PIN is empty\n"},
        {"256 bytes on standard input", {"{M}", "{S}", "-", "X"}, std::string(256, '7') + "\n",
         "The SO PIN on standard input is longer than 255 bytes\n"},
        {"empty label", {"{M}", "{S}", "{SO}", ""}, pin, "The label is empty\n"},
        {"33-byte label", {"{M}", "{S}", "{SO}", std::string(33, 'L')}, pin, "The label is longer than 32 bytes\n"},
        {"17 Cyrillic letters", {"{M}", "{S}", "{SO}", std::string(kCyrillic16) + "Я"}, pin,
         "The label is longer than 32 bytes\n"},
        {"text file as module", {TESSALY_TESTMODULE_NOTALIB_PATH, "{S}", "{SO}", "X"}, pin,
         std::string("test: ") + TESSALY_TESTMODULE_NOTALIB_PATH + "*"},
        // Refused before the loader maps it, which would end the tool with SIGBUS.
        {"module cut short", {CutModulePath(), "{S}", "{SO}", "X"}, pin,
         "test: " + CutModulePath() + ": cut short: the file has 40000 bytes, its loadable segments need *"},
        {"module cut short, found by its bare name", {kCutModuleName, "{S}", "{SO}", "X"}, pin,
         std::string("test: ") + kCutModuleName + ": cut short: the file has 40000 bytes, its loadable segments need *"},
        // The module's answer in words, as the window gives it (NSS's softoken of Debian 12 refuses
        // every argument so).
        {"module that refuses every argument", {"{B}", "{S}", "{SO}", "X"}, pin,
         "Unable to initialize the Cryptoki module: it answered CKR_ARGUMENTS_BAD also without initialisation "
         "arguments. This module needs initialisation arguments of its own, which no general program passes; it "
         "cannot be used here.\n",
         "0x7"},
    };
}

TEST_F(BrannickTool, RefusalsLeaveTheTokenAsItWas)
{
    MakeStore();
    ASSERT_FALSE(HasFatalFailure());
    setenv("TESSALY_SLOW_INIT_MS", "0", 1);
    setenv("TESSALY_INIT_TOKEN_RV", "0xB6", 1);
    const std::vector<TRefusal> refusals = Refusals();
    setenv("LD_LIBRARY_PATH", CutModuleFolder().c_str(), 1);
    for (const TRefusal& r : refusals) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> args;
        for (const std::string& a : r.args)
            args.push_back(a == "{M}"    ? fixture::SoftHsm::ModulePath()
                           : a == "{B}"  ? TESSALY_SLOWINIT_MODULE_PATH
                           : a == "{S}"  ? m_slot
                           : a == "{SO}" ? kSOPIN
                                         : a);
        if (r.initializeRV)
            setenv("TESSALY_INITIALIZE_RV", r.initializeRV, 1);
        const TRun run = Brannick(args, &r.input);
        unsetenv("TESSALY_INITIALIZE_RV");
        EXPECT_EQ(255, run.status) << run.out << run.err;
        EXPECT_EQ("", run.out);
        if (!r.err.empty() && r.err.back() == '*') {
            EXPECT_EQ(0u, run.err.rfind(r.err.substr(0, r.err.size() - 1), 0)) << run.err;
            EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << "more than one line: " << run.err;
        } else {
            EXPECT_EQ(r.err, run.err);
        }
        EXPECT_FALSE(Contains(run.err, kSOPIN)) << run.err;
        ExpectUntouched(r.name);
    }
    unsetenv("LD_LIBRARY_PATH");
    unsetenv("TESSALY_SLOW_INIT_MS");
    unsetenv("TESSALY_INIT_TOKEN_RV");
}

// A token whose C_InitToken does not answer: the tool gives up at the limit, reports it with
// status 1 and ends at once, without aborting on the running worker.
TEST_F(BrannickTool, TimeLimit)
{
    MakeStore();
    ASSERT_FALSE(HasFatalFailure());
    const std::string input = std::string(kSOPIN) + "\n";
    const long limitMs = 1500;
    setenv("BRANNICK_TEST_TIME_LIMIT_MS", std::to_string(limitMs).c_str(), 1);
    setenv("TESSALY_SLOW_INIT_MS", "60000", 1);
    const TRun run = Brannick({TESSALY_SLOWINIT_MODULE_PATH, m_slot, "-", "Late"}, &input, BRANNICK_TESTLIMIT_PATH);
    EXPECT_EQ(1, run.status) << run.err;
    EXPECT_EQ("Card initialized with timeout\n", run.out);
    EXPECT_FALSE(Contains(run.err, "QThread")) << run.err;
    EXPECT_GE(run.ms, limitMs);
    EXPECT_LT(run.ms, limitMs + 20000) << "the tool waited for the token";
    // It ended while the token was still asleep.
    ExpectUntouched("after the time-out");

    // A token that answers within the limit.
    setenv("BRANNICK_TEST_TIME_LIMIT_MS", "60000", 1);
    setenv("TESSALY_SLOW_INIT_MS", "200", 1);
    const TRun inTime = Brannick({TESSALY_SLOWINIT_MODULE_PATH, m_slot, "-", "InTime"}, &input, BRANNICK_TESTLIMIT_PATH);
    EXPECT_EQ(0, inTime.status) << inTime.err;
    EXPECT_EQ("Card initialized\n", inTime.out);
    EXPECT_FALSE(SlotOf("InTime").empty());
    unsetenv("BRANNICK_TEST_TIME_LIMIT_MS");
    unsetenv("TESSALY_SLOW_INIT_MS");
}

} // namespace
