// Providers: loading, their tabs, reload and the Preferences.
#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QFile>
#include <QMessageBox>
#include <QSplitter>
#include <QTreeWidget>

#include <QCoreApplication>

#include <cassert>

#include "AutoSplash.h"
#include "BackgroundCall.h"
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
    // Loading, C_Initialize and the slot list can take seconds (a card read in C_Initialize):
    // they run on a thread of their own while the window goes on painting. What the user does
    // meanwhile is dropped: nothing may start on objects that are being replaced.
    return tessaly::CallInBackground(
        [&] { return new CPKCS11Context(module.c_str(), description.c_str(), &m_lastError); },
        tessaly::TUserInput::Dropped);
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
    CPKCS11Provider* pProvider = new CPKCS11Provider(context.get(), thread.get());
    context.release();
    thread.release();
    m_mapProviders[pProvider->GetContext()] = pProvider;
    return pProvider;
}

void MainWindow::LoadProviders(CAutoSplash& splash)
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
        // Its last C_Finalize has not returned: loading it again could block the window there.
        if (CPKCS11Provider::IsFinalizePending(module)) {
            qCDebug(lcGui) << "Not loaded, it did not answer when it was closed:" << CSettings::FromMapText(description);
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
            ReportProviderFailure(e, module, description);
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
    const bool bNotLoaded = error.GetFlag() == TSY_KIND_LOAD_FAILED ||
                            (error.GetFlag() == TSY_KIND_PLAIN && error.GetCode() == TSY_MODULE_NOT_PKCS11);
    if (!bNotLoaded)
        return QStringLiteral("%1: %2").arg(provider, message);
    QString reason;
    if (error.GetCode() == TSY_MODULE_NOT_PKCS11) {
        reason = tr("The file %1 is not a PKCS#11 module.").arg(file);
    } else if (error.GetCode() == TSY_MODULE_NOT_REGULAR) {
        reason = tr("Its module file %1 is not a regular file; only regular files are loaded.").arg(file);
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
                                       const std::string& description)
{
    // A bare file name the loader does not find is a vendor's library this machine does not
    // have (the default table lists four): no box at every start for it. A path the user gave,
    // and every other failure, is said.
    if (error.GetFlag() == TSY_KIND_LOAD_FAILED && error.GetCode() == 0 && module.find('/') == std::string::npos)
        return;
    COperationGuard operation(this);
    QString text = ProviderFailureText(error, module, description);
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
    ShowErrorOfModule(text, false, true, &moduleName);
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

    DisplaySlots(pProvider, pTree);
    pTree->expandAll();
    pTree->setExpandsOnDoubleClick(false);
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
    if (!m_pCurrentProvider)
        return;
    RunOperation(tr("Unable to reload the provider."), [this] {
        CPKCS11Provider* pOld = m_pCurrentProvider;
        const std::string module = pOld->GetContext()->GetModuleName();
        const std::string description = pOld->GetContext()->GetDescription();
        // The same sign of life as at start: the work can take as long.
        CAutoSplash splash(QStringLiteral(":/bitmaps/SplashScreen"), this, true);
        splash.ShowMessage(tr("Loading provider %1...").arg(CSettings::FromMapText(description)), Qt::AlignBottom,
                           Qt::black);
        CProviderTreeWidget* pTree = pOld->GetTreeWidget();
        m_mapProviders.erase(pOld->GetContext());
        // The tree's rows map to the objects about to be deleted; so does the selection.
        m_pSelectedItem = nullptr;
        m_pTokenToSelect = nullptr;
        if (pTree)
            pTree->Clear();
        m_pCurrentProvider = nullptr;
        // Events held back for it are dropped when applied: its generation is gone.
        const bool bAnswered = pOld->Shutdown();
        delete pOld;
        if (!bAnswered) {
            // A module stuck in C_Finalize would block a new load too: the tab stays empty.
            ReportUnansweredProviders({CSettings::FromMapText(description)});
            on_item_selection_changed();
            return;
        }

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
            ReportProviderFailure(e, module, description);
        }
        on_item_selection_changed();
    }, WaitCursor);
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

void MainWindow::on_actionPreferences_triggered()
{
    RunOperation(tr("Unable to load the providers."), [this] {
        CSettingsProviderAccess access(CSettings::Instance());
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
        LoadProviders(splash);
        splash.ShowMessage(tr("Saving settings..."), Qt::AlignBottom, Qt::black);
        SaveSettings();
    });
}
