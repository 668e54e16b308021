// Providers: loading, their tabs, reload and the Preferences.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>

#include <QCoreApplication>

#include <cassert>

#include "AutoSplash.h"
#include "BackgroundCall.h"
#include "ContextLoad.h"
#include "GuiLog.h"
#include "PKCS11Context.h"
#include "Pkcs11Errors.h"
#include "PKCS11Token.h"
#include "ProviderSettingsAccess.h"
#include "ProviderTreeWidget.h"
#include "ProvidersDialog.h"
#include "Settings.h"
#include "SlotEventThread.h"
#include "pkcs11provider.h"

CPKCS11Context* MainWindow::LoadContext(const std::string& module, const std::string& description)
{
    // Loading, C_Initialize and the slot list can take seconds (a card read in C_Initialize), and
    // a module may never come back from C_Initialize: they run on a thread of their own while the
    // window goes on painting, until they end, the time limit passes or the window is to close.
    // What the user does meanwhile is dropped: nothing may start on objects that are being replaced.
    QEventLoop loop;
    CContextLoad load(module, description, &m_lastError,
                      [&loop] { QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection); });
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &MainWindow::CloseRequested, &loop, &QEventLoop::quit);
    limit.start(int(CContextLoad::GetTimeout()));
    if (!m_bClosePending)
        tessaly::RunWaitLoop(loop, tessaly::TUserInput::Dropped);
    if (load.HasEnded())
        return load.Take();
    // Its thread stays behind in the module; the window goes on without it.
    load.GiveUp();
    const std::string sMessage = description + ": the module did not return from C_Initialize within " +
                                 std::to_string(CContextLoad::GetTimeout()) + " ms";
    throw CTSYException(sMessage.c_str(), TSY_MODULE_NOT_ANSWERING, TSY_KIND_PLAIN);
}

CPKCS11Provider* MainWindow::CreateProvider(const std::string& module, const std::string& description)
{
    m_lastError.Reset();
    std::unique_ptr<CPKCS11Context> context(LoadContext(module, description));
    std::unique_ptr<CSlotEventThread> thread(new CSlotEventThread(context.get()));
    // The connections carry the context's generation: an event still queued for an earlier
    // load is dropped even if the new context has the same address.
    const uint64_t nGeneration = context->GetGeneration();
    connect(thread.get(), &CSlotEventThread::SlotEventsNotSupported, this,
            [this, nGeneration](CPKCS11Context* c) { OnSlotEventsNotSupported(c, nGeneration); }, Qt::QueuedConnection);
    connect(thread.get(), &CSlotEventThread::SlotEvent, this,
            [this, nGeneration](ulong id, CPKCS11Context* c) { OnSlotEvent(id, c, nGeneration); }, Qt::QueuedConnection);
    connect(thread.get(), &CSlotEventThread::SlotEventsResumed, this,
            [this, nGeneration](CPKCS11Context* c) { OnSlotEventsResumed(c, nGeneration); }, Qt::QueuedConnection);
    connect(thread.get(), &CSlotEventThread::SlotEventsFailing, this,
            [this, nGeneration](CPKCS11Context* c) { OnSlotEventsFailing(c, nGeneration); }, Qt::QueuedConnection);
    connect(thread.get(), &CSlotEventThread::SlotEventsStopped, this,
            [this, nGeneration](ulong rv, CPKCS11Context* c) { OnSlotEventsStopped(rv, c, nGeneration); },
            Qt::QueuedConnection);
    CPKCS11Provider* pProvider = new CPKCS11Provider(context.get(), thread.get());
    context.release();
    thread.release();
    m_mapProviders[pProvider->GetContext()] = pProvider;
    return pProvider;
}

void MainWindow::LoadProviders(CAutoSplash& splash, const std::set<std::string>& enteredNow)
{
    const CSettings::TModules& modules = CSettings::Instance().GetProviders();
    if (modules.empty()) {
        COperationGuard operation(this);
        QMessageBox::information(
            this, windowTitle(),
            tr("No PKCS#11 modules installed.\nTo install new security device go to Edit->Preferences"),
            QMessageBox::Ok);
        return;
    }

    m_nTabToSelect = -1;
    m_pTokenToSelect = nullptr;
    // The first provider that loads is current.
    CPKCS11Provider* pFirst = m_pCurrentProvider;
    for (const auto& entry : modules) {
        const std::string& description = entry.first;
        // The table holds UTF-8; the loader gets the file name in the system's encoding.
        const std::string module = QFile::encodeName(CSettings::FromMapText(entry.second)).toStdString();
        // A close asked for meanwhile ends the loading: the window is about to go.
        if (m_bClosePending)
            break;
        // Its last C_Finalize has not returned: loading it again could block the window there.
        if (CPKCS11Provider::IsFinalizePending(module)) {
            qCDebug(lcGui) << "Not loaded, it did not answer when it was closed:" << CSettings::FromMapText(description);
            continue;
        }
        // Nor has its last C_Initialize (the user was told when the window gave up on it).
        if (CContextLoad::IsPending(module)) {
            qCDebug(lcGui) << "Not loaded, it still has not finished its initialisation:"
                           << CSettings::FromMapText(description);
            continue;
        }
        splash.ShowMessage(tr("Loading provider %1...").arg(CSettings::FromMapText(description)),
                           Qt::AlignBottom, Qt::black);
        try {
            CPKCS11Provider* pProvider = CreateProvider(module, description);
            if (!pFirst)
                pFirst = pProvider;
            // While its tree is built the provider is current, so that a failure report
            // names its own module, not the one of the first provider.
            m_pCurrentProvider = pProvider;
            DisplayProvider(pProvider);
            m_pCurrentProvider = pFirst;
        } catch (const CTSYException& e) {
            m_pCurrentProvider = pFirst;
            qCDebug(lcGui) << (e.GetMessage() ? e.GetMessage() : "");
            if (m_bClosePending)
                break;
            ReportProviderFailure(e, module, description, !enteredNow.count(description));
        }
    }

    for (auto& entry : m_mapProviders)
        entry.second->StartThread();

    if (m_nTabToSelect != -1) {
        ui->tabWidget->setCurrentIndex(m_nTabToSelect);
        CPKCS11Provider* pProvider = ProviderOfTab(m_nTabToSelect);
        assert(pProvider);
        if (pProvider) {
            m_pCurrentProvider = pProvider;
            CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
            if (QTreeWidgetItem* pRow = m_pTokenToSelect ? pTree->FindItem(m_pTokenToSelect) : nullptr)
                pTree->setCurrentItem(pRow);
        }
    }
    m_pTokenToSelect = nullptr;
    on_item_selection_changed();
}

QString MainWindow::ProviderFailureText(const CTSYException& error, const std::string& module,
                                       const std::string& description)
{
    const QString provider = CSettings::FromMapText(description);
    const QString file = QFile::decodeName(QByteArray::fromStdString(module));
    QString message = QString::fromUtf8(error.GetMessage() ? error.GetMessage() : "");
    if (error.GetFlag() == TSY_KIND_PLAIN && error.GetCode() == TSY_MODULE_NEEDS_ARGUMENTS)
        return tr("The provider %1 cannot be used.").arg(provider) + QLatin1Char('\n') +
               GetPkcs11ErrorExplanation(error.GetCode());
    if (error.GetFlag() == TSY_KIND_PLAIN && error.GetCode() == TSY_MODULE_NOT_ANSWERING)
        return tr("The provider %1 does not answer: its module has not finished its start after %2 seconds.\n"
                  "tessaly goes on without it; it is tried again at the next start of tessaly.")
            .arg(provider)
            .arg((CContextLoad::GetTimeout() + 999) / 1000);
    const bool bNotLoaded = error.GetFlag() == TSY_KIND_LOAD_FAILED ||
                            (error.GetFlag() == TSY_KIND_PLAIN && error.GetCode() == TSY_MODULE_NOT_PKCS11);
    if (!bNotLoaded)
        return QStringLiteral("%1: %2").arg(provider, message);
    QString reason;
    if (error.GetCode() == TSY_MODULE_NOT_PKCS11) {
        reason = tr("The file %1 is not a PKCS#11 module.").arg(file);
    } else if (error.GetCode() == TSY_MODULE_NOT_REGULAR) {
        reason = tr("Its module file %1 is not a regular file; only regular files are loaded.").arg(file);
    } else if (error.GetCode() == TSY_MODULE_CUT_SHORT) {
        reason = tr("Its module file %1 is cut short: it ends before the parts the system needs to load it (an "
                    "interrupted update or a full disk leaves such a file). Install the module again.")
                     .arg(file);
    } else {
        // The loader's own words, after the description the layer puts in front of them.
        const QString prefix = provider + QStringLiteral(": ");
        if (message.startsWith(prefix))
            message.remove(0, prefix.size());
        reason = tr("The system could not load its module: %1").arg(message);
    }
    return tr("The provider %1 could not be loaded.").arg(provider) + QLatin1Char('\n') + reason;
}

void MainWindow::ReportProviderFailure(const CTSYException& error, const std::string& module,
                                       const std::string& description, bool bQuietIfMissing, const QString& lead)
{
    // A bare file name the loader does not find is a vendor's library this machine may not have
    // (the default table lists four): at start no box at every start for it, only the log. A name
    // just entered, a Reload, a path, and every other failure are said.
    const bool bShowBox = !(bQuietIfMissing && error.GetFlag() == TSY_KIND_LOAD_FAILED && error.GetCode() == 0 &&
                            module.find('/') == std::string::npos);
    COperationGuard operation(this);
    QString text = ProviderFailureText(error, module, description);
    if (!lead.isEmpty())
        text = lead + QLatin1Char('\n') + text;
    m_lastError.Reset();
    m_lastError.SetMessage(error.GetMessage() ? error.GetMessage() : "");
    if (error.GetFlag() == TSY_KIND_PKCS11) {
        m_lastError.SetCode(error.GetCode());
        m_lastError.SetFlag(error.GetFlag());
        const QString answer = DescribeModuleAnswer(error.GetCode());
        if (!answer.isEmpty())
            text += QLatin1Char('\n') + answer;
    }
    const QString moduleName = QFile::decodeName(QByteArray::fromStdString(module));
    ShowErrorOfModule(text, false, bShowBox, &moduleName);
}

void MainWindow::DisplayProvider(CPKCS11Provider* pProvider)
{
    assert(pProvider);
    QTreeWidget* pInfo = new QTreeWidget;
    pInfo->setColumnCount(2);
    pInfo->setHeaderHidden(true);
    pInfo->setRootIsDecorated(false);

    CProviderTreeWidget* pTree = new CProviderTreeWidget(pInfo);
    pTree->setObjectName(QStringLiteral("ProviderTree"));
    pTree->setHeaderHidden(true);
    pTree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(pTree, &QWidget::customContextMenuRequested, this, &MainWindow::on_tree_context_menu);
    connect(pTree, &QTreeWidget::itemSelectionChanged, this, &MainWindow::on_item_selection_changed);
    connect(pTree, &QTreeWidget::itemDoubleClicked, this, &MainWindow::on_item_double_clicked);

    // The provider knows its tree before the tab exists: adding the first tab makes it the
    // current tab, and the tab's provider current.
    pProvider->SetTreeWidget(pTree);
    QSplitter* pSplitter = new QSplitter;
    pSplitter->addWidget(pTree);
    pSplitter->addWidget(pInfo);
    const QString qsDescription = CSettings::FromMapText(pProvider->GetContext()->GetDescription());
    ui->tabWidget->addTab(pSplitter, qsDescription);
    // A screen reader names the tree, and the pane until a row is selected, by the tab above them.
    pTree->setAccessibleName(qsDescription);
    pInfo->setAccessibleName(qsDescription);
    NameSplitter(pSplitter, qsDescription);

    DisplaySlots(pProvider, pTree);
    pTree->expandAll();
    pTree->setExpandsOnDoubleClick(false);
}

void MainWindow::NameSplitter(QSplitter* pSplitter, const QString& qsProvider)
{
    pSplitter->setAccessibleName(qsProvider);
    for (int i = 1; i < pSplitter->count(); ++i)
        pSplitter->handle(i)->setAccessibleName(tr("Divider between the list and the details"));
}

CPKCS11Provider* MainWindow::FindProvider(CPKCS11Context* pContext, uint64_t nGeneration) const
{
    // Only a context found in the map is alive and may be asked for its generation.
    auto it = m_mapProviders.find(pContext);
    if (it == m_mapProviders.end())
        return nullptr;
    if (nGeneration != 0 && pContext->GetGeneration() != nGeneration)
        return nullptr;
    return it->second;
}

QStringList MainWindow::FreeProviders()
{
    QStringList unanswered;
    m_heldBackEvents.clear();
    m_slotWatches.clear();
    // No row and no pointer of the window may outlive the objects of a freed provider.
    m_pSelectedItem = nullptr;
    m_pTokenToSelect = nullptr;
    m_pCurrentProvider = nullptr;
    std::map<CPKCS11Context*, CPKCS11Provider*> providers;
    providers.swap(m_mapProviders);
    std::vector<CPKCS11Provider*> all;
    QStringList descriptions;
    for (auto& entry : providers) {
        CPKCS11Provider* pProvider = entry.second;
        if (CProviderTreeWidget* pTree = pProvider->GetTreeWidget()) {
            pTree->Clear();
            pProvider->SetTreeWidget(nullptr);
        }
        all.push_back(pProvider);
        descriptions << CSettings::FromMapText(pProvider->GetContext()->GetDescription());
    }
    // At close every module finalises at once, within one limit.
    if (m_bClosing)
        CPKCS11Provider::ShutdownAll(all);
    for (size_t i = 0; i < all.size(); ++i) {
        if (!all[i]->Shutdown())
            unanswered << descriptions.at(int(i));
        delete all[i];
    }
    if (ui)
        on_item_selection_changed();
    return unanswered;
}

void MainWindow::ReportUnansweredProviders(const QStringList& descriptions)
{
    for (const QString& description : descriptions) {
        if (m_bClosing) {
            // Nothing the user could do about it while the program ends: the log keeps it.
            WriteLogEntry({ErrorSeverityNormal, QString(),
                           QStringLiteral("The provider %1 did not answer when it was closed; it was left as it is.")
                               .arg(description)});
            qCDebug(lcGui) << "The provider" << description << "did not answer when it was closed";
            continue;
        }
        COperationGuard operation(this);
        COverrideCursor arrow(Qt::ArrowCursor);
        QMessageBox::warning(this, windowTitle(),
                             tr("The provider %1 did not answer when it was closed.\nIt was left as it is; "
                                "tessaly goes on without it.")
                                 .arg(description),
                             QMessageBox::Ok);
    }
}

void MainWindow::RemoveProviderTabs()
{
    m_unloadedTabs.clear();
    while (ui->tabWidget->count() > 0) {
        QWidget* page = ui->tabWidget->widget(0);
        ui->tabWidget->removeTab(0);
        if (CProviderTreeWidget* pTree = page->findChild<CProviderTreeWidget*>())
            disconnect(pTree, nullptr, this, nullptr);
        delete page;
    }
}

void MainWindow::on_actionReload_triggered()
{
    if (m_pCurrentProvider) {
        RunOperation(tr("Unable to reload the provider."), [this] { ReloadProvider(m_pCurrentProvider, false); },
                     WaitCursor);
        return;
    }
    // A tab whose provider failed to load again is tried again.
    QWidget* page = ui->tabWidget->currentWidget();
    CProviderTreeWidget* pTree = page ? page->findChild<CProviderTreeWidget*>() : nullptr;
    auto it = pTree ? m_unloadedTabs.find(pTree) : m_unloadedTabs.end();
    if (it == m_unloadedTabs.end())
        return;
    const std::pair<std::string, std::string> entry = it->second;
    RunOperation(tr("Unable to reload the provider."), [&] { LoadIntoTab(entry.first, entry.second, pTree, false); },
                 WaitCursor);
}

void MainWindow::ReloadProvider(CPKCS11Provider* pOld, bool bOnItsOwn)
{
    const std::string module = pOld->GetContext()->GetModuleName();
    const std::string description = pOld->GetContext()->GetDescription();
    CProviderTreeWidget* pTree = pOld->GetTreeWidget();
    m_mapProviders.erase(pOld->GetContext());
    m_slotWatches.erase(pOld->GetContext()->GetGeneration());
    // The tree's rows map to the objects about to be deleted; so does the selection.
    m_pSelectedItem = nullptr;
    m_pTokenToSelect = nullptr;
    if (pTree)
        pTree->Clear();
    const bool bWasCurrent = m_pCurrentProvider == pOld;
    if (bWasCurrent)
        m_pCurrentProvider = nullptr;
    // Events held back for it are dropped when applied: its generation is gone.
    bool bAnswered = false;
    {
        CAutoSplash splash(QStringLiteral(":/bitmaps/SplashScreen"), this, true);
        splash.ShowMessage(tr("Loading provider %1...").arg(CSettings::FromMapText(description)), Qt::AlignBottom,
                           Qt::black);
        bAnswered = pOld->Shutdown();
    }
    delete pOld;
    if (!bAnswered) {
        // A module stuck in C_Finalize would block a new load too: the tab stays empty.
        ReportUnansweredProviders({CSettings::FromMapText(description)});
        on_item_selection_changed();
        return;
    }
    LoadIntoTab(module, description, pTree, bOnItsOwn);
}

void MainWindow::LoadIntoTab(const std::string& module, const std::string& description, CProviderTreeWidget* pTree,
                             bool bOnItsOwn)
{
    CAutoSplash splash(QStringLiteral(":/bitmaps/SplashScreen"), this, true);
    splash.ShowMessage(tr("Loading provider %1...").arg(CSettings::FromMapText(description)), Qt::AlignBottom,
                       Qt::black);
    if (pTree)
        m_unloadedTabs.erase(pTree);
    // Another provider stays current through a reload the window made on its own.
    CPKCS11Provider* pCurrent = bOnItsOwn ? m_pCurrentProvider : nullptr;
    try {
        CPKCS11Provider* pProvider = CreateProvider(module, description);
        m_pCurrentProvider = pProvider;
        pProvider->SetTreeWidget(pTree);
        pProvider->StartThread();
        m_nTabToSelect = -1;
        m_pTokenToSelect = nullptr;
        if (pTree) {
            DisplaySlots(pProvider, pTree);
            pTree->expandAll();
            pTree->on_item_selection_changed();
            if (QTreeWidgetItem* pRow = m_pTokenToSelect ? pTree->FindItem(m_pTokenToSelect) : nullptr)
                pTree->setCurrentItem(pRow);
        }
        m_pTokenToSelect = nullptr;
    } catch (const CTSYException& e) {
        qCDebug(lcGui) << (e.GetMessage() ? e.GetMessage() : "");
        // The tab stays, empty; a Reload there tries again.
        if (pTree)
            m_unloadedTabs[pTree] = std::make_pair(module, description);
        if (!m_bClosePending) {
            splash.Hide();
            ReportProviderFailure(
                e, module, description, false,
                bOnItsOwn ? tr("Card insertions and removals on the provider %1 were no longer followed, and loading "
                               "it again failed.\nYou can try again by choosing Edit->Reload from the main menu.")
                                .arg(CSettings::FromMapText(description))
                          : QString());
        }
    }
    if (pCurrent)
        m_pCurrentProvider = pCurrent;
    on_item_selection_changed();
}

void MainWindow::on_tabWidget_currentChanged(int index)
{
    CatchAll(tr("Unable to show the provider."), [this, index] {
        if (!ui->tabWidget->widget(index))
            return;
        // The tab of a provider whose reload failed has no provider behind it: the actions must
        // not stay with the selection of the tab the user left.
        m_pCurrentProvider = ProviderOfTab(index);
        on_item_selection_changed();
    });
}

CPKCS11Provider* MainWindow::ProviderOfTab(int index) const
{
    QWidget* page = ui->tabWidget->widget(index);
    if (!page)
        return nullptr;
    for (const auto& entry : m_mapProviders) {
        CProviderTreeWidget* pTree = entry.second->GetTreeWidget();
        if (pTree && page->isAncestorOf(pTree))
            return entry.second;
    }
    return nullptr;
}

int MainWindow::TabOfProvider(const CPKCS11Provider* pProvider) const
{
    CProviderTreeWidget* pTree = pProvider ? pProvider->GetTreeWidget() : nullptr;
    if (!pTree)
        return -1;
    for (int tab = 0; tab < ui->tabWidget->count(); ++tab)
        if (ui->tabWidget->widget(tab)->isAncestorOf(pTree))
            return tab;
    return -1;
}

namespace {

// The settings behind the Preferences dialog, keeping the default table a reset puts in, so that
// the entries the person has typed in can be told from it.
class CPreferencesAccess : public CSettingsProviderAccess
{
public:
    explicit CPreferencesAccess(CSettings& settings) : CSettingsProviderAccess(settings), m_before(GetProviders()) {}

    void ResetProviders() override
    {
        CSettingsProviderAccess::ResetProviders();
        m_defaults = GetProviders();
    }

    // The descriptions of the entries neither there before nor put in by a reset.
    std::set<std::string> Entered()
    {
        std::set<std::string> entered;
        for (const auto& entry : GetProviders()) {
            const auto before = m_before.find(entry.first);
            const auto fromReset = m_defaults.find(entry.first);
            if ((before == m_before.end() || before->second != entry.second) &&
                (fromReset == m_defaults.end() || fromReset->second != entry.second))
                entered.insert(entry.first);
        }
        return entered;
    }

private:
    const TProviderTable m_before;
    TProviderTable m_defaults;
};

} // namespace

void MainWindow::on_actionPreferences_triggered()
{
    RunOperation(tr("Unable to load the providers."), [this] {
        CPreferencesAccess access(CSettings::Instance());
        bool bChanged = false;
        {
            ProvidersDialog dialog(access, this);
            dialog.exec();
            bChanged = dialog.IsChanged();
        }
        if (!bChanged)
            return;
        m_pCurrentProvider = nullptr;
        CAutoSplash splash(QStringLiteral(":/bitmaps/SplashScreen"), this, true);
        splash.ShowMessage(tr("Freeing providers..."), Qt::AlignBottom, Qt::black);
        const QStringList unanswered = FreeProviders();
        RemoveProviderTabs();
        if (!unanswered.isEmpty()) {
            splash.Hide();
            ReportUnansweredProviders(unanswered);
            splash.Show();
        }
        LoadProviders(splash, access.Entered());
        splash.ShowMessage(tr("Saving settings..."), Qt::AlignBottom, Qt::black);
        SaveSettings();
    });
}
