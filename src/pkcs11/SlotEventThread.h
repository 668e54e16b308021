#ifndef TSY_SLOT_EVENT_THREAD_H
#define TSY_SLOT_EVENT_THREAD_H

#include <atomic>

#include <QMetaType>
#include <QThread>

#include <pkcs11.h>

#include "PKCS11Context.h"

// Waits in the module's C_WaitForSlotEvent and turns every event into a signal.
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

    // No signal is emitted after this; the thread ends at the next return from the module.
    void RequestStop() { m_bStopRequested.store(true); }

signals:
    void SlotEvent(ulong nSlotID, CPKCS11Context* pContext);
    void SlotEventsNotSupported(CPKCS11Context* pContext);

protected:
    void run() override;

private:
    void WaitForEvents();

    CPKCS11Context* m_pContext;
    CK_FUNCTION_LIST_PTR m_pFunctionList;
    uint64_t m_nContextGeneration;
    void* m_hLibrary;
    std::atomic<bool> m_bStopRequested;
};

Q_DECLARE_METATYPE(CPKCS11Context*)

#endif
