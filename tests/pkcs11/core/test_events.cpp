// Slot-event thread and provider record: events reach the signals with the right slot, a module
// without events says so once, and destroying a provider releases and joins its thread before
// the module goes away.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "CoreSupport.h"
#include "Fixture.h"
#include "TSYpkcs11.h"
#include "TestModuleControl.h"

namespace {

// Records the signals in the emitting thread.
struct Recorder
{
    std::mutex mutex;
    std::vector<std::pair<unsigned long, CPKCS11Context*>> events;
    std::vector<CPKCS11Context*> notSupported;
    std::vector<CPKCS11Context*> resumed;
    std::vector<std::pair<unsigned long, CPKCS11Context*>> stopped;
    std::vector<CPKCS11Context*> failing;

    void Connect(CSlotEventThread* thread)
    {
        QObject::connect(thread, &CSlotEventThread::SlotEventsFailing, thread,
                         [this](CPKCS11Context* c) {
                             std::lock_guard<std::mutex> lock(mutex);
                             failing.push_back(c);
                         }, Qt::DirectConnection);
        QObject::connect(thread, &CSlotEventThread::SlotEventsResumed, thread,
                         [this](CPKCS11Context* c) {
                             std::lock_guard<std::mutex> lock(mutex);
                             resumed.push_back(c);
                         }, Qt::DirectConnection);
        QObject::connect(thread, &CSlotEventThread::SlotEventsStopped, thread,
                         [this](ulong rv, CPKCS11Context* c) {
                             std::lock_guard<std::mutex> lock(mutex);
                             stopped.emplace_back(rv, c);
                         }, Qt::DirectConnection);
        QObject::connect(thread, &CSlotEventThread::SlotEvent, thread,
                         [this](ulong id, CPKCS11Context* c) {
                             std::lock_guard<std::mutex> lock(mutex);
                             events.emplace_back(id, c);
                         }, Qt::DirectConnection);
        QObject::connect(thread, &CSlotEventThread::SlotEventsNotSupported, thread,
                         [this](CPKCS11Context* c) {
                             std::lock_guard<std::mutex> lock(mutex);
                             notSupported.push_back(c);
                         }, Qt::DirectConnection);
    }
    size_t EventCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size();
    }
    bool WaitForEvents(size_t n)
    {
        for (int i = 0; i < 1000 && EventCount() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return EventCount() >= n;
    }
    size_t ResumedCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return resumed.size();
    }
};

// Whether what is asked for comes true within ten seconds.
bool WaitUntil(const std::function<bool()>& done)
{
    for (int i = 0; i < 2000 && !done(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

// The retry policy of the slot-event threads for one test, put back afterwards.
struct RetryPolicy
{
    RetryPolicy(unsigned long first, unsigned long longest, unsigned attempts)
        : savedFirst(CSlotEventThread::GetFirstRetryPause()),
          savedLongest(CSlotEventThread::GetLongestRetryPause()),
          savedAttempts(CSlotEventThread::GetRetryAttempts())
    {
        CSlotEventThread::SetRetryPolicy(first, longest, attempts);
    }
    ~RetryPolicy() { CSlotEventThread::SetRetryPolicy(savedFirst, savedLongest, savedAttempts); }
    unsigned long savedFirst, savedLongest;
    unsigned savedAttempts;
};

std::unique_ptr<CPKCS11Provider> MakeProvider(const char* module, const char* description)
{
    auto* context = new CPKCS11Context(module, description, nullptr);
    return std::make_unique<CPKCS11Provider>(context, new CSlotEventThread(context));
}

TEST(SlotEvents, MetaObjectSignatures)
{
    const QMetaObject& meta = CSlotEventThread::staticMetaObject;
    EXPECT_STREQ("CSlotEventThread", meta.className());
    EXPECT_GE(meta.indexOfSignal("SlotEvent(ulong,CPKCS11Context*)"), 0);
    EXPECT_GE(meta.indexOfSignal("SlotEventsNotSupported(CPKCS11Context*)"), 0);
    // Registered by the thread, before anyone can connect to it.
    testmodule::Control tm;
    CPKCS11Context context(testmodule::ModulePath(), "Meta", nullptr);
    CSlotEventThread thread(&context);
    EXPECT_NE(0, QMetaType::type("CPKCS11Context*")) << "queued signals would be dropped";
}

TEST(SlotEvents, InsertionAndRemovalReachTheSignalWithTheSlot)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader 1", "Maker");
    tm.add_slot(2, "Reader 2", "Maker");
    auto provider = MakeProvider(testmodule::ModulePath(), "Events");
    EXPECT_TRUE(provider->GetSlots().empty());
    EXPECT_EQ(nullptr, provider->GetTreeWidget());
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    provider->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));

    tm.insert_token(2, nullptr, "87654321", "1234", 1);
    ASSERT_TRUE(recorder.WaitForEvents(1));
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000)) << "the thread waits again after an event";
    tm.remove_token(2, 1);
    ASSERT_TRUE(recorder.WaitForEvents(2));
    tm.insert_token(1, nullptr, "87654321", "1234", 1);
    ASSERT_TRUE(recorder.WaitForEvents(3));

    std::vector<std::pair<unsigned long, CPKCS11Context*>> expected = {
        {2, provider->GetContext()}, {2, provider->GetContext()}, {1, provider->GetContext()}};
    EXPECT_EQ(expected, recorder.events);
    EXPECT_TRUE(recorder.notSupported.empty());

    // The receiver re-reads the slot the event names.
    CPKCS11Slot* slot = provider->GetContext()->GetSlot(0);
    provider->GetSlots()[slot->GetSlotID()] = slot;
    slot->Refresh();
    EXPECT_TRUE(slot->IsTokenPresent());
}

TEST(SlotEvents, QueuedDeliveryCarriesTheContext)
{
    testmodule::Control tm;
    tm.add_slot(5, "Reader", "Maker");
    auto provider = MakeProvider(testmodule::ModulePath(), "Queued");
    QObject receiver;
    std::vector<std::pair<unsigned long, CPKCS11Context*>> received;
    QObject::connect(provider->GetThread(), &CSlotEventThread::SlotEvent, &receiver,
                     [&](ulong id, CPKCS11Context* c) { received.emplace_back(id, c); }, Qt::QueuedConnection);
    provider->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));
    tm.queue_event(5);
    for (int i = 0; i < 1000 && received.empty(); ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(5u, received[0].first);
    EXPECT_EQ(provider->GetContext(), received[0].second);
    EXPECT_TRUE(CPKCS11Context::IsLive(received[0].second));
}

TEST(SlotEvents, SignalThatArrivesAfterItsContextIsGoneCanBeTold)
{
    testmodule::Control tm;
    tm.add_slot(5, "Reader", "Maker");
    auto provider = MakeProvider(testmodule::ModulePath(), "Stale");
    QObject receiver;
    std::vector<CPKCS11Context*> received;
    QObject::connect(provider->GetThread(), &CSlotEventThread::SlotEvent, &receiver,
                     [&](ulong, CPKCS11Context* c) { received.push_back(c); }, Qt::QueuedConnection);
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    provider->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));
    tm.queue_event(5);
    ASSERT_TRUE(recorder.WaitForEvents(1));   // emitted, still queued for the receiver
    CPKCS11Context* address = provider->GetContext();
    // Noted when connecting, the generation tells a late signal even if the address is reused.
    const uint64_t generation = provider->GetThread()->GetContextGeneration();
    EXPECT_EQ(address->GetGeneration(), generation);
    EXPECT_TRUE(CPKCS11Context::IsLiveGeneration(generation));
    provider.reset();
    ASSERT_TRUE(received.empty());
    for (int i = 0; i < 100 && received.empty(); ++i)
        QCoreApplication::processEvents();
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(address, received[0]);
    EXPECT_FALSE(CPKCS11Context::IsLive(received[0]));
    EXPECT_FALSE(CPKCS11Context::IsLiveGeneration(generation));
}

TEST(SlotEvents, NoSignalAfterStopIsRequested)
{
    testmodule::Control tm;
    tm.add_slot(5, "Reader", "Maker");
    auto provider = MakeProvider(testmodule::ModulePath(), "Stop");
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    provider->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));
    provider->GetThread()->RequestStop();
    tm.queue_event(5);
    ASSERT_TRUE(provider->GetThread()->wait(10000));
    EXPECT_EQ(0u, recorder.EventCount());
}

TEST(SlotEvents, ThreadStoppedBeforeItStartsNeverEntersTheModule)
{
    testmodule::Control tm;
    tm.add_slot(5, "Reader", "Maker");
    auto provider = MakeProvider(testmodule::ModulePath(), "Stopped early");
    provider->GetThread()->RequestStop();
    provider->StartThread();
    ASSERT_TRUE(provider->GetThread()->wait(10000));
    EXPECT_EQ(0, tm.call_count("C_WaitForSlotEvent"));
}

TEST(SlotEvents, ModulesWithoutEvents)
{
    struct { const char* name; int mode; CK_RV failure; size_t nSignals; } cases[] = {
        {"not supported", 1, CKR_OK, 1},
        {"no event", 2, CKR_OK, 1},
    };
    for (const auto& c : cases) {
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        tm.set_wait_mode(c.mode);
        if (c.failure != CKR_OK)
            tm.fail("C_WaitForSlotEvent", c.failure, 0, -1);
        auto provider = MakeProvider(testmodule::ModulePath(), c.name);
        Recorder recorder;
        recorder.Connect(provider->GetThread());
        testing::internal::CaptureStderr();
        provider->StartThread();
        ASSERT_TRUE(provider->GetThread()->wait(10000)) << c.name << ": the thread did not end";
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.nSignals, recorder.notSupported.size()) << c.name;
        if (c.nSignals) {
            EXPECT_EQ(provider->GetContext(), recorder.notSupported[0]);
        }
        EXPECT_EQ(1, tm.call_count("C_WaitForSlotEvent")) << c.name << ": the thread is not restarted";
        EXPECT_NE(std::string::npos, err.find(">C_WaitForSlotEvent was unblocked\n")) << err;
        // A later event reaches nobody: the thread has ended.
        tm.insert_token(1, nullptr, "1", "2", 1);
        EXPECT_EQ(0u, recorder.EventCount());
    }
}

// Waits that fail with an unexpected answer (OpenSC's while pcscd restarts) are tried again
// after a pause that grows; the first event after them says that the slots are to be read
// again, the next ones are plain events. Failures in a row end the thread with one signal; a
// failure after a long wait (the module had been answering) starts the count afresh; a stop
// cuts a pause short.
TEST(SlotEvents, FailingWaitsAreTriedAgain)
{
    struct Case {
        const char* name;
        int nImmediateFailures;   // -1: for ever
        bool bReleasedWithFailure; // the wait that blocks is ended by a failure, twice, after a while
        size_t nResumed;
        size_t nStopped;
        int nWaitCalls;           // when the thread ended; -1: it waits again
    };
    const Case cases[] = {
        {"one failure, then events", 1, false, 1, 0, -1},
        {"three failures, then events", 3, false, 1, 0, -1},
        {"failing for ever", -1, false, 0, 1, 5},
        {"failures after long waits", 0, true, 1, 0, -1},
    };
    for (const Case& c : cases) {
        const RetryPolicy policy(10, 40, 5);
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        if (c.nImmediateFailures != 0)
            tm.fail("C_WaitForSlotEvent", CKR_GENERAL_ERROR, 0, c.nImmediateFailures);
        auto provider = MakeProvider(testmodule::ModulePath(), c.name);
        Recorder recorder;
        recorder.Connect(provider->GetThread());
        QElapsedTimer timer;
        timer.start();
        provider->StartThread();
        if (c.nWaitCalls != -1) {
            ASSERT_TRUE(provider->GetThread()->wait(10000)) << c.name << ": the thread did not end";
            EXPECT_EQ(c.nWaitCalls, tm.call_count("C_WaitForSlotEvent")) << c.name;
            // Pauses of 10, 20, 40 and 40 ms (bounded) between the five waits.
            EXPECT_GE(timer.elapsed(), 110) << c.name;
        } else {
            ASSERT_EQ(1, tm.wait_for_waiters(1, 10000)) << c.name << ": the thread does not wait again";
            for (int i = 0; c.bReleasedWithFailure && i < 10; ++i) {
                // Longer than the longest pause: each failure is the first of its row.
                std::this_thread::sleep_for(std::chrono::milliseconds(60));
                const int calls = tm.call_count("C_WaitForSlotEvent");
                tm.fail_waiters(CKR_GENERAL_ERROR);
                ASSERT_TRUE(WaitUntil([&] { return tm.call_count("C_WaitForSlotEvent") > calls && tm.waiters() == 1; }))
                    << c.name;
            }
            tm.queue_event(1);
            ASSERT_TRUE(WaitUntil([&] { return recorder.ResumedCount() > 0; })) << c.name;
            ASSERT_EQ(1, tm.wait_for_waiters(1, 10000)) << c.name;
            tm.queue_event(1);
            ASSERT_TRUE(recorder.WaitForEvents(1)) << c.name;
        }
        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_EQ(c.nResumed, recorder.resumed.size()) << c.name;
        EXPECT_EQ(c.nStopped, recorder.stopped.size()) << c.name;
        if (!recorder.stopped.empty()) {
            EXPECT_EQ(std::make_pair((unsigned long)CKR_GENERAL_ERROR, provider->GetContext()), recorder.stopped[0])
                << c.name;
        }
        EXPECT_EQ(c.nWaitCalls == -1 ? 1u : 0u, recorder.events.size()) << c.name << ": events after the first";
        EXPECT_TRUE(recorder.notSupported.empty()) << c.name;
        // None of these waits had worked before it failed.
        EXPECT_TRUE(recorder.failing.empty()) << c.name;
    }
}

// Failures after a wait that reported an event are signalled, each one; the wait after them is
// timed while the thread sits in it.
TEST(SlotEvents, FailuresAfterWorkingWaitsAreSignalled)
{
    const RetryPolicy policy(10, 40, 5);
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.queue_event(1);
    tm.fail("C_WaitForSlotEvent", CKR_GENERAL_ERROR, 1, 2);
    auto provider = MakeProvider(testmodule::ModulePath(), "Restarting");
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    EXPECT_EQ(-1, provider->GetThread()->GetWaitingMs());
    provider->StartThread();
    ASSERT_TRUE(WaitUntil([&] { return tm.call_count("C_WaitForSlotEvent") == 4 && tm.waiters() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(provider->GetThread()->GetWaitingMs(), 50);
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_EQ(1u, recorder.events.size());
        EXPECT_EQ(std::vector<CPKCS11Context*>(2, provider->GetContext()), recorder.failing);
    }
    tm.queue_event(1);
    EXPECT_TRUE(WaitUntil([&] { return recorder.ResumedCount() == 1; }));
}

TEST(SlotEvents, StopCutsThePauseShort)
{
    const RetryPolicy policy(60000, 60000, 5);
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    tm.fail("C_WaitForSlotEvent", CKR_GENERAL_ERROR, 0, -1);
    auto provider = MakeProvider(testmodule::ModulePath(), "Pausing");
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    provider->StartThread();
    ASSERT_TRUE(WaitUntil([&] { return tm.call_count("C_WaitForSlotEvent") == 1; }));
    coretest::MessageCapture capture;
    provider.reset();
    EXPECT_FALSE(capture.Contains("did not return")) << capture.All();
    EXPECT_EQ(1, tm.call_count("C_WaitForSlotEvent"));
    EXPECT_TRUE(recorder.stopped.empty());
}

// OpenSC without a reader service answers CKR_GENERAL_ERROR to every wait: after the retries
// the thread gives up with that answer, and never says that events are not supported.
TEST(SlotEvents, OpenScWithoutReaderServiceStopsWithItsAnswer)
{
#ifdef TESSALY_OPENSC_ONEPIN_MODULE
    fixture::HideHostReaders();
    const RetryPolicy policy(10, 20, 3);
    auto provider = MakeProvider(TESSALY_OPENSC_ONEPIN_MODULE, "OpenSC");
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    testing::internal::CaptureStderr();
    provider->StartThread();
    ASSERT_TRUE(provider->GetThread()->wait(10000));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, recorder.EventCount());
    EXPECT_TRUE(recorder.notSupported.empty()) << "a general error is not \"not supported\"";
    ASSERT_EQ(1u, recorder.stopped.size());
    EXPECT_EQ((unsigned long)CKR_GENERAL_ERROR, recorder.stopped[0].first);
    EXPECT_FALSE(provider->GetThread()->HasFollowedEvents()) << "its waits failed at once from the first";
#else
    GTEST_SKIP() << "OpenSC's onepin module is not installed";
#endif
}

TEST(ProviderDestruction, ReleasesTheWaitingThreadPromptly)
{
    testmodule::Control tm;
    tm.add_slot(1, "Reader", "Maker");
    auto provider = MakeProvider(testmodule::ModulePath(), "Waiting");
    Recorder recorder;
    recorder.Connect(provider->GetThread());
    // Slots in the provider's map belong to the context and are freed once.
    CPKCS11Slot* slot = provider->GetContext()->GetSlot(0);
    provider->GetSlots()[slot->GetSlotID()] = slot;
    provider->StartThread();
    ASSERT_EQ(1, tm.wait_for_waiters(1, 10000));

    coretest::MessageCapture capture;
    QElapsedTimer timer;
    timer.start();
    testing::internal::CaptureStderr();
    provider.reset();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(timer.elapsed(), 2000) << "destroying the provider took too long";
    EXPECT_EQ(0, tm.waiters()) << "a thread is still inside the module";
    EXPECT_EQ(0, tm.is_initialized());
    EXPECT_EQ(1, tm.call_count("C_Finalize"));
    EXPECT_TRUE(recorder.notSupported.empty()) << "finalising ends the wait without a signal";
    EXPECT_FALSE(capture.Contains("did not return")) << capture.All();
    EXPECT_TRUE(capture.Contains("Freeing provider")) << capture.All();
}

// The thread has left the module when the provider is gone; the module's code stays mapped.
TEST(ProviderDestruction, ModuleStaysMappedAfterTheThreadHasLeft)
{
    {
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Maker");
        tm.Close();
        auto provider = MakeProvider(testmodule::ModulePath(), "Unload");
        provider->StartThread();
        testmodule::Control watch;   // a second reference, only to watch the waiter
        // Control's constructor resets the module; the waiter is counted all the same.
        ASSERT_EQ(1, watch.wait_for_waiters(1, 10000));
        watch.Close();
        EXPECT_TRUE(testmodule::Control::IsLoaded());
        provider.reset();
    }
    EXPECT_TRUE(testmodule::Control::IsLoaded());
    testmodule::Control after;
    EXPECT_EQ(0, after.waiters());
    EXPECT_EQ(0, after.is_initialized());
}

TEST(ProviderDestruction, UnstartedThread)
{
    testmodule::Control tm;
    auto provider = MakeProvider(testmodule::ModulePath(), "Unstarted");
    provider.reset();
    EXPECT_EQ(1, tm.call_count("C_Finalize"));
}

} // namespace
