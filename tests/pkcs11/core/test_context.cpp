// Loading modules: failures of every step, slot lists that change under the layer, undoing a
// failed load, and two contexts over one module.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include <dlfcn.h>
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "CoreSupport.h"
#include "Fixture.h"
#include "TSYpkcs11.h"
#include "TestModuleControl.h"

// A module may claim counts no allocation can hold; under the address sanitizer such an
// allocation must fail as it does without it, instead of ending the test.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

struct LoadFailure
{
    std::string message;
    unsigned long code;
    uint32_t kind;
};

LoadFailure FailedLoad(const char* module, const char* description, CTSYException* sink = nullptr)
{
    try {
        CPKCS11Context context(module, description, sink);
    } catch (const CTSYException& e) {
        return {e.what(), e.GetCode(), e.GetFlag()};
    }
    ADD_FAILURE() << "loading " << module << " did not fail";
    return {"", 0, 0};
}

TEST(ContextLoad, MissingFileIsKindTwoWithTheLoaderText)
{
    LoadFailure f = FailedLoad("/nonexistent/libmissing.so", "Missing card");
    EXPECT_EQ(0, f.message.rfind("Missing card: ", 0)) << f.message;
    EXPECT_NE(std::string::npos, f.message.find("/nonexistent/libmissing.so")) << f.message;
    EXPECT_NE(std::string::npos, f.message.find("No such file")) << f.message;
    EXPECT_EQ(0u, f.code);
    EXPECT_EQ(2u, f.kind);

    // Without a description the message starts with ": ".
    f = FailedLoad("/nonexistent/libmissing.so", nullptr);
    EXPECT_EQ(0, f.message.rfind(": ", 0)) << f.message;
}

TEST(ContextLoad, BrokenLibrariesThrowWhateverTheSink)
{
    CTSYException sink;
    struct { const char* path; const char* message; unsigned long code; uint32_t kind; } cases[] = {
        {testmodule::NoFunctionListPath(), "Unable to obtain C_GetFunctionList entry point", TSY_MODULE_NOT_PKCS11, 0},
        {testmodule::FailingFunctionListPath(), "Unable to obtain a pointer to CK_FUNCTION_LIST", 0, 0},
    };
    for (const auto& c : cases) {
        for (CTSYException* s : {static_cast<CTSYException*>(nullptr), &sink}) {
            LoadFailure f = FailedLoad(c.path, "Broken", s);
            EXPECT_EQ(c.message, f.message) << c.path;
            EXPECT_EQ(c.code, f.code);
            EXPECT_EQ(c.kind, f.kind);
        }
        // The failed constructor gave its load back.
        void* h = dlopen(c.path, RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(nullptr, h) << c.path << " is still loaded";
        if (h)
            dlclose(h);
    }
    LoadFailure f = FailedLoad(testmodule::NotALibraryPath(), "Text");
    EXPECT_EQ(2u, f.kind);
    EXPECT_EQ(0, f.message.rfind("Text: ", 0)) << f.message;
    EXPECT_EQ(nullptr, sink.GetMessage()) << "the constructor never records";
}

// What is not a regular file is never handed to the loader, whose open() of a FIFO would wait
// for a writer for good.
TEST(ContextLoad, OnlyRegularFilesAreLoaded)
{
    const std::string dir = fixture::ScratchDir("notregular");
    const std::string fifo = dir + "/libfifo.so";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    for (const std::string& path : {fifo, dir, std::string("/dev/null")}) {
        LoadFailure f = FailedLoad(path.c_str(), "Odd");
        EXPECT_EQ(TSY_MODULE_NOT_REGULAR, f.code) << path;
        EXPECT_EQ(2u, f.kind) << path;
        EXPECT_EQ(0, f.message.rfind("Odd: ", 0)) << f.message;
    }
}

#ifdef TESSALY_NSS_SOFTOKEN_MODULE
// NSS's softoken wants a configuration string of its own: Debian 12's refuses every other
// argument, which the layer says in words; Debian 13's starts without one. Whichever it does
// on this machine, the layer tells what the module itself answered.
TEST(ContextLoad, NssSoftokenIsUsedOrSaidToNeedArguments)
{
    void* h = dlopen(TESSALY_NSS_SOFTOKEN_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(h) << dlerror();
    auto pGet = reinterpret_cast<CK_C_GetFunctionList>(dlsym(h, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR pList = nullptr;
    ASSERT_TRUE(pGet && pGet(&pList) == CKR_OK && pList);
    const CK_RV rv = pList->C_Initialize(nullptr);
    if (rv == CKR_OK)
        pList->C_Finalize(nullptr);
    if (rv == CKR_ARGUMENTS_BAD) {
        LoadFailure f = FailedLoad(TESSALY_NSS_SOFTOKEN_MODULE, "NSS");
        EXPECT_EQ(TSY_MODULE_NEEDS_ARGUMENTS, f.code) << f.message;
        EXPECT_EQ(0u, f.message.rfind("Unable to initialize the Cryptoki module: it answered "
                                      "CKR_ARGUMENTS_BAD also without initialisation arguments",
                                      0))
            << f.message;
    } else {
        ASSERT_EQ(CKR_OK, rv) << "the softoken's own answer";
        CPKCS11Context context(TESSALY_NSS_SOFTOKEN_MODULE, "NSS", nullptr);
        EXPECT_GT(context.GetSlotCount(), 0u);
    }
}
#endif

// A copy of the library with one loadable segment more that holds only memory (no file contents,
// p_filesz 0), its offset past the end of the file: the loader never reads the file for it.
namespace {
void WriteWithMemoryOnlySegment(const std::string& from, const std::string& to)
{
    std::vector<unsigned char> bytes = fixture::ReadBytes(from);
    Elf64_Ehdr header;
    ASSERT_GE(bytes.size(), sizeof header);
    std::memcpy(&header, bytes.data(), sizeof header);
    ASSERT_EQ(sizeof(Elf64_Phdr), header.e_phentsize);
    ASSERT_LE(header.e_phoff + header.e_phnum * sizeof(Elf64_Phdr), bytes.size());
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    std::memcpy(segments.data(), bytes.data() + header.e_phoff, segments.size() * sizeof(Elf64_Phdr));
    uint64_t top = 0;
    size_t lastLoad = 0;
    for (size_t i = 0; i < segments.size(); ++i)
        if (segments[i].p_type == PT_LOAD) {
            top = std::max<uint64_t>(top, segments[i].p_vaddr + segments[i].p_memsz);
            lastLoad = i;
        }
    // A note after the last loadable segment becomes the new one (the loader wants them in order).
    size_t note = lastLoad + 1;
    while (note < segments.size() && segments[note].p_type != PT_NOTE)
        ++note;
    ASSERT_LT(note, segments.size()) << from << " has no note after its loadable segments";
    const uint64_t step = 0x10000;
    Elf64_Phdr& memory = segments[note];
    memory.p_type = PT_LOAD;
    memory.p_flags = PF_R | PF_W;
    memory.p_vaddr = memory.p_paddr = (top + step - 1) / step * step;
    memory.p_offset = (bytes.size() + step - 1) / step * step + step;
    memory.p_filesz = 0;
    memory.p_memsz = 0x1000;
    memory.p_align = 0x1000;
    std::memcpy(bytes.data() + header.e_phoff, segments.data(), segments.size() * sizeof(Elf64_Phdr));
    fixture::WriteBytes(to, bytes);
}
} // namespace

// A library cut short anywhere between its headers and the end of its last loadable segment's
// file contents is refused before the loader maps it (which raises SIGBUS in dlopen); cut after
// that, or with a segment of memory only whose offset lies past the end, it loads.
TEST(ContextLoad, LibrariesCutShortAreRefused)
{
    const std::string dir = fixture::ScratchDir("cutshort");
    const std::string real = fixture::SoftHsm::ModulePath();
    const size_t end = fixture::LoadableEnd(real);
    ASSERT_GT(end, 8192u) << real;
    const std::string module = testmodule::ModulePath();
    struct Case {
        std::string what;
        std::string path;
        size_t size;  // refused: the size the message names; 0: loads
    };
    std::vector<Case> cases;
    for (size_t size : {size_t(64), size_t(1100), size_t(4096), end / 2, end - 1}) {
        cases.push_back({"cut to " + std::to_string(size), dir + "/libsofthsm2-" + std::to_string(size) + ".so", size});
        fixture::WriteCutShort(real, cases.back().path, size);
    }
    // Without what follows its segments (section headers, symbols) a library still loads.
    cases.push_back({"segments only", dir + "/libsegments-only.so", 0});
    fixture::WriteCutShort(module, cases.back().path, fixture::LoadableEnd(module));
    cases.push_back({"a segment of memory only", dir + "/libmemory-segment.so", 0});
    WriteWithMemoryOnlySegment(module, cases.back().path);
    cases.push_back({"a segment of memory only, segments only", dir + "/libmemory-segment-cut.so", 0});
    WriteWithMemoryOnlySegment(dir + "/libsegments-only.so", cases.back().path);

    for (const Case& c : cases) {
        if (!c.size) {
            try {
                CPKCS11Context context(c.path.c_str(), "Whole", nullptr);
            } catch (const CTSYException& e) {
                ADD_FAILURE() << c.what << ": " << e.what();
            }
            continue;
        }
        LoadFailure f = FailedLoad(c.path.c_str(), "Cut");
        EXPECT_EQ(TSY_MODULE_CUT_SHORT, f.code) << c.what << ": " << f.message;
        EXPECT_EQ(2u, f.kind) << c.what;
        EXPECT_EQ(0u, f.message.rfind("Cut: " + c.path + ": cut short: the file has " + std::to_string(c.size) +
                                          " bytes, its loadable segments need ",
                                      0))
            << f.message;
    }
}

TEST(ContextLoad, InitialisationModes)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");

    // Locking arguments refused, null accepted: the second call initialises.
    tm.set_initialize_mode(1);
    {
        CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
        EXPECT_EQ(2, tm.call_count("C_Initialize"));
        EXPECT_EQ(0, tm.last_initialize_args());
        EXPECT_EQ(1u, context.GetSlotCount());
    }
    EXPECT_EQ(0, tm.is_initialized());

    // Refused both ways: the module's answer is reported with the failure.
    tm.set_initialize_mode(2);
    LoadFailure f = FailedLoad(testmodule::ModulePath(), "Test");
    EXPECT_EQ("Unable to initialize the Cryptoki module", f.message);
    EXPECT_EQ(CKR_GENERAL_ERROR, f.code);
    EXPECT_EQ(1u, f.kind);
}

// A module's code stays mapped once loaded, with its own dependencies: the variant whose
// dependency cannot be mapped twice initialises again after its context went, and keeps what it
// held. Finalising and initialising still happen each time.
TEST(ContextLoad, ModuleStaysMappedAfterItsContextIsGone)
{
    testmodule::Control tm(testmodule::NeedsDependencyPath());
    tm.add_slot(1, "Reader", "Maker");
    {
        CPKCS11Context first(testmodule::NeedsDependencyPath(), "First", nullptr);
        // Only the context holds the module from here on.
        tm.Close();
    }
    for (int round = 0; round < 3; ++round) {
        std::unique_ptr<CPKCS11Context> again;
        try {
            again.reset(new CPKCS11Context(testmodule::NeedsDependencyPath(), "Again", nullptr));
        } catch (const CTSYException& e) {
            FAIL() << "round " << round << ": " << e.what() << " code " << e.GetCode();
        }
        EXPECT_EQ(1u, again->GetSlotCount()) << "the module's state went with an unload";
    }
    testmodule::Control after(testmodule::NeedsDependencyPath());
    EXPECT_EQ(0, after.is_initialized()) << "the last context finalised the module";
}

// A library the module opens itself in C_Initialize and closes in C_Finalize stays mapped too, as
// a thread may still be returning through it.
TEST(ContextLoad, LibraryTheModuleOpensStaysMapped)
{
    for (int round = 0; round < 3; ++round) {
        try {
            CPKCS11Context context(testmodule::OpensDependencyPath(), "Opens", nullptr);
        } catch (const CTSYException& e) {
            FAIL() << "round " << round << ": " << e.what() << " code " << e.GetCode();
        }
    }
}

TEST(ContextLoad, InitialisesWithOsLocking)
{
    testmodule::Control tm;
    CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
    EXPECT_EQ(1, tm.last_initialize_args());
    EXPECT_EQ(0u, context.GetSlotCount());
    EXPECT_EQ(nullptr, context.GetSlot(0));
    EXPECT_STREQ("Test", context.GetDescription());
    EXPECT_STREQ(testmodule::ModulePath(), context.GetModuleName());
}

TEST(ContextLoad, SlotListFailuresFinalise)
{
    struct { int skip; CK_RV rv; const char* message; } cases[] = {
        {0, CKR_DEVICE_ERROR, "Unable to get slots count"},
        {1, CKR_DEVICE_ERROR, "Unable to get slot list"},
    };
    for (const auto& c : cases) {
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        tm.fail("C_GetSlotList", c.rv, c.skip, 1);
        LoadFailure f = FailedLoad(testmodule::ModulePath(), "Test");
        EXPECT_EQ(c.message, f.message);
        EXPECT_EQ(c.rv, f.code);
        EXPECT_EQ(1u, f.kind);
        // The failed constructor undid its own C_Initialize; the module's code stays mapped.
        EXPECT_EQ(1, tm.call_count("C_Finalize")) << c.message;
        EXPECT_EQ(0, tm.is_initialized()) << c.message;
        tm.Close();
        EXPECT_TRUE(testmodule::Control::IsLoaded()) << c.message;
    }
}

TEST(ContextLoad, FailedLoadLeavesAnotherContextsModuleInitialised)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    CPKCS11Context first(testmodule::ModulePath(), "First", nullptr);
    tm.fail("C_GetSlotList", CKR_DEVICE_ERROR, 0, 1);
    LoadFailure f = FailedLoad(testmodule::ModulePath(), "Second");
    EXPECT_EQ("Unable to get slots count", f.message);
    EXPECT_EQ(0, tm.call_count("C_Finalize"));
    EXPECT_EQ(1, tm.is_initialized());
    EXPECT_TRUE(first.RefreshSlotList());
    EXPECT_EQ(1u, first.GetSlotCount());
}

// A reader attached between the count and the fill: the module answers CKR_BUFFER_TOO_SMALL
// and the list is asked for again, with the count it then needs (or, when it gives none, a
// count asked afresh). A list that never settles fails after a few rounds.
TEST(ContextLoad, SlotListThatGrowsBetweenTheCalls)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.keep_growing_slot_list(1);
    LoadFailure f = FailedLoad(testmodule::ModulePath(), "Test");
    EXPECT_EQ("Unable to get slot list", f.message);
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, f.code);
    EXPECT_EQ(1u, f.kind);
    const int nRounds = tm.call_count("C_GetSlotList");
    EXPECT_LE(nRounds, 8) << "bounded";
    tm.keep_growing_slot_list(0);

    tm.grow_slot_list(3);
    CTSYException sink;
    CPKCS11Context context(testmodule::ModulePath(), "Test", &sink);
    const CK_ULONG nLoaded = context.GetSlotCount();
    ASSERT_GE(nLoaded, 4u);
    EXPECT_STREQ("Grown slot", context.GetSlot(nLoaded - 1)->GetDescription());

    tm.grow_slot_list(2);
    EXPECT_TRUE(context.RefreshSlotList());
    EXPECT_EQ(nLoaded + 2, context.GetSlotCount());
    EXPECT_NE(nullptr, context.GetSlot(nLoaded + 1));
    EXPECT_EQ(nullptr, sink.GetMessage());

    // Too small without a count: the count is asked for again.
    tm.fail("C_GetSlotList", CKR_BUFFER_TOO_SMALL, 1, 1);
    EXPECT_TRUE(context.RefreshSlotList());
    EXPECT_EQ(nLoaded + 2, context.GetSlotCount());

    // On refresh: reported, and the list is consistently empty, never the larger count.
    tm.keep_growing_slot_list(1);
    EXPECT_FALSE(context.RefreshSlotList());
    EXPECT_STREQ("Unable to get slot list", sink.GetMessage());
    EXPECT_EQ(CKR_BUFFER_TOO_SMALL, sink.GetCode());
    EXPECT_EQ(0u, context.GetSlotCount());
    EXPECT_EQ(nullptr, context.GetSlot(0));
    tm.keep_growing_slot_list(0);
    EXPECT_TRUE(context.RefreshSlotList());
    EXPECT_GT(context.GetSlotCount(), nLoaded + 2);
}

// Slots attached after the load join the list behind the known ones, whose objects (and the
// token sessions in them) stay; a failed read is reported and keeps the list.
TEST(ContextLoad, NewSlotsJoinTheList)
{
    testmodule::Control tm;
    tm.add_slot(5, "Reader A", "Maker");
    tm.insert_token(5, nullptr, "87654321", "1234", 0);
    CTSYException sink;
    CPKCS11Context context(testmodule::ModulePath(), "Test", &sink);
    ASSERT_EQ(1u, context.GetSlotCount());
    CPKCS11Slot* known = context.GetSlot(0);
    CPKCS11Token* token = known->GetToken();
    ASSERT_TRUE(token->OpenSession(true));

    EXPECT_TRUE(context.ReadNewSlots());
    EXPECT_EQ(1u, context.GetSlotCount()) << "nothing new";

    tm.add_slot(2, "Reader B", "Maker");
    tm.add_slot(9, "Reader C", "Maker");
    EXPECT_TRUE(context.ReadNewSlots());
    ASSERT_EQ(3u, context.GetSlotCount());
    EXPECT_EQ(known, context.GetSlot(0));
    EXPECT_EQ(token, known->GetToken());
    EXPECT_EQ(1, tm.session_count());
    EXPECT_EQ(2u, context.GetSlot(1)->GetSlotID());
    EXPECT_EQ(9u, context.GetSlot(2)->GetSlotID());
    EXPECT_EQ(context.GetSlot(1), context.FindSlot(2));

    tm.fail("C_GetSlotList", CKR_DEVICE_ERROR, 0, 1);
    EXPECT_FALSE(context.ReadNewSlots());
    EXPECT_STREQ("Unable to get slots count", sink.GetMessage());
    EXPECT_EQ(CKR_DEVICE_ERROR, sink.GetCode());
    EXPECT_EQ(3u, context.GetSlotCount());
    EXPECT_EQ(known, context.GetSlot(0));
}

TEST(ContextLoad, ModuleThatOverstatesTheCountIsHeldToTheArray)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.add_slot(2, "Reader 2", "Maker");
    tm.overstate_slot_list(1000);
    CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
    EXPECT_EQ(2u, context.GetSlotCount());
    ASSERT_NE(nullptr, context.GetSlot(1));
    EXPECT_EQ(2u, context.GetSlot(1)->GetSlotID());
    EXPECT_EQ(nullptr, context.GetSlot(2));
}

// A slot list naming a slot more than once: a slot given twice, and entries claimed but not
// written (left 0) beside a real slot 0. Each slot gets one row, on load and on a refresh.
TEST(ContextLoad, SlotListedTwiceIsOneSlot)
{
    struct Case {
        const char* what;
        std::vector<CK_SLOT_ID> listed;   // the module's slots, in its order, repeats included
        CK_ULONG claimedCount;            // what the count query says (0: the real count)
        int overstate;                    // what the fill call claims beyond what it wrote
        std::vector<CK_SLOT_ID> expected;
    };
    const Case cases[] = {
        {"slot given twice", {4, 1, 4, 2, 1}, 0, 0, {4, 1, 2}},
        {"unwritten entries beside slot 0", {0, 1}, 300, 1000, {0, 1}},
    };
    for (const Case& c : cases) {
        testmodule::Control tm;
        for (CK_SLOT_ID id : c.listed)
            tm.add_slot(id, "Reader", "Maker");
        tm.claim_counts(c.claimedCount, 0);
        tm.overstate_slot_list(c.overstate);
        CTSYException sink;
        CPKCS11Context context(testmodule::ModulePath(), "Test", &sink);
        for (int pass = 0; pass < 2; ++pass) {
            if (pass == 1) {
                ASSERT_TRUE(context.RefreshSlotList()) << c.what;
            }
            std::vector<CK_SLOT_ID> ids;
            for (CK_ULONG i = 0; i < context.GetSlotCount(); ++i)
                ids.push_back(context.GetSlot(i)->GetSlotID());
            EXPECT_EQ(c.expected, ids) << c.what << (pass ? " (refresh)" : " (load)");
        }
    }
}

// Counts a module cannot mean: the slot list fails as a failed call, the mechanism list is empty.
TEST(ContextLoad, CountsTooLargeToAllocate)
{
    const CK_ULONG counts[] = {~CK_ULONG(0) / 2, CK_ULONG(1) << 44};
    for (CK_ULONG count : counts) {
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        tm.insert_token(1, nullptr, "87654321", "1234", 0);
        tm.add_mechanism(1, CKM_RSA_PKCS, 512, 4096);
        tm.claim_counts(count, 0);
        LoadFailure f = FailedLoad(testmodule::ModulePath(), "Test");
        EXPECT_EQ("Unable to get slot list", f.message) << count;
        EXPECT_EQ(CKR_HOST_MEMORY, f.code);
        EXPECT_EQ(1u, f.kind);
        EXPECT_EQ(0, tm.is_initialized()) << "the failed load was not undone";

        tm.claim_counts(0, 0);
        CTSYException sink;
        CPKCS11Context context(testmodule::ModulePath(), "Test", &sink);
        CPKCS11Slot* slot = context.GetSlot(0);
        ASSERT_NE(nullptr, slot);
        EXPECT_EQ(1u, slot->GetMechanismCount());
        tm.claim_counts(0, count);
        slot->Refresh();
        EXPECT_EQ(0u, slot->GetMechanismCount()) << count;
        EXPECT_TRUE(slot->IsTokenPresent());
        EXPECT_TRUE(slot->IsTokenRecognized());

        tm.claim_counts(count, 0);
        EXPECT_FALSE(context.RefreshSlotList());
        EXPECT_STREQ("Unable to get slot list", sink.GetMessage());
        EXPECT_EQ(CKR_HOST_MEMORY, sink.GetCode());
        EXPECT_EQ(0u, context.GetSlotCount());
    }
}

TEST(ContextLoad, RefreshFailureOfTheCountIsRecorded)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    CTSYException sink;
    CPKCS11Context context(testmodule::ModulePath(), "Test", &sink);
    tm.fail("C_GetSlotList", CKR_GENERAL_ERROR, 0, 1);
    EXPECT_FALSE(context.RefreshSlotList());
    EXPECT_STREQ("Unable to get slots count", sink.GetMessage());
    EXPECT_EQ(CKR_GENERAL_ERROR, sink.GetCode());
    EXPECT_EQ(1u, sink.GetFlag());
    EXPECT_EQ(0u, context.GetSlotCount());
}

TEST(ContextSlots, CacheAndFreeing)
{
    testmodule::Control tm;
    tm.add_slot(7, "Reader A", "Maker");
    tm.add_slot(9, "Reader B", "Maker");
    CPKCS11Context context(testmodule::ModulePath(), "Test", nullptr);
    CPKCS11Slot* a = context.GetSlot(0);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(a, context.GetSlot(0));
    EXPECT_EQ(7u, a->GetSlotID());
    EXPECT_EQ(9u, context.GetSlot(1)->GetSlotID());
    EXPECT_EQ(nullptr, context.GetSlot(2));
    EXPECT_EQ(nullptr, context.GetSlot(static_cast<unsigned long>(-1)));

    int closeAll = tm.call_count("C_CloseAllSessions");
    context.FreeSlot(a);
    EXPECT_EQ(closeAll + 1, tm.call_count("C_CloseAllSessions"));
    int dummy;
    context.FreeSlot(reinterpret_cast<CPKCS11Slot*>(&dummy));   // not in the cache: ignored
    context.FreeSlot(5ul);
    context.FreeSlot(1ul);
    EXPECT_EQ(closeAll + 2, tm.call_count("C_CloseAllSessions"));
    ASSERT_NE(nullptr, context.GetSlot(1));
    EXPECT_TRUE(context.RefreshSlotList());
    EXPECT_EQ(9u, context.GetSlot(1)->GetSlotID());
}

TEST(ContextShared, TwoContextsShareOneInitialisation)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.insert_token(1, nullptr, "87654321", "1234", 0);
    auto first = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "First", nullptr);
    auto second = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "Second", nullptr);
    EXPECT_EQ(first->GetFunctionList(), second->GetFunctionList());
    EXPECT_NE(first->GetGeneration(), second->GetGeneration());

    first.reset();
    EXPECT_EQ(0, tm.call_count("C_Finalize")) << "the second context still uses the module";
    EXPECT_EQ(1, tm.is_initialized());
    ASSERT_TRUE(second->RefreshSlotList());
    CPKCS11Token* token = second->GetSlot(0)->GetToken();
    EXPECT_STREQ("Test token", token->GetLabel());
    EXPECT_TRUE(token->OpenSession(true));

    second.reset();
    EXPECT_EQ(1, tm.call_count("C_Finalize"));
    EXPECT_EQ(0, tm.is_initialized());
}

// Freeing one context's slots must not close the sessions (and logins) the other context holds
// on the same slots; once the module is no longer shared, the slot closes all its sessions again.
TEST(ContextShared, FreeingOneContextKeepsTheOthersSessions)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.insert_token(1, nullptr, "87654321", "1234", 0);
    auto first = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "First", nullptr);
    auto second = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "Second", nullptr);
    ASSERT_TRUE(first->GetSlot(0)->GetToken()->OpenSession(true));
    CPKCS11Token* token = second->GetSlot(0)->GetToken();
    ASSERT_TRUE(token->OpenSession(false));
    ASSERT_TRUE(token->Login("1234", NormalUser));

    first->FreeSlot(0ul);
    EXPECT_EQ(1, tm.session_count()) << "only the first context's own session is closed";
    ASSERT_TRUE(first->GetSlot(0)->GetToken()->OpenSession(true));
    first.reset();
    EXPECT_EQ(1, tm.session_count());
    EXPECT_EQ(CKR_OK, token->Logout()) << "the second context's session and login were kept";

    ASSERT_TRUE(token->Login("1234", NormalUser));
    int closeAll = tm.call_count("C_CloseAllSessions");
    second->FreeSlots();
    EXPECT_EQ(closeAll + 1, tm.call_count("C_CloseAllSessions"));
    EXPECT_EQ(0, tm.session_count());
}

TEST(ContextShared, LiveRegistry)
{
    testmodule::Control tm;
    auto context = std::make_unique<CPKCS11Context>(testmodule::ModulePath(), "Test", nullptr);
    const CPKCS11Context* address = context.get();
    uint64_t generation = context->GetGeneration();
    EXPECT_TRUE(CPKCS11Context::IsLive(address));
    EXPECT_TRUE(CPKCS11Context::IsLiveGeneration(generation));
    context.reset();
    EXPECT_FALSE(CPKCS11Context::IsLive(address));
    EXPECT_FALSE(CPKCS11Context::IsLiveGeneration(generation));
    // A new context gets a new generation even at the same address.
    CPKCS11Context next(testmodule::ModulePath(), "Next", nullptr);
    EXPECT_NE(generation, next.GetGeneration());
    EXPECT_FALSE(CPKCS11Context::IsLiveGeneration(generation));
}

TEST(ContextLoad, OpenScWithoutReadersHasNoSlots)
{
#ifdef TESSALY_OPENSC_ONEPIN_MODULE
    fixture::HideHostReaders();
    CPKCS11Context context(TESSALY_OPENSC_ONEPIN_MODULE, "OpenSC", nullptr);
    EXPECT_EQ(0u, context.GetSlotCount());
    EXPECT_EQ(nullptr, context.GetSlot(0));
#else
    GTEST_SKIP() << "OpenSC's onepin module is not installed";
#endif
}

} // namespace
