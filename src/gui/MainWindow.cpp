#include "MainWindow.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QSessionManager>
#include <QSplashScreen>
#include <QStringList>

#include <algorithm>

#include "AboutDialog.h"
#include "AccessibleNames.h"
#include "AutoSplash.h"
#include "DataFolder.h"
#include "GuiLog.h"
#include "HandConnectedSlots.h"
#include "OverrideCursor.h"
#include "MyToolBar.h"
#include "ResizeCentralWidget.h"
#include "Resources.h"
#include "Settings.h"
#include "TextFile.h"

#include <logging/SysLogger.h>
#include <logging/WebLogger.h>

#include "PKCS11Context.h"

namespace {
// Turns a close of the watched window into a close of another.
class CCloseForwarder : public QObject
{
public:
    CCloseForwarder(QWidget* pWatched, QWidget* pTarget) : m_pWatched(pWatched), m_pTarget(pTarget)
    {
        m_pWatched->installEventFilter(this);
    }
    ~CCloseForwarder() override { m_pWatched->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* pObject, QEvent* pEvent) override
    {
        if (pObject != m_pWatched || pEvent->type() != QEvent::Close)
            return false;
        pEvent->ignore();
        qCDebug(lcGui) << "The splash was closed: the window closes";
        m_pTarget->close();
        return true;
    }

private:
    QWidget* m_pWatched;
    QWidget* m_pTarget;
};

const char* const kReportService = "https://reports.veskora.example/axis2/services/ReportLog";
const int kStateVersion = 0;
} // namespace

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
    // The window's boxes show PINs; wherever it runs, Qt's categories must not log them.
    tessaly::KeepSecretsOutOfQtLogs();

    ui = new Ui_MainWindow;
    m_qsChainFile = QStringLiteral("%1/chain.pem");
    {
        // The slot-event, tree and PIN-pad slots keep on_ names but are connected by hand.
        CHandConnectedSlots quiet({"on_slot_events_not_supported", "on_slot_event", "on_item_selection_changed",
                                   "on_item_double_clicked", "on_tree_context_menu",
                                   "on_protected_auth_login_finished"});
        ui->setupUi(this);
    }
    m_qsChainFile = QDir::toNativeSeparators(m_qsChainFile.arg(tessaly::DataFolder()));

    m_pSysLogger.reset(new Logging::CSysLogger("tessaly", 0x32, nullptr));
    Logging::CWebLogger* web = new Logging::CWebLogger(1, this, 0x20, m_pSysLogger.get());
    m_pWebLogger.reset(web);
    web->trustedCerts(QFile::encodeName(m_qsChainFile).constData()).endpointURL(kReportService);

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
    // Text beside the icon: with the text under it, the actions of a token need a window
    // taller than the default one, and than many screens.
    m_pToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_pToolBar->addActions(ui->mainToolBar->actions());
    toolsLayout->addWidget(m_pToolBar);

    QMyToolBar* topBar = new QMyToolBar(this);
    topBar->setObjectName(QStringLiteral("new") + ui->mainToolBar->objectName());
    topBar->addActions(ui->mainToolBar->actions());
    topBar->setToolButtonStyle(ui->mainToolBar->toolButtonStyle());
    // A token's actions fit the default width only with their longer labels on two lines.
    topBar->SetTwoLineLabels(true);
    insertToolBar(ui->mainToolBar, topBar);
    removeToolBar(ui->mainToolBar);
    m_pAuthPathDialog = nullptr;
    ui->mainToolBar = topBar;
    tessaly::InstallAccessibleNames();
    NameToolBars();

    // Qt's own answer to the desktop's logout closes the active dialog and then every window,
    // from no input and in the middle of whatever operation runs; the window answers it itself.
    QGuiApplication::setFallbackSessionManagementEnabled(false);
    connect(qApp, &QGuiApplication::commitDataRequest, this, &MainWindow::CommitSessionData, Qt::DirectConnection);
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

QString MainWindow::LoadSettings()
{
    CSettings& settings = CSettings::Instance();
    bool portable = false;
    const QString path = CSettings::GetSettingsFilePath(portable);
    settings.Load(path);
    restoreState(settings.m_baMainWindowState, kStateVersion);
    if (!restoreGeometry(settings.m_baWindowGeometry)) {
        // A place of its own from the start, centred on the screen: the boxes of the start open
        // centred over the window, before the window manager has told where it put it (they
        // opened over the screen's top-left corner).
        if (const QScreen* pScreen = screen())
            move(pScreen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    }
    m_bSkin = settings.m_bSkinEnabled;
    return path;
}

bool MainWindow::SaveSettings()
{
    CSettings& settings = CSettings::Instance();
    settings.m_baMainWindowState = saveState(kStateVersion);
    settings.m_baWindowGeometry = saveGeometry();
    settings.m_bSkinEnabled = m_bSkin;
    bool portable = false;
    const QString path = CSettings::GetSettingsFilePath(portable);
    if (settings.Save(path))
        return true;
    TellSettingsNotWritable(path, settings.GetWriteError());
    return false;
}

QString MainWindow::SettingsNotWritableText(const QString& path, const QString& reason)
{
    return tr("The settings cannot be saved to %1: %2.\nWhat you change now (providers, the "
              "language, a message you turn off) is lost when tessaly closes.")
        .arg(QDir::toNativeSeparators(path), reason);
}

void MainWindow::TellSettingsProblems(const QString& path)
{
    // One box at start: what was found in the file, and whether it can be saved.
    const CSettings& settings = CSettings::Instance();
    QString reason;
    const bool bWritable = settings.CanWrite(path, reason);
    QStringList texts;
    if (settings.IsDamaged())
        texts << SettingsDamagedText(path);
    if (!bWritable) {
        m_bSettingsWarned = true;
        texts << SettingsNotWritableText(path, reason);
    }
    if (texts.isEmpty())
        return;
    COperationGuard operation(this);
    COverrideCursor arrow(Qt::ArrowCursor);
    QMessageBox::warning(this, windowTitle(), texts.join(QStringLiteral("\n\n")), QMessageBox::Ok);
}

void MainWindow::TellSettingsNotWritable(const QString& path, const QString& reason)
{
    // Once a run, and never while the window closes: then nothing can be done about it (the
    // settings object has logged it).
    if (m_bSettingsWarned || m_bClosing)
        return;
    m_bSettingsWarned = true;
    COperationGuard operation(this);
    COverrideCursor arrow(Qt::ArrowCursor);
    QMessageBox::warning(this, windowTitle(), SettingsNotWritableText(path, reason), QMessageBox::Ok);
}

QString MainWindow::SettingsDamagedText(const QString& path)
{
    const CSettings::TDamage& damage = CSettings::Instance().GetDamage();
    QStringList found;
    if (damage.bTooLarge)
        found << tr("it is larger than any settings file (over %1 MB), only its start was read")
                     .arg(kSettingsFileLimitMB);
    if (damage.bTornHead)
        found << tr("a section head in it is cut short");
    if (damage.bTornEnd)
        found << tr("it ends inside a line, as a file cut short does");
    if (damage.nDroppedLines > 0)
        found << tr("lines that are no settings were left out (%1)").arg(damage.nDroppedLines);
    if (damage.nRecoveredProviders >= 0)
        found << tr("its provider table had no size that matches its entries; the providers found in it "
                    "are used (%1)")
                     .arg(damage.nRecoveredProviders);
    if (found.isEmpty())
        found << tr("a line could not be read");
    return tr("The settings file %1 is damaged: %2.\nWhat could be read of it is used. When the settings are "
              "saved, the file as it is now is kept as %3 (the one copy of a damaged settings file: an earlier "
              "one is replaced).")
        .arg(QDir::toNativeSeparators(path), found.join(QStringLiteral("; ")),
             QDir::toNativeSeparators(CSettings::DamagedFileName(path)));
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
        // A close of the splash, the only window that shows while the providers load (a module
        // that hangs in C_Initialize holds it for the whole time limit), closes the window.
        CCloseForwarder forwarder(splash.Splash(), this);
        const QString settingsPath = LoadSettings();
        TellSettingsProblems(settingsPath);
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
    // A size the user chose stays as it is.
    if (CSettings::Instance().m_baWindowGeometry.isEmpty())
        FitToolBar();
}

void MainWindow::FitToolBar()
{
    if (!m_bSkin || isMaximized())
        return;
    if (QLayout* pLayout = centralWidget() ? centralWidget()->layout() : nullptr)
        pLayout->activate();
    ui->centralWidget->layout()->activate();
    QList<QAction*> hidden;
    for (QAction* action : TokenActions())
        if (!action->isVisible()) {
            hidden << action;
            action->setVisible(true);
        }
    const int nMissing = m_pToolBar->sizeHint().height() - m_pToolBar->height();
    for (QAction* action : hidden)
        action->setVisible(false);
    if (nMissing <= 0)
        return;
    int nHeight = height() + nMissing;
    if (const QScreen* pScreen = screen())
        nHeight = std::min(nHeight, pScreen->availableGeometry().height() - (frameGeometry().height() - height()));
    if (nHeight > height())
        resize(width(), nHeight);
}

void MainWindow::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    ResizeSkinMenuBar();
}

void MainWindow::NameToolBars()
{
    // One of the two shows at a time (the skin's vertical one, or the plain window's).
    m_pToolBar->setAccessibleName(tr("Actions"));
    ui->mainToolBar->setAccessibleName(tr("Actions"));
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
    // A close that comes from no input of the person (a timer, a script, the desktop's session)
    // can reach the window while an operation waits in a background call or a dialog: it still
    // uses the providers' tokens and keys. The window closes once the operation has ended.
    if (m_nOperations > 0) {
        event->ignore();
        if (!m_bClosePending)
            qCDebug(lcGui) << "Close asked for during an operation: the window closes once it has ended";
        m_bClosePending = true;
        emit CloseRequested();
        return;
    }
    m_bClosePending = false;
    QMainWindow::closeEvent(event);
    m_bClosing = true;
    // Settings are read on the first show; a window that never showed would write
    // the defaults over the user's file.
    if (m_bShown)
        SaveSettings();
    ReportUnansweredProviders(FreeProviders());
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::LanguageChange && ui) {
        ui->retranslateUi(this);
        NameToolBars();
        RetranslateTrees();
    }
}

void MainWindow::CommitSessionData(QSessionManager&)
{
    // Settings are read on the first show; before it there is nothing of the person's to keep.
    if (m_bShown)
        SaveSettings();
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
