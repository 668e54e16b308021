// The owning array holder: moves hand the array over exactly once, copies do not compile.
#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

#include <sorvit/AutoArray.h>

namespace {

TByteArrayAutoPtr MakeBytes(size_t n)
{
    TByteArrayAutoPtr bytes(new unsigned char[n], n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<unsigned char>(i);
    return bytes;
}

static_assert(!std::is_copy_constructible<TByteArrayAutoPtr>::value, "a copy would free the array twice");
static_assert(!std::is_copy_assignable<TByteArrayAutoPtr>::value, "a copy would free the array twice");
static_assert(std::is_nothrow_move_constructible<TByteArrayAutoPtr>::value, "holders go into containers");

TEST(AutoArray, ReturnedFromAFunction)
{
    TByteArrayAutoPtr bytes = MakeBytes(5);
    ASSERT_NE(bytes.get(), nullptr);
    EXPECT_EQ(bytes.size(), 5u);
    EXPECT_EQ(bytes[4], 4);
}

TEST(AutoArray, MoveLeavesTheSourceEmpty)
{
    TByteArrayAutoPtr a = MakeBytes(3);
    unsigned char* p = a.get();
    TByteArrayAutoPtr b(std::move(a));
    EXPECT_EQ(b.get(), p);
    EXPECT_EQ(b.size(), 3u);
    EXPECT_EQ(a.get(), nullptr);
    EXPECT_EQ(a.size(), 0u);
    EXPECT_THROW(a[0], std::out_of_range);
}

TEST(AutoArray, MoveAssignmentFreesTheOldArray)
{
    // Under LeakSanitizer a lost array fails the run.
    TByteArrayAutoPtr a = MakeBytes(8);
    TByteArrayAutoPtr b = MakeBytes(2);
    unsigned char* p = b.get();
    a = std::move(b);
    EXPECT_EQ(a.get(), p);
    EXPECT_EQ(a.size(), 2u);
    EXPECT_EQ(b.get(), nullptr);

    // Self-assignment keeps the array.
    TByteArrayAutoPtr& same = a;
    a = std::move(same);
    EXPECT_EQ(a.get(), p);
    EXPECT_EQ(a.size(), 2u);
}

} // namespace
