#ifndef TSY_PKCS11_PROVIDER_H
#define TSY_PKCS11_PROVIDER_H

#include <map>

#include <pkcs11.h>

class CPKCS11Context;
class CPKCS11Slot;
class CSlotEventThread;
class CProviderTreeWidget;

// One configured module as a tab shows it: its context, its slot-event thread, the slots shown
// and the tab's tree.
class CPKCS11Provider
{
public:
    typedef std::map<unsigned long, CPKCS11Slot*> TSlotsMap;

    // Takes ownership of both; both are required.
    CPKCS11Provider(CPKCS11Context* pContext, CSlotEventThread* pThread);
    // Finalises the module, waits (at most GetThreadStopTimeout ms) for the thread to leave the
    // module, then unloads. A thread that does not come back is never terminated: it is left
    // running with its own reference to the library, so the library stays loaded; a later
    // provider destruction deletes it once it has ended.
    ~CPKCS11Provider();

    CPKCS11Context* GetContext() const { return m_pContext; }
    CSlotEventThread* GetThread() const { return m_pContextThread; }
    TSlotsMap& GetSlots() { return m_mapSlots; }
    CProviderTreeWidget* GetTreeWidget() const { return m_pTreeWidget; }
    void SetTreeWidget(CProviderTreeWidget* pTreeWidget) { m_pTreeWidget = pTreeWidget; }

    void StartThread();

    static unsigned long GetThreadStopTimeout();
    static void SetThreadStopTimeout(unsigned long nMilliseconds);

private:
    CPKCS11Provider(const CPKCS11Provider&) = delete;
    CPKCS11Provider& operator=(const CPKCS11Provider&) = delete;

    CPKCS11Context* m_pContext;
    CSlotEventThread* m_pContextThread;
    TSlotsMap m_mapSlots;
    CProviderTreeWidget* m_pTreeWidget;
};

#endif
