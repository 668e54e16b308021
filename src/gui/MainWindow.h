#pragma once

#include <map>
#include <memory>
#include <string>

#include <QMainWindow>
#include <QString>

#ifdef TESSALY_HAVE_LOGGING
#include <logging/Logger.h>
#include <logging/WebErrorReportEvents.h>
#endif

class CAutoSplash;
class CPKCS11Base;
class CPKCS11Context;
class CPKCS11Provider;
class CPKCS11Token;
class QDialog;
class QMenuBar;
class QMyToolBar;
class QPoint;
class QResizeCentralWidget;
class QTreeWidgetItem;
class Ui_MainWindow;

// tessaly's main window. Construction builds the form, the loggers and the tool bars;
// everything else that start-up needs (settings, language, providers, skin) runs on
// the first show.
class MainWindow : public QMainWindow
#ifdef TESSALY_HAVE_LOGGING
    , public Logging::IWebErrorReportEvents
#endif
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Asks the user, through the error-report wizard, whether a report of a critical
    // error may be sent; true with the entered address and comment.
    bool confirmErrorReport(std::wstring& email, std::wstring& comment, const wchar_t* details)
#ifdef TESSALY_HAVE_LOGGING
        override
#endif
        ;

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
    void LoadSettings();
    void SaveSettings();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private slots:
    void on_actionDownloadCertificate_triggered();
    void on_actionRequestCertificate_triggered();
    void on_actionAbout_triggered();
    void on_actionSwitchStyle_triggered();
    void on_actionTestKey_triggered();
    void on_actionTestCertificate_triggered();
    void on_actionInitialize_triggered();
    void on_actionUnblockPIN_triggered();
    void on_actionLogout_triggered();
    void on_actionLogin_triggered();
    void on_actionTestToken_triggered();
    void on_actionCertImport_triggered();
    void on_actionDelete_triggered();
    void on_actionCertView_triggered();
    void on_actionCertExport_triggered();
    void on_actionChangePIN_triggered();
    void on_actionPreferences_triggered();
    void on_tabWidget_currentChanged(int index);
    void on_actionReload_triggered();
    void on_actionExit_triggered();
    void on_slot_events_not_supported(CPKCS11Context* pContext);
    void on_slot_event(ulong nSlotID, CPKCS11Context* pContext);
    void on_tree_context_menu(QPoint pos);
    void on_item_selection_changed();
    void on_item_double_clicked(QTreeWidgetItem* item, int column);
    void on_protected_auth_login_finished();

private:
    void LoadProviders(CAutoSplash& splash);
    void FreeProviders();
    void ResizeSkinMenuBar();

    bool m_bSkin;
    bool m_bMenuBarSized;
    int m_nMenuBarDelta;
    Qt::WindowFlags m_nWindowFlags;
    QMenuBar* m_pMenuBar;
    QMyToolBar* m_pToolBar;
    QResizeCentralWidget* m_pResizeWidget;
    QDialog* m_pAuthPathDialog; // the protected-authentication-path dialog of a PIN-pad login
    Ui_MainWindow* ui;
    std::map<CPKCS11Context*, CPKCS11Provider*> m_mapProviders;
    CPKCS11Provider* m_pCurrentProvider;
    CPKCS11Base* m_pSelectedItem;
    CPKCS11Token* m_pTokenToSelect;
    std::map<int, int> m_mapShownKeys;
    int m_nTabToSelect;
    bool m_bShown;
    QString m_qsChainFile;
#ifdef TESSALY_HAVE_LOGGING
    std::unique_ptr<Logging::ILogger> m_pSysLogger;
    std::unique_ptr<Logging::ILogger> m_pWebLogger;
#endif
};
