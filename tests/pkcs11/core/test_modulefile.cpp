// A module file is checked and loaded through one descriptor: a file renamed into its place in
// between is never mapped, the loader's texts and names name the module, a name never stands for
// another library, one library under two names is still one instance, and a module finds the
// libraries beside it.
#include <atomic>
#include <string>

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Fixture.h"
#include "TSYpkcs11.h"
#include "TestModuleControl.h"

namespace {

// Armed, the next dlopen that may map a file first renames g_from over g_to: the file is
// replaced just after the layer checked it and just before the loader opens anything.
std::atomic<bool> g_armed(false);
std::string g_from, g_to;

int OpenDescriptors()
{
    int n = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++n;
        closedir(dir);
    }
    return n;
}

std::string LoadFailureText(const char* module)
{
    try {
        CPKCS11Context context(module, "Module", nullptr);
    } catch (const CTSYException& e) {
        return e.what();
    }
    return std::string();
}

} // namespace

extern "C" void* dlopen(const char* file, int mode)
{
    using TDlopen = void* (*)(const char*, int);
    static const TDlopen real = reinterpret_cast<TDlopen>(dlsym(RTLD_NEXT, "dlopen"));
    if (file && !(mode & RTLD_NOLOAD) && g_armed.exchange(false))
        ::rename(g_from.c_str(), g_to.c_str());
    return real(file, mode);
}

// The swap a package update or a hostile user makes: a copy cut short renamed over the module
// between its check and its load. The load takes the file that was checked (a load of the cut
// copy dies with SIGBUS in the loader, so it runs in a child).
TEST(ModuleFile, FileReplacedBetweenCheckAndLoadIsNotMapped)
{
    const std::string dir = fixture::ScratchDir("swapped");
    const std::string module = dir + "/libswapped.so";
    const std::string cut = dir + "/libswapped-cut.so";
    fixture::WriteBytes(module, fixture::ReadBytes(testmodule::ModulePath()));
    fixture::WriteCutShort(testmodule::ModulePath(), cut, fixture::LoadableEnd(testmodule::ModulePath()) / 2);
    g_from = cut;
    g_to = module;

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        g_armed = true;
        int status = 1;
        try {
            CPKCS11Context context(module.c_str(), "Swapped", nullptr);
            CK_INFO info;
            status = !g_armed && context.GetFunctionList()->C_GetInfo(&info) == CKR_OK ? 0 : 2;
        } catch (const CTSYException& e) {
            status = 3;
        }
        _exit(status);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_FALSE(WIFSIGNALED(status)) << "the load died of signal " << WTERMSIG(status);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "exit status " << WEXITSTATUS(status) << " (2: the module did not answer or nothing was swapped, 3: the "
        << "load failed)";
    // The swap did happen: the file now at the path is the one cut short, and it is refused.
    struct stat info;
    ASSERT_EQ(0, ::stat(module.c_str(), &info));
    EXPECT_EQ(off_t(fixture::LoadableEnd(testmodule::ModulePath()) / 2), info.st_size);
    EXPECT_NE(std::string::npos, LoadFailureText(module.c_str()).find("cut short")) << LoadFailureText(module.c_str());
}

// What the loader says names the module's file, never the name it was given; the library's
// name in the loader (which backtraces and the sanitizers show) ends in the module's file name.
TEST(ModuleFile, LoaderTextsNameTheModule)
{
    const std::string text = LoadFailureText(testmodule::NotALibraryPath());
    EXPECT_NE(std::string::npos, text.find(testmodule::NotALibraryPath())) << text;
    EXPECT_EQ(std::string::npos, text.find("/proc/self/fd")) << text;
    EXPECT_EQ(std::string::npos, text.find("tessaly-module-")) << text;

    const std::string dir = fixture::ScratchDir("named");
    const std::string module = dir + "/libnamed-module.so";
    fixture::WriteBytes(module, fixture::ReadBytes(testmodule::ModulePath()));
    CPKCS11Context context(module.c_str(), "Named", nullptr);
    Dl_info info;
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(context.GetFunctionList()->C_GetInfo), &info));
    const std::string name = info.dli_fname ? info.dli_fname : "";
    EXPECT_EQ("/libnamed-module.so", name.substr(name.rfind('/'))) << name;
    // The link and its folder went once the loader had the file.
    struct stat st;
    EXPECT_NE(0, ::lstat(name.c_str(), &st)) << name;
    EXPECT_NE(0, ::stat(name.substr(0, name.rfind('/')).c_str(), &st)) << name;
}

// The loader hands a library out again for any name it was once loaded by: a name given to it
// must never come to stand for another file. Loads, failed or not, keep no descriptor open.
TEST(ModuleFile, NamesGivenToTheLoaderNeverStandForAnotherLibrary)
{
    { CPKCS11Context first(testmodule::ModulePath(), "First", nullptr); }
    const int before = OpenDescriptors();
    for (int round = 0; round < 20; ++round) {
        EXPECT_EQ("Unable to obtain C_GetFunctionList entry point", LoadFailureText(testmodule::NoFunctionListPath()))
            << "round " << round;
        EXPECT_EQ("Unable to obtain a pointer to CK_FUNCTION_LIST", LoadFailureText(testmodule::FailingFunctionListPath()))
            << "round " << round;
        CPKCS11Context again(testmodule::ModulePath(), "Again", nullptr);
    }
    EXPECT_EQ(before, OpenDescriptors());
    void* h = dlopen(testmodule::NoFunctionListPath(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(nullptr, h) << "the failed loads gave the library back";
    if (h)
        dlclose(h);
}

// One file under two names (a path and a link to it) is one library, and one instance of the
// module, as the loader tells libraries apart by their files; a copy is another.
TEST(ModuleFile, OneFileUnderTwoNamesIsOneModule)
{
    const std::string dir = fixture::ScratchDir("twonames");
    const std::string link = dir + "/liblinked.so";
    const std::string copy = dir + "/libcopied.so";
    ASSERT_EQ(0, ::symlink(testmodule::ModulePath(), link.c_str()));
    fixture::WriteBytes(copy, fixture::ReadBytes(testmodule::ModulePath()));
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    CPKCS11Context first(testmodule::ModulePath(), "First", nullptr);
    CPKCS11Context linked(link.c_str(), "Linked", nullptr);
    CPKCS11Context copied(copy.c_str(), "Copied", nullptr);
    EXPECT_EQ(first.GetFunctionList(), linked.GetFunctionList());
    EXPECT_EQ(1u, linked.GetSlotCount());
    EXPECT_NE(first.GetFunctionList(), copied.GetFunctionList());
    EXPECT_EQ(0u, copied.GetSlotCount()) << "the copy has a state of its own";
    EXPECT_STREQ(link.c_str(), linked.GetModuleName());
}

// Loaded from its descriptor, a module's $ORIGIN would be /proc/self/fd: a module whose run path
// is its own folder ($ORIGIN) still finds the library it needs beside it, on its first load.
TEST(ModuleFile, ModuleFindsTheLibrariesBesideIt)
{
    void* h = dlopen(testmodule::NeedsDependencyPath(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_EQ(nullptr, h) << "the module is loaded already: the test would show nothing";
    try {
        CPKCS11Context context(testmodule::NeedsDependencyPath(), "Beside", nullptr);
        EXPECT_EQ(0u, context.GetSlotCount());
    } catch (const CTSYException& e) {
        FAIL() << e.what();
    }
}
