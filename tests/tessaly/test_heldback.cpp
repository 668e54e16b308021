// Every dialog and box of the token operations, and the tree's context menu: a slot event that
// removes the token while one is open changes nothing until the operation has ended (the token
// and its rows stay, so the operation never works on freed objects), and is applied then.
#include <QMenu>
#include <QTimer>
#include <QtTest>

#include <functional>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11Token.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kModule = "Test Module";
const char* const kUserPin = "1234";

std::string g_renewed;   // a second certificate for the key pair 0x51, which has one
std::string g_fresh;     // the certificate for the key pair 0x52, which has none
std::string g_junk;
std::string g_export;
std::vector<unsigned char> g_cert51;
std::vector<unsigned char> g_cert52;

typedef std::function<void(QWidget*)> TAnswer;

struct TStep {
    const char* className;
    TAnswer answer;
};

struct TCase {
    const char* name;
    CK_SLOT_ID slot;
    bool loginFirst;
    QString row;           // empty: the token row
    const char* action;
    std::vector<TStep> steps;
    size_t fireAt;         // the step whose dialog or box is open when the token goes
};

TAnswer Cancel()
{
    return [](QWidget* w) {
        if (!fixture::ModalDriver::Click(w, "Cancel"))
            fixture::ModalDriver::Reject(w);
    };
}

TAnswer Ok()
{
    return [](QWidget* w) {
        if (QMessageBox* box = qobject_cast<QMessageBox*>(w)) {
            AnswerBox(box, box->button(QMessageBox::Yes) ? QMessageBox::No : QMessageBox::Ok);
            return;
        }
        if (!fixture::ModalDriver::Click(w, "OK"))
            fixture::ModalDriver::Accept(w);
    };
}

TAnswer Type(std::vector<std::pair<const char*, QString>> fields)
{
    return [fields](QWidget* w) {
        for (const auto& f : fields)
            TypeText(Field(w, f.first), f.second);
        OkButton(w)->click();
    };
}

TAnswer File(const std::string* path)
{
    return [path](QWidget* w) { AnswerFileDialog(w, QString::fromStdString(*path)); };
}

const std::vector<TCase>& Cases()
{
    static const std::vector<TCase> cases = {
        {"login dialog", 1, false, {}, "actionLogin", {{"LoginDialog", Cancel()}}, 0},
        {"login error box", 1, false, {}, "actionLogin",
         {{"LoginDialog", Type({{"edtPassword", "9999"}})}, {"QMessageBox", Ok()}}, 1},
        {"user choice of the PIN pad", 2, false, {}, "actionLogin", {{"SelectUserDialog", Cancel()}}, 0},
        {"PIN-pad notice", 2, false, {}, "actionLogin",
         {{"SelectUserDialog", Ok()},
          {"ProtectedAuthPathDialog", [](QWidget*) {}}}, 1},
        {"change-PIN dialog", 1, false, {}, "actionChangePIN", {{"ChangePINDialog", Cancel()}}, 0},
        {"change-PIN success box", 1, false, {}, "actionChangePIN",
         {{"ChangePINDialog", Type({{"editPIN", kUserPin}, {"editNewPIN", "5678"}, {"editNewPIN2", "5678"}})},
          {"QMessageBox", Ok()}}, 1},
        {"change-PIN error box", 1, false, {}, "actionChangePIN",
         {{"ChangePINDialog", Type({{"editPIN", "0000"}, {"editNewPIN", "5678"}, {"editNewPIN2", "5678"}})},
          {"QMessageBox", Ok()}}, 1},
        {"unblock dialog", 1, false, {}, "actionUnblockPIN", {{"UnblockPINDialog", Cancel()}}, 0},
        {"unblock error box", 1, false, {}, "actionUnblockPIN",
         {{"UnblockPINDialog", Type({{"editSOPIN", "00000000"}, {"editNewPIN", "5678"}, {"editNewPIN_2", "5678"}})},
          {"QMessageBox", Ok()}}, 1},
        {"import file dialog", 1, false, {}, "actionCertImport", {{"QFileDialog", Cancel()}}, 0},
        {"replace question", 1, false, {}, "actionCertImport",
         {{"QFileDialog", File(&g_renewed)}, {"QMessageBox", Ok()}}, 1},
        {"import success box", 1, false, {}, "actionCertImport",
         {{"QFileDialog", File(&g_fresh)}, {"QMessageBox", Ok()}}, 1},
        {"import error box", 1, false, {}, "actionCertImport",
         {{"QFileDialog", File(&g_junk)}, {"QMessageBox", Ok()}}, 1},
        {"export file dialog", 1, false, "Certificate(Pair 51)", "actionCertExport", {{"QFileDialog", Cancel()}}, 0},
        {"export box", 1, false, "Certificate(Pair 51)", "actionCertExport",
         {{"QFileDialog", File(&g_export)}, {"QMessageBox", Ok()}}, 1},
        {"certificate view", 1, false, "Certificate(Pair 51)", "actionCertView", {{"CertViewDialog", Cancel()}}, 0},
        {"login for a deletion", 1, false, "Public key(Pair 52)", "actionDelete", {{"LoginDialog", Cancel()}}, 0},
        {"delete question", 1, true, "Public key(Pair 52)", "actionDelete", {{"QMessageBox", Ok()}}, 0},
        {"login for a key test", 1, false, "Public key(Pair 52)", "actionTestKey", {{"LoginDialog", Cancel()}}, 0},
        {"key test box", 1, true, "Public key(Pair 52)", "actionTestKey", {{"QMessageBox", Ok()}}, 0},
        {"certificate test box", 1, true, "Certificate(Pair 51)", "actionTestCertificate", {{"QMessageBox", Ok()}}, 0},
        {"token test box", 1, true, {}, "actionTestToken", {{"QMessageBox", Ok()}}, 0},
    };
    return cases;
}

const char* LabelOf(CK_SLOT_ID slot)
{
    return slot == 2 ? "Pad token" : "Test token";
}
} // namespace

class HeldBackTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

    QTreeWidgetItem* Row(MainWindow& window, CK_SLOT_ID slot, const QString& row)
    {
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        QTreeWidgetItem* tokenRow = tree ? TokenRow(tree, QLatin1String(LabelOf(slot))) : nullptr;
        if (!tokenRow || row.isEmpty())
            return tokenRow;
        return FindRow(tokenRow, row);
    }

    // The token goes from its slot; the window holds the event back while the operation runs.
    // Returns whether the token's row and object were still the window's afterwards.
    bool RemoveTokenDuring(MainWindow& window, CK_SLOT_ID slot, int* heldBack)
    {
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        QTreeWidgetItem* before = Row(window, slot, QString());
        CPKCS11Base* object = before ? tree->GetObject(before) : nullptr;
        m_tm->remove_token(slot, 1);
        (void)QTest::qWaitFor([&] { return window.GetHeldBackEventCount() > 0; }, 5000);
        *heldBack = window.GetHeldBackEventCount();
        QTreeWidgetItem* after = Row(window, slot, QString());
        return after && after == before && tree->GetObject(after) == object && window.IsOperationRunning();
    }

private slots:
    void initTestCase()
    {
        const std::string dir = fixture::ScratchDir("files");
        const fixture::KeyFiles k51 = fixture::MakeKey(dir, "k51", "rsa:1024");
        const fixture::KeyFiles k52 = fixture::MakeKey(dir, "k52", "rsa:1024");
        g_cert51 = fixture::ReadBytes(fixture::MakeSelfSigned(dir, "c51", k51, "/CN=Pair 51"));
        g_renewed = fixture::MakeSelfSigned(dir, "c51b", k51, "/CN=Pair 51 Renewed");
        g_fresh = fixture::MakeSelfSigned(dir, "c52", k52, "/CN=Pair 52");
        g_cert52 = fixture::ReadBytes(g_fresh);
        g_junk = dir + "/junk.der";
        fixture::WriteText(g_junk, "no certificate");
        g_export = dir + "/exported.der";
    }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Reader One", "Tessaly");
        m_tm->add_slot(2, "Pad Reader", "Tessaly");
        m_tm->insert_token(1, nullptr, "87654321", kUserPin, 0);
        CK_TOKEN_INFO pad = TestTokenInfo("Pad token", CKF_PROTECTED_AUTHENTICATION_PATH);
        m_tm->insert_token(2, &pad, "87654321", kUserPin, 0);
        QVERIFY(AddTestKeyPairFor(*m_tm, 1, g_cert51, 0x51, "Pair 51"));
        AddTestCertificate(*m_tm, 1, g_cert51, 0x51, "Pair 51");
        QVERIFY(AddTestKeyPairFor(*m_tm, 1, g_cert52, 0x52, "Pair 52"));
        WriteProviderSettings(m_home, {{kModule, testmodule::ModulePath(), false}});
    }

    void cleanup()
    {
        m_tm.reset();
    }

    void slotEventWaitsForEveryDialog_data()
    {
        QTest::addColumn<int>("index");
        for (size_t i = 0; i < Cases().size(); ++i)
            QTest::newRow(Cases()[i].name) << int(i);
    }

    void slotEventWaitsForEveryDialog()
    {
        QFETCH(int, index);
        const TCase& c = Cases()[size_t(index)];
        MainWindow window;
        MemoryLogger logger(0xFF);  // critical reports go nowhere else (no report wizard)
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        QVERIFY(tree);
        if (c.loginFirst) {
            CPKCS11Token* token = static_cast<CPKCS11Token*>(tree->GetObject(Row(window, c.slot, QString())));
            QVERIFY(token->Login(kUserPin, NormalUser));
            window.RefreshTokenRow(token);
        }
        QTreeWidgetItem* row = Row(window, c.slot, c.row);
        QVERIFY2(row, qPrintable(c.row));
        SelectRow(tree, row);

        bool intact = false;
        int heldBack = 0;
        fixture::ModalDriver driver(15000);
        driver.RejectUnexpected();
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const TStep& step = c.steps[i];
            driver.Expect([&, i, step](QWidget* w) {
                const bool pinPad = QLatin1String(step.className) == QLatin1String("ProtectedAuthPathDialog");
                // The notice can show before the login thread reaches the device; a token
                // removed before that would fail the login instead of waiting behind it.
                if (pinPad)
                    QCOMPARE(m_tm->wait_for_pinpad(5000), 1);
                if (i == c.fireAt)
                    intact = RemoveTokenDuring(window, c.slot, &heldBack);
                if (pinPad) {
                    // The login ends with a cancel on the device: nothing more to answer.
                    m_tm->pinpad_answer(CKR_FUNCTION_CANCELED);
                    return;
                }
                step.answer(w);
            }, step.className);
        }
        Action(window, c.action)->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY2(intact, "the token or its row changed while the operation was open");
        QVERIFY(heldBack >= 1);

        // Once the operation has ended the removal is applied.
        QTRY_VERIFY(!Row(window, c.slot, QString()));
        QCOMPARE(window.GetHeldBackEventCount(), 0);
        QVERIFY(!window.IsOperationRunning());
        QVERIFY(!QApplication::activeModalWidget());
    }

    // The tree's context menu is part of an operation too.
    void slotEventWaitsForTheContextMenu()
    {
        MainWindow window;
        window.show();
        QCOMPARE(m_tm->wait_for_waiters(1, 5000), 1);
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        SelectRow(tree, Row(window, 1, QString()));
        bool intact = false;
        int heldBack = 0;
        bool popup = false;
        QTimer poll;
        poll.setInterval(10);
        connect(&poll, &QTimer::timeout, [&] {
            QMenu* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            if (!menu || popup)
                return;
            popup = true;
            intact = RemoveTokenDuring(window, 1, &heldBack);
            menu->close();
        });
        poll.start();
        emit tree->customContextMenuRequested(QPoint(1, 1));
        poll.stop();
        QVERIFY(popup);
        QVERIFY(intact);
        QVERIFY(heldBack >= 1);
        QTRY_VERIFY(!Row(window, 1, QString()));
    }
};

QTEST_MAIN(HeldBackTest)
#include "test_heldback.moc"
