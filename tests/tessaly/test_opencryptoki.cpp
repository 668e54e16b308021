// The window on openCryptoki's real module, its daemon started by the fixture when it does not
// run: Reload several times (the module must stay mapped, or its next C_Initialize faults), then
// login, the objects, a certificate import (found again by issuer and serial number) and its
// deletion.
#include <QMessageBox>
#include <QtTest>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "OpenCryptoki.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kProvider = "openCryptoki";
const char* const kToken = "Tessaly OCK";
const char* const kUserPin = "12345678";
} // namespace

class OpenCryptokiTest : public QObject
{
    Q_OBJECT
private:
    std::unique_ptr<fixture::OpenCryptoki> m_ock;
    QString m_home;
    std::string m_certificate;

    QStringList Rows(MainWindow& window) { return TokenRows(window, kProvider, kToken); }

private slots:
    void initTestCase()
    {
        m_ock.reset(new fixture::OpenCryptoki(kToken, kUserPin));
        if (!m_ock->Missing().empty())
            QSKIP(m_ock->Missing().c_str());
        QVERIFY2(m_ock->Failure().empty(), m_ock->Failure().c_str());
        const std::string dir = fixture::ScratchDir("opencryptoki");
        const fixture::KeyFiles key = fixture::MakeKey(dir, "demo", "rsa:2048");
        m_certificate = fixture::MakeSelfSigned(dir, "demo", key, "/CN=Demo/O=Tessaly");
        // The key pair goes on the token from another process, as a user's other tools put it there.
        const std::string keyDer = dir + "/demo-key.der", publicDer = dir + "/demo-public.der";
        QVERIFY(fixture::RunOrReport("openssl pkey -in " + fixture::Quote(key.keyPem) + " -outform DER -out " +
                                     fixture::Quote(keyDer)));
        QVERIFY(fixture::RunOrReport("openssl pkey -in " + fixture::Quote(key.keyPem) + " -pubout -outform DER -out " +
                                     fixture::Quote(publicDer)));
        const std::string tool = "pkcs11-tool --module " + fixture::Quote(fixture::OpenCryptoki::ModulePath()) +
                                 " --login --pin " + kUserPin + " --id 0a --label Demo --write-object ";
        QVERIFY(fixture::RunOrReport(tool + fixture::Quote(keyDer) + " --type privkey"));
        QVERIFY(fixture::RunOrReport(tool + fixture::Quote(publicDer) + " --type pubkey"));
    }

    void cleanupTestCase() { m_ock.reset(); }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        WriteProviderSettings(m_home,
                              {{kProvider, QString::fromStdString(fixture::OpenCryptoki::ModulePath()), false}});
    }

    void reloadThenTokenOperations()
    {
        MainWindow window;
        MemoryLogger logger(0xFF);
        {
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            window.show();
            QVERIFY2(TokenOf(window, kProvider, kToken), qPrintable(DumpTree(TreeOf(window, kProvider)).join("; ")));
            for (int round = 0; round < 3; ++round) {
                Action(window, "actionReload")->trigger();
                QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
                QVERIFY2(TokenOf(window, kProvider, kToken), qPrintable(QString::number(round)));
            }
        }
        QCOMPARE(Rows(window), QStringList{"Public key(Demo) [7]"});

        // Login: the private key appears beside its public key.
        QVERIFY(SelectInToken(window, kProvider, kToken));
        {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([](QWidget* w) { AnswerLogin(w, QLatin1String(kUserPin)); }, "LoginDialog");
            Action(window, "actionLogin")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(Rows(window), QStringList({"Public key(Demo) [7]", "Private key(Demo) [8]"}));

        // Import: the certificate joins its key pair and is found by issuer and serial number.
        QVERIFY(SelectInToken(window, kProvider, kToken));
        QString imported;
        {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { AnswerFileDialog(w, QString::fromStdString(m_certificate)); },
                          "QFileDialog");
            driver.Expect([&](QWidget* w) { imported = AnswerBox(w); }, "QMessageBox");
            Action(window, "actionCertImport")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(imported, QStringLiteral("The certificate was successfully imported."));
        QCOMPARE(Rows(window), QStringList({"Certificate(Demo) [5]", "  Public key(Demo) [7]", "  Private key(Demo) [8]"}));
        CPKCS11Token* token = TokenOf(window, kProvider, kToken);
        QVERIFY(token);
        QCOMPARE(CertificatesFoundByIssuerAndSerial(token->GetFunctionList(), token->GetSession(),
                                                    fixture::ReadBytes(m_certificate)),
                 1);

        // Delete: the warning for a certificate with keys, then it is gone.
        QVERIFY(SelectInToken(window, kProvider, kToken, "Certificate(Demo)"));
        {
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([](QWidget* w) { AnswerBox(w, QMessageBox::Yes); }, "QMessageBox");
            Action(window, "actionDelete")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(Rows(window), QStringList({"Public key(Demo) [7]", "Private key(Demo) [8]"}));
        QCOMPARE(logger.Count(), size_t(0));
    }
};

QTEST_MAIN(OpenCryptokiTest)
#include "test_opencryptoki.moc"
