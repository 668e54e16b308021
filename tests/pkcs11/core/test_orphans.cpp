// Slot-event threads that cannot be released: they are never terminated and never unloaded
// under. Each leaves its thread object behind for good, so these run in an executable of their own.
#include <chrono>
#include <memory>
#include <thread>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "CoreSupport.h"
#include "TSYpkcs11.h"
#include "TestModuleControl.h"

namespace {

std::unique_ptr<CPKCS11Provider> MakeProvider(const char* module, const char* description)
{
    auto* context = new CPKCS11Context(module, description, nullptr);
    return std::make_unique<CPKCS11Provider>(context, new CSlotEventThread(context));
}

TEST(ProviderDestruction, ThreadThatDoesNotReturnKeepsTheModuleLoaded)
{
    unsigned long previous = CPKCS11Provider::GetThreadStopTimeout();
    CPKCS11Provider::SetThreadStopTimeout(300);
    {
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        tm.set_wait_mode(3);   // the wait ignores C_Finalize
        auto provider = MakeProvider(testmodule::ModulePath(), "Stuck");
        provider->StartThread();
        ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));
        tm.Close();

        coretest::MessageCapture capture;
        QElapsedTimer timer;
        timer.start();
        provider.reset();
        qint64 elapsed = timer.elapsed();
        EXPECT_GE(elapsed, 250) << "the provider did not wait for the thread";
        EXPECT_LT(elapsed, 3000) << "the time limit was not kept";
        EXPECT_TRUE(capture.Contains("did not return from the module")) << capture.All();
        EXPECT_FALSE(capture.Contains("terminated")) << capture.All();
    }
    // Nobody but the thread holds the module now, and it is still mapped.
    EXPECT_TRUE(testmodule::Control::IsLoaded());
    testmodule::Control again;
    EXPECT_EQ(1, again.waiters()) << "the thread is still inside, alive";
    again.release_waiters();
    for (int i = 0; i < 500 && again.waiters() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, again.waiters());
    // Once out, the thread has given its reference back; the module's code stays mapped all the
    // same, as every loaded module's does.
    again.Close();
    EXPECT_TRUE(testmodule::Control::IsLoaded());
    CPKCS11Provider::SetThreadStopTimeout(previous);
}

TEST(ProviderDestruction, SharedModuleIsNotFinalisedUnderTheOtherContext)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.insert_token(1, nullptr, "87654321", "1234", 0);
    auto first = MakeProvider(testmodule::ModulePath(), "First");
    auto second = MakeProvider(testmodule::ModulePath(), "Second");
    first->StartThread();
    second->StartThread();
    ASSERT_EQ(2, tm.wait_for_waiters(2, 10000));
    bool firstThreadDeleted = false;
    QObject::connect(first->GetThread(), &QObject::destroyed, [&] { firstThreadDeleted = true; });

    // The reload case: the old provider goes while the new one keeps the module. Its thread
    // cannot be released without finalising the other context's module, so it is left waiting
    // and keeps the library loaded; nothing waits for it.
    QElapsedTimer timer;
    timer.start();
    first.reset();
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_EQ(0, tm.call_count("C_Finalize"));
    MakeProvider(testmodule::ModulePath(), "Meanwhile").reset();
    EXPECT_FALSE(firstThreadDeleted) << "deleted while it was still inside the module";
    EXPECT_EQ(2, tm.waiters());
    CPKCS11Token* token = second->GetContext()->GetSlot(0)->GetToken();
    EXPECT_STREQ("Test token", token->GetLabel());
    EXPECT_TRUE(token->OpenSession(true));

    // The last one finalises, which releases both waiters.
    second.reset();
    EXPECT_EQ(1, tm.call_count("C_Finalize"));
    for (int i = 0; i < 500 && tm.waiters() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, tm.waiters());

    // The thread left behind has ended now: a later provider destruction deletes it.
    for (int i = 0; i < 500 && !firstThreadDeleted; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        MakeProvider(testmodule::ModulePath(), "Later").reset();
    }
    EXPECT_TRUE(firstThreadDeleted) << "an ended thread was kept for good";
}

// Last in this program: the held variant keeps the test module loaded from here on.
// A module whose C_Finalize does not return: the provider gives up after the time limit and
// leaves the module loaded to the call, with the slot-event thread; once the call returns, the
// module is finalised and the file can be loaded and closed again.
TEST(ProviderDestruction, FinalizeThatDoesNotReturnIsLeftWithinTheLimit)
{
    const unsigned long previous = CPKCS11Provider::GetFinalizeTimeout();
    CPKCS11Provider::SetFinalizeTimeout(300);
    testmodule::Control tm;
    testmodule::StuckFinalize stuck;
    tm.add_slot(1, "Reader", "Maker");
    tm.insert_token(1, nullptr, "87654321", "1234", 0);
    auto provider = MakeProvider(testmodule::StuckFinalizePath(), "Stuck");
    ASSERT_TRUE(provider->GetContext()->GetSlot(0)->GetToken()->OpenSession(false));
    provider->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));

    coretest::MessageCapture capture;
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(provider->Shutdown());
    const qint64 elapsed = timer.elapsed();
    EXPECT_GE(elapsed, 250) << "the provider did not wait for C_Finalize";
    EXPECT_LT(elapsed, 3000) << "the time limit was not kept";
    EXPECT_TRUE(capture.Contains("did not return from C_Finalize")) << capture.All();
    EXPECT_EQ(1, stuck.Held());
    EXPECT_EQ(nullptr, provider->GetContext());
    EXPECT_TRUE(CPKCS11Provider::IsFinalizePending(testmodule::StuckFinalizePath()));
    EXPECT_FALSE(CPKCS11Provider::IsFinalizePending(testmodule::ModulePath()));
    EXPECT_FALSE(provider->Shutdown()) << "a second call answers as the first";
    provider.reset();
    EXPECT_EQ(0, tm.call_count("C_Finalize"));
    EXPECT_EQ(1, tm.waiters()) << "the slot-event thread is left inside";
    EXPECT_EQ(0, tm.session_count()) << "the session goes before C_Finalize is called";

    stuck.Release();
    for (int i = 0; i < 500 && CPKCS11Provider::IsFinalizePending(testmodule::StuckFinalizePath()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(CPKCS11Provider::IsFinalizePending(testmodule::StuckFinalizePath()));
    EXPECT_EQ(1, tm.call_count("C_Finalize"));
    for (int i = 0; i < 500 && tm.waiters() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, tm.waiters());

    // Answering in time again: closed at once, nothing left behind.
    auto again = MakeProvider(testmodule::StuckFinalizePath(), "Again");
    again->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));
    EXPECT_TRUE(again->Shutdown());
    EXPECT_FALSE(CPKCS11Provider::IsFinalizePending(testmodule::StuckFinalizePath()));
    EXPECT_EQ(2, tm.call_count("C_Finalize"));
    CPKCS11Provider::SetFinalizeTimeout(previous);
}

} // namespace
