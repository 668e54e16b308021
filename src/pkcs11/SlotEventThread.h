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
// pointer in the signals is only an identifier: a receiver must check it (CPKCS11Context::IsLive
// or its own table of providers) before using it, as it may arrive after the context is gone.
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
    bool IsStopRequested() const { return m_bStopRequested.load(); }

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
