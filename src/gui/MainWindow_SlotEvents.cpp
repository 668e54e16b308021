// Slot events, and the user operations that hold them back while they run.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QFile>

#include <cassert>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "AutoSplash.h"
#include "GuiLog.h"
#include "MessageBoxEx.h"
#include "OverrideCursor.h"
#include "PKCS11Context.h"
#include "PKCS11Object.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "ProviderTreeWidget.h"
#include "Settings.h"
#include "SlotEventThread.h"
#include "pkcs11provider.h"

void MainWindow::on_slot_event(ulong nSlotID, CPKCS11Context* pContext)
{
    OnSlotEvent(nSlotID, pContext, 0);
}

void MainWindow::on_slot_events_not_supported(CPKCS11Context* pContext)
{
    OnSlotEventsNotSupported(pContext, 0);
}

CPKCS11Provider* MainWindow::ProviderToHandle(TSlotEventKind eKind, unsigned long nValue, CPKCS11Context* pContext,
                                              uint64_t nGeneration)
{
    // A report of a provider freed or reloaded since: its context is gone.
    CPKCS11Provider* pProvider = FindProvider(pContext, nGeneration);
    if (!pProvider) {
        qCDebug(lcGui) << "Slot event of a provider no longer loaded dropped";
        return nullptr;
    }
    if (m_nOperations > 0) {
        HoldBack(eKind, nValue, pContext);
        return nullptr;
    }
    return pProvider;
}

void MainWindow::OnSlotEvent(unsigned long nSlotID, CPKCS11Context* pContext, uint64_t nGeneration)
{
    CatchAll(tr("Unable to read the card."), [&] {
        CPKCS11Provider* pProvider = ProviderToHandle(SlotChanged, nSlotID, pContext, nGeneration);
        if (!pProvider)
            return;
        if (!IsWatchingSlots(pProvider)) {
            HandleSlotEvent(nSlotID, pProvider);
            return;
        }
        const uint64_t nLoad = pContext->GetGeneration();
        const std::string before = ShownSlotState(pProvider, nSlotID);
        HandleSlotEvent(nSlotID, pProvider);
        NoteReportedEvent(nLoad, nSlotID, before);
    });
}

void MainWindow::OnSlotEventsResumed(CPKCS11Context* pContext, uint64_t nGeneration)
{
    CatchAll(tr("Unable to read the card."), [&] {
        if (CPKCS11Provider* pProvider = ProviderToHandle(EventsResumed, 0, pContext, nGeneration))
            HandleSlotEventsResumed(pProvider);
    });
}

void MainWindow::HoldBack(TSlotEventKind eKind, unsigned long nValue, CPKCS11Context* pContext)
{
    const uint64_t nLoad = pContext->GetGeneration();
    for (const THeldBackEvent& e : m_heldBackEvents)
        if (e.eKind == eKind && e.nValue == nValue && e.pContext == pContext && e.nGeneration == nLoad)
            return;  // one refresh at the end reads the slot's last state
    m_heldBackEvents.push_back({eKind, nValue, pContext, nLoad});
}

void MainWindow::RereadSlotOf(const CPKCS11Token* pToken)
{
    for (const auto& entry : m_mapProviders)
        for (const auto& slot : entry.second->GetSlots())
            if (slot.second == pToken->GetParent()) {
                HoldBackSlotEvent(slot.first, entry.first);
                return;
            }
}

namespace {

// What tells one card from another in the window: the texts of its token information.
typedef std::tuple<std::string, std::string, std::string, std::string> TCardIdentity;

TCardIdentity CardIdentity(const CPKCS11Token* pToken)
{
    return TCardIdentity(pToken->GetLabel(), pToken->GetManufacturer(), pToken->GetModel(), pToken->GetSerialNumber());
}

// The token row under a slot row, when it has one.
CPKCS11Token* ShownToken(CProviderTreeWidget* pTree, QTreeWidgetItem* pSlotRow)
{
    CPKCS11Base* pObject = pSlotRow->childCount() > 0 ? pTree->GetObject(pSlotRow->child(0)) : nullptr;
    return pObject && pObject->GetObjectType() == CryptokiToken ? static_cast<CPKCS11Token*>(pObject) : nullptr;
}

} // namespace

void MainWindow::RereadClosedProvider()
{
    // Once per load: a read that fails too (nobody initialised the module again) leaves the tab
    // empty, and its own report must not ask for another.
    if (!m_pCurrentProvider || !m_setClosedRead.insert(m_pCurrentProvider->GetContext()->GetGeneration()).second)
        return;
    HoldBack(ModuleClosedUnder, 0, m_pCurrentProvider->GetContext());
    // Outside any operation nothing else would apply it.
    if (m_nOperations == 0 && !m_bApplyQueued) {
        m_bApplyQueued = true;
        QMetaObject::invokeMethod(this, &MainWindow::ApplyHeldBackEvents, Qt::QueuedConnection);
    }
}

void MainWindow::OnModuleClosedUnder(CPKCS11Context* pContext, uint64_t nGeneration)
{
    CatchAll(tr("Unable to read the card."), [&] {
        CPKCS11Provider* pProvider = ProviderToHandle(ModuleClosedUnder, 0, pContext, nGeneration);
        if (!pProvider || !pContext->IsModuleClosedUnder())
            return;
        COperationGuard operation(this);
        COverrideCursor cursor(Qt::WaitCursor);
        qCDebug(lcGui) << "Read again, its module was closed under it:" << pContext->GetDescription();
        // The selected token is selected again when its slot still holds one.
        unsigned long nSlotID = pProvider->GetSlots().empty() ? 0 : pProvider->GetSlots().begin()->first;
        CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
        CPKCS11Base* pChosen = pTree ? pTree->GetSelectedObject() : nullptr;
        for (const auto& slot : pProvider->GetSlots())
            if (pChosen && (pChosen == slot.second || (pTree->FindItem(slot.second) &&
                                                         pChosen == ShownToken(pTree, pTree->FindItem(slot.second)))))
                nSlotID = slot.first;
        CPKCS11Provider* pCurrent = m_pCurrentProvider;
        m_pCurrentProvider = pProvider;
        RereadSlots(pProvider, nSlotID);
        m_pCurrentProvider = pCurrent;
        on_item_selection_changed();
    });
}

void MainWindow::HandleSlotEvent(unsigned long nSlotID, CPKCS11Provider* pProvider)
{
    COperationGuard operation(this);
    COverrideCursor cursor(Qt::WaitCursor);

    qCDebug(lcGui) << "Slot event in " << pProvider->GetContext()->GetDescription();
    CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
    if (!pTree)
        return;
    auto it = pProvider->GetSlots().find(nSlotID);
    if (it == pProvider->GetSlots().end()) {
        qCDebug(lcGui) << "Slot event for a slot not listed:" << nSlotID;
        ShowNewSlots(pProvider, pTree);
        return;
    }
    CPKCS11Slot* pSlot = it->second;
    QTreeWidgetItem* pSlotRow = pTree->FindItem(pSlot);
    if (!pSlotRow)
        return;

    // An event for the token the window has read, still there (a module reports the card present
    // at start as inserted; another program may have used up its PIN tries): its objects are as
    // they were, only what its information says now is shown.
    switch (RecheckShownToken(pSlot, pTree)) {
    case CPKCS11Slot::TokenUnchanged:
        qCDebug(lcGui) << "Slot event for a token read and unchanged:" << pSlot->GetDescription();
        return;
    case CPKCS11Slot::TokenInfoChanged:
        qCDebug(lcGui) << "Slot event for a token read whose information changed:" << pSlot->GetDescription();
        ShowTokenInfoChanged(pSlot->GetToken(), pTree);
        return;
    case CPKCS11Slot::TokenReplaced:
        break;
    }
    // The card shown before and the person's row in it: the same card read again (its session
    // lost, or its rows incomplete) is no insertion; the tab and the selection stay.
    CPKCS11Token* pShown = ShownToken(pTree, pSlotRow);
    std::optional<TCardIdentity> shownCard;
    bool bTokenChosen = false;
    std::optional<TObjectIdentity> chosenObject;
    if (pShown) {
        shownCard = CardIdentity(pShown);
        CPKCS11Base* pChosen = pTree->GetSelectedObject();
        bTokenChosen = pChosen && pChosen == pShown;
        chosenObject = IdentityOfObjectOn(pChosen, pShown);
    }
    // The slot's token and its objects die with the refresh: their rows, and every
    // pointer of the window to them, go first.
    // (Taking the selected row out updates the selection, and m_pSelectedItem with it.)
    pTree->RemoveChildren(pSlotRow);
    pSlot->Refresh();

    if (!pSlot->IsTokenPresent()) {
        pTree->SetItemIcon(pSlotRow, CProviderTreeWidget::IconEmptyReader);
    } else if (!pSlot->IsTokenRecognized()) {
        pTree->SetItemIcon(pSlotRow, CProviderTreeWidget::IconUnidentifiedCard);
    } else {
        pTree->SetItemIcon(pSlotRow, CProviderTreeWidget::IconReaderWithCard);
        CPKCS11Token* pToken = pSlot->GetToken();
        const bool bSameCard = shownCard && *shownCard == CardIdentity(pToken);
        // The provider is current while the card is read, so that a failure report names this
        // provider's module; after an insertion it stays so, with its tab in front.
        CPKCS11Provider* pCurrent = m_pCurrentProvider;
        if (bSameCard)
            m_pCurrentProvider = pProvider;
        else
            BringProviderForward(pProvider);
        {
            CAutoSplash splash(QStringLiteral(":/bitmaps/Progress"), this, false);
            splash.ShowMessage(tr("Reading card, please wait..."), Qt::AlignBottom, Qt::black);
            DisplayToken(pSlotRow, pSlot, pTree);
        }
        if (bSameCard) {
            m_pCurrentProvider = pCurrent;
            if (bTokenChosen)
                pTree->SelectObject(pToken);
            else if (chosenObject)
                pTree->SelectObject(FindObject(pToken, *chosenObject));
        }
    }
    pTree->on_item_selection_changed();
    on_item_selection_changed();
}

void MainWindow::ShowTokenInfoChanged(CPKCS11Token* pToken, CProviderTreeWidget* pTree)
{
    if (QTreeWidgetItem* pTokenRow = pTree->FindItem(pToken))
        pTokenRow->setText(0, RowText(pToken));
    pTree->on_item_selection_changed();
    on_item_selection_changed();
}

void MainWindow::HandleSlotEventsResumed(CPKCS11Provider* pProvider)
{
    COperationGuard operation(this);
    qCDebug(lcGui) << "Slot events again in " << pProvider->GetContext()->GetDescription();
    CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
    if (!pTree)
        return;
    // What happened while the waits failed went unreported: every slot is read again, and the
    // readers attached meanwhile are added.
    ShowNewSlots(pProvider, pTree);
    std::vector<unsigned long> slotIDs;
    for (const auto& entry : pProvider->GetSlots())
        slotIDs.push_back(entry.first);
    for (unsigned long nSlotID : slotIDs)
        HandleSlotEvent(nSlotID, pProvider);
}

void MainWindow::ShowNewSlots(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree)
{
    CPKCS11Context* pContext = pProvider->GetContext();
    const unsigned long nKnown = pContext->GetSlotCount();
    if (!pContext->ReadNewSlots()) {
        LogError(tr("Unable to read the slot list again."));
        return;
    }
    const unsigned long nSlots = pContext->GetSlotCount();
    for (unsigned long i = nKnown; i < nSlots; ++i) {
        CPKCS11Slot* pSlot = pContext->GetSlot(i);
        if (!pSlot)
            continue;
        qCDebug(lcGui) << "New slot shown:" << pSlot->GetSlotID();
        std::optional<CAutoSplash> splash;
        if (pSlot->IsTokenPresent() && pSlot->IsTokenRecognized()) {
            BringProviderForward(pProvider);
            splash.emplace(QStringLiteral(":/bitmaps/Progress"), this, false);
            splash->ShowMessage(tr("Reading card, please wait..."), Qt::AlignBottom, Qt::black);
        }
        DisplaySlot(pProvider, pTree, pSlot);
    }
    pTree->on_item_selection_changed();
    on_item_selection_changed();
}

void MainWindow::BringProviderForward(CPKCS11Provider* pProvider)
{
    const int nTab = TabOfProvider(pProvider);
    if (nTab != -1)
        ui->tabWidget->setCurrentIndex(nTab);
    m_pCurrentProvider = pProvider;
}

void MainWindow::OnSlotEventsNotSupported(CPKCS11Context* pContext, uint64_t nGeneration)
{
    CatchAll(tr("Unable to show the warning."), [&] {
        CPKCS11Provider* pProvider = ProviderToHandle(EventsNotSupported, 0, pContext, nGeneration);
        // One warning per loaded provider, however often its thread says so.
        if (pProvider && m_setWarned.insert(pContext->GetGeneration()).second)
            HandleSlotEventsNotSupported(pProvider);
    });
}

void MainWindow::OnSlotEventsStopped(unsigned long rv, CPKCS11Context* pContext, uint64_t nGeneration)
{
    CatchAll(tr("Unable to show the warning."), [&] {
        CPKCS11Provider* pProvider = ProviderToHandle(EventsStopped, rv, pContext, nGeneration);
        if (pProvider && m_setWarned.insert(pContext->GetGeneration()).second)
            HandleSlotEventsStopped(rv, pProvider);
    });
}

void MainWindow::HandleSlotEventsNotSupported(CPKCS11Provider* pProvider)
{
    const std::string description = pProvider->GetContext()->GetDescription();
    const QString text =
        tr("The provider %1 doesn't support slot events.\nPlease note that you'll have to reload it manually every time "
           "you insert or remove cards.\nYou can do that by choosing Edit->Reload from the main menu.")
            .arg(CSettings::FromMapText(description));
    CSettings& settings = CSettings::Instance();
    if (!settings.GetShowSEWarning(description))
        return;
    COperationGuard operation(this);
    QMessageBoxEx box(this);
    box.SetText(text);
    box.exec();
    settings.SetShowSEWarning(description, box.IsShowAgainChecked());
}

void MainWindow::HandleSlotEventsStopped(unsigned long rv, CPKCS11Provider* pProvider)
{
    COperationGuard operation(this);
    CPKCS11Context* pContext = pProvider->GetContext();
    // The module's answer is explained in the box and named in the log, with this provider's module.
    m_lastError.Reset();
    m_lastError.SetMessage("C_WaitForSlotEvent failed");
    m_lastError.SetCode(rv);
    m_lastError.SetFlag(TSY_KIND_PKCS11);
    const QString module = QFile::decodeName(pContext->GetModuleName());
    const QString provider = CSettings::FromMapText(pContext->GetDescription());
    // A module whose waits never worked here (OpenSC without pcscd, a default provider) is only
    // logged: a box at every start would tell of nothing that changed.
    if (!pProvider->GetThread()->HasFollowedEvents()) {
        ShowErrorOfModule(tr("Card insertions and removals on the provider %1 cannot be followed: every wait for "
                             "them failed at once.")
                              .arg(provider),
                          false, false, &module);
        return;
    }
    ShowErrorOfModule(tr("Card insertions and removals on the provider %1 are no longer followed: waiting for them "
                         "failed again and again.\nYou can try again by choosing Edit->Reload from the main menu.")
                          .arg(provider),
                      false, true, &module);
}

MainWindow::COperationGuard::COperationGuard(MainWindow* pWindow) : m_pWindow(pWindow)
{
    m_pWindow->OperationStarted();
}

MainWindow::COperationGuard::~COperationGuard()
{
    m_pWindow->OperationEnded();
}

void MainWindow::OperationStarted()
{
    // Only the outermost operation starts afresh: a nested one (the report wizard inside
    // an error box) belongs to the operation that is reporting.
    if (m_nOperations++ == 0)
        m_lastError.Reset();
}

void MainWindow::OperationEnded()
{
    assert(m_nOperations > 0);
    if (--m_nOperations == 0 && m_bClosePending) {
        // From the event loop, once the operation's own code has unwound; the held-back events
        // are of no use to a window that closes.
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
        return;
    }
    if (m_nOperations == 0 && !m_heldBackEvents.empty() && !m_bApplyQueued) {
        // Applied from the event loop, once the operation's own code has unwound.
        m_bApplyQueued = true;
        QMetaObject::invokeMethod(this, &MainWindow::ApplyHeldBackEvents, Qt::QueuedConnection);
    }
}

void MainWindow::ApplyHeldBackEvents()
{
    m_bApplyQueued = false;
    if (m_nOperations > 0)
        return;  // queued again when the running operation ends
    std::deque<THeldBackEvent> events;
    events.swap(m_heldBackEvents);
    for (const THeldBackEvent& e : events) {
        switch (e.eKind) {
        case SlotChanged:
            OnSlotEvent(e.nValue, e.pContext, e.nGeneration);
            break;
        case EventsNotSupported:
            OnSlotEventsNotSupported(e.pContext, e.nGeneration);
            break;
        case EventsResumed:
            OnSlotEventsResumed(e.pContext, e.nGeneration);
            break;
        case EventsStopped:
            OnSlotEventsStopped(e.nValue, e.pContext, e.nGeneration);
            break;
        case ModuleClosedUnder:
            OnModuleClosedUnder(e.pContext, e.nGeneration);
            break;
        }
    }
}
