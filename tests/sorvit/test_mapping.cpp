// Read-only file mapping: contents, error texts, releases and refusals.
#include <sorvit/memorymapping.h>

#include "Fixture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

int OpenDescriptors()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

}

class MemoryMappingTest : public testing::Test {
protected:
    void SetUp() override { m_dir = fixture::ScratchDir("mapping"); }
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }
    std::string m_dir;
};

TEST_F(MemoryMappingTest, MapsTheWholeFile)
{
    std::vector<unsigned char> data(10000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7);
    fixture::WriteBytes(Path("data"), data);

    CMemoryMapping map;
    EXPECT_EQ(nullptr, map.GetData());
    ASSERT_TRUE(map.MapFile(Path("data").c_str())) << map.GetErrorText();
    ASSERT_EQ(data.size(), map.GetLength());
    EXPECT_EQ(data, std::vector<unsigned char>(map.GetData(), map.GetData() + map.GetLength()));
    EXPECT_EQ("", map.GetErrorText());

    map.ReleaseMapping();
    EXPECT_EQ(nullptr, map.GetData());
    EXPECT_EQ(0u, map.GetLength());
}

TEST_F(MemoryMappingTest, FailuresGiveTheirTexts)
{
    fixture::WriteBytes(Path("empty"), {});
    struct Case {
        std::string path;
        const char* text;
    } cases[] = {
        {Path("missing"), "Unable to open input file."},
        {Path("empty"), "Unable to map the specified file."},
        {m_dir, "Unable to map the specified file."},
    };
    const int before = OpenDescriptors();
    for (const auto& c : cases) {
        CMemoryMapping map;
        EXPECT_FALSE(map.MapFile(c.path.c_str())) << c.path;
        EXPECT_EQ(c.text, map.GetErrorText()) << c.path;
        EXPECT_EQ(nullptr, map.GetData());
        EXPECT_EQ(0u, map.GetLength());
    }
    EXPECT_EQ(before, OpenDescriptors()) << "a failed mapping must not keep its descriptor";
    CMemoryMapping map;
    EXPECT_FALSE(map.MapFile(nullptr));
    EXPECT_EQ("", map.GetErrorText());
}

TEST_F(MemoryMappingTest, RemappingReleasesAndTheLastErrorStays)
{
    fixture::WriteBytes(Path("a"), {'a', 'a'});
    fixture::WriteBytes(Path("b"), {'b', 'b', 'b'});
    const int before = OpenDescriptors();
    {
        CMemoryMapping map;
        ASSERT_TRUE(map.MapFile(Path("a").c_str()));
        EXPECT_FALSE(map.MapFile(Path("missing").c_str()));
        EXPECT_EQ(nullptr, map.GetData()) << "a failed remap leaves nothing mapped";
        ASSERT_TRUE(map.MapFile(Path("b").c_str()));
        EXPECT_EQ(3u, map.GetLength());
        EXPECT_EQ('b', map.GetData()[0]);
        EXPECT_EQ("Unable to open input file.", map.GetErrorText()) << "success does not clear the last error";
        ASSERT_TRUE(map.MapFile(Path("a").c_str()));
        EXPECT_EQ(2u, map.GetLength());
        EXPECT_EQ(before + 1, OpenDescriptors());
    }
    EXPECT_EQ(before, OpenDescriptors()) << "the destructor closes the descriptor";
}

TEST_F(MemoryMappingTest, RefusesFilesBeyondThirtyTwoBitLengths)
{
    const std::string big = Path("big");
    int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_NE(-1, fd);
    const bool sized = ftruncate(fd, 0x100000010LL) == 0;
    close(fd);
    if (!sized)
        GTEST_SKIP() << "the scratch file system cannot hold a sparse 4 GiB file";
    CMemoryMapping map;
    EXPECT_FALSE(map.MapFile(big.c_str()));
    EXPECT_EQ("The input file is too large to map.", map.GetErrorText());
    EXPECT_EQ(0u, map.GetLength()) << "never a length cut to 16 bytes";
}
