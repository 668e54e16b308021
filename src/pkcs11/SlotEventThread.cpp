#include "SlotEventThread.h"

#include <cassert>

#include "PKCS11Context.h"
#include "Pkcs11Log.h"

CSlotEventThread::CSlotEventThread(CPKCS11Context* pContext)
    : QThread(nullptr),
      m_pContext(pContext),
      m_pFunctionList(nullptr),
      m_nContextGeneration(0),
      m_hLibrary(nullptr),
      m_bStopRequested(false)
{
    assert(pContext);
    qRegisterMetaType<CPKCS11Context*>("CPKCS11Context*");
    m_pFunctionList = pContext->GetFunctionList();
    m_nContextGeneration = pContext->GetGeneration();
    // Held until run() has left the module, so the library cannot be unloaded under the thread.
    m_hLibrary = pContext->AcquireLibraryReference();
}

CSlotEventThread::~CSlotEventThread()
{
    // Only reached for a thread that has ended or never started.
    wait();
    CPKCS11Context::ReleaseLibraryReference(m_hLibrary);
}

void CSlotEventThread::run()
{
    WaitForEvents();
    // Out of the module for good: its code no longer needs to stay mapped for this thread (this
    // lets a module that a stuck thread kept loaded go once that thread finally returns).
    CPKCS11Context::ReleaseLibraryReference(m_hLibrary);
    m_hLibrary = nullptr;
}

void CSlotEventThread::WaitForEvents()
{
    if (!m_hLibrary || !m_pFunctionList) {
        // Without its own reference the thread could be left inside an unloaded library.
        qCWarning(lcPkcs11) << "No slot events: the module could not be referenced for the slot-event thread";
        return;
    }
    // A thread stopped before it got into the wait does not go in: a module that another context
    // keeps initialised would hold it there.
    while (!m_bStopRequested.load()) {
        CK_SLOT_ID nSlotID = 0;
        CK_RV rv = m_pFunctionList->C_WaitForSlotEvent(0, &nSlotID, nullptr);
        // Once the provider is going away no signal may name its context any more.
        bool bStop = m_bStopRequested.load();
        if (rv == CKR_OK) {
            if (bStop)
                break;
            emit SlotEvent(static_cast<ulong>(nSlotID), m_pContext);
            continue;
        }
        qCDebug(lcPkcs11) << ">C_WaitForSlotEvent was unblocked";
        if (!bStop && (rv == CKR_FUNCTION_NOT_SUPPORTED || rv == CKR_NO_EVENT))
            emit SlotEventsNotSupported(m_pContext);
        break;
    }
}
