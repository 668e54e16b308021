// The pieces of the PIN-pad login on their own: the login thread over the test module's PIN
// pad, the notice that cannot be dismissed while it waits, and the user choice.
#include <QComboBox>
#include <QTimer>
#include <QtTest>

#include <cstring>
#include <memory>
#include <thread>

#include "DialogSupport.h"
#include "LoginThread.h"
#include "ProtectedAuthPathDialog.h"
#include "SelectUserDialog.h"
#include "TSYpkcs11.h"
#include "TestModuleControl.h"

Q_DECLARE_METATYPE(TUserType)

namespace {
CK_TOKEN_INFO PadTokenInfo()
{
    CK_TOKEN_INFO t;
    memset(&t, 0, sizeof t);
    memset(t.label, ' ', sizeof t.label);
    memcpy(t.label, "Pad", 3);
    t.flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_PROTECTED_AUTHENTICATION_PATH;
    t.ulMinPinLen = 4;
    t.ulMaxPinLen = 8;
    return t;
}
} // namespace

class PinPadTest : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<testmodule::Control> m_tm;
    CTSYException m_sink;
    std::unique_ptr<CPKCS11Context> m_context;

    CPKCS11Token* OpenToken(CTSYException* pSink)
    {
        m_context.reset(new CPKCS11Context(testmodule::ModulePath(), "Pad", pSink));
        CPKCS11Token* token = m_context->GetSlot(0)->GetToken();
        return token && token->OpenSession(false) ? token : nullptr;
    }

private slots:
    void init()
    {
        m_tm.reset(new testmodule::Control);
        m_tm->add_slot(1, "Pad Reader", "Tessaly");
        CK_TOKEN_INFO info = PadTokenInfo();
        m_tm->insert_token(1, &info, "87654321", "1234", 0);
        m_sink.Reset();
    }

    void cleanup()
    {
        m_context.reset();
        m_tm.reset();
    }

    void threadResult_data()
    {
        QTest::addColumn<TUserType>("user");
        QTest::addColumn<qulonglong>("answer");
        QTest::addColumn<bool>("result");
        QTest::newRow("user, accepted") << NormalUser << qulonglong(CKR_OK) << true;
        QTest::newRow("administrator, accepted") << SecurityOfficer << qulonglong(CKR_OK) << true;
        QTest::newRow("cancelled on the device") << NormalUser << qulonglong(CKR_FUNCTION_CANCELED) << false;
        QTest::newRow("wrong PIN") << NormalUser << qulonglong(CKR_PIN_INCORRECT) << false;
    }

    // The thread logs in with no PIN, as the stored user; the result is false until the
    // module has answered, and a failure is in the token's sink.
    void threadResult()
    {
        QFETCH(TUserType, user);
        QFETCH(qulonglong, answer);
        QFETCH(bool, result);
        CPKCS11Token* token = OpenToken(&m_sink);
        QVERIFY(token);
        QLoginThread thread(token, user, nullptr);
        QSignalSpy finished(&thread, &QThread::finished);
        QVERIFY(!thread.GetResult());
        thread.start(QThread::InheritPriority);
        QCOMPARE(m_tm->wait_for_pinpad(5000), 1);
        QVERIFY(!thread.GetResult());
        m_tm->pinpad_answer(CK_RV(answer));
        QVERIFY(thread.wait(5000));
        QCOMPARE(thread.GetResult(), result);
        QCOMPARE(m_tm->LastPin(), std::string("<null>"));
        QCOMPARE(m_tm->last_login_user(), user == SecurityOfficer ? CK_USER_TYPE(CKU_SO) : CK_USER_TYPE(CKU_USER));
        QCOMPARE(token->GetLoggedInUser(), result ? uint32_t(user) : 0u);
        QCOMPARE(m_sink.GetCode(), result ? 0UL : (unsigned long)answer);
        QTRY_COMPARE(finished.count(), 1);
    }

    // Without a token there is nothing to do; with a token that throws (it has no sink)
    // the exception stays inside the thread.
    void nothingLeavesTheThread()
    {
        {
            QLoginThread thread(nullptr, NormalUser, nullptr);
            thread.start();
            QVERIFY(thread.wait(5000));
            QVERIFY(!thread.GetResult());
        }
        CPKCS11Token* token = OpenToken(nullptr);
        QVERIFY(token);
        QLoginThread thread(token, NormalUser, nullptr);
        thread.start();
        QCOMPARE(m_tm->wait_for_pinpad(5000), 1);
        m_tm->pinpad_answer(CKR_PIN_INCORRECT);
        QVERIFY(thread.wait(5000));
        QVERIFY(!thread.GetResult());
    }

    // The object can go while the login still waits: it waits for the thread first (a running
    // QThread destroyed aborts the process).
    void destroyedWhileRunningWaitsForTheEnd()
    {
        CPKCS11Token* token = OpenToken(&m_sink);
        QVERIFY(token);
        std::unique_ptr<QLoginThread> thread(new QLoginThread(token, NormalUser, nullptr));
        thread->start();
        QCOMPARE(m_tm->wait_for_pinpad(5000), 1);
        std::thread answer([this] { m_tm->pinpad_answer(CKR_OK); });
        thread.reset();
        answer.join();
        QVERIFY(token->IsLoggedIn());
    }

    // Neither Escape, nor a close request, nor reject ends the wait; EndWait does.
    void noticeCannotBeDismissedWhileWaiting()
    {
        ProtectedAuthPathDialog dialog(nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Protected Token Authentication"));
        const Qt::WindowFlags flags = dialog.windowFlags();
        QVERIFY(flags.testFlag(Qt::CustomizeWindowHint));
        QVERIFY(flags.testFlag(Qt::WindowTitleHint));
        QVERIFY(!flags.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(dialog.findChildren<QAbstractButton*>().isEmpty());

        dialog.BeginWait();
        bool visibleAfterAttempts = false;
        QTimer::singleShot(0, &dialog, [&] {
            QTest::keyClick(&dialog, Qt::Key_Escape);
            dialog.close();
            dialog.reject();
            QCoreApplication::processEvents();
            visibleAfterAttempts = dialog.isVisible();
            dialog.EndWait();
        });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
        QVERIFY(visibleAfterAttempts);
        QVERIFY(!dialog.isVisible());
        QVERIFY(!dialog.IsWaiting());

        // Not waiting, it closes like any dialog.
        QTimer::singleShot(0, &dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Escape); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }

    void userChoice_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<bool>("accept");
        QTest::addColumn<TUserType>("user");
        QTest::newRow("User") << 0 << true << NormalUser;
        QTest::newRow("Administrator") << 1 << true << SecurityOfficer;
        QTest::newRow("cancelled") << 1 << false << NormalUser;
    }

    void userChoice()
    {
        QFETCH(int, index);
        QFETCH(bool, accept);
        QFETCH(TUserType, user);
        SelectUserDialog dialog(nullptr);
        QComboBox* combo = dialog.findChild<QComboBox*>("cboxUserType");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("User"));
        QCOMPARE(combo->itemText(1), QStringLiteral("Administrator"));
        combo->setCurrentIndex(index);
        QDialogButtonBox* box = dialog.findChild<QDialogButtonBox*>("buttonBox");
        box->button(accept ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog.result(), accept ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(dialog.GetUserType(), user);
    }

    // A language change sets the texts again and keeps the user's choice.
    void languageChangeKeepsTheChoice()
    {
        SelectUserDialog dialog(nullptr);
        QComboBox* combo = dialog.findChild<QComboBox*>("cboxUserType");
        combo->setCurrentIndex(1);
        SendLanguageChange(&dialog);
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->currentIndex(), 1);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Login"));
    }
};

QTEST_MAIN(PinPadTest)
#include "test_pinpad.moc"
