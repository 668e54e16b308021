// Watched slots: a provider whose slot-event waits failed after they had worked has its slots
// read by the window until a wait reports a change again.
#include "MainWindow.h"

#include <QTimer>

#include <atomic>
#include <vector>

#include "GuiLog.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "ProviderTreeWidget.h"
#include "SlotEventThread.h"
#include "pkcs11provider.h"

namespace {

// A slot read once a second finds a change within a few; a removal reaches a working wait in
// well under a second, and a wait that has not reported one within three did not see it. A
// module whose wait has sat silent for five seconds after its failures is loaded again in any
// case: its own reading of the slots may be as stale as its wait (and after a restart of the
// service its sessions are gone anyway).
std::atomic<int> g_nWatchPollMs(1000);
std::atomic<int> g_nWatchGraceMs(3000);
std::atomic<int> g_nWatchSettleMs(5000);

} // namespace

void MainWindow::SetSlotWatchTiming(int nPollMs, int nGraceMs, int nSettleMs)
{
    g_nWatchPollMs.store(nPollMs > 0 ? nPollMs : 1);
    g_nWatchGraceMs.store(nGraceMs > 0 ? nGraceMs : 1);
    g_nWatchSettleMs.store(nSettleMs > 0 ? nSettleMs : 1);
}

bool MainWindow::IsWatchingSlots(const CPKCS11Provider* pProvider) const
{
    return pProvider && pProvider->GetContext() && m_slotWatches.count(pProvider->GetContext()->GetGeneration());
}

CPKCS11Provider* MainWindow::ProviderOfGeneration(uint64_t nGeneration) const
{
    for (const auto& entry : m_mapProviders)
        if (entry.first->GetGeneration() == nGeneration)
            return entry.second;
    return nullptr;
}

void MainWindow::OnSlotEventsFailing(CPKCS11Context* pContext, uint64_t nGeneration)
{
    // Nothing of the provider is touched here: an operation running meanwhile does not mind.
    if (!FindProvider(pContext, nGeneration))
        return;
    if (!m_slotWatches.count(nGeneration))
        qCDebug(lcGui) << "Slot events failed after they had worked: the slots are read until a wait reports again";
    WatchSlots(nGeneration);
}

void MainWindow::WatchSlots(uint64_t nGeneration)
{
    // A new failure: what a wait reported before it proves nothing about the waits after it,
    // and a new outage may need a new load.
    m_slotWatches[nGeneration].bLoadedAgain = false;
    if (!m_pSlotWatchTimer) {
        m_pSlotWatchTimer = new QTimer(this);
        connect(m_pSlotWatchTimer, &QTimer::timeout, this, &MainWindow::OnSlotWatchTick);
    }
    if (!m_pSlotWatchTimer->isActive())
        m_pSlotWatchTimer->start(g_nWatchPollMs.load());
}

void MainWindow::OnSlotWatchTick()
{
    // A running operation may use the slots' objects; the next tick after it reads them.
    if (m_nOperations > 0 || m_bClosing || m_bClosePending)
        return;
    std::vector<uint64_t> watched;
    for (const auto& entry : m_slotWatches)
        watched.push_back(entry.first);
    for (uint64_t nGeneration : watched) {
        if (m_nOperations > 0)
            break;
        CatchAll(tr("Unable to read the card."), [&] {
            if (!ProviderOfGeneration(nGeneration))
                m_slotWatches.erase(nGeneration);
            else
                PollWatchedSlots(nGeneration);
        });
    }
    if (m_slotWatches.empty() && m_pSlotWatchTimer)
        m_pSlotWatchTimer->stop();
}

bool MainWindow::PollWatchedSlots(uint64_t nGeneration)
{
    CPKCS11Provider* pProvider = ProviderOfGeneration(nGeneration);
    if (!pProvider || !m_slotWatches.count(nGeneration))
        return true;
    const auto now = std::chrono::steady_clock::now();
    const auto grace = std::chrono::milliseconds(g_nWatchGraceMs.load());
    // A change left unreported while the thread sits in the module's wait, or a wait silent for
    // long after the failures: the waits may no longer tell, and a new initialisation of the
    // module makes them tell again. (Waits that fail at once, the service still gone, are no
    // reason: the module would load without its readers.)
    bool bUnreported = false;
    for (const auto& found : m_slotWatches[nGeneration].unreported)
        bUnreported = bUnreported || now - found.second > grace;
    CSlotEventThread* pThread = pProvider->GetThread();
    const long long nWaiting = pThread ? pThread->GetWaitingMs() : -1;
    if (!m_slotWatches[nGeneration].bLoadedAgain &&
        ((bUnreported && nWaiting > g_nWatchGraceMs.load()) || nWaiting > g_nWatchSettleMs.load())) {
        CProviderTreeWidget* pTreeBefore = pProvider->GetTreeWidget();
        qCDebug(lcGui) << (bUnreported ? "A card change went unreported by the slot-event wait of"
                                       : "The slot-event wait has stayed silent since its failures in")
                       << pProvider->GetContext()->GetDescription() << ": the provider is loaded again";
        m_slotWatches.erase(nGeneration);
        RunOperation(tr("Unable to reload the provider."), [&] { ReloadProvider(pProvider, true); }, WaitCursor);
        // The new load is watched too, until its waits report a change.
        for (const auto& entry : m_mapProviders)
            if (entry.second->GetTreeWidget() && entry.second->GetTreeWidget() == pTreeBefore) {
                WatchSlots(entry.first->GetGeneration());
                m_slotWatches[entry.first->GetGeneration()].bLoadedAgain = true;
            }
        return false;
    }

    std::vector<unsigned long> changed;
    for (const auto& slot : pProvider->GetSlots())
        if (slot.second->DiffersFromModule())
            changed.push_back(slot.first);
    for (unsigned long nSlotID : changed) {
        // A read of the card can run the event loop (its splash): the provider may be gone after.
        pProvider = ProviderOfGeneration(nGeneration);
        if (!pProvider || !m_slotWatches.count(nGeneration))
            return false;
        qCDebug(lcGui) << "Slot" << nSlotID << "changed unreported in" << pProvider->GetContext()->GetDescription();
        HandleSlotEvent(nSlotID, pProvider);
        auto watch = m_slotWatches.find(nGeneration);
        if (watch != m_slotWatches.end())
            watch->second.unreported.emplace(nSlotID, std::chrono::steady_clock::now());
    }
    return true;
}

std::string MainWindow::ShownSlotState(CPKCS11Provider* pProvider, unsigned long nSlotID) const
{
    auto it = pProvider->GetSlots().find(nSlotID);
    if (it == pProvider->GetSlots().end())
        return std::string();
    CPKCS11Slot* pSlot = it->second;
    std::string state = pSlot->IsTokenPresent() ? (pSlot->IsTokenRecognized() ? "card" : "unknown") : "empty";
    CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
    QTreeWidgetItem* pSlotRow = pTree ? pTree->FindItem(pSlot) : nullptr;
    CPKCS11Base* pObject = pSlotRow && pSlotRow->childCount() > 0 ? pTree->GetObject(pSlotRow->child(0)) : nullptr;
    if (pObject && pObject->GetObjectType() == CryptokiToken) {
        const CPKCS11Token* pToken = static_cast<const CPKCS11Token*>(pObject);
        for (const char* pszText : {pToken->GetManufacturer(), pToken->GetModel(), pToken->GetSerialNumber()})
            state.append(1, '\n').append(pszText);
    }
    return state;
}

void MainWindow::NoteReportedEvent(uint64_t nGeneration, unsigned long nSlotID, const std::string& before)
{
    auto watch = m_slotWatches.find(nGeneration);
    CPKCS11Provider* pProvider = ProviderOfGeneration(nGeneration);
    if (watch == m_slotWatches.end() || !pProvider)
        return;
    // The wait reported a change the window had found itself, or one it had not: it tells again.
    if (watch->second.unreported.count(nSlotID) || ShownSlotState(pProvider, nSlotID) != before) {
        qCDebug(lcGui) << "Slot events are reported again by" << pProvider->GetContext()->GetDescription();
        m_slotWatches.erase(watch);
    }
}
