#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QDialog>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QSplashScreen>
#include <QSplitter>
#include <QStringList>
#include <QTabWidget>
#include <QTreeWidget>

#include <cassert>
#include <exception>

#include "AboutDialog.h"
#include "AutoSplash.h"
#include "MyToolBar.h"
#include "ResizeCentralWidget.h"
#include "Resources.h"
#include "Settings.h"
#include "TextFile.h"

#include <logging/SysLogger.h>
#include <logging/WebLogger.h>

#include "ErrorReportWizard.h"
#include "MessageBoxEx.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Context.h"
#include "pkcs11provider.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "Pkcs11Errors.h"
#include "ProviderSettingsAccess.h"
#include "ProviderTreeWidget.h"
#include "ProvidersDialog.h"
#include "SlotEventThread.h"

namespace {
const char* const kDataFolder = "/etc/xdg/Veskora";
const char* const kReportService = "https://reports.veskora.example/axis2/services/ReportLog";
const int kStateVersion = 0;
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      m_bSkin(false),
      m_bMenuBarSized(false),
      m_nMenuBarDelta(0),
      m_pMenuBar(nullptr),
      m_pToolBar(nullptr),
      m_pResizeWidget(nullptr),
      m_pAuthPathDialog(nullptr),
      ui(nullptr),
      m_pCurrentProvider(nullptr),
      m_pSelectedItem(nullptr),
      m_pTokenToSelect(nullptr),
      m_nTabToSelect(-1),
      m_bShown(false),
      m_nOperations(0),
      m_bApplyQueued(false)
{
    // The slot-event threads' signals cross to this thread queued; their arguments must
    // be known to the meta-type system or Qt drops them.
    qRegisterMetaType<CPKCS11Context*>("CPKCS11Context*");
    qRegisterMetaType<ulong>("ulong");

    tessaly::InitResources();

    ui = new Ui_MainWindow;
    m_qsChainFile = QStringLiteral("%1/chain.pem");
    ui->setupUi(this);
    m_qsChainFile = QDir::toNativeSeparators(m_qsChainFile.arg(QLatin1String(kDataFolder)));

    m_pSysLogger.reset(new Logging::CSysLogger("tessaly", 0x32, nullptr));
    Logging::CWebLogger* web = new Logging::CWebLogger(1, this, 0x20, m_pSysLogger.get());
    m_pWebLogger.reset(web);
    web->trustedCerts(m_qsChainFile.toLatin1().constData()).endpointURL(kReportService);

    m_nWindowFlags = windowFlags();

    // The skinned window has its own menu bar inside the frame; it shares the form's
    // menus and is never handed to a global menu.
    m_pMenuBar = new QMenuBar(ui->frameMenu);
    m_pMenuBar->setNativeMenuBar(false);
    m_pMenuBar->move(2, 2);
    const QList<QMenu*> menus = ui->menuBar->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly);
    for (QMenu* menu : menus)
        m_pMenuBar->addMenu(menu);

    QHBoxLayout* toolsLayout = new QHBoxLayout(ui->frameTools);
    toolsLayout->setContentsMargins(1, 1, 1, 1);
    toolsLayout->setSpacing(0);
    m_pToolBar = new QMyToolBar(this);
    m_pToolBar->setObjectName(QStringLiteral("verticalToolBar"));
    m_pToolBar->setOrientation(Qt::Vertical);
    m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    m_pToolBar->addActions(ui->mainToolBar->actions());
    toolsLayout->addWidget(m_pToolBar);

    QMyToolBar* topBar = new QMyToolBar(this);
    topBar->setObjectName(QStringLiteral("new") + ui->mainToolBar->objectName());
    topBar->addActions(ui->mainToolBar->actions());
    topBar->setToolButtonStyle(ui->mainToolBar->toolButtonStyle());
    insertToolBar(ui->mainToolBar, topBar);
    removeToolBar(ui->mainToolBar);
    m_pAuthPathDialog = nullptr;
    ui->mainToolBar = topBar;
}

MainWindow::~MainWindow()
{
    // A window destroyed without a close event still unloads its modules and stops the
    // threads before the trees that map their objects go away.
    FreeProviders();
    delete ui;
    ui = nullptr;
    m_pWebLogger.reset();
    m_pSysLogger.reset();
}

QString MainWindow::ReadTextFile(const QString& path)
{
    return tessaly::ReadTextFile(path);
}

bool MainWindow::IsMenuStyleSupported(const QString& qtVersion)
{
    const QStringList parts = qtVersion.split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (parts.size() < 3)
        return false;
    bool majorOk = false;
    bool minorOk = false;
    const int major = parts[0].toInt(&majorOk);
    const int minor = parts[1].toInt(&minorOk);
    if (!majorOk || !minorOk)
        return false;
    // A real ordering: 5.0 and 6.x are newer than 4.5 although their minor is smaller.
    return major > 4 || (major == 4 && minor >= 5);
}

QString MainWindow::SkinStyleSheet(const QString& qtVersion)
{
    QString sheet = ReadTextFile(QStringLiteral(":/skin/ApplicationStyle"));
    if (IsMenuStyleSupported(qtVersion))
        sheet += QLatin1Char('\n') + ReadTextFile(QStringLiteral(":/skin/MenuStyle"));
    return sheet;
}

void MainWindow::LoadSettings()
{
    CSettings& settings = CSettings::Instance();
    bool portable = false;
    const QString path = CSettings::GetSettingsFilePath(portable);
    settings.Load(path);
    restoreState(settings.m_baMainWindowState, kStateVersion);
    restoreGeometry(settings.m_baWindowGeometry);
    m_bSkin = settings.m_bSkinEnabled;
}

void MainWindow::SaveSettings()
{
    CSettings& settings = CSettings::Instance();
    settings.m_baMainWindowState = saveState(kStateVersion);
    settings.m_baWindowGeometry = saveGeometry();
    settings.m_bSkinEnabled = m_bSkin;
    bool portable = false;
    settings.Save(CSettings::GetSettingsFilePath(portable));
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (m_bShown)
        return;
    m_bShown = true;

    {
        // Slot events and boxes of the loading wait for the whole start-up.
        COperationGuard operation(this);
        CAutoSplash splash(QStringLiteral(":/bitmaps/SplashScreen"), this, true);
        splash.ShowMessage(tr("Loading settings..."), Qt::AlignBottom, Qt::black);
        LoadSettings();
        try {
            LoadProviders(splash);
        } catch (const std::exception& e) {
            ReportException(tr("Unable to load the providers."), &e);
        }
        on_item_selection_changed();
    }
    m_nMenuBarDelta = width() - ui->menuBar->width();
    if (!m_bMenuBarSized) {
        m_bMenuBarSized = true;
        ResizeSkinMenuBar();
    }
    ApplySkin(false);
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    ResizeSkinMenuBar();
}

void MainWindow::ResizeSkinMenuBar()
{
    if (m_bMenuBarSized && m_bSkin)
        m_pMenuBar->resize(width() - m_nMenuBarDelta, m_pMenuBar->height());
}

void MainWindow::ApplySkin(bool toggle)
{
    if (toggle)
        m_bSkin = !m_bSkin;

    ui->frameTools->setVisible(m_bSkin);
    m_pMenuBar->setVisible(m_bSkin);
    ui->frameMenu->setVisible(m_bSkin);
    ui->menuBar->setVisible(!m_bSkin);
    ui->mainToolBar->setVisible(!m_bSkin);
    ui->statusBar->setVisible(!m_bSkin);

    if (m_bSkin) {
        ui->frameMenu->setMinimumHeight(m_pMenuBar->height() + 4);
        ui->frameMenu->setMaximumHeight(m_pMenuBar->height() + 4);
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);

        // The wrapper is about to hold the form's central widget: take it out of the
        // window's hands first, so the window never discards it.
        if (m_pResizeWidget)
            m_pResizeWidget->resetContent();
        QWidget* previous = takeCentralWidget();
        if (previous && previous != ui->centralWidget)
            previous->deleteLater();
        m_pResizeWidget = new QResizeCentralWidget(this, ui->centralWidget);
        ui->centralWidget->show();

        qApp->setStyleSheet(SkinStyleSheet(QString::fromLatin1(qVersion())));
        setCentralWidget(m_pResizeWidget);
        m_pResizeWidget->show();
        show();
        if (toggle && !isMaximized())
            resize(width(), height() + 1);
    } else {
        qApp->setStyleSheet(QString());
        if (!toggle)
            return;
        setWindowFlags(m_nWindowFlags);
        if (m_pResizeWidget)
            m_pResizeWidget->resetContent();
        if (centralWidget() != ui->centralWidget) {
            QWidget* wrapper = takeCentralWidget();
            setCentralWidget(ui->centralWidget);
            ui->centralWidget->show();
            if (wrapper)
                wrapper->deleteLater();
        }
        m_pResizeWidget = nullptr;
        show();
        if (!isMaximized())
            resize(width(), height() - 1);
    }
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    // Settings are read on the first show; a window that never showed would write
    // the defaults over the user's file.
    if (m_bShown)
        SaveSettings();
    FreeProviders();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && ui)
        ui->retranslateUi(this);
}

bool MainWindow::confirmErrorReport(std::wstring& email, std::wstring& comment, const wchar_t* details)
{
    COperationGuard operation(this);
    ErrorReportWizard wizard(details, this);
    if (wizard.exec() != QDialog::Accepted)
        return false;
    email = wizard.GetEmail();
    comment = wizard.GetComment();
    return true;
}

void MainWindow::on_actionAbout_triggered()
{
    COperationGuard operation(this);
    AboutDialog dialog(this);
    dialog.exec();
}

void MainWindow::on_actionSwitchStyle_triggered()
{
    ApplySkin(true);
}

void MainWindow::on_actionExit_triggered()
{
    close();
}

void MainWindow::on_protected_auth_login_finished()
{
    if (m_pAuthPathDialog)
        m_pAuthPathDialog->close();
}


// ---------------------------------------------------------------------------------------
// Operations and held-back slot events

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
    if (--m_nOperations == 0 && !m_heldBackEvents.empty() && !m_bApplyQueued) {
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
        if (e.bNotSupported)
            OnSlotEventsNotSupported(e.pContext, e.nGeneration);
        else
            OnSlotEvent(e.nSlotID, e.pContext, e.nGeneration);
    }
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

void MainWindow::ReportException(const QString& text, const std::exception* pError)
{
    if (const CTSYException* pTSY = dynamic_cast<const CTSYException*>(pError)) {
        m_lastError.SetMessage(pTSY->GetMessage() ? pTSY->GetMessage() : "");
        m_lastError.SetCode(pTSY->GetCode());
        m_lastError.SetFlag(pTSY->GetFlag());
    } else {
        m_lastError.Reset();
        m_lastError.SetMessage(pError ? pError->what() : "unknown exception");
    }
    qDebug() << "Exception caught:" << text << m_lastError.GetMessage();
    ShowError(text, false, true);
}

// Every slot body runs inside this, so nothing the layer throws reaches Qt's event loop.
#define TSY_SLOT_TRY try {
#define TSY_SLOT_CATCH(text)                                                                            \
    }                                                                                                   \
    catch (const std::exception& e) { ReportException(text, &e); }                                     \
    catch (...) { ReportException(text, nullptr); }

// ---------------------------------------------------------------------------------------
// Error reporting

void MainWindow::ShowError(const QString& text, bool critical, bool showBox)
{
    QString moduleName;
    if (m_pCurrentProvider && m_pCurrentProvider->GetContext())
        moduleName = QString::fromLatin1(m_pCurrentProvider->GetContext()->GetModuleName());
    const TErrorReport report = ComposeErrorReport(text, critical, m_lastError.GetMessage(), m_lastError.GetCode(),
                                                   m_pCurrentProvider ? &moduleName : nullptr);
    // The sink is read; the next failure starts from an empty one.
    m_lastError.Reset();

    // The entry is written before the box: the box runs the event loop, and whatever
    // happens meanwhile (or a program that ends there) must not lose it.
    Logging::ILogger& logger = Logging::ILogger::instance();
    logger.severity(report.severity);
    logger << report.logText.toStdWString();
    logger.flush();

    if (showBox) {
        COperationGuard operation(this);
        // A splash stays on top of everything: a box raised while providers load (or a card
        // is read) would sit behind it, unseen, with the program waiting for it.
        QList<QPointer<QWidget>> splashes;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QSplashScreen*>(w) && w->isVisible()) {
                splashes << w;
                w->hide();
            }
        // The box waits for the user, not the user for the program.
        QApplication::setOverrideCursor(Qt::ArrowCursor);
        QMessageBox::critical(this, windowTitle(), report.boxText, QMessageBox::Ok, QMessageBox::NoButton);
        QApplication::restoreOverrideCursor();
        for (const QPointer<QWidget>& w : splashes)
            if (w)
                w->show();
    }
}

void MainWindow::LogError(const QString& text, bool critical)
{
    ShowError(text, critical, false);
}

// ---------------------------------------------------------------------------------------
// Providers and their tabs

CPKCS11Provider* MainWindow::CreateProvider(const std::string& module, const std::string& description)
{
    m_lastError.Reset();
    std::unique_ptr<CPKCS11Context> context(new CPKCS11Context(module.c_str(), description.c_str(), &m_lastError));
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
        const std::string& module = entry.second;
        splash.ShowMessage(tr("Loading provider %1...").arg(QString::fromLatin1(description.c_str())),
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
            const char* pszMessage = e.GetMessage() ? e.GetMessage() : "";
            if (e.GetFlag() != TSY_KIND_LOAD_FAILED) {
                COperationGuard operation(this);
                splash.Hide();
                QMessageBox::critical(this, windowTitle(), QString::fromLatin1(pszMessage), QMessageBox::Ok);
                splash.Show();
            }
            qDebug() << pszMessage;
        }
    }

    for (auto& entry : m_mapProviders)
        entry.second->StartThread();

    if (m_nTabToSelect != -1) {
        ui->tabWidget->setCurrentIndex(m_nTabToSelect);
        QWidget* page = ui->tabWidget->widget(m_nTabToSelect);
        CProviderTreeWidget* pTree = page ? page->findChild<CProviderTreeWidget*>(QStringLiteral("ProviderTree")) : nullptr;
        assert(pTree);
        for (auto& entry : m_mapProviders)
            if (entry.second->GetTreeWidget() == pTree)
                m_pCurrentProvider = entry.second;
        if (pTree) {
            if (QTreeWidgetItem* pRow = m_pTokenToSelect ? pTree->FindItem(m_pTokenToSelect) : nullptr)
                pTree->setCurrentItem(pRow);
        }
    }
    m_pTokenToSelect = nullptr;
    on_item_selection_changed();
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
    ui->tabWidget->addTab(pSplitter, QString::fromLatin1(pProvider->GetContext()->GetDescription()));

    DisplaySlots(pProvider, pTree);
    pTree->expandAll();
    pTree->setExpandsOnDoubleClick(false);
}

void MainWindow::DisplaySlots(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree)
{
    pTree->Clear();
    pProvider->GetSlots().clear();
    CPKCS11Context* pContext = pProvider->GetContext();
    const unsigned long nSlots = pContext->GetSlotCount();
    for (unsigned long i = 0; i < nSlots; ++i) {
        CPKCS11Slot* pSlot = pContext->GetSlot(i);
        if (!pSlot)
            continue;
        const QString description = QString::fromUtf8(pSlot->GetDescription());
        qDebug() << description;
        pProvider->GetSlots()[pSlot->GetSlotID()] = pSlot;
        if (!pSlot->IsTokenPresent()) {
            pTree->AddItem(nullptr, description, CProviderTreeWidget::IconEmptyReader, pSlot);
        } else if (!pSlot->IsTokenRecognized()) {
            pTree->AddItem(nullptr, description, CProviderTreeWidget::IconUnidentifiedCard, pSlot);
        } else {
            if (m_nTabToSelect == -1) {
                for (int tab = 0; tab < ui->tabWidget->count(); ++tab)
                    if (ui->tabWidget->widget(tab)->isAncestorOf(pTree)) {
                        m_nTabToSelect = tab;
                        m_pTokenToSelect = pSlot->GetToken();
                        break;
                    }
            }
            QTreeWidgetItem* pRow = pTree->AddItem(nullptr, description, CProviderTreeWidget::IconReaderWithCard, pSlot);
            DisplayToken(pRow, pSlot, pTree);
        }
    }
}

void MainWindow::DisplayToken(QTreeWidgetItem* pSlotRow, CPKCS11Slot* pSlot, CProviderTreeWidget* pTree)
{
    CPKCS11Token* pToken = pSlot->GetToken();
    QTreeWidgetItem* pTokenRow =
        pTree->AddItem(pSlotRow, QString::fromUtf8(pToken->GetLabel()), CProviderTreeWidget::IconSmartCard, pToken);
    m_mapShownKeys.clear();
    // A failure left over from earlier silent steps must not be reported with this one.
    m_lastError.Reset();
    if (pToken->OpenSession(false)) {
        UpdateTokenView(pTokenRow, pToken, pTree);
        pTree->expandAll();
    } else if (pToken->IsInitialized()) {
        ShowError(tr("Unable to open session with token"), false, true);
    } else {
        m_lastError.Reset();
    }
}

void MainWindow::UpdateTokenView(QTreeWidgetItem* pTokenRow, CPKCS11Token* pToken, CProviderTreeWidget* pTree)
{
    try {
        if (!pToken->ReadObjects()) {
            // Nothing found, or the search failed: no rows and no message.
            m_lastError.Reset();
            return;
        }
        qDebug() << "Certs count " << pToken->GetCertificateCount();
        const auto label = [](CPKCS11Object* pObject) {
            return QString::fromUtf8(pObject->GetLabel() ? pObject->GetLabel() : "(no label)");
        };

        const unsigned long nCerts = pToken->GetCertificateCount();
        for (unsigned long i = 0; i < nCerts; ++i) {
            CPKCS11Certificate* pCert = pToken->GetCertificate(i);
            if (!pCert)
                continue;
            const int nPublic = pCert->GetPublicKeyIndex();
            const int nPrivate = pCert->GetPrivateKeyIndex();
            int nIcon = CProviderTreeWidget::IconCertWithKeys;
            if (!pCert->IsDecoded())
                nIcon = CProviderTreeWidget::IconCertNotDecoded;
            else if (nPublic == -1 && nPrivate == -1)
                nIcon = CProviderTreeWidget::IconCertificate;
            QTreeWidgetItem* pCertRow = pTree->AddItem(pTokenRow, tr("Certificate(%1)").arg(label(pCert)), nIcon, pCert);
            if (nPublic != -1) {
                if (CPKCS11AsymmetricKey* pKey = pToken->GetAsymmetricKey(nPublic)) {
                    m_mapShownKeys[nPublic] = 1;
                    pTree->AddItem(pCertRow, tr("Public key(%1)").arg(label(pKey)), CProviderTreeWidget::IconPublicKey,
                                   pKey);
                }
            }
            if (nPrivate != -1) {
                if (CPKCS11AsymmetricKey* pKey = pToken->GetAsymmetricKey(nPrivate)) {
                    m_mapShownKeys[nPrivate] = 1;
                    pTree->AddItem(pCertRow, tr("Private key(%1)").arg(label(pKey)), CProviderTreeWidget::IconPrivateKey,
                                   pKey);
                }
            }
        }

        const unsigned long nKeys = pToken->GetAsymmetricKeyCount();
        for (unsigned long j = 0; j < nKeys; ++j) {
            if (m_mapShownKeys.count(static_cast<int>(j)))
                continue;
            CPKCS11AsymmetricKey* pKey = pToken->GetAsymmetricKey(j);
            if (!pKey)
                continue;
            if (!(pKey->GetKeyFlags() & KEY_CLASS_PUBLIC)) {
                pTree->AddItem(pTokenRow, tr("Private key(%1)").arg(label(pKey)), CProviderTreeWidget::IconPrivateKey,
                               pKey);
                continue;
            }
            pTree->AddItem(pTokenRow, tr("Public key(%1)").arg(label(pKey)), CProviderTreeWidget::IconPublicKey, pKey);
            const int nPair = pKey->GetPairIndex();
            if (nPair == -1)
                continue;
            if (CPKCS11AsymmetricKey* pPair = pToken->GetAsymmetricKey(nPair)) {
                m_mapShownKeys[nPair] = 1;
                pTree->AddItem(pTokenRow, tr("Private key(%1)").arg(label(pPair)), CProviderTreeWidget::IconPrivateKey,
                               pPair);
            }
        }
    } catch (const CTSYException& e) {
        // An object whose attributes cannot be read ends the view; the rows so far stay.
        qDebug() << "An error occurred in UpdateTokenView: " << (e.GetMessage() ? e.GetMessage() : "");
        m_lastError.Reset();
    }
}

void MainWindow::RefreshTokenRow(CPKCS11Token* pToken)
{
    if (!m_pCurrentProvider || !pToken)
        return;
    CProviderTreeWidget* pTree = m_pCurrentProvider->GetTreeWidget();
    QTreeWidgetItem* pTokenRow = pTree ? pTree->FindItem(pToken) : nullptr;
    if (!pTokenRow)
        return;
    // The rows go before the token replaces the objects they map to.
    pTree->RemoveChildren(pTokenRow);
    m_mapShownKeys.clear();
    UpdateTokenView(pTokenRow, pToken, pTree);
    pTree->expandAll();
    pTree->on_item_selection_changed();
    on_item_selection_changed();
}

void MainWindow::FreeProviders()
{
    m_heldBackEvents.clear();
    // No row and no pointer of the window may outlive the objects of a freed provider.
    m_pSelectedItem = nullptr;
    m_pTokenToSelect = nullptr;
    m_pCurrentProvider = nullptr;
    std::map<CPKCS11Context*, CPKCS11Provider*> providers;
    providers.swap(m_mapProviders);
    for (auto& entry : providers) {
        CPKCS11Provider* pProvider = entry.second;
        if (CProviderTreeWidget* pTree = pProvider->GetTreeWidget()) {
            pTree->Clear();
            pProvider->SetTreeWidget(nullptr);
        }
        delete pProvider;
    }
    if (ui)
        on_item_selection_changed();
}

void MainWindow::RemoveProviderTabs()
{
    while (ui->tabWidget->count() > 0) {
        QWidget* page = ui->tabWidget->widget(0);
        ui->tabWidget->removeTab(0);
        if (CProviderTreeWidget* pTree = page->findChild<CProviderTreeWidget*>(QStringLiteral("ProviderTree")))
            disconnect(pTree, nullptr, this, nullptr);
        delete page;
    }
}

void MainWindow::on_actionReload_triggered()
{
    if (!m_pCurrentProvider)
        return;
    COperationGuard operation(this);
    struct TCursor {
        QWidget* w;
        explicit TCursor(QWidget* widget) : w(widget) { w->setCursor(Qt::WaitCursor); }
        ~TCursor() { w->unsetCursor(); }
    } cursor(this);

    TSY_SLOT_TRY
    CPKCS11Provider* pOld = m_pCurrentProvider;
    const std::string module = pOld->GetContext()->GetModuleName();
    const std::string description = pOld->GetContext()->GetDescription();
    CProviderTreeWidget* pTree = pOld->GetTreeWidget();
    m_mapProviders.erase(pOld->GetContext());
    // The tree's rows map to the objects about to be deleted; so does the selection.
    m_pSelectedItem = nullptr;
    m_pTokenToSelect = nullptr;
    if (pTree)
        pTree->Clear();
    m_pCurrentProvider = nullptr;
    // Events held back for it are dropped when applied: its generation is gone.
    delete pOld;

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
        const char* pszMessage = e.GetMessage() ? e.GetMessage() : "";
        qDebug() << pszMessage;
        QMessageBox::critical(this, windowTitle(), QString::fromLatin1(pszMessage), QMessageBox::Ok);
    }
    on_item_selection_changed();
    TSY_SLOT_CATCH(tr("Unable to reload the provider."))
}

void MainWindow::on_tabWidget_currentChanged(int index)
{
    TSY_SLOT_TRY
    QWidget* page = ui->tabWidget->widget(index);
    if (!page)
        return;
    for (auto& entry : m_mapProviders) {
        CProviderTreeWidget* pTree = entry.second->GetTreeWidget();
        if (pTree && page->isAncestorOf(pTree)) {
            m_pCurrentProvider = entry.second;
            on_item_selection_changed();
            return;
        }
    }
    // The tab of a provider whose reload failed has no provider behind it: the actions must
    // not stay with the selection of the tab the user left.
    m_pCurrentProvider = nullptr;
    on_item_selection_changed();
    TSY_SLOT_CATCH(tr("Unable to show the provider."))
}

// ---------------------------------------------------------------------------------------
// Slot events

void MainWindow::on_slot_event(ulong nSlotID, CPKCS11Context* pContext)
{
    OnSlotEvent(nSlotID, pContext, 0);
}

void MainWindow::on_slot_events_not_supported(CPKCS11Context* pContext)
{
    OnSlotEventsNotSupported(pContext, 0);
}

void MainWindow::OnSlotEvent(unsigned long nSlotID, CPKCS11Context* pContext, uint64_t nGeneration)
{
    TSY_SLOT_TRY
    // An event of a provider freed or reloaded since: its context is gone.
    CPKCS11Provider* pProvider = FindProvider(pContext, nGeneration);
    if (!pProvider) {
        qDebug() << "Slot event of a provider no longer loaded dropped";
        return;
    }
    if (m_nOperations > 0) {
        const uint64_t nLoad = pContext->GetGeneration();
        for (const THeldBackEvent& e : m_heldBackEvents)
            if (!e.bNotSupported && e.nSlotID == nSlotID && e.pContext == pContext && e.nGeneration == nLoad)
                return;  // one refresh at the end reads the slot's last state
        m_heldBackEvents.push_back({false, nSlotID, pContext, nLoad});
        return;
    }
    HandleSlotEvent(nSlotID, pProvider);
    TSY_SLOT_CATCH(tr("Unable to read the card."))
}

void MainWindow::HandleSlotEvent(unsigned long nSlotID, CPKCS11Provider* pProvider)
{
    COperationGuard operation(this);
    struct TOverrideCursor {
        TOverrideCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
        ~TOverrideCursor() { QApplication::restoreOverrideCursor(); }
    } cursor;

    qDebug() << "Slot event in " << pProvider->GetContext()->GetDescription();
    auto it = pProvider->GetSlots().find(nSlotID);
    if (it == pProvider->GetSlots().end()) {
        qDebug() << "New slot presented!!!!!!";
        return;
    }
    CPKCS11Slot* pSlot = it->second;
    CProviderTreeWidget* pTree = pProvider->GetTreeWidget();
    if (!pTree)
        return;
    QTreeWidgetItem* pSlotRow = pTree->FindItem(pSlot);
    if (!pSlotRow)
        return;

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
        // The provider's tab becomes current before the card is read, so that a failure
        // report names this provider's module.
        for (int tab = 0; tab < ui->tabWidget->count(); ++tab)
            if (ui->tabWidget->widget(tab)->isAncestorOf(pTree)) {
                ui->tabWidget->setCurrentIndex(tab);
                break;
            }
        m_pCurrentProvider = pProvider;
        CAutoSplash splash(QStringLiteral(":/bitmaps/Progress"), this, false);
        splash.ShowMessage(tr("Reading card, please wait..."), Qt::AlignBottom, Qt::black);
        DisplayToken(pSlotRow, pSlot, pTree);
    }
    pTree->on_item_selection_changed();
    on_item_selection_changed();
}

void MainWindow::OnSlotEventsNotSupported(CPKCS11Context* pContext, uint64_t nGeneration)
{
    TSY_SLOT_TRY
    CPKCS11Provider* pProvider = FindProvider(pContext, nGeneration);
    if (!pProvider)
        return;
    const uint64_t nLoad = pContext->GetGeneration();
    if (m_nOperations > 0) {
        for (const THeldBackEvent& e : m_heldBackEvents)
            if (e.bNotSupported && e.pContext == pContext && e.nGeneration == nLoad)
                return;
        m_heldBackEvents.push_back({true, 0, pContext, nLoad});
        return;
    }
    // One warning per loaded provider, however often its thread says so.
    if (!m_setWarned.insert(nLoad).second)
        return;
    HandleSlotEventsNotSupported(pProvider);
    TSY_SLOT_CATCH(tr("Unable to show the warning."))
}

void MainWindow::HandleSlotEventsNotSupported(CPKCS11Provider* pProvider)
{
    const std::string description = pProvider->GetContext()->GetDescription();
    const QString text =
        tr("The provider %1 doesn't support slot events.\nPlease note that you'll have to reload it manually everytime "
           "you insert or remove cards.\nYou can do that by choosing Edit->Reload from the main menu.")
            .arg(QString::fromLatin1(description.c_str()));
    CSettings& settings = CSettings::Instance();
    if (!settings.GetShowSEWarning(description))
        return;
    COperationGuard operation(this);
    QMessageBoxEx box(this);
    box.SetText(text);
    box.exec();
    settings.SetShowSEWarning(description, box.IsShowAgainChecked());
}

// ---------------------------------------------------------------------------------------
// Selection and action state

void MainWindow::on_item_selection_changed()
{
    // Token, key and certificate actions appear only for a selected object of their kind.
    m_pSelectedItem = nullptr;
    for (QMenu* menu : {ui->menuSmart_card, ui->menuCertificate, ui->menuKey, ui->menuData})
        menu->menuAction()->setVisible(false);
    for (QAction* action : {ui->actionLogin, ui->actionLogout, ui->actionDelete, ui->actionCertView,
                            ui->actionCertExport, ui->actionCertImport, ui->actionChangePIN, ui->actionInitialize,
                            ui->actionTestToken, ui->actionTestKey, ui->actionTestCertificate, ui->actionUnblockPIN,
                            ui->actionRequestCertificate, ui->actionDownloadCertificate})
        action->setVisible(false);
    if (!m_pCurrentProvider)
        return;
    CProviderTreeWidget* pTree = m_pCurrentProvider->GetTreeWidget();
    if (!pTree)
        return;
    const QList<QTreeWidgetItem*> selected = pTree->selectedItems();
    if (selected.isEmpty())
        return;
    m_pSelectedItem = pTree->GetObject(selected.first());
    if (!m_pSelectedItem)
        return;

    const char* pszModule = m_pCurrentProvider->GetContext()->GetModuleName();
    const bool bTestsAllowed = !(pszModule && std::string(pszModule).find("bit4") != std::string::npos);
    ui->actionTestCertificate->setEnabled(bTestsAllowed);
    ui->actionTestKey->setEnabled(bTestsAllowed);

    switch (m_pSelectedItem->GetObjectType()) {
    case CryptokiCertificate:
        for (QAction* action : {ui->actionDelete, ui->actionCertView, ui->actionCertExport, ui->actionTestCertificate})
            action->setVisible(true);
        ui->menuCertificate->menuAction()->setVisible(true);
        break;
    case CryptokiAsymmetricKey: {
        ui->actionDelete->setVisible(true);
        ui->actionTestKey->setVisible(true);
        ui->menuKey->menuAction()->setVisible(true);
        CPKCS11AsymmetricKey* pKey = static_cast<CPKCS11AsymmetricKey*>(m_pSelectedItem);
        if (!pKey->HasCertificate()) {
            ui->actionRequestCertificate->setVisible(true);
            ui->actionDownloadCertificate->setVisible(true);
        }
        break;
    }
    case CryptokiToken: {
        for (QAction* action : {ui->actionLogin, ui->actionLogout, ui->actionCertImport, ui->actionChangePIN,
                                ui->actionInitialize, ui->actionUnblockPIN, ui->actionRequestCertificate,
                                ui->actionDownloadCertificate})
            action->setVisible(true);
        ui->menuSmart_card->menuAction()->setVisible(true);
        const bool bLoggedIn = static_cast<CPKCS11Token*>(m_pSelectedItem)->IsLoggedIn();
        ui->actionLogin->setEnabled(!bLoggedIn);
        ui->actionLogout->setEnabled(bLoggedIn);
        break;
    }
    case CryptokiSlot:
        break;
    }
}

void MainWindow::on_item_double_clicked(QTreeWidgetItem*, int)
{
    TSY_SLOT_TRY
    on_item_selection_changed();
    if (m_pSelectedItem && m_pSelectedItem->GetObjectType() == CryptokiCertificate)
        on_actionCertView_triggered();
    TSY_SLOT_CATCH(tr("Unable to view the certificate."))
}

// ---------------------------------------------------------------------------------------
// Preferences

void MainWindow::on_actionPreferences_triggered()
{
    COperationGuard operation(this);
    TSY_SLOT_TRY
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
    CAutoSplash splash(QStringLiteral(":/bitmaps/Progress"), this, false);
    splash.ShowMessage(tr("Freeing providers..."), Qt::AlignBottom, Qt::black);
    FreeProviders();
    RemoveProviderTabs();
    LoadProviders(splash);
    splash.ShowMessage(tr("Saving settings..."), Qt::AlignBottom, Qt::black);
    SaveSettings();
    TSY_SLOT_CATCH(tr("Unable to load the providers."))
}

// The token operations of the menus and the context menu come with their dialogs.
void MainWindow::on_actionDownloadCertificate_triggered() {}
void MainWindow::on_actionRequestCertificate_triggered() {}
void MainWindow::on_actionTestKey_triggered() {}
void MainWindow::on_actionTestCertificate_triggered() {}
void MainWindow::on_actionInitialize_triggered() {}
void MainWindow::on_actionUnblockPIN_triggered() {}
void MainWindow::on_actionLogout_triggered() {}
void MainWindow::on_actionLogin_triggered() {}
void MainWindow::on_actionTestToken_triggered() {}
void MainWindow::on_actionCertImport_triggered() {}
void MainWindow::on_actionDelete_triggered() {}
void MainWindow::on_actionCertView_triggered() {}
void MainWindow::on_actionCertExport_triggered() {}
void MainWindow::on_actionChangePIN_triggered() {}
void MainWindow::on_tree_context_menu(QPoint) {}
