// Slot events on the scripted test module: insertion and removal update the tree, also while
// a modal dialog is open (the refresh waits until it closes), events of providers that are
// gone are dropped, and the "slot events not supported" warning comes once per provider.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QSplashScreen>
#include <QtTest>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "SlotEventThread.h"
#include "TestModuleControl.h"
#include "TestTokenInfo.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoftHsm = "A SoftHSM2";
const char* const kModule = "Test Module";

QStringList Dump(MainWindow& window, const char* provider)
{
    CProviderTreeWidget* tree = TreeOf(window, provider);
    return tree ? DumpTree(tree) : QStringList() << "(no tree)";
}

// The log entries holding text, each with its module line.
QStringList EntriesWith(const MemoryLogger& logger, const QString& text)
{
    QStringList out;
    for (const MemoryLogger::Entry& e : logger.Entries()) {
        const QString entry = QString::fromStdWString(e.text);
        if (entry.contains(text))
            out << entry;
    }
    return out;
}

QString ModuleLine(const QString& module)
{
    return QStringLiteral("\nPKCS#11 Module: ") + module;
}

// Closes the dialog when it goes out of scope, whatever failed before: rejects it, or accepts
// it when accept is set.
struct TCloseOnExit {
    QWidget* w;
    bool accept = false;
    ~TCloseOnExit() { accept ? fixture::ModalDriver::Accept(w) : fixture::ModalDriver::Reject(w); }
};

const QStringList kBothEmpty = {"Reader One [0]", "Reader Two [0]"};
const QStringList kOneInserted = {"Reader One [1]", "  Test token [3]", "Reader Two [0]"};

// Queues an event for the slot and returns once the window has handled it: the thread has
// posted it and waits again, and the loop has delivered it.
void DeliverEvent(testmodule::Control& tm, CK_SLOT_ID id)
{
    const int waits = tm.call_count("C_WaitForSlotEvent");
    tm.queue_event(id);
    QTRY_VERIFY(tm.call_count("C_WaitForSlotEvent") > waits && tm.waiters() == 1);
    QCoreApplication::processEvents();
    QTest::qWait(20);
}

// The text of the selected row of the tree, "(none)" without one.
QString SelectedText(QTreeWidget* tree)
{
    const QList<QTreeWidgetItem*> selected = tree->selectedItems();
    return selected.isEmpty() ? QStringLiteral("(none)") : selected.first()->text(0);
}
} // namespace

class SlotEventTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

private slots:
    void initTestCase()
    {
        // Failed waits are tried again after 10, 20, 40, 50 ms; the fifth failure in a row ends them.
        CSlotEventThread::SetRetryPolicy(10, 50, 5);
        // Watched slots read every 50 ms; a change unreported for a second counts as missed, a
        // wait silent for two after failures as deaf.
        MainWindow::SetSlotWatchTiming(50, 1000, 2000);
        const std::string store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY(hsm.InitToken("Soft"));
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
        m_tm->add_slot(2, "Reader Two", "Tessaly");
        WriteSoftHsmAndModuleSettings(m_home, kSoftHsm, kModule, testmodule::ModulePath(), true);
    }

    void cleanup()
    {
        m_tm.reset();
    }

    // A card inserted into an empty reader shows with its token and makes the provider's tab
    // current; removing it takes its rows away and leaves the tab.
    void insertionAndRemovalUpdateTheTree()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kSoftHsm << kModule);
        QCOMPARE(Dump(window, kModule), kBothEmpty);
        QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
        QCOMPARE(tabs->currentIndex(), 0);  // the first recognised token is SoftHSM2's
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);

        m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
        QTRY_COMPARE(Dump(window, kModule), kOneInserted);
        QCOMPARE(tabs->currentIndex(), 1);
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kModule));

        // Two events in a row leave one token row.
        m_tm->queue_event(1);
        m_tm->queue_event(1);
        QTRY_COMPARE(m_tm->call_count("C_WaitForSlotEvent") >= 4, true);
        QTest::qWait(50);
        QCOMPARE(Dump(window, kModule), kOneInserted);

        tabs->setCurrentIndex(0);
        m_tm->remove_token(1, 1);
        QTRY_COMPARE(Dump(window, kModule), kBothEmpty);
        QCOMPARE(tabs->currentIndex(), 0);
        QCOMPARE(TreeOf(window, kModule)->GetMappedCount(), 2);

        // A slot the provider did not list changes nothing.
        m_tm->queue_event(77);
        QTest::qWait(100);
        QCOMPARE(Dump(window, kModule), kBothEmpty);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    void cardPresentAtStartIsReadOnce_data()
    {
        QTest::addColumn<int>("change");  // 0 none, 1 another card in its place, 2 removed and put back
        QTest::addColumn<int>("reads");   // sessions the window opened on the token
        QTest::addColumn<QStringList>("tree");
        QTest::newRow("insertion event of the card read at start") << 0 << 1 << kOneInserted;
        QTest::newRow("another card in its place")
            << 1 << 2 << QStringList({"Reader One [1]", "  Other card [3]", "Reader Two [0]"});
        QTest::newRow("the same card removed and put back") << 2 << 2 << kOneInserted;
    }

    // A module reports a card present at start as an insertion (OpenSC does): the token read at
    // start is the one shown, and an event for it, still there as read, does not read it again.
    // A different card, or the same one put back (its sessions gone), is read again.
    void cardPresentAtStartIsReadOnce()
    {
        QFETCH(int, change);
        QFETCH(int, reads);
        QFETCH(QStringList, tree);
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(Dump(window, kModule), kOneInserted);
        QCOMPARE(m_tm->call_count("C_OpenSession"), 1);
        const int objectReads = m_tm->call_count("C_FindObjectsInit");
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);

        if (change == 1) {
            const CK_TOKEN_INFO other = testmodule::TokenInfo("Other card", "0002", CKF_TOKEN_INITIALIZED);
            m_tm->set_token_info(1, &other);
        } else if (change == 2) {
            m_tm->remove_token(1, 0);
            m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        }
        DeliverEvent(*m_tm, 1);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(Dump(window, kModule), tree);
        QCOMPARE(m_tm->call_count("C_OpenSession"), reads);
        if (reads == 1) {
            QCOMPARE(m_tm->call_count("C_FindObjectsInit"), objectReads);
        }
    }

    // A reader attached after start: its event names a slot the provider did not list. The list
    // is read again and the new slot shown with its card (its tab comes forward); the rows shown
    // stay as they were. A new reader without a description is named by its slot ID.
    void slotAddedAfterStartIsShown()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        m_tm->insert_token(2, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        const QStringList atStart = {"Reader One [0]", "Reader Two [1]", "  Test token [3]"};
        QCOMPARE(Dump(window, kModule), atStart);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
        QCOMPARE(tabs->currentIndex(), 0);
        const CPKCS11Token* shown = TokenOf(window, kModule, "Test token");
        const int sessions = m_tm->call_count("C_OpenSession");

        m_tm->add_slot(7, "Reader Three", "Tessaly");
        const CK_TOKEN_INFO usb = testmodule::TokenInfo("USB token", "0007", CKF_TOKEN_INITIALIZED);
        m_tm->insert_token(7, &usb, "12345678", "1234", 1);
        QTRY_COMPARE(Dump(window, kModule), atStart + QStringList({"Reader Three [1]", "  USB token [3]"}));
        QCOMPARE(tabs->currentIndex(), 1);
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kModule));
        QCOMPARE(TokenOf(window, kModule, "Test token"), shown);
        QCOMPARE(m_tm->call_count("C_OpenSession"), sessions + 1);

        // From now on it is a slot like the others.
        m_tm->remove_token(7, 1);
        QTRY_COMPARE(Dump(window, kModule), atStart + QStringList({"Reader Three [0]"}));

        m_tm->add_slot(0x2A, "", "Tessaly");
        DeliverEvent(*m_tm, 0x2A);
        QCOMPARE(Dump(window, kModule), atStart + QStringList({"Reader Three [0]", "Slot 0x2A [0]"}));
        // An event for a slot the module does not have either changes nothing.
        DeliverEvent(*m_tm, 77);
        QCOMPARE(Dump(window, kModule), atStart + QStringList({"Reader Three [0]", "Slot 0x2A [0]"}));
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // A slot whose module gives it no description has a row named by its slot ID.
    void slotWithoutDescriptionIsNamedByItsID()
    {
        m_tm->add_slot(0x1F, "", "Tessaly");
        m_tm->insert_token(0x1F, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(Dump(window, kModule), kBothEmpty + QStringList({"Slot 0x1F [1]", "  Test token [3]"}));
    }

    void unchangedTokenKeepsTabAndSelection_data()
    {
        QTest::addColumn<int>("change");  // 0 none, 1 flags changed, 2 the same card put back unseen
        QTest::addColumn<bool>("onModuleTab");
        QTest::newRow("unchanged, person on another tab") << 0 << false;
        QTest::newRow("unchanged, person in the token") << 0 << true;
        QTest::newRow("flags changed, person on another tab") << 1 << false;
        QTest::newRow("flags changed, person in the token") << 1 << true;
        QTest::newRow("put back, person on another tab") << 2 << false;
        QTest::newRow("put back, person in the token") << 2 << true;
    }

    // Repeated events for a card already shown (a module may report one now and then) neither
    // take the person's tab nor the selected row. Only the card put back unseen (its session
    // gone) is read again, and its rows are the same; the others cost one token-information read
    // each, and no session or object read.
    void unchangedTokenKeepsTabAndSelection()
    {
        QFETCH(int, change);
        QFETCH(bool, onModuleTab);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        QVERIFY(AddTestCertificate(*m_tm, 1, std::vector<unsigned char>(100, 'x'), 1, "Cert") != 0);
        MainWindow window;
        window.show();
        const QStringList tree = {"Reader One [1]", "  Test token [3]", "    Certificate(Cert) [6]", "Reader Two [0]"};
        QCOMPARE(Dump(window, kModule), tree);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        CProviderTreeWidget* personTree = onModuleTab ? SelectInToken(window, kModule, "Test token", "Certificate(Cert)")
                                                      : SelectInToken(window, kSoftHsm, "Soft");
        QVERIFY(personTree);
        QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
        const int tab = tabs->currentIndex();
        const QString selected = SelectedText(personTree);
        const int tokenReads = m_tm->call_count("C_GetTokenInfo");
        const int sessions = m_tm->call_count("C_OpenSession");

        CK_TOKEN_INFO info = testmodule::TokenInfo("Test token", "0001",
                                                   CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED);
        for (int round = 1; round <= 3; ++round) {
            if (change == 1) {
                info.flags ^= CKF_USER_PIN_COUNT_LOW;
                m_tm->set_token_info(1, &info);
            } else if (change == 2) {
                m_tm->remove_token(1, 0);
                m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
            }
            DeliverEvent(*m_tm, 1);
            QCOMPARE(Dump(window, kModule), tree);
            QCOMPARE(tabs->currentIndex(), tab);
            QCOMPARE(SelectedText(personTree), selected);
            QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, onModuleTab ? kModule : kSoftHsm));
            QVERIFY(window.GetSelectedItem());
            QCOMPARE(window.GetSelectedItem()->GetObjectType(), onModuleTab ? CryptokiCertificate : CryptokiToken);
            QCOMPARE(m_tm->call_count("C_OpenSession") - sessions, change == 2 ? round : 0);
            QCOMPARE(m_tm->call_count("C_GetTokenInfo") - tokenReads, round);
        }
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // C_GetTokenInfo may be a command to the card: one per token at start and on Reload, and one
    // for each event of a card already shown (which the module may report at start).
    void tokenInformationIsReadOncePerRead()
    {
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(Dump(window, kModule), kOneInserted);
        QCOMPARE(m_tm->call_count("C_GetTokenInfo"), 1);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);

        ShowProvider(window, kModule);
        Action(window, "actionReload")->trigger();
        QCOMPARE(Dump(window, kModule), kOneInserted);
        QCOMPARE(m_tm->call_count("C_GetTokenInfo"), 2);

        QVERIFY(m_tm->wait_for_waiters(1, 5000) >= 1);
        for (int i = 0; i < 3; ++i)
            DeliverEvent(*m_tm, 1);
        QCOMPARE(Dump(window, kModule), kOneInserted);
        QCOMPARE(m_tm->call_count("C_GetTokenInfo"), 5);
    }

    void tokenInformationChangedBetweenEvents_data()
    {
        QTest::addColumn<bool>("tokenSelected");
        QTest::addColumn<bool>("sessionInfo");  // the module has C_GetSessionInfo
        QTest::newRow("token selected") << true << true;
        QTest::newRow("certificate selected") << false << true;
        QTest::newRow("token selected, no C_GetSessionInfo") << true << false;
    }

    // Another program uses up the user PIN's tries while the card stays in its reader and the
    // window's session stays open: the next event for the card shows it blocked in the pane and
    // the actions, without reading its objects again. One token-information read per event.
    void tokenInformationChangedBetweenEvents()
    {
        QFETCH(bool, tokenSelected);
        QFETCH(bool, sessionInfo);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        const CK_FLAGS flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;
        CK_TOKEN_INFO info = testmodule::TokenInfo("Test token", "0001", flags);
        m_tm->insert_token(1, &info, "12345678", "1234", 0);
        QVERIFY(AddTestCertificate(*m_tm, 1, std::vector<unsigned char>(100, 'x'), 1, "Cert") != 0);
        if (!sessionInfo)
            m_tm->fail("C_GetSessionInfo", CKR_FUNCTION_NOT_SUPPORTED, 0, -1);
        MainWindow window;
        window.show();
        const QStringList tree = {"Reader One [1]", "  Test token [3]", "    Certificate(Cert) [6]", "Reader Two [0]"};
        QCOMPARE(Dump(window, kModule), tree);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        CProviderTreeWidget* moduleTree =
            tokenSelected ? SelectInToken(window, kModule, "Test token") : SelectInToken(window, kModule, "Test token", "Certificate(Cert)");
        QVERIFY(moduleTree);
        const CPKCS11Token* token = TokenOf(window, kModule, "Test token");
        const QString blocked = QStringLiteral("The user PIN of the card is blocked.=");
        QVERIFY(!token->IsUserPINLocked());
        QVERIFY(!PaneLines(moduleTree).contains(blocked));
        const int objectReads = m_tm->call_count("C_FindObjectsInit");
        const int sessions = m_tm->call_count("C_OpenSession");

        // The event the module may report for the card at start: nothing changed.
        const int tokenReads = m_tm->call_count("C_GetTokenInfo");
        DeliverEvent(*m_tm, 1);

        info.flags |= CKF_USER_PIN_LOCKED | CKF_USER_PIN_COUNT_LOW;
        m_tm->set_token_info(1, &info);
        DeliverEvent(*m_tm, 1);
        QCOMPARE(Dump(window, kModule), tree);
        QVERIFY(window.GetSelectedItem());
        QCOMPARE(window.GetSelectedItem()->GetObjectType(), tokenSelected ? CryptokiToken : CryptokiCertificate);
        // The person's row stays; the token's pane tells.
        if (!tokenSelected)
            QVERIFY(SelectInToken(window, kModule, "Test token"));
        QVERIFY2(PaneLines(moduleTree).contains(blocked), qPrintable(PaneLines(moduleTree).join("\n")));
        QCOMPARE(m_tm->call_count("C_FindObjectsInit"), objectReads);
        QCOMPARE(m_tm->call_count("C_OpenSession"), sessions);
        QCOMPARE(TokenOf(window, kModule, "Test token"), token);
        QCOMPARE(m_tm->call_count("C_GetTokenInfo"), tokenReads + 2);

        // Unblocked by the other program: the pane follows again.
        info.flags = flags;
        m_tm->set_token_info(1, &info);
        DeliverEvent(*m_tm, 1);
        QVERIFY(!token->IsUserPINLocked());
        QVERIFY(!PaneLines(moduleTree).contains(blocked));
        QCOMPARE(m_tm->call_count("C_FindObjectsInit"), objectReads);
        QCOMPARE(m_tm->call_count("C_OpenSession"), sessions);
        QCOMPARE(m_tm->call_count("C_GetTokenInfo"), tokenReads + 3);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    void waitsThatFailAreFollowedAgain_data()
    {
        QTest::addColumn<int>("outage");  // what happens while the waits fail
        QTest::addColumn<QStringList>("tree");
        QTest::newRow("the card removed, its event reported after the failure") << 0 << kBothEmpty;
        QTest::newRow("the card removed unreported, then another card inserted")
            << 1 << QStringList({"Reader One [0]", "Reader Two [1]", "  Test token [3]"});
        QTest::newRow("a reader attached unreported, then an event for the card")
            << 2 << QStringList({"Reader One [1]", "  Test token [3]", "Reader Two [0]", "Reader Three [0]"});
    }

    // A module whose wait answers CKR_GENERAL_ERROR (OpenSC while pcscd restarts) is waited on
    // again; when it answers again, its slot list and every slot are read again, so nothing
    // that happened in between stays unseen. No box: the following resumed by itself.
    void waitsThatFailAreFollowedAgain()
    {
        QFETCH(int, outage);
        QFETCH(QStringList, tree);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(Dump(window, kModule), kOneInserted);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);

        // The waiting thread gets the failure, and the next wait fails at once too; what happens
        // meanwhile is queued for the wait after them.
        m_tm->fail("C_WaitForSlotEvent", CKR_GENERAL_ERROR, 0, 1);
        const int waits = m_tm->call_count("C_WaitForSlotEvent");
        m_tm->fail_waiters(CKR_GENERAL_ERROR);
        switch (outage) {
        case 0:
            m_tm->remove_token(1, 1);
            break;
        case 1:
            m_tm->remove_token(1, 0);
            m_tm->insert_token(2, nullptr, "12345678", "1234", 1);
            break;
        case 2:
            m_tm->add_slot(3, "Reader Three", "Tessaly");
            m_tm->queue_event(1);
            break;
        }
        QTRY_COMPARE(Dump(window, kModule), tree);
        QTRY_COMPARE(m_tm->call_count("C_WaitForSlotEvent"), waits + 3);
        QVERIFY(!QApplication::overrideCursor());

        // Plain events again afterwards.
        const bool bCardInTwo = tree.contains("Reader Two [1]");
        if (bCardInTwo)
            m_tm->remove_token(2, 1);
        else
            m_tm->insert_token(2, nullptr, "12345678", "1234", 1);
        QTRY_VERIFY(Dump(window, kModule).contains(bCardInTwo ? "Reader Two [0]" : "Reader Two [1]"));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // A module whose waits keep failing after they had worked (pcscd gone for good): after the
    // retries one box says that card changes on that provider are no longer followed, with the
    // module's answer, and the log names the module. The window stays usable, and a Reload
    // follows the provider again.
    void waitsThatKeepFailingAreToldOnce()
    {
        // The first wait reports the insertion below; every later one fails.
        m_tm->fail("C_WaitForSlotEvent", CKR_GENERAL_ERROR, 1, -1);
        MainWindow window;
        MemoryLogger logger(0xFF);
        QStringList boxes;
        fixture::ModalDriver driver(15000);
        driver.Expect(fixture::ModalDriver::AcceptAndNote(boxes), "QMessageBox");
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
        QTRY_COMPARE(Dump(window, kModule), kOneInserted);
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(boxes, QStringList(QStringLiteral(
                            "Card insertions and removals on the provider Test Module are no longer followed: waiting "
                            "for them failed again and again.\nYou can try again by choosing Edit->Reload from the "
                            "main menu.\nSome unrecoverable error has occurred.")));
        QVERIFY(ProviderNamed(window, kModule)->GetThread()->wait(5000));
        QCOMPARE(m_tm->call_count("C_WaitForSlotEvent"), 6);
        const QStringList entries = EntriesWith(logger, "are no longer followed");
        QCOMPARE(entries.size(), 1);
        QVERIFY2(entries[0].contains("CKR_GENERAL_ERROR") && entries[0].endsWith(ModuleLine(testmodule::ModulePath())),
                 qPrintable(entries[0]));

        // Once: the thread's word said again is not told again, and the window works. The word
        // goes through the thread's own connection; the marker queued after it is delivered once
        // the word has been handled, or while its box is open.
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        CPKCS11Provider* provider = ProviderNamed(window, kModule);
        emit provider->GetThread()->SlotEventsStopped(CKR_GENERAL_ERROR, provider->GetContext());
        bool delivered = false;
        QMetaObject::invokeMethod(&window, [&] { delivered = true; }, Qt::QueuedConnection);
        QTRY_VERIFY(delivered);
        QVERIFY2(!QApplication::activeModalWidget() && modals.Unexpected().isEmpty(),
                 qPrintable(modals.Unexpected().join("; ")));
        QVERIFY(SelectInToken(window, kSoftHsm, "Soft"));
        QVERIFY(Action(window, "actionLogin")->isVisible());
        m_tm->fail("C_WaitForSlotEvent", CKR_OK, 0, 0);
        ShowProvider(window, kModule);
        Action(window, "actionReload")->trigger();
        QVERIFY(m_tm->wait_for_waiters(1, 5000) >= 1);
        QCOMPARE(Dump(window, kModule), kOneInserted);
        m_tm->remove_token(1, 1);
        QTRY_COMPARE(Dump(window, kModule), QStringList({"Reader One [0]", "Reader Two [0]"}));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // Waits that fail at once from the first (OpenSC's without pcscd, a default provider): the
    // log says that card changes cannot be followed there, and no box comes at all.
    void waitsThatNeverWorkedAreOnlyLogged()
    {
        m_tm->fail("C_WaitForSlotEvent", CKR_GENERAL_ERROR, 0, -1);
        MainWindow window;
        MemoryLogger logger(0xFF);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.show();
        QVERIFY(ProviderNamed(window, kModule)->GetThread()->wait(5000));
        QCOMPARE(m_tm->call_count("C_WaitForSlotEvent"), 5);
        QTRY_COMPARE(EntriesWith(logger, "cannot be followed").size(), 1);
        QVERIFY(EntriesWith(logger, "are no longer followed").isEmpty());
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        QVERIFY(SelectInToken(window, kSoftHsm, "Soft"));
    }

    void servicesBackWithDeafWaitsAreFollowedAgain_data()
    {
        QTest::addColumn<bool>("cardBefore");
        QTest::addColumn<bool>("cardAfter");
        QTest::newRow("the card in before and after the restart") << true << true;
        QTest::newRow("the card put in after the restart") << false << true;
        QTest::newRow("the card taken out during the restart") << true << false;
    }

    // OpenSC while pcscd restarts: its waits fail, report two events (the readers back, the card
    // not yet seen), fail twice more and then wait for good, deaf to what happens in the readers.
    // The window finds the card itself within a few seconds and loads the provider again (also
    // when nothing changes after the restart), and follows the removals and insertions after it
    // by their events. No box.
    void servicesBackWithDeafWaitsAreFollowedAgain()
    {
        QFETCH(bool, cardBefore);
        QFETCH(bool, cardAfter);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        if (cardBefore)
            m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(Dump(window, kModule), cardBefore ? kOneInserted : kBothEmpty);
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        DeliverEvent(*m_tm, 2);  // the waits work
        const uint64_t firstLoad = ProviderNamed(window, kModule)->GetContext()->GetGeneration();

        if (cardBefore)
            m_tm->remove_token(1, 0);
        m_tm->script_outage(1, 2, 2);
        const int waits = m_tm->call_count("C_WaitForSlotEvent");
        m_tm->fail_waiters(CKR_GENERAL_ERROR);
        QTRY_VERIFY(m_tm->call_count("C_WaitForSlotEvent") == waits + 6 && m_tm->waiters() == 1);
        QTRY_COMPARE(Dump(window, kModule), kBothEmpty);

        // The service sees the card; the module's wait says nothing.
        if (cardAfter)
            m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        const QStringList after = cardAfter ? kOneInserted : kBothEmpty;
        QElapsedTimer shown;
        shown.start();
        QTRY_COMPARE_WITH_TIMEOUT(Dump(window, kModule), after, 20000);
        const qint64 msShown = shown.elapsed();
        QTRY_VERIFY_WITH_TIMEOUT(ProviderNamed(window, kModule) &&
                                     ProviderNamed(window, kModule)->GetContext()->GetGeneration() != firstLoad,
                                 20000);
        CPKCS11Provider* provider = ProviderNamed(window, kModule);
        const uint64_t secondLoad = provider->GetContext()->GetGeneration();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QCOMPARE(Dump(window, kModule), after);
        // Watched until its waits report a change.
        QVERIFY(window.IsWatchingSlots(provider));

        QStringList seen;
        for (int cycle = 0; cycle < 5; ++cycle) {
            for (int step = 0; step < 2; ++step) {
                const bool in = TokenRow(TreeOf(window, kModule), "Test token") != nullptr;
                if (in)
                    m_tm->remove_token(1, 1);
                else
                    m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
                QTRY_COMPARE(Dump(window, kModule), in ? kBothEmpty : kOneInserted);
            }
            seen << QStringLiteral("cycle %1 followed").arg(cycle + 1);
        }
        QCOMPARE(seen.size(), 5);
        QVERIFY(!window.IsWatchingSlots(ProviderNamed(window, kModule)));
        QCOMPARE(ProviderNamed(window, kModule)->GetContext()->GetGeneration(), secondLoad);
        qInfo("card shown %lld ms after the service saw it; %s", msShown, qPrintable(seen.join(", ")));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // A module whose waits stay deaf after the window loaded it again: it is not loaded again a
    // second time; its rows follow the slots by the window's own reading, with no box.
    void deafWaitsAfterTheNewLoadAreCoveredByReading()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        DeliverEvent(*m_tm, 2);
        const uint64_t firstLoad = ProviderNamed(window, kModule)->GetContext()->GetGeneration();
        m_tm->remove_token(1, 0);
        m_tm->script_outage(0, 1, 1);
        m_tm->fail_waiters(CKR_GENERAL_ERROR);
        QTRY_COMPARE(Dump(window, kModule), kBothEmpty);
        // Loaded again once its wait has been silent for a while.
        QTRY_VERIFY_WITH_TIMEOUT(ProviderNamed(window, kModule) &&
                                     ProviderNamed(window, kModule)->GetContext()->GetGeneration() != firstLoad,
                                 20000);
        CPKCS11Provider* provider = ProviderNamed(window, kModule);
        const uint64_t secondLoad = provider->GetContext()->GetGeneration();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        // Deaf again from its next wait on.
        m_tm->script_outage(0, 0, 0);
        DeliverEvent(*m_tm, 2);
        for (int step = 0; step < 4; ++step) {
            const bool in = step % 2 == 0;
            if (in)
                m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
            else
                m_tm->remove_token(1, 1);
            QTRY_COMPARE_WITH_TIMEOUT(Dump(window, kModule), in ? kOneInserted : kBothEmpty, 20000);
        }
        QCOMPARE(ProviderNamed(window, kModule)->GetContext()->GetGeneration(), secondLoad);
        QVERIFY(window.IsWatchingSlots(ProviderNamed(window, kModule)));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // The same restart, but the module cannot be initialised again: one box says that card
    // changes were no longer followed and names Reload; a Reload later follows them again.
    void deafWaitsOfAModuleThatDoesNotLoadAgainAreToldOnce()
    {
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        MainWindow window;
        QStringList boxes;
        fixture::ModalDriver driver(30000);
        driver.Expect(fixture::ModalDriver::AcceptAndNote(boxes), "QMessageBox");
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        DeliverEvent(*m_tm, 2);
        m_tm->remove_token(1, 0);
        m_tm->script_outage(0, 1, 1);
        const int waits = m_tm->call_count("C_WaitForSlotEvent");
        m_tm->fail_waiters(CKR_GENERAL_ERROR);
        QTRY_VERIFY(m_tm->call_count("C_WaitForSlotEvent") == waits + 3 && m_tm->waiters() == 1);
        QTRY_COMPARE(Dump(window, kModule), kBothEmpty);
        m_tm->set_initialize_mode(2);
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        QVERIFY2(driver.WaitFinished(25000), qPrintable(driver.Failures().join("; ")));
        m_tm->set_initialize_mode(0);
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0].startsWith(QStringLiteral(
                     "Card insertions and removals on the provider Test Module were no longer followed, and loading it "
                     "again failed.\nYou can try again by choosing Edit->Reload from the main menu.\n")),
                 qPrintable(boxes[0]));
        QVERIFY(!ProviderNamed(window, kModule));

        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        ShowProvider(window, kModule);
        Action(window, "actionReload")->trigger();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QCOMPARE(Dump(window, kModule), kOneInserted);
        m_tm->remove_token(1, 1);
        QTRY_COMPARE(Dump(window, kModule), kBothEmpty);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // While a dialog runs the event loop, a removal must not delete the token that the
    // operation holds: the refresh is held back and applied when the dialog closes.
    void eventsWaitWhileADialogIsOpen()
    {
        m_tm->insert_token(2, nullptr, "12345678", "1234", 0);
        MainWindow window;
        window.show();
        QCOMPARE(Dump(window, kModule), QStringList({"Reader One [0]", "Reader Two [1]", "  Test token [3]"}));
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        CPKCS11Token* token = static_cast<CPKCS11Token*>(tree->GetObject(TokenRow(tree, "Test token")));
        QVERIFY(token);

        QStringList duringDialog;
        int heldBack = 0;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* dialog) {
            const TCloseOnExit close{dialog};
            const int waits = m_tm->call_count("C_WaitForSlotEvent");
            m_tm->remove_token(2, 1);
            m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
            // The thread has reported both and waits again; give the queue a moment.
            QTRY_VERIFY_WITH_TIMEOUT(m_tm->call_count("C_WaitForSlotEvent") >= waits + 2 && m_tm->waiters() == 1, 5000);
            QTest::qWait(100);
            heldBack = window.GetHeldBackEventCount();
            duringDialog = Dump(window, kModule);
            // The token the operation holds is still the tree's, and still readable.
            if (tree->FindItem(token) && QString::fromUtf8(token->GetLabel()) == "Test token")
                duringDialog << "token alive";
        }, "AboutDialog");
        Action(window, "actionAbout")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY2(heldBack >= 2, qPrintable(QString::number(heldBack)));
        QCOMPARE(duringDialog,
                 QStringList({"Reader One [0]", "Reader Two [1]", "  Test token [3]", "token alive"}));

        // Applied once the dialog has closed.
        QTRY_COMPARE(Dump(window, kModule), QStringList({"Reader One [1]", "  Test token [3]", "Reader Two [0]"}));
        QCOMPARE(window.GetHeldBackEventCount(), 0);
        QVERIFY(!window.IsOperationRunning());
    }

    // An event still queued for a provider that has been reloaded (or freed) since is dropped.
    void eventsOfProvidersNoLongerLoadedAreDropped()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QTabWidget* tabs = window.findChild<QTabWidget*>("tabWidget");
        tabs->setCurrentIndex(1);
        CPKCS11Context* oldContext = ProviderNamed(window, kModule)->GetContext();

        // The thread reports the insertion; before the window reads the queue, the provider
        // is reloaded.
        const int waits = m_tm->call_count("C_WaitForSlotEvent");
        m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
        QVERIFY(QTest::qWaitFor([&] { return m_tm->call_count("C_WaitForSlotEvent") > waits && m_tm->waiters() == 1; },
                                5000));
        Action(window, "actionReload")->trigger();
        QCOMPARE(Dump(window, kModule), kOneInserted);  // the reload read the slot afresh
        QVERIFY(m_tm->wait_for_waiters(1, 5000) >= 1);
        const int slotReads = m_tm->call_count("C_GetSlotInfo");
        QTest::qWait(200);
        // The old event was not applied to the new provider.
        QCOMPARE(m_tm->call_count("C_GetSlotInfo"), slotReads);
        QCOMPARE(Dump(window, kModule), kOneInserted);

        // Direct calls naming a context that is not loaded change nothing either.
        if (ProviderNamed(window, kModule)->GetContext() != oldContext) {
            QMetaObject::invokeMethod(&window, "on_slot_event", Qt::QueuedConnection, Q_ARG(ulong, 1),
                                      Q_ARG(CPKCS11Context*, oldContext));
            QMetaObject::invokeMethod(&window, "on_slot_events_not_supported", Qt::QueuedConnection,
                                      Q_ARG(CPKCS11Context*, oldContext));
        }
        QTest::qWait(100);
        QCOMPARE(m_tm->call_count("C_GetSlotInfo"), slotReads);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // An event held back while a dialog is open, for a provider reloaded before the dialog
    // closes, is dropped when the held-back events are applied.
    void heldBackEventsOfAReloadedProviderAreDropped()
    {
        MainWindow window;
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        // SoftHSM2's "not supported" is handled before the dialog opens; held back, it would
        // pass for the insertion below while the insertion is still in the module.
        QVERIFY(ProviderNamed(window, kSoftHsm)->GetThread()->wait(5000));
        QCoreApplication::processEvents();
        window.findChild<QTabWidget*>("tabWidget")->setCurrentIndex(1);

        int held = 0;
        int slotReads = 0;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* dialog) {
            const TCloseOnExit close{dialog};
            m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
            (void)QTest::qWaitFor([&] { return window.GetHeldBackEventCount() > 0; }, 5000);
            held = window.GetHeldBackEventCount();
            Action(window, "actionReload")->trigger();
            QVERIFY(m_tm->wait_for_waiters(1, 5000) >= 1);
            slotReads = m_tm->call_count("C_GetSlotInfo");
        }, "AboutDialog");
        Action(window, "actionAbout")->trigger();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(held, 1);
        QCOMPARE(Dump(window, kModule), kOneInserted);  // the reload read the slot afresh
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        QTRY_COMPARE(window.GetHeldBackEventCount(), 0);
        QTest::qWait(100);
        QCOMPARE(m_tm->call_count("C_GetSlotInfo"), slotReads);
        QCOMPARE(Dump(window, kModule), kOneInserted);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // A card whose session cannot be opened is reported while the slot event is handled; the
    // removal that arrives while that box is open waits until it closes.
    void sessionFailureReportedWhileEventsWait()
    {
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kSoftHsm));
        m_tm->fail("C_OpenSession", CKR_DEVICE_ERROR, 0, -1);

        QString shown;
        QStringList duringBox;
        bool arrowOverBox = false;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* box) {
            const TCloseOnExit close{box, true};
            shown = qobject_cast<QMessageBox*>(box)->text();
            // The card is being read under a wait cursor; the box itself is not.
            arrowOverBox = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::ArrowCursor;
            const int waits = m_tm->call_count("C_WaitForSlotEvent");
            m_tm->remove_token(1, 1);
            QTRY_VERIFY_WITH_TIMEOUT(m_tm->call_count("C_WaitForSlotEvent") > waits && m_tm->waiters() == 1, 5000);
            QTest::qWait(100);
            duringBox = Dump(window, kModule);
        }, "QMessageBox");
        m_tm->insert_token(1, nullptr, "12345678", "1234", 1);
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(shown, QStringLiteral("Unable to open session with token\nSome problem has occurred with the smart-card and/or slot"));
        QCOMPARE(duringBox, kOneInserted);
        QVERIFY(arrowOverBox);
        QTRY_COMPARE(Dump(window, kModule), kBothEmpty);
        QVERIFY(!QApplication::overrideCursor());
        QVERIFY(!window.GetErrorSink().GetMessage());
        // The entry names the module of the card's provider, not the one current before.
        const QStringList entries = EntriesWith(logger, "Unable to open session with token");
        QCOMPARE(entries.size(), 1);
        QVERIFY2(entries[0].endsWith(ModuleLine(testmodule::ModulePath())),
                 qPrintable(entries[0]));
    }

    // A token that cannot be opened while the providers load is reported in a box that is not
    // hidden behind the start-up splash.
    void startUpFailureBoxIsNotBehindTheSplash()
    {
        m_tm->insert_token(2, nullptr, "12345678", "1234", 0);
        m_tm->fail("C_OpenSession", CKR_DEVICE_ERROR, 0, -1);
        MainWindow window;
        MemoryLogger logger(0xFF);
        QString shown;
        int splashesShown = -1;
        fixture::ModalDriver driver(15000);
        driver.Expect([&](QWidget* box) {
            shown = qobject_cast<QMessageBox*>(box)->text();
            splashesShown = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (qobject_cast<QSplashScreen*>(w) && w->isVisible())
                    ++splashesShown;
            fixture::ModalDriver::Accept(box);
        }, "QMessageBox");
        window.show();
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        QVERIFY(shown.startsWith("Unable to open session with token"));
        QCOMPARE(splashesShown, 0);
        QCOMPARE(Dump(window, kModule), QStringList({"Reader One [0]", "Reader Two [1]", "  Test token [3]"}));
        // The second provider's failure names its module; the first that loaded stays current.
        const QStringList entries = EntriesWith(logger, "Unable to open session with token");
        QCOMPARE(entries.size(), 1);
        QVERIFY2(entries[0].endsWith(ModuleLine(testmodule::ModulePath())), qPrintable(entries[0]));
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kSoftHsm));
    }

    // Objects whose attributes cannot be read make the layer throw while the slot event builds
    // the token's rows: they are left out, one box says so with the module's answer, and the
    // next event reads the token afresh.
    void unreadableObjectsDuringASlotEvent()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        QString box;
        MainWindow window;
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        m_tm->insert_token(1, nullptr, "12345678", "1234", 0);
        for (unsigned char id : {1, 2}) {
            CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
            CK_CERTIFICATE_TYPE type = CKC_X_509;
            CK_BBOOL yes = CK_TRUE;
            // Larger than a certificate usually is, so that the object reads it after the listing.
            const std::string value(5000, 'x');
            const std::string label = "Cert " + std::to_string(id);
            CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},           {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                                {CKA_TOKEN, &yes, sizeof yes},           {CKA_ID, &id, 1},
                                {CKA_LABEL, (void*)label.data(), (CK_ULONG)label.size()},
                                {CKA_VALUE, (void*)value.data(), (CK_ULONG)value.size()}};
            QVERIFY(m_tm->add_object(1, t, sizeof t / sizeof t[0]));
        }
        // The listing reads each object; the first certificate object then fails on its value.
        m_tm->fail("C_GetAttributeValue", CKR_DEVICE_ERROR, 2, -1);
        modals.Expect([&](QWidget* w) {
            if (QMessageBox* b = qobject_cast<QMessageBox*>(w)) {
                box = b->text();
                b->accept();
            }
        }, "QMessageBox");
        m_tm->queue_event(1);
        QVERIFY2(modals.WaitFinished(), qPrintable(modals.Failures().join("; ")));
        QCOMPARE(Dump(window, kModule), QStringList({"Reader One [1]", "  Test token [3]", "Reader Two [0]"}));
        QVERIFY2(box.startsWith(QStringLiteral("Not everything on the token \"Test token\" could be listed.\n"
                                               "Certificates that could not be read: 2")),
                 qPrintable(box));
        QVERIFY(!window.GetErrorSink().GetMessage());

        m_tm->fail("C_GetAttributeValue", CKR_OK, 0, 0);
        m_tm->queue_event(1);
        QTRY_COMPARE(Dump(window, kModule), QStringList({"Reader One [1]", "  Test token [3]",
                                                         "    Certificate(Cert 1) [6]", "    Certificate(Cert 2) [6]",
                                                         "Reader Two [0]"}));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // Each provider whose module cannot report events warns once; unchecking "Show this
    // message again" is kept in the settings file and the warning does not come back.
    void slotEventsNotSupportedWarnsOncePerProvider()
    {
        m_tm->set_wait_mode(1);
        WriteProviderSettings(m_home, {{"Module A", testmodule::ModulePath(), true},
                                       {"Module B", testmodule::ModulePath(), true}});
        QStringList texts;
        {
            MainWindow window;
            fixture::ModalDriver driver(10000);
            for (int i = 0; i < 2; ++i)
                driver.Expect([&](QWidget* box) {
                    QStringList all;
                    for (QLabel* l : box->findChildren<QLabel*>())
                        all << l->text();
                    texts << all.join("|");
                    QCOMPARE(box->windowTitle(), window.windowTitle());
                    QCheckBox* again = box->findChild<QCheckBox*>("cbShowAgain");
                    QVERIFY(again && again->isChecked());
                    // The whole three-line text fits the box.
                    QLabel* message = box->findChild<QLabel*>("message");
                    QVERIFY(message);
                    QVERIFY2(message->height() >= message->heightForWidth(message->width()),
                             qPrintable(QString("%1 < %2").arg(message->height()).arg(message->heightForWidth(message->width()))));
                    if (texts.last().contains("Module A"))
                        again->setChecked(false);  // Module A: not again
                    fixture::ModalDriver::Accept(box);
                }, "QMessageBoxEx");
            window.show();
            QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
            QCOMPARE(texts.size(), 2);
            QVERIFY2(texts.join("\n").contains("The provider Module A doesn't support slot events."), qPrintable(texts.join("\n")));
            QVERIFY2(texts.join("\n").contains("The provider Module B doesn't support slot events."), qPrintable(texts.join("\n")));
            QVERIFY(texts.join("\n").contains("Edit->Reload"));

            // The thread saying so again does not repeat the warning.
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            for (const auto& entry : window.GetProviders())
                QMetaObject::invokeMethod(&window, "on_slot_events_not_supported", Qt::QueuedConnection,
                                          Q_ARG(CPKCS11Context*, entry.first));
            QTest::qWait(200);
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            window.close();
        }
        const QString ini = QString::fromLatin1(ReadFile(HomeSettingsPath(m_home)));
        QVERIFY2(ini.contains(QRegularExpression("1\\\\Description=Module A\\s+1\\\\Module=[^\\n]*\\s+1\\\\ShowSEWarning=false")),
                 qPrintable(ini));

        // The next start warns about Module B only.
        CSettings::Instance().LoadDefaultProviders();
        MainWindow window;
        QStringList again;
        fixture::ModalDriver driver(10000);
        driver.Expect([&](QWidget* box) {
            for (QLabel* l : box->findChildren<QLabel*>())
                again << l->text();
            fixture::ModalDriver::Accept(box);
        }, "QMessageBoxEx");
        window.show();
        QVERIFY2(driver.WaitFinished(10000), qPrintable(driver.Failures().join("; ")));
        QVERIFY2(again.join("|").contains("Module B"), qPrintable(again.join("|")));
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        QTest::qWait(200);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }
};

QTEST_MAIN(SlotEventTest)
#include "test_slotevents.moc"
