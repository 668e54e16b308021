// Certificate import, export, view and deletion: an openssl certificate for a key pair on a
// SoftHSM2 token, replacing it (No and Yes), files that are refused, a replacement whose
// creation fails on the test module, export compared byte for byte, the export's DER and PEM
// forms, targets that take no file, a read-only folder (written in place, never left half
// written), PEM files, the view dialog's place, and deletion with its warnings.
#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include "CertViewDialog.h"
#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "PKCS11AsymmetricKey.h"
#include "PKCS11Certificate.h"
#include "PKCS11Token.h"
#include "TokenOpsSupport.h"
#include "WindowSupport.h"

namespace {
const char* const kSoft = "SoftHSM2 Certificates";
const char* const kModule = "Test Module";
const char* const kUserPin = "1234";

typedef std::vector<unsigned char> Bytes;

std::string g_store;
struct TFiles {
    std::string demo, demoRenewed, stranger, signer, pem, junk, empty, fifo, folder;
    std::string annotatedPem, twoPem, brokenPem, strangerPem, curve;
} g_files;

Bytes Read(const std::string& path)
{
    return fixture::ReadBytes(path);
}

// A folder nobody can create files in, for as long as it lives (root ignores the mode, but not
// the immutable attribute).
class CReadOnlyFolder
{
public:
    explicit CReadOnlyFolder(const std::string& dir) : m_dir(dir)
    {
        if (geteuid() == 0)
            m_bOk = fixture::Run("chattr +i " + fixture::Quote(dir), &m_problem) == 0;
        else
            m_bOk = chmod(dir.c_str(), 0555) == 0;
        if (!m_bOk)
            m_problem = "cannot make " + dir + " read-only: " + (geteuid() == 0 ? m_problem : strerror(errno));
    }
    ~CReadOnlyFolder()
    {
        if (geteuid() == 0)
            fixture::Run("chattr -i " + fixture::Quote(m_dir));
        else
            chmod(m_dir.c_str(), 0755);
    }
    bool IsOk() const { return m_bOk; }
    const char* Problem() const { return m_problem.c_str(); }

private:
    std::string m_dir;
    std::string m_problem;
    bool m_bOk = false;
};

} // namespace

class CertificatesTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;
    std::unique_ptr<testmodule::Control> m_tm;

    CProviderTreeWidget* Select(MainWindow& window, const char* provider, const QString& row, const char* token = nullptr)
    {
        if (token)
            return SelectInToken(window, provider, token, row);
        CProviderTreeWidget* tree = ShowProvider(window, provider);
        QTreeWidgetItem* item = tree ? FindRow(tree, row) : nullptr;
        if (!item)
            return nullptr;
        SelectRow(tree, item);
        return tree;
    }

    std::vector<Bytes> Certificates(MainWindow& window, const char* provider, const char* label)
    {
        CPKCS11Token* token = TokenOf(window, provider, label);
        return token ? CertificateValues(token->GetFunctionList(), token->GetSession()) : std::vector<Bytes>();
    }

    // Runs the import of path on the selected token; the handlers answer what follows the
    // file dialog. Returns the texts of the boxes in order.
    QStringList Import(MainWindow& window, const std::string& path, QList<QMessageBox::StandardButton> answers)
    {
        QStringList texts;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { AnswerFileDialog(w, QString::fromStdString(path)); }, "QFileDialog");
        for (QMessageBox::StandardButton answer : answers)
            driver.Expect([&texts, answer](QWidget* w) { texts << AnswerBox(w, answer); }, "QMessageBox");
        Action(window, "actionCertImport")->trigger();
        if (!AllAnswered(driver))
            texts << QStringLiteral("driver: ") + Problems(driver);
        return texts;
    }

private slots:
    void initTestCase()
    {
        g_store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(g_store);
        for (const char* label : {"Import", "ImportPem", "Export", "DelCert", "DelKey", "DelLone", "DelNo"})
            QVERIFY(hsm.InitToken(label));
        const fixture::KeyFiles demo = fixture::MakeKey(g_store, "demo", "rsa:1024");
        QVERIFY(hsm.ImportKey(demo.keyPem, "Import", "Demo", "0A"));
        QVERIFY(hsm.ImportKey(demo.keyPem, "ImportPem", "Demo", "0A"));
        g_files.demo = fixture::MakeSelfSigned(g_store, "demo", demo, "/CN=Demo");
        g_files.demoRenewed = fixture::MakeSelfSigned(g_store, "demo2", demo, "/CN=Demo Renewed");
        g_files.pem = g_files.demo.substr(0, g_files.demo.size() - 4) + ".pem";
        QVERIFY(QFileInfo::exists(QString::fromStdString(g_files.pem)));
        const fixture::KeyFiles stranger = fixture::MakeKey(g_store, "stranger", "rsa:1024");
        g_files.stranger = fixture::MakeSelfSigned(g_store, "stranger", stranger, "/CN=Stranger");
        g_files.strangerPem = g_files.stranger.substr(0, g_files.stranger.size() - 4) + ".pem";
        const fixture::KeyFiles curve = fixture::MakeKey(g_store, "curve", "ec:prime256v1");
        g_files.curve = fixture::MakeSelfSigned(g_store, "curve", curve, "/CN=Curve");
        const std::string pemText = fixture::ReadText(g_files.pem);
        g_files.annotatedPem = g_store + "/annotated.pem";
        fixture::WriteText(g_files.annotatedPem, "Certificate:\n    Subject: CN=Demo\n" + pemText);
        g_files.twoPem = g_store + "/two.pem";
        fixture::WriteText(g_files.twoPem, pemText + fixture::ReadText(g_files.strangerPem));
        g_files.brokenPem = g_store + "/broken.pem";
        std::string broken = pemText;
        broken.replace(broken.find('\n') + 5, 3, "!!!");
        fixture::WriteText(g_files.brokenPem, broken);

        const fixture::KeyFiles signer = fixture::MakeKey(g_store, "signer", "rsa:1024");
        g_files.signer = fixture::MakeSelfSigned(g_store, "signer", signer, "/CN=Signer");
        for (const char* label : {"Export", "DelCert", "DelKey", "DelNo"}) {
            QVERIFY(hsm.ImportKey(signer.keyPem, label, "Signer", "0B"));
            QVERIFY(hsm.WriteCert(g_files.signer, label, "Signer", "0B"));
        }
        const fixture::KeyFiles lone = fixture::MakeKey(g_store, "lone", "rsa:1024");
        QVERIFY(hsm.ImportKey(lone.keyPem, "DelLone", "Lone", "0C"));

        g_files.junk = g_store + "/junk.der";
        fixture::WriteText(g_files.junk, "this is no certificate");
        g_files.empty = g_store + "/empty.der";
        fixture::WriteText(g_files.empty, "");
        g_files.fifo = g_store + "/fifo.der";
        QCOMPARE(mkfifo(g_files.fifo.c_str(), 0600), 0);
        g_files.folder = g_store + "/folder.der";
        QVERIFY(QDir().mkpath(QString::fromStdString(g_files.folder)));
    }

    void init()
    {
        m_home = SoftHsmAndTestModuleHome(m_tm, kSoft, kModule, kUserPin);
    }

    void cleanup()
    {
        m_tm.reset();
    }

    // The demo key pair gets its certificate; again with No changes nothing and reports
    // nothing; a renewed one with Yes leaves exactly that one.
    void importThenReplace()
    {
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, QString(), "Import"));
        QCOMPARE(TokenRows(window, kSoft, "Import"), QStringList{"Public key(Demo) [7]"});

        QCOMPARE(Import(window, g_files.demo, {QMessageBox::Ok}),
                 QStringList{"The certificate was successfully imported."});
        QCOMPARE(Certificates(window, kSoft, "Import"), std::vector<Bytes>{Read(g_files.demo)});
        QCOMPARE(TokenRows(window, kSoft, "Import"), QStringList({"Certificate(Demo) [5]", "  Public key(Demo) [7]"}));
        CPKCS11Token* token = TokenOf(window, kSoft, "Import");
        QCOMPARE(CertificatesFoundByIssuerAndSerial(token->GetFunctionList(), token->GetSession(), Read(g_files.demo)), 1);

        MemoryLogger logger(0xFF);
        QVERIFY(Select(window, kSoft, QString(), "Import"));
        QCOMPARE(Import(window, g_files.demoRenewed, {QMessageBox::No}),
                 QStringList{"A certificate for the key-pair \"Demo\" already exists. Would you like to replace it?"});
        QCOMPARE(Certificates(window, kSoft, "Import"), std::vector<Bytes>{Read(g_files.demo)});
        QVERIFY(!window.GetErrorSink().GetMessage());
        QCOMPARE(logger.Count(), size_t(0));

        QVERIFY(Select(window, kSoft, QString(), "Import"));
        QCOMPARE(Import(window, g_files.demoRenewed, {QMessageBox::Yes, QMessageBox::Ok}),
                 QStringList({"A certificate for the key-pair \"Demo\" already exists. Would you like to replace it?",
                              "The certificate was successfully imported."}));
        QCOMPARE(Certificates(window, kSoft, "Import"), std::vector<Bytes>{Read(g_files.demoRenewed)});
        QCOMPARE(TokenRows(window, kSoft, "Import"), QStringList({"Certificate(Demo) [5]", "  Public key(Demo) [7]"}));
    }

    void refusedFiles_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("box");
        // The severity of the log entry: none for a file that could not be read, 16 for a
        // file that is the user's mistake, never a critical one that asks for a report.
        QTest::addColumn<int>("severity");
        const QString notCertificate =
            QStringLiteral("Unable to import the certificate.\nThe selected file is not a valid digital certificate.");
        QTest::newRow("empty") << QString::fromStdString(g_files.empty) << "The specified file is empty." << 0;
        QTest::newRow("FIFO") << QString::fromStdString(g_files.fifo) << "The specified file is not a regular file."
                              << 0;
        QTest::newRow("folder") << QString::fromStdString(g_files.folder)
                                << "The specified file is not a regular file." << 0;
        QTest::newRow("missing") << QString::fromStdString(g_store + "/missing.der")
                                 << "Unable to open the specified file." << 0;
        QTest::newRow("two PEM certificates") << QString::fromStdString(g_files.twoPem) << notCertificate << 16;
        QTest::newRow("PEM with a broken body") << QString::fromStdString(g_files.brokenPem) << notCertificate << 16;
        QTest::newRow("not DER") << QString::fromStdString(g_files.junk) << notCertificate << 16;
        QTest::newRow("no key pair for it") << QString::fromStdString(g_files.stranger)
                                            << "Unable to import the certificate.\nThe selected certificate doesn't "
                                               "have corresponding keys on this card." << 16;
        // A certificate that reads, but whose key the program cannot look for on the card.
        QTest::newRow("EC certificate") << QString::fromStdString(g_files.curve)
                                        << "Unable to import the certificate.\nThe certificate's key is neither an RSA "
                                           "nor a DSA key: the program works only with RSA and DSA keys."
                                        << 16;
        QTest::newRow("PEM, no key pair for it") << QString::fromStdString(g_files.strangerPem)
                                                 << "Unable to import the certificate.\nThe selected certificate "
                                                    "doesn't have corresponding keys on this card." << 16;
    }

    // Files that are no certificate of the token are refused with a message (a FIFO without
    // waiting for a writer), and the token stays as it was.
    void refusedFiles()
    {
        QFETCH(QString, file);
        QFETCH(QString, box);
        QFETCH(int, severity);
        MainWindow window;
        // Keeps critical reports from the error-report wizard of the window's web logger.
        MemoryLogger logger(0xFF);
        window.show();
        QVERIFY(Select(window, kSoft, QString(), "Export"));
        const std::vector<Bytes> before = Certificates(window, kSoft, "Export");
        const QStringList texts = Import(window, file.toStdString(), {QMessageBox::Ok});
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts[0].startsWith(box), qPrintable(texts[0]));
        QCOMPARE(Certificates(window, kSoft, "Export"), before);
        QVERIFY(!window.GetErrorSink().GetMessage());
        if (severity == 0) {
            QCOMPARE(logger.Count(), size_t(0));
        } else {
            QCOMPARE(logger.Count(), size_t(1));
            QCOMPARE(logger.Entries()[0].severity, (unsigned long)severity);
        }
    }

    // A file of one PEM certificate (with text before its armour, as openssl prints it) is
    // imported as its DER form.
    void pemIsImported()
    {
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, QString(), "ImportPem"));
        QCOMPARE(Import(window, g_files.annotatedPem, {QMessageBox::Ok}),
                 QStringList{"The certificate was successfully imported."});
        QCOMPARE(Certificates(window, kSoft, "ImportPem"), std::vector<Bytes>{Read(g_files.demo)});
        QCOMPARE(TokenRows(window, kSoft, "ImportPem"), QStringList({"Certificate(Demo) [5]", "  Public key(Demo) [7]"}));
    }

    // The new certificate is stored before the old one goes: when storing fails (for another
    // reason than room), the token keeps the certificate it had.
    void failedReplacementKeepsTheOldCertificate()
    {
        const Bytes old = Read(g_files.demo);
        QVERIFY(AddTestKeyPairFor(*m_tm, 1, old, 0x5A, "Demo"));
        AddTestCertificate(*m_tm, 1, old, 0x5A, "Demo");
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kModule, QString(), "Test token"));
        const int objects = m_tm->object_count(1);

        m_tm->fail("C_CreateObject", CKR_DEVICE_ERROR, 0, -1);
        const QStringList texts = Import(window, g_files.demoRenewed, {QMessageBox::Yes, QMessageBox::Ok});
        QCOMPARE(texts.size(), 2);
        QCOMPARE(texts[1], QStringLiteral("Unable to import the certificate.\nSome problem has occurred with the "
                                          "smart-card and/or slot"));
        QCOMPARE(m_tm->object_count(1), objects);
        QCOMPARE(Certificates(window, kModule, "Test token"), std::vector<Bytes>{old});
        QCOMPARE(m_tm->call_count("C_DestroyObject"), 0);
    }

    // A card with room for one certificate per key pair refuses the new one beside the old one:
    // the old one goes first and the new one takes its place; when that creation fails too, the
    // old one is put back. Nothing is lost either way.
    void replacementOnACardWithRoomForOne()
    {
        const Bytes old = Read(g_files.demo);
        const Bytes renewed = Read(g_files.demoRenewed);
        QVERIFY(AddTestKeyPairFor(*m_tm, 1, old, 0x5A, "Demo"));
        AddTestCertificate(*m_tm, 1, old, 0x5A, "Demo");
        m_tm->limit_certificates_per_id(1);
        MainWindow window;
        MemoryLogger logger(0xFF);
        window.show();

        // The replacement's creation fails after the old certificate went: it comes back.
        QVERIFY(Select(window, kModule, QString(), "Test token"));
        m_tm->fail("C_CreateObject", CKR_DEVICE_ERROR, 1, 1);
        QStringList texts = Import(window, g_files.demoRenewed, {QMessageBox::Yes, QMessageBox::Ok});
        QCOMPARE(texts, QStringList({"A certificate for the key-pair \"Demo\" already exists. Would you like to replace it?",
                                     "Unable to import the certificate.\nSome problem has occurred with the "
                                     "smart-card and/or slot"}));
        QCOMPARE(Certificates(window, kModule, "Test token"), std::vector<Bytes>{old});

        QVERIFY(Select(window, kModule, QString(), "Test token"));
        texts = Import(window, g_files.demoRenewed, {QMessageBox::Yes, QMessageBox::Ok});
        QCOMPARE(texts, QStringList({"A certificate for the key-pair \"Demo\" already exists. Would you like to replace it?",
                                     "The certificate was successfully imported."}));
        QCOMPARE(Certificates(window, kModule, "Test token"), std::vector<Bytes>{renewed});
        QCOMPARE(TokenRows(window, kModule, "Test token"),
                 QStringList({"Certificate(Demo) [5]", "  Public key(Demo) [7]"}));
    }

    // The exported file holds the token's CKA_VALUE byte for byte, also over an existing file.
    void exportMatchesTheToken()
    {
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, "Certificate(Signer)", "Export"));
        const std::vector<Bytes> values = Certificates(window, kSoft, "Export");
        QCOMPARE(values.size(), size_t(1));
        const std::string dir = fixture::ScratchDir("export");
        const std::string target = dir + "/signer.cer";
        fixture::WriteText(target, std::string(10000, 'x'));  // a longer file is replaced whole
        for (int round = 0; round < 2; ++round) {
            QString text;
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) { AnswerFileDialog(w, QString::fromStdString(target)); }, "QFileDialog");
            driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
            Action(window, "actionCertExport")->trigger();
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
            QCOMPARE(text, QStringLiteral("The certificate was successfully saved."));
            QCOMPARE(Read(target), values[0]);
        }
        QCOMPARE(Read(target), Read(g_files.signer));
        // No temporary file is left beside it.
        QCOMPARE(QDir(QString::fromStdString(dir)).entryList(QDir::Files), QStringList{"signer.cer"});
    }

    // The form follows the name's suffix, and the chosen filter where the suffix says nothing;
    // openssl reads each file in that form as the token's certificate.
    void exportFormats_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("filter");  // the filter chosen, by the form it names
        QTest::addColumn<QString>("form");    // what openssl reads it as
        QTest::newRow(".pem, DER filter") << "signer.pem" << "DER" << "PEM";
        QTest::newRow(".PEM") << "signer.PEM" << "DER" << "PEM";
        QTest::newRow(".pem, PEM filter") << "signer.pem" << "PEM" << "PEM";
        QTest::newRow("no suffix, PEM filter") << "signer" << "PEM" << "PEM";
        QTest::newRow("no suffix, DER filter") << "signer" << "DER" << "DER";
        QTest::newRow(".cer, PEM filter") << "signer.cer" << "PEM" << "DER";
        QTest::newRow(".der") << "signer.der" << "DER" << "DER";
        QTest::newRow(".crt") << "signer.crt" << "PEM" << "DER";
    }

    void exportFormats()
    {
        QFETCH(QString, name);
        QFETCH(QString, filter);
        QFETCH(QString, form);
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, "Certificate(Signer)", "Export"));
        const std::vector<Bytes> values = Certificates(window, kSoft, "Export");
        QCOMPARE(values.size(), size_t(1));
        const std::string dir = fixture::ScratchDir(std::string("formats-") + QTest::currentDataTag());
        const std::string target = dir + "/" + name.toStdString();
        QString text;
        QStringList offered;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            QFileDialog* dialog = qobject_cast<QFileDialog*>(w);
            offered = dialog->nameFilters();
            for (const QString& f : offered)
                if (f.contains(", " + filter + " "))
                    dialog->selectNameFilter(f);
            AnswerFileDialog(w, QString::fromStdString(target));
        }, "QFileDialog");
        driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionCertExport")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(text, QStringLiteral("The certificate was successfully saved."));
        const Bytes written = Read(target);
        QCOMPARE(!written.empty() && written[0] == '-', form == "PEM");
        const std::string converted = dir + "/converted.der";
        QVERIFY(fixture::RunOrReport("openssl x509 -inform " + form.toStdString() + " -in " + fixture::Quote(target) +
                                     " -outform DER -out " + fixture::Quote(converted)));
        QCOMPARE(Read(converted), values[0]);
        QCOMPARE(offered, QStringList({"Digital Certificates, DER (*.cer *.crt *.der)",
                                       "Digital Certificates, PEM (*.pem)"}));
    }

    // What takes no file (a full device, a FIFO) is refused with a message, never reported as
    // saved, and stays what it was.
    void exportToWhatIsNoFile_data()
    {
        QTest::addColumn<QString>("target");
        QTest::newRow("/dev/full") << "/dev/full";
        QTest::newRow("FIFO") << QString::fromStdString(g_files.fifo);
    }

    void exportToWhatIsNoFile()
    {
        QFETCH(QString, target);
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, "Certificate(Signer)", "Export"));
        QString text;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { AnswerFileDialog(w, target); }, "QFileDialog");
        driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionCertExport")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(text, QStringLiteral("The specified file is not a regular file."));
        struct stat info;
        QVERIFY(lstat(QFile::encodeName(target).constData(), &info) == 0);
        QVERIFY(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode));
    }

    void exportIntoAReadOnlyFolder_data()
    {
        QTest::addColumn<bool>("fileLocked");
        QTest::addColumn<int>("sizeLimit");  // bytes a file may grow to; 0: no limit
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("replaced");
        QTest::newRow("writable file: written in place") << false << 0 << "The certificate was successfully saved."
                                                         << true;
        QTest::newRow("file locked too") << true << 0 << "Unable to open the specified file." << false;
        QTest::newRow("write stops half way") << false << 100 << "Unable to write the specified file." << false;
    }

    // A folder that takes no new file: an existing file there that may be written is written in
    // place; otherwise, or when that write stops half way, the failure is reported and the file
    // keeps what it held.
    void exportIntoAReadOnlyFolder()
    {
        QFETCH(bool, fileLocked);
        QFETCH(int, sizeLimit);
        QFETCH(QString, box);
        QFETCH(bool, replaced);
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, "Certificate(Signer)", "Export"));
        const std::string dir = fixture::ScratchDir(std::string("readonly-") + QTest::currentDataTag());
        const std::string target = dir + "/precious.cer";
        fixture::WriteText(target, "precious contents");
        QString text;
        {
            CReadOnlyFolder readOnly(dir);
            QVERIFY2(readOnly.IsOk(), readOnly.Problem());
            std::unique_ptr<CReadOnlyFolder> lockedFile(fileLocked ? new CReadOnlyFolder(target) : nullptr);
            QVERIFY2(!lockedFile || lockedFile->IsOk(), lockedFile ? lockedFile->Problem() : "");
            fixture::ModalDriver driver;
            driver.RejectUnexpected();
            driver.Expect([&](QWidget* w) {
                AnswerFileDialog(w, QString::fromStdString(target));
            }, "QFileDialog");
            driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
            {
                fixture::FileSizeLimit limit(sizeLimit);
                Action(window, "actionCertExport")->trigger();
            }
            QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        }
        QCOMPARE(text, box);
        if (replaced)
            QCOMPARE(Read(target), Read(g_files.signer));
        else
            QCOMPARE(fixture::ReadText(target), std::string("precious contents"));
        QCOMPARE(QDir(QString::fromStdString(dir)).entryList(QDir::Files), QStringList{"precious.cer"});
    }

    // The view is a dialog of the window that blocks it, with the certificate's rows.
    void viewBelongsToTheWindow()
    {
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, "Certificate(Signer)", "Export"));
        QWidget* parent = nullptr;
        bool modal = false;
        QStringList labels;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) {
            parent = w->parentWidget();
            modal = w->isModal() && w->windowModality() != Qt::NonModal;
            QTreeWidget* list = w->findChild<QTreeWidget*>("treeWidget");
            for (int i = 0; i < list->topLevelItemCount(); ++i)
                labels << list->topLevelItem(i)->text(0);
            fixture::ModalDriver::Click(w, "Close");
        }, "CertViewDialog");
        Action(window, "actionCertView")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(parent, static_cast<QWidget*>(&window));
        QVERIFY(modal);
        QCOMPARE(labels, QStringList({"Version", "Serial No", "Issuer", "Valid from", "Valid to", "Subject"}));
    }

    void deleteWithWarnings_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("row");
        QTest::addColumn<QString>("warning");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QStringList>("after");
        const QString certWarning = QStringLiteral(
            "You are trying to delete certificate that has corresponding key(s).\nIf you do so, you will not be able "
            "to decrypt data encrypted with it.\nAre you sure you want to continue?");
        const QString keyWarning = QStringLiteral(
            "You are trying to delete key that has corresponding certificate.\nIf you do so, you will not be able to "
            "decrypt data encrypted with it.\nAre you sure you want to continue?");
        const QString pairWarning = QStringLiteral(
            "You are trying to delete key from key-pair.\nIf you do so, you will not be able to use this key-pair.\n"
            "Are you sure you want to continue?");
        QTest::newRow("certificate with keys") << "DelCert" << "Certificate(Signer)" << certWarning << true
                                               << QStringList({"Public key(Signer) [7]", "Private key(Signer) [8]"});
        QTest::newRow("key with a certificate")
            << "DelKey" << "Public key(Signer)" << keyWarning << true
            << QStringList({"Certificate(Signer) [5]", "  Private key(Signer) [8]"});
        // Logged out, the lone pair shows only its public key; after the login the pair is
        // whole, and the warning says so.
        QTest::newRow("key of a pair without certificate")
            << "DelLone" << "Public key(Lone)" << pairWarning << true << QStringList{"Private key(Lone) [8]"};
        QTest::newRow("answered No") << "DelNo" << "Certificate(Signer)" << certWarning << false
                                     << QStringList({"Certificate(Signer) [5]", "  Public key(Signer) [7]",
                                                     "  Private key(Signer) [8]"});
    }

    // Deleting while logged out asks for the PIN first, then decides with the whole picture.
    void deleteWithWarnings()
    {
        QFETCH(QString, token);
        QFETCH(QString, row);
        QFETCH(QString, warning);
        QFETCH(bool, yes);
        QFETCH(QStringList, after);
        const std::string label = token.toStdString();
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kSoft, row, label.c_str()));
        QString asked;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { AnswerLogin(w, kUserPin); }, "LoginDialog");
        driver.Expect([&](QWidget* w) { asked = AnswerBox(w, yes ? QMessageBox::Yes : QMessageBox::No); },
                      "QMessageBox");
        Action(window, "actionDelete")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QCOMPARE(asked, warning);
        QCOMPARE(TokenRows(window, kSoft, label.c_str()), after);
        QVERIFY(TokenOf(window, kSoft, label.c_str())->IsLoggedIn());
        QVERIFY(!window.GetErrorSink().GetMessage());
    }

    // The object goes while the PIN is asked for: after the re-read it is not found, and that
    // is reported instead of deleting through a pointer of the old read.
    void objectGoneDuringLoginIsReported()
    {
        const CK_OBJECT_HANDLE handle = AddVanishingPair(*m_tm, 1, 0x61);
        MainWindow window;
        window.show();
        QVERIFY(Select(window, kModule, "Public key(Vanishing)", "Test token"));
        CPKCS11Token* token = TokenOf(window, kModule, "Test token");
        QCOMPARE(RunWhileObjectGoes(window, "actionDelete", token, handle, kUserPin),
                 QStringLiteral("The object is no longer on the token."));
        QCOMPARE(m_tm->call_count("C_DestroyObject"), 1);  // the test's own
        QCOMPARE(TokenRows(window, kModule, "Test token"), QStringList{"Private key(Vanishing) [8]"});
    }

    // A refused deletion is reported with the module's explanation.
    void refusedDeletionIsReported()
    {
        AddTestKey(*m_tm, 1, CKO_PUBLIC_KEY, 0x62, "Kept");
        MainWindow window;
        window.show();
        QVERIFY(TokenOf(window, kModule, "Test token")->Login(kUserPin, NormalUser));
        window.RefreshTokenRow(TokenOf(window, kModule, "Test token"));
        QVERIFY(Select(window, kModule, "Public key(Kept)", "Test token"));
        m_tm->fail("C_DestroyObject", CKR_ACTION_PROHIBITED, 0, -1);
        QString text;
        fixture::ModalDriver driver;
        driver.RejectUnexpected();
        driver.Expect([&](QWidget* w) { text = AnswerBox(w); }, "QMessageBox");
        Action(window, "actionDelete")->trigger();
        QVERIFY2(AllAnswered(driver), qPrintable(Problems(driver)));
        QVERIFY2(text.startsWith("Unable to delete object."), qPrintable(text));
        QCOMPARE(TokenRows(window, kModule, "Test token"), QStringList{"Public key(Kept) [7]"});
    }
};

QTEST_MAIN(CertificatesTest)
#include "test_certificates.moc"
