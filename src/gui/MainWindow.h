#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <logging/Logger.h>
#include <logging/WebErrorReportEvents.h>

#include "EnrolmentKeys.h"
#include "IEnrolmentHost.h"
#include "PKCS11Object.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "TSYException.h"

class CAutoSplash;
class CPKCS11AsymmetricKey;
class CPKCS11Base;
class CPKCS11Certificate;
class CPKCS11Context;
class CPKCS11Provider;
class CPKCS11Slot;
class CPKCS11Token;
class CProviderTreeWidget;
class QSplitter;
class ProtectedAuthPathDialog;
class QDialog;
class QMenuBar;
class QMyToolBar;
class QPoint;
class QResizeCentralWidget;
class QSessionManager;
class QTimer;
class QTreeWidgetItem;
class Ui_MainWindow;
struct TErrorReport;

// tessaly's main window. Construction builds the form, the loggers and the tool bars;
// everything else that start-up needs (settings, language, providers, skin) runs on
// the first show.
class MainWindow : public QMainWindow, public Logging::IWebErrorReportEvents, public IEnrolmentHost
{
    Q_OBJECT
public:
    // Marks one user operation (a dialog, a login, a deletion, an initialisation) for its
    // scope. The operation starts with an empty error sink, and slot-event refreshes that
    // arrive meanwhile (every modal dialog and message box runs the event loop) are held
    // back: they would delete tokens and objects the operation still uses. They are applied
    // once the last running operation has ended.
    class COperationGuard
    {
    public:
        explicit COperationGuard(MainWindow* pWindow);
        ~COperationGuard();
        COperationGuard(const COperationGuard&) = delete;
        COperationGuard& operator=(const COperationGuard&) = delete;

    private:
        MainWindow* m_pWindow;
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Asks the user, through the error-report wizard, whether a report of a critical
    // error may be sent; true with the entered address and comment.
    bool confirmErrorReport(std::wstring& email, std::wstring& comment, const wchar_t* details) override;

    static QString ReadTextFile(const QString& path);
    // Whether the skin's menu style sheet suits this Qt: version text of at least three
    // parts, 4.5 or later.
    static bool IsMenuStyleSupported(const QString& qtVersion);
    // The application style sheet of the skin for the given Qt version text.
    static QString SkinStyleSheet(const QString& qtVersion);

    // Read access for the window's frame parts.
    Ui_MainWindow* Form() const { return ui; }
    bool IsSkinOn() const { return m_bSkin; }
    Qt::WindowFlags InitialWindowFlags() const { return m_nWindowFlags; }
    QMenuBar* SkinMenuBar() const { return m_pMenuBar; }
    QMyToolBar* SkinToolBar() const { return m_pToolBar; }
    QResizeCentralWidget* ResizeWidget() const { return m_pResizeWidget; }
    const QString& ChainFile() const { return m_qsChainFile; }

    void ApplySkin(bool toggle);
    // Returns the settings file's path.
    QString LoadSettings();
    // False when the file could not be written (the user is told once).
    bool SaveSettings();

    // --- Errors and user operations (MainWindow_Errors.cpp) ---
    // Reports a failed operation: with showBox, a critical box with the text and the
    // explanation of the error sink's code, and one log entry (written before the box runs the
    // event loop, except a critical one: it asks the user for an error report, after the box);
    // the sink is emptied.
    void ShowError(const QString& text, bool critical = false, bool showBox = true) override;
    void LogError(const QString& text, bool critical = false) override;

    // How a user operation shows that it is busy.
    enum TCursorMode { NormalCursor, WaitCursor };
    // Runs one user operation: the guard (an empty error sink, slot events held back until
    // it ends), optionally the wait cursor, and the body; whatever the layer or a dialog
    // throws is reported through ShowError with failureText, so nothing reaches Qt's loop.
    void RunOperation(const QString& failureText, const std::function<void()>& body,
                      TCursorMode cursor = NormalCursor);

    // --- Token view (MainWindow_TokenView.cpp) ---
    // Token rows: the token under its slot row (opening its session), and its objects.
    void DisplaySlots(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree);
    // Adds the slot's row at the end of the tree, with its token when it holds a recognised one.
    QTreeWidgetItem* DisplaySlot(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree, CPKCS11Slot* pSlot);
    void DisplayToken(QTreeWidgetItem* pSlotRow, CPKCS11Slot* pSlot, CProviderTreeWidget* pTree);
    void UpdateTokenView(QTreeWidgetItem* pTokenRow, CPKCS11Token* pToken, CProviderTreeWidget* pTree);
    // Re-reads the objects of a token of the current provider and rebuilds its rows, under a
    // splash "Reading card, please wait...". Every object of the token taken before is freed.
    void RefreshTokenRow(CPKCS11Token* pToken);
    // The text of an object's row: a slot's description, a token's label, "Certificate(label)"
    // and the like, in the language of the moment.
    static QString RowText(CPKCS11Base* pObject);
    // Sets every row's text and the information pane again after a language change.
    void RetranslateTrees();
    // What a screen reader calls a provider's split pane and the divider between its tree and
    // its information pane.
    static void NameSplitter(QSplitter* pSplitter, const QString& qsProvider);
    // The token of the selected row: the token itself, or the token of a selected
    // certificate or key; null for a slot or no selection.
    CPKCS11Token* GetSelectedToken() const;

    // --- Login and logout (MainWindow_Login.cpp) ---
    // The user type of a login that lets the user choose.
    static constexpr TUserType AnyUser = static_cast<TUserType>(0);
    // Logs a user in on the token: with a PIN dialog, or on the token's own device (PIN pad)
    // while a notice waits. eUserType 1 or 2 fixes the user, AnyUser lets the user choose.
    // Failures are reported; a cancelled dialog, or a cancel on the device, is not. True
    // when the token is logged in.
    bool Login(CPKCS11Token* pToken, TUserType eUserType);
    // The box text of a failed login: why it failed on a write-protected token.
    static QString LoginFailureText(const CPKCS11Token* pToken);
    // Reports a failed login; a card removed (or replaced) under the login's session is said
    // so, and its slot is read again once the operation has ended.
    void ReportLoginFailure(CPKCS11Token* pToken);
    // Logs out; nothing happens on a token without a session. An answer other than "logged out"
    // is reported (the token then starts a new session, which ends the login). The rows are not
    // rebuilt here. A module closed under the provider is not asked at all (the session handle
    // may be another provider's now): that is reported, and false returned; the tab is read
    // again once the operation has ended.
    bool LogoutToken(CPKCS11Token* pToken);

    // --- Certificates (MainWindow_Certificates.cpp) ---
    // Stores a DER certificate on the token beside its key pair; asks before replacing the
    // certificate the pair has. Failures are reported; true when the certificate was stored.
    bool InstallCertificate(CPKCS11Token& token, unsigned char* pbCert, DWORD cbCert) override;

    // --- Enrolment (MainWindow_Enrolment.cpp) ---
    // The parent of the enrolment dialogs, which report their errors through this window.
    QWidget* HostWidget() override { return this; }

    // --- Providers and their tabs (MainWindow_Providers.cpp) ---
    // The provider shown on a tab (null for a tab whose provider failed to reload), and the
    // tab of a provider (-1 when it has none).
    CPKCS11Provider* ProviderOfTab(int index) const;
    int TabOfProvider(const CPKCS11Provider* pProvider) const;
    // Its text: which provider, and why it could not be loaded or what failed, in the language of
    // the window (module: the file name as the loader got it; description: settings text).
    static QString ProviderFailureText(const CTSYException& error, const std::string& module,
                                       const std::string& description);

    // Read access for the tests and the later operations.
    const std::map<CPKCS11Context*, CPKCS11Provider*>& GetProviders() const { return m_mapProviders; }
    CPKCS11Provider* GetCurrentProvider() const { return m_pCurrentProvider; }
    CPKCS11Base* GetSelectedItem() const { return m_pSelectedItem; }
    CTSYException& GetErrorSink() { return m_lastError; }
    bool IsOperationRunning() const { return m_nOperations > 0; }
    int GetHeldBackEventCount() const { return static_cast<int>(m_heldBackEvents.size()); }
    // A close came while an operation ran; the window closes once the last one has ended.
    bool IsClosePending() const { return m_bClosePending; }
    // Whether the window checks the slots of that provider itself, its slot events untrusted.
    bool IsWatchingSlots(const CPKCS11Provider* pProvider) const;
    // How often a watched provider's slots are read, how long a change found so may go
    // unreported by the module's wait, and how long that wait may stay silent after its
    // failures, before the provider is loaded again (for every window).
    static void SetSlotWatchTiming(int nPollMs, int nGraceMs, int nSettleMs);

signals:
    // A close was asked for while an operation runs: a wait that the close may cut short (a
    // module that does not finish initialising) ends.
    void CloseRequested();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private slots:
    // Frame, skin and about (MainWindow.cpp)
    // The desktop's session is ending (logout): what a close would save is saved; nothing is
    // freed, as an operation may be running. The close itself comes when the session ends.
    void CommitSessionData(QSessionManager& manager);
    void on_actionAbout_triggered();
    void on_actionSwitchStyle_triggered();
    void on_actionExit_triggered();

    // Providers and their tabs (MainWindow_Providers.cpp)
    void on_actionPreferences_triggered();
    void on_actionReload_triggered();
    void on_tabWidget_currentChanged(int index);

    // Slot events (MainWindow_SlotEvents.cpp)
    void on_slot_events_not_supported(CPKCS11Context* pContext);
    void on_slot_event(ulong nSlotID, CPKCS11Context* pContext);
    // Applies the slot events held back while operations ran.
    void ApplyHeldBackEvents();

    // Token view and selection (MainWindow_TokenView.cpp)
    void on_item_selection_changed();
    void on_item_double_clicked(QTreeWidgetItem* item, int column);

    // Login and logout (MainWindow_Login.cpp)
    void on_actionLogin_triggered();
    void on_actionLogout_triggered();
    void on_tree_context_menu(QPoint pos);
    void on_protected_auth_login_finished();

    // PIN change and unblocking (MainWindow_Pins.cpp)
    void on_actionChangePIN_triggered();
    void on_actionUnblockPIN_triggered();

    // Certificates (MainWindow_Certificates.cpp)
    void on_actionCertImport_triggered();
    void on_actionCertExport_triggered();
    void on_actionCertView_triggered();
    void on_actionDelete_triggered();

    // Token, key and certificate tests (MainWindow_Tests.cpp)
    void on_actionTestToken_triggered();
    void on_actionTestKey_triggered();
    void on_actionTestCertificate_triggered();

    // Card initialisation (MainWindow_Initialize.cpp)
    void on_actionInitialize_triggered();

    // Enrolment (MainWindow_Enrolment.cpp)
    void on_actionRequestCertificate_triggered();
    void on_actionDownloadCertificate_triggered();

private:
    // What a slot-event thread reported.
    // ModuleClosedUnder: not of the thread, a report found the provider's module closed under it.
    enum TSlotEventKind { SlotChanged, EventsNotSupported, EventsResumed, EventsStopped, ModuleClosedUnder };
    // A slot event as the thread reported it (nValue: the slot ID of a change, the module's
    // answer of a stop); the context's generation tells apart two providers that got the same
    // context address one after the other.
    struct THeldBackEvent {
        TSlotEventKind eKind;
        unsigned long nValue;
        CPKCS11Context* pContext;
        uint64_t nGeneration;
    };

    // Frame and skin (MainWindow.cpp)
    void ResizeSkinMenuBar();
    // Tells the user at start, in one box, that the settings file at path did not read cleanly
    // (what was found, where it is kept) and that it cannot be written and why.
    void TellSettingsProblems(const QString& path);
    // What a screen reader calls the two tool bars, in the language of the moment.
    void NameToolBars();
    // Tells the user, once a run, that the settings file at path cannot be written and why.
    void TellSettingsNotWritable(const QString& path, const QString& reason);
    static QString SettingsNotWritableText(const QString& path, const QString& reason);
    static QString SettingsDamagedText(const QString& path);
    // Makes the window tall enough for its vertical tool bar to show every action of a selected
    // token, the most it ever shows, within the screen.
    void FitToolBar();

    // The actions a selected token offers (MainWindow_TokenView.cpp).
    QList<QAction*> TokenActions() const;

    // Token operations (MainWindow_Login.cpp, MainWindow_Pins.cpp, MainWindow_Certificates.cpp,
    // MainWindow_Tests.cpp)
    // The selected object when it is of that kind, else null.
    CPKCS11Token* SelectedTokenOnly() const;
    CPKCS11Certificate* SelectedCertificate() const;
    // The selected certificate's DER value; null when no certificate with a value is selected.
    const _CPBLOB* SelectedCertificateValue() const;
    CPKCS11AsymmetricKey* SelectedKey() const;
    // What finds a certificate or key again after its token's objects were read anew (objects
    // taken before a re-read are freed by it): its class and CKA_ID, a certificate's value
    // (certificates of one key pair share the ID), and which of the objects alike it was.
    struct TObjectIdentity {
        CK_OBJECT_CLASS nClass;
        std::vector<unsigned char> id;
        std::vector<unsigned char> value;
        int nOrdinal = 0;
    };
    static TObjectIdentity IdentityOf(const CPKCS11Object* pObject);
    static CPKCS11Object* FindObject(CPKCS11Token* pToken, const TObjectIdentity& identity);
    // pObject's identity when it is a certificate or key of pToken; none otherwise.
    static std::optional<TObjectIdentity> IdentityOfObjectOn(const CPKCS11Base* pObject, const CPKCS11Token* pToken);
    // Signs a fixed text with the private key, verifies it with the public one and says how
    // it went (a missing key of the two, too).
    void TestKeyPair(CPKCS11AsymmetricKey* pPrivate, CPKCS11AsymmetricKey* pPublic, const QString& validText,
                     const QString& invalidText);
    // The end of a PIN change or unblocking, on every road: what the action logged in is
    // logged out, and the token information, the rows and the actions are read again.
    void EndPinOperation(CPKCS11Token* pToken);

    // Providers and their tabs (MainWindow_Providers.cpp)
    // enteredNow: descriptions of the entries the person has just entered in Preferences; their
    // modules the loader cannot find are said in a box, those of the others only logged.
    void LoadProviders(CAutoSplash& splash, const std::set<std::string>& enteredNow = {});
    void DisplayProvider(CPKCS11Provider* pProvider);
    // Frees every provider; the descriptions of those whose module did not answer in time
    // (left loaded, without a tab or a provider).
    QStringList FreeProviders();
    // Tells the user which providers did not answer when they were closed.
    void ReportUnansweredProviders(const QStringList& descriptions);
    void RemoveProviderTabs();
    // Loads and initialises a module on a thread of its own while the window keeps painting
    // (user input is dropped meanwhile); throws what the context's constructor threw, or, when the
    // module has not answered within CContextLoad::GetTimeout or the window is to close, gives the
    // load up and throws TSY_MODULE_NOT_ANSWERING.
    CPKCS11Context* LoadContext(const std::string& module, const std::string& description);
    // Reloads a provider in place (its tab and tree kept): bOnItsOwn for a reload the window
    // decided itself, whose failure says that card changes are no longer followed.
    void ReloadProvider(CPKCS11Provider* pOld, bool bOnItsOwn);
    // Loads a provider into an existing tab's tree; a failure leaves the tab empty, kept for a
    // Reload there.
    void LoadIntoTab(const std::string& module, const std::string& description, CProviderTreeWidget* pTree,
                     bool bOnItsOwn);
    // Creates a provider for one table entry and connects its thread (not started yet).
    CPKCS11Provider* CreateProvider(const std::string& module, const std::string& description);
    // The provider of a context, when it is loaded and (generation not 0) is the same load.
    CPKCS11Provider* FindProvider(CPKCS11Context* pContext, uint64_t nGeneration = 0) const;

    // Slot events and user operations (MainWindow_SlotEvents.cpp)
    void OnSlotEvent(unsigned long nSlotID, CPKCS11Context* pContext, uint64_t nGeneration);
    void OnSlotEventsNotSupported(CPKCS11Context* pContext, uint64_t nGeneration);
    void OnSlotEventsResumed(CPKCS11Context* pContext, uint64_t nGeneration);
    void OnSlotEventsStopped(unsigned long rv, CPKCS11Context* pContext, uint64_t nGeneration);

    // Watched slots (MainWindow_SlotWatch.cpp). After a wait that had worked fails, a module's
    // waits may come back deaf (OpenSC after a pcscd restart waits for good): the window reads
    // the provider's slots itself until a change is reported by a wait again. A change the wait
    // does not report in time, while it sits in the module, or a wait silent for long after the
    // failures, has the provider loaded again.
    void OnSlotEventsFailing(CPKCS11Context* pContext, uint64_t nGeneration);
    void WatchSlots(uint64_t nGeneration);
    void OnSlotWatchTick();
    // Reads the slots of one watched provider; false when the provider was loaded again (it
    // and its slots are gone then).
    bool PollWatchedSlots(uint64_t nGeneration);
    // What the tree shows of a slot, to tell whether an event changed it.
    std::string ShownSlotState(CPKCS11Provider* pProvider, unsigned long nSlotID) const;
    // A reported event handled for a watched provider: a change it reported ends the watch.
    void NoteReportedEvent(uint64_t nGeneration, unsigned long nSlotID, const std::string& before);
    CPKCS11Provider* ProviderOfGeneration(uint64_t nGeneration) const;
    // Whether the provider of the thread's report is loaded; null when it is not or (running
    // operations) the report was kept for their end.
    CPKCS11Provider* ProviderToHandle(TSlotEventKind eKind, unsigned long nValue, CPKCS11Context* pContext,
                                      uint64_t nGeneration);
    void HandleSlotEvent(unsigned long nSlotID, CPKCS11Provider* pProvider);
    void HandleSlotEventsNotSupported(CPKCS11Provider* pProvider);
    // The module answers again after failed waits: its slot list and every slot are read again.
    void HandleSlotEventsResumed(CPKCS11Provider* pProvider);
    // The waits kept failing: the user is told that card changes are no longer followed.
    void HandleSlotEventsStopped(unsigned long rv, CPKCS11Provider* pProvider);
    // Reads the provider's slot list again and adds the rows of the slots it did not list before.
    void ShowNewSlots(CPKCS11Provider* pProvider, CProviderTreeWidget* pTree);
    // A card inserted: its provider's tab and the provider become current.
    void BringProviderForward(CPKCS11Provider* pProvider);
    // Whether the slot's token is shown in full as it was read and is still there (its token
    // information read again for that), and whether its information changed.
    CPKCS11Slot::TTokenCheck RecheckShownToken(CPKCS11Slot* pSlot, CProviderTreeWidget* pTree) const;
    // The shown token's information changed (a PIN blocked, a new label): its row text, the
    // information pane and the actions follow; its objects stay as they are.
    void ShowTokenInfoChanged(CPKCS11Token* pToken, CProviderTreeWidget* pTree);
    // Keeps a report of the thread for the end of the running operations (one of a kind per
    // slot and provider).
    void HoldBack(TSlotEventKind eKind, unsigned long nValue, CPKCS11Context* pContext);
    void HoldBackSlotEvent(unsigned long nSlotID, CPKCS11Context* pContext) { HoldBack(SlotChanged, nSlotID, pContext); }
    // Reads the token's slot again, as an event would, once the running operations have ended.
    void RereadSlotOf(const CPKCS11Token* pToken);
    // The current provider's module was found closed under it: its tab is read again once the
    // running operations have ended (its rows and the actions then follow the module).
    void RereadClosedProvider();
    void OnModuleClosedUnder(CPKCS11Context* pContext, uint64_t nGeneration);
    void OperationStarted();
    void OperationEnded();

    // Enrolment (MainWindow_Enrolment.cpp)
    // The selected token (or the token of a selected key), logged in and read anew when
    // nobody was, and its key list for the request or the download (only the selected
    // key's pair when a key is selected). False when there is nothing to do.
    bool PrepareEnrolment(CPKCS11Token*& pToken, TKeysVector& keys, bool bForDownload);

    // Card initialisation (MainWindow_Initialize.cpp)
    void InitializeSelectedToken();
    // Drops the provider's rows and selection, reads its slot list again and rebuilds its tree;
    // the token now in the slot with that ID, or null when there is none.
    CPKCS11Token* RereadSlots(CPKCS11Provider* pProvider, unsigned long nSlotID);
    void ShowAccessData(const char* pszAIN, const char* pszPIN);
    // After a failed step past the erasure: the label and the PINs the card has now (pszPIN null:
    // no user PIN set), with whether a new AIN had been asked for.
    void ShowUnfinishedInitialization(const std::string& sLabel, const char* pszAIN, bool bNewAINAsked,
                                      const char* pszPIN);
    // After brannick's time-out, when not even the login with the fallback AIN worked: whether
    // the card was erased is not known, nor which of the two AINs it has.
    void ShowUnknownErasure(const std::string& sLabel, const char* pszOldAIN, const char* pszFallbackAIN);

    // Errors (MainWindow_Errors.cpp)
    // Runs body and reports whatever it throws; no operation of its own, for handlers that
    // decide themselves whether one starts (a slot event that arrives during one waits).
    void CatchAll(const QString& failureText, const std::function<void()>& body);
    // ShowError naming this module file in the log entry (none when null).
    void ShowErrorOfModule(const QString& text, bool critical, bool showBox, const QString* moduleName);
    // Reports a provider that could not be loaded: which provider, the layer's message, the
    // module's return value and its explanation. With bQuietIfMissing, a bare module name the
    // loader does not find (a vendor's library this machine lacks) is only logged.
    // lead: a line put before the text.
    void ReportProviderFailure(const CTSYException& error, const std::string& module, const std::string& description,
                               bool bQuietIfMissing = false, const QString& lead = QString());
    // The line that tells that the current provider's module was closed under it; empty when it
    // was not.
    QString ClosedUnderText() const;
    // Reports what a handler caught, so that nothing escapes into Qt's event loop.
    void ReportException(const QString& text, const std::exception* pError);
    void WriteLogEntry(const TErrorReport& report);

    bool m_bSkin;
    bool m_bMenuBarSized;
    int m_nMenuBarDelta;
    Qt::WindowFlags m_nWindowFlags;
    QMenuBar* m_pMenuBar;
    QMyToolBar* m_pToolBar;
    QResizeCentralWidget* m_pResizeWidget;
    ProtectedAuthPathDialog* m_pAuthPathDialog; // the notice of a PIN-pad login, made on first use
    Ui_MainWindow* ui;
    std::map<CPKCS11Context*, CPKCS11Provider*> m_mapProviders;
    CPKCS11Provider* m_pCurrentProvider;
    CPKCS11Base* m_pSelectedItem;
    CPKCS11Token* m_pTokenToSelect;
    CTSYException m_lastError;
    std::map<int, int> m_mapShownKeys;
    int m_nTabToSelect;
    bool m_bShown;
    QString m_qsChainFile;
    std::unique_ptr<Logging::ILogger> m_pSysLogger;
    std::unique_ptr<Logging::ILogger> m_pWebLogger;
    // Running operations and the slot events they held back, in arrival order.
    int m_nOperations;
    std::deque<THeldBackEvent> m_heldBackEvents;
    bool m_bApplyQueued;
    // Context generations already warned about slot events (not supported, or no longer followed).
    std::set<uint64_t> m_setWarned;
    // Context generations read again after their module was found closed under them.
    std::set<uint64_t> m_setClosedRead;
    // A watched provider: the slots whose change the poll found and no wait has reported yet,
    // with when it was found; and whether the window loaded it again for its deaf waits (it is
    // not loaded again for them a second time: the poll keeps its rows true meanwhile).
    struct TSlotWatch {
        std::map<unsigned long, std::chrono::steady_clock::time_point> unreported;
        bool bLoadedAgain = false;
    };
    std::map<uint64_t, TSlotWatch> m_slotWatches;
    QTimer* m_pSlotWatchTimer = nullptr;
    // Tabs whose provider failed to load again: their module file and description.
    std::map<CProviderTreeWidget*, std::pair<std::string, std::string>> m_unloadedTabs;
    // The user was told that the settings cannot be saved; the window is closing.
    bool m_bSettingsWarned = false;
    bool m_bClosing = false;
    bool m_bClosePending = false;
};
