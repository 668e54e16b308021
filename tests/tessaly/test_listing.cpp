// Everything on a token is listed. On SoftHSM2: an old and a renewed certificate of one key pair,
// a certificate of another pair and a lone certificate, each with its own row that views,
// exports and deletes that one. On the test module: a search that fails for one class and
// objects that cannot be read leave out only what failed, and one box says what and why (none
// when the token's session has ended: it was taken out, and its slot event follows).
#include <QtTest>

#include <memory>

#include "Fixture.h"
#include "ModalDriver.h"
#include "PKCS11Token.h"
#include "Pkcs11Errors.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoft = "SoftHSM2 Renewals";
const char* const kModule = "Test Module";
const char* const kToken = "Renewals";
const char* const kUserPin = "1234";

std::string g_store;
struct TCertificateFile {
    const char* label;
    const char* subject;
    std::string der;
};
std::vector<TCertificateFile> g_certificates = {
    {"Alice old", "Alice Old", ""}, {"Alice new", "Alice New", ""}, {"Bob", "Bob", ""}, {"Lone", "Lone", ""}};

// Alice's keys sit under whichever of her certificates the module lists first; the other one
// follows it, beside them.
bool AliceRowsAsExpected(const QStringList& rows, const QStringList& aliceKeys, const QStringList& rest)
{
    for (const auto& order : {QStringList{"Alice old", "Alice new"}, QStringList{"Alice new", "Alice old"}}) {
        QStringList expected;
        expected << QStringLiteral("Certificate(%1) [5]").arg(order[0]);
        for (const QString& key : aliceKeys)
            expected << QStringLiteral("  ") + key;
        expected << QStringLiteral("Certificate(%1) [5]").arg(order[1]);
        if (rows == expected + rest)
            return true;
    }
    return false;
}

// Cases of the test module's token: three certificates and a lone public key.
enum TListingFault { SearchFails, ObjectUnreadable, ValueMissing, SessionGone };
} // namespace
Q_DECLARE_METATYPE(TListingFault)

class ListingTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

    CProviderTreeWidget* Select(MainWindow& window, const QString& row)
    {
        return SelectInToken(window, kSoft, kToken, row);
    }

private slots:
    void initTestCase()
    {
        g_store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(g_store);
        QVERIFY(hsm.InitToken(kToken));
        const fixture::KeyFiles alice = fixture::MakeKey(g_store, "alice", "rsa:1024");
        const fixture::KeyFiles bob = fixture::MakeKey(g_store, "bob", "rsa:1024");
        const fixture::KeyFiles lone = fixture::MakeKey(g_store, "lone", "rsa:1024");
        QVERIFY(hsm.ImportKey(alice.keyPem, kToken, "Alice", "0A"));
        QVERIFY(hsm.ImportKey(bob.keyPem, kToken, "Bob", "0B"));
        const fixture::KeyFiles* keys[] = {&alice, &alice, &bob, &lone};
        const char* ids[] = {"0A", "0A", "0B", "0C"};
        for (size_t i = 0; i < g_certificates.size(); ++i) {
            TCertificateFile& f = g_certificates[i];
            f.der = fixture::MakeSelfSigned(g_store, "cert" + std::to_string(i), *keys[i],
                                            std::string("/CN=") + f.subject, 365, "", "-set_serial " + std::to_string(i + 1));
            QVERIFY2(hsm.WriteCert(f.der, kToken, f.label, ids[i]), hsm.LastOutput().c_str());
        }
    }

    void init()
    {
        m_home = SoftHsmAndTestModuleHome(m_tm, kSoft, kModule, kUserPin);
    }

    void cleanup() { m_tm.reset(); }

    // Four certificate rows, the renewal beside its keys; each one views, exports and deletes
    // itself, and deleting one leaves the others.
    void renewedCertificatesEachHaveTheirRow()
    {
        MainWindow window;
        {
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            window.show();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        }
        QStringList rows = TokenRows(window, kSoft, kToken);
        QVERIFY2(AliceRowsAsExpected(rows, {"Public key(Alice) [7]"},
                                     {"Certificate(Bob) [5]", "  Public key(Bob) [7]", "Certificate(Lone) [4]"}),
                 qPrintable(rows.join("\n")));

        const std::string dir = fixture::ScratchDir("renewals-export");
        for (const TCertificateFile& f : g_certificates) {
            const QString row = QStringLiteral("Certificate(%1)").arg(QLatin1String(f.label));
            QVERIFY2(Select(window, row), qPrintable(row));
            QString subject;
            {
                fixture::ModalDriver view;
                view.RejectUnexpected();
                view.Expect([&](QWidget* w) {
                    QTreeWidget* list = w->findChild<QTreeWidget*>("treeWidget");
                    for (int i = 0; list && i < list->topLevelItemCount(); ++i)
                        if (list->topLevelItem(i)->text(0) == QLatin1String("Subject"))
                            subject = list->topLevelItem(i)->text(1);
                    fixture::ModalDriver::Click(w, "Close");
                }, "CertViewDialog");
                Action(window, "actionCertView")->trigger();
                QVERIFY2(AllAnswered(view), qPrintable(Problems(view)));
            }
            QVERIFY2(subject.contains(QLatin1String(f.subject)), qPrintable(row + ": " + subject));

            const std::string target = dir + "/" + f.label + ".cer";
            fixture::ModalDriver save;
            save.RejectUnexpected();
            save.Expect([&](QWidget* w) { AnswerFileDialog(w, QString::fromStdString(target)); }, "QFileDialog");
            save.Expect([&](QWidget* w) { AnswerBox(w); }, "QMessageBox");
            Action(window, "actionCertExport")->trigger();
            QVERIFY2(AllAnswered(save), qPrintable(Problems(save)));
            QVERIFY2(fixture::ReadBytes(target) == fixture::ReadBytes(f.der), qPrintable(row));
        }

        // Deleting the old certificate keeps the renewed one with the keys; then that one goes.
        const QString certWarning = QStringLiteral(
            "You are trying to delete certificate that has corresponding key(s).\nIf you do so, you will not be able "
            "to decrypt data encrypted with it.\nAre you sure you want to continue?");
        QVERIFY(Select(window, QStringLiteral("Certificate(Alice old)")));
        QString asked;
        {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { AnswerLogin(w, kUserPin); }, "LoginDialog");
            driver.Expect([&](QWidget* w) { asked = AnswerBox(w, QMessageBox::Yes); }, "QMessageBox");
            Action(window, "actionDelete")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(asked, certWarning);
        QCOMPARE(TokenRows(window, kSoft, kToken),
                 QStringList({"Certificate(Alice new) [5]", "  Public key(Alice) [7]", "  Private key(Alice) [8]",
                              "Certificate(Bob) [5]", "  Public key(Bob) [7]", "  Private key(Bob) [8]",
                              "Certificate(Lone) [4]"}));
        QVERIFY(Select(window, QStringLiteral("Certificate(Alice new)")));
        {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { asked = AnswerBox(w, QMessageBox::Yes); }, "QMessageBox");
            Action(window, "actionDelete")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(TokenRows(window, kSoft, kToken),
                 QStringList({"Certificate(Bob) [5]", "  Public key(Bob) [7]", "  Private key(Bob) [8]",
                              "Certificate(Lone) [4]", "Public key(Alice) [7]", "Private key(Alice) [8]"}));
        QVERIFY(!window.GetErrorSink().GetMessage());
    }

    void failuresLeaveOutOnlyWhatFailed_data()
    {
        QTest::addColumn<TListingFault>("fault");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("line");
        QTest::addColumn<qulonglong>("code");
        QTest::newRow("search for public keys fails")
            << SearchFails
            << QStringList({"Certificate(First) [4]", "Certificate(Second) [4]", "Certificate(Third) [4]"})
            << "The search for public keys failed; some may be missing." << qulonglong(CKR_DEVICE_ERROR);
        QTest::newRow("object unreadable")
            << ObjectUnreadable
            << QStringList({"Certificate(First) [4]", "Certificate(Third) [4]", "Public key(Key) [7]"})
            << "Certificates that could not be read: 1" << qulonglong(CKR_FUNCTION_FAILED);
        QTest::newRow("certificate value missing")
            << ValueMissing << QStringList({"Certificate(First) [4]", "Certificate(Third) [4]", "Public key(Key) [7]"})
            << "Certificates that could not be read: 1" << qulonglong(CKR_ATTRIBUTE_TYPE_INVALID);
        // A session that ended (the token was taken out): nothing to tell, its slot event follows.
        QTest::newRow("session gone") << SessionGone << QStringList({"Public key(Key) [7]"}) << QString()
                                      << qulonglong(CKR_SESSION_HANDLE_INVALID);
    }

    // The rest of the token is shown, and one box tells what is not and the module's answer.
    void failuresLeaveOutOnlyWhatFailed()
    {
        QFETCH(TListingFault, fault);
        QFETCH(QStringList, rows);
        QFETCH(QString, line);
        QFETCH(qulonglong, code);
        WriteProviderSettings(m_home, {{kModule, QString::fromLatin1(testmodule::ModulePath()), false}});
        const fixture::KeyFiles key = fixture::MakeKey(g_store, "scripted", "rsa:1024");
        const std::vector<unsigned char> der =
            fixture::ReadBytes(fixture::MakeSelfSigned(g_store, "scripted", key, "/CN=Scripted"));
        CK_OBJECT_CLASS certificate = CKO_CERTIFICATE, publicKey = CKO_PUBLIC_KEY;
        CK_OBJECT_HANDLE second = 0;
        const char* labels[] = {"First", "Second", "Third"};
        for (unsigned char i = 0; i < 3; ++i) {
            unsigned char id = i + 1;
            CK_ATTRIBUTE a[] = {{CKA_CLASS, &certificate, sizeof certificate},
                                {CKA_ID, &id, 1},
                                {CKA_LABEL, const_cast<char*>(labels[i]), CK_ULONG(strlen(labels[i]))},
                                {CKA_VALUE, const_cast<unsigned char*>(der.data()), CK_ULONG(der.size())}};
            const CK_OBJECT_HANDLE h = m_tm->add_object(1, a, i == 1 && fault == ValueMissing ? 3 : 4);
            if (i == 1)
                second = h;
        }
        unsigned char keyId = 4;
        CK_ATTRIBUTE k[] = {{CKA_CLASS, &publicKey, sizeof publicKey}, {CKA_ID, &keyId, 1}, {CKA_LABEL, (void*)"Key", 3}};
        m_tm->add_object(1, k, 3);
        if (fault == SearchFails)
            m_tm->fail_search(CKO_PUBLIC_KEY, CKR_DEVICE_ERROR);
        if (fault == SessionGone)
            m_tm->fail_search(CKO_CERTIFICATE, CKR_SESSION_HANDLE_INVALID);
        if (fault == ObjectUnreadable)
            m_tm->fail_object(second, CKR_FUNCTION_FAILED);

        QStringList boxes;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        if (!line.isEmpty())
            driver.Expect([&](QWidget* w) { boxes << AnswerBox(w); }, "QMessageBox");
        MainWindow window;
        window.show();
        QVERIFY2(driver.WaitFinished(), qPrintable(Problems(driver)));
        QVERIFY2(driver.Unexpected().isEmpty(), qPrintable(driver.Unexpected().join("; ")));
        QCOMPARE(TokenRows(window, kModule, "Test token"), rows);
        if (line.isEmpty())
            return;
        QCOMPARE(boxes.size(), 1);
        // The module's answer in the window's words, as every error box gives it.
        const QString explanation = GetPkcs11ErrorExplanation(code);
        QCOMPARE(boxes[0], QStringLiteral("Not everything on the token \"Test token\" could be listed.\n") + line +
                               (explanation.isEmpty() ? QString() : QLatin1Char('\n') + explanation));
    }
};

QTEST_MAIN(ListingTest)
#include "test_listing.moc"
