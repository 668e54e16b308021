#ifndef TSY_PKCS11_PROVIDER_H
#define TSY_PKCS11_PROVIDER_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <pkcs11.h>

class CPKCS11Context;
class CPKCS11Slot;
class CSlotEventThread;
class CProviderTreeWidget;
class CFinalizeCall;

// One configured module as a tab shows it: its context, its slot-event thread, the slots shown
// and the tab's tree.
class CPKCS11Provider
{
public:
    typedef std::map<unsigned long, CPKCS11Slot*> TSlotsMap;

    // Takes ownership of both; both are required.
    CPKCS11Provider(CPKCS11Context* pContext, CSlotEventThread* pThread);
    // Shutdown, when it has not run yet.
    ~CPKCS11Provider();

    // Finalises the module on a thread of its own, waiting at most GetFinalizeTimeout ms for it
    // (a module can block there for good, on a lock its own stuck thread holds); then waits (at
    // most GetThreadStopTimeout ms) for the slot-event thread to leave the module, and unloads.
    // A thread that does not come back is never terminated: it is left running with its own
    // reference to the library, so the library stays loaded; a later provider destruction
    // deletes it once it has ended. A module that did not answer in time is left to the
    // finalising thread, loaded, with its slot-event thread: false then (the caller tells the
    // user), and until it answers IsFinalizePending is true for its file. Afterwards the
    // provider has no context or thread. Later calls return the first answer.
    bool Shutdown();
    // Shuts all of them down for the end of the program, one after the other within one limit,
    // GetCloseTimeout ms: those not reached within it are left loaded, unfinalised, for the rest
    // of the process. Each one's Shutdown then gives its answer (false for those left).
    static void ShutdownAll(const std::vector<CPKCS11Provider*>& providers);

    CPKCS11Context* GetContext() const { return m_pContext; }
    CSlotEventThread* GetThread() const { return m_pContextThread; }
    TSlotsMap& GetSlots() { return m_mapSlots; }
    CProviderTreeWidget* GetTreeWidget() const { return m_pTreeWidget; }
    void SetTreeWidget(CProviderTreeWidget* pTreeWidget) { m_pTreeWidget = pTreeWidget; }

    void StartThread();

    static unsigned long GetThreadStopTimeout();
    static void SetThreadStopTimeout(unsigned long nMilliseconds);
    static unsigned long GetFinalizeTimeout();
    static void SetFinalizeTimeout(unsigned long nMilliseconds);
    static unsigned long GetCloseTimeout();
    static void SetCloseTimeout(unsigned long nMilliseconds);
    // Whether a module file's C_Finalize, given up on by Shutdown, still has not returned.
    static bool IsFinalizePending(const std::string& sModule);

private:
    CPKCS11Provider(const CPKCS11Provider&) = delete;
    CPKCS11Provider& operator=(const CPKCS11Provider&) = delete;

    CPKCS11Context* m_pContext;
    CSlotEventThread* m_pContextThread;
    TSlotsMap m_mapSlots;
    CProviderTreeWidget* m_pTreeWidget;
    // Starts C_Finalize; EndShutdown waits for it until the deadline and ends the rest.
    void BeginShutdown();
    bool EndShutdown(std::chrono::steady_clock::time_point deadline);
    // Gives up the provider without finalising its module (nothing is freed).
    void LeaveLoaded();

    bool m_bShutDown;
    bool m_bAnswered;
    CFinalizeCall* m_pFinalize;
};

#endif
