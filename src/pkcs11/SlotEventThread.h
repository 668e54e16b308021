#ifndef TSY_SLOT_EVENT_THREAD_H
#define TSY_SLOT_EVENT_THREAD_H

#include <atomic>
#include <condition_variable>
#include <mutex>

#include <QMetaType>
#include <QThread>

#include <pkcs11.h>

#include "PKCS11Context.h"

// Waits in the module's C_WaitForSlotEvent and turns every event into a signal.
//
// A wait that fails with an unexpected answer (OpenSC answers CKR_GENERAL_ERROR while pcscd
// restarts) is tried again after a pause that grows with each failure in a row, up to a bound.
// The first event after such failures comes as SlotEventsResumed: what happened meanwhile was
// not reported, so the receiver reads the slot list again. After GetRetryAttempts failures in a
// row the thread gives up with SlotEventsStopped; HasFollowedEvents then tells a module that
// once followed card changes from one whose waits never worked here (OpenSC without pcscd
// fails every wait at once). Every failure that is tried again after waits that had worked
// comes as SlotEventsFailing: a module may come back from such failures with waits that no
// longer report anything (OpenSC after a pcscd restart), so the receiver checks the slots itself
// for a while.
//
// The thread keeps its own loader reference to the module until it has left the module for
// good, so the module's code stays mapped under it whatever happens to the context. The context
// pointer in the signals is only an identifier: a receiver must check it before using it, as it
// may arrive after the context is gone. A new context can reuse a freed one's address, so a check
// by address alone (CPKCS11Context::IsLive, a table keyed by the pointer) can take a late signal
// for the new context; a receiver that must not should note GetContextGeneration when it connects
// and test CPKCS11Context::IsLiveGeneration, or tag its connections in a similar way.
class CSlotEventThread : public QThread
{
    Q_OBJECT
public:
    explicit CSlotEventThread(CPKCS11Context* pContext);
    ~CSlotEventThread() override;

    CPKCS11Context* GetContext() const { return m_pContext; }
    uint64_t GetContextGeneration() const { return m_nContextGeneration; }

    // No signal is emitted after this; the thread ends at the next return from the module (at
    // once when it is pausing between two waits).
    void RequestStop();

    // Whether a wait of this thread ever reported an event or blocked for a while.
    bool HasFollowedEvents() const { return m_bFollowed.load(); }
    // How long the thread has been inside its present C_WaitForSlotEvent, in milliseconds; -1
    // while it is not in one (pausing after a failure, ended, not started).
    long long GetWaitingMs() const;

    // The pause after the first failed wait, the longest pause, and how many failures in a row
    // end the thread (for every thread started afterwards). A wait that blocked longer than the
    // longest pause before it failed starts the count afresh: the module had been answering.
    static void SetRetryPolicy(unsigned long nFirstPauseMs, unsigned long nLongestPauseMs, unsigned nAttempts);
    static unsigned long GetFirstRetryPause();
    static unsigned long GetLongestRetryPause();
    static unsigned GetRetryAttempts();

signals:
    void SlotEvent(ulong nSlotID, CPKCS11Context* pContext);
    void SlotEventsNotSupported(CPKCS11Context* pContext);
    // An event after failed waits: the slots may have changed unreported in between.
    void SlotEventsResumed(CPKCS11Context* pContext);
    // A wait failed after waits that had worked; the thread waits again after a pause.
    void SlotEventsFailing(CPKCS11Context* pContext);
    // The waits kept failing (rv: the last answer); card changes are no longer followed.
    void SlotEventsStopped(ulong rv, CPKCS11Context* pContext);

protected:
    void run() override;

private:
    void WaitForEvents();
    // Sleeps, unless a stop is requested meanwhile; false then.
    bool Pause(unsigned long nMilliseconds);

    CPKCS11Context* m_pContext;
    CK_FUNCTION_LIST_PTR m_pFunctionList;
    uint64_t m_nContextGeneration;
    void* m_hLibrary;
    std::atomic<bool> m_bStopRequested;
    std::atomic<bool> m_bFollowed{false};
    // steady_clock time (ns since its epoch) at which the present wait began; -1 outside one.
    std::atomic<long long> m_nWaitStarted{-1};
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseEnded;
};

Q_DECLARE_METATYPE(CPKCS11Context*)

#endif
