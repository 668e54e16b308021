// The window on p11-kit's trust module over the machine's own CA store: a write-protected token
// that refuses read-write sessions. Every certificate pkcs11-tool lists is in the tree, no box
// comes up, and nothing that would write to it, nor a login or a certificate test, is offered.
#include <QRegularExpression>
#include <QtTest>
#include <dlfcn.h>
#include <pkcs11.h>
#include <unistd.h>

#include "Fixture.h"
#include "MemoryLogger.h"
#include "ModalDriver.h"
#include "WindowSupport.h"

namespace {
const char* const kProvider = "System trust";

std::string TrustModulePath()
{
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so", "/usr/lib/pkcs11/p11-kit-trust.so"})
        if (access(path, R_OK) == 0)
            return path;
    return std::string();
}

// The certificates pkcs11-tool lists on the token with this label, from another process.
int ListedCertificates(const QString& label)
{
    std::string out;
    if (fixture::Run("pkcs11-tool --module " + fixture::Quote(TrustModulePath()) + " --token-label " +
                         fixture::Quote(label.toStdString()) + " --list-objects --type cert",
                     &out) != 0)
        return -1;
    int n = 0;
    for (size_t at = out.find("Certificate Object"); at != std::string::npos;
         at = out.find("Certificate Object", at + 1))
        ++n;
    return n;
}

int CertificateRows(const QTreeWidgetItem* row)
{
    int n = row->text(0).startsWith(QLatin1String("Certificate(")) ? 1 : 0;
    for (int i = 0; i < row->childCount(); ++i)
        n += CertificateRows(row->child(i));
    return n;
}
} // namespace

class TrustTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (TrustModulePath().empty())
            QSKIP("p11-kit's trust module is not installed (package p11-kit-modules)");
    }

    void init()
    {
        const QString home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        WriteProviderSettings(home, {{kProvider, QString::fromStdString(TrustModulePath()), false}});
    }

    void everyCertificateShownReadOnly()
    {
        if (access("/etc/ssl/certs/ca-certificates.crt", R_OK) != 0)
            QSKIP("no system CA store (package ca-certificates)");
        MainWindow window;
        MemoryLogger logger(0xFF);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.show();
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        QCOMPARE(logger.Count(), size_t(0));

        CProviderTreeWidget* tree = ShowProvider(window, kProvider);
        QVERIFY(tree);
        int tokens = 0;
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* slotRow = tree->topLevelItem(i);
            for (int j = 0; j < slotRow->childCount(); ++j) {
                QTreeWidgetItem* tokenRow = slotRow->child(j);
                const QString label = tokenRow->text(0);
                const int listed = ListedCertificates(label);
                QVERIFY2(listed > 0, qPrintable(label));
                QCOMPARE(CertificateRows(tokenRow), listed);
                ++tokens;

                // Nobody logs in to it: no login, and no test of a certificate without a private key.
                SelectRow(tree, tokenRow);
                for (const char* name : {"actionLogin", "actionLogout", "actionCertImport", "actionInitialize",
                                         "actionChangePIN", "actionUnblockPIN", "actionTestToken",
                                         "actionRequestCertificate", "actionDownloadCertificate"})
                    QVERIFY2(!Action(window, name)->isVisible(), name);
                SelectRow(tree, tokenRow->child(0));
                QVERIFY(Action(window, "actionCertView")->isVisible());
                QVERIFY(Action(window, "actionCertExport")->isVisible());
                QVERIFY(!Action(window, "actionDelete")->isVisible());
                QVERIFY(!Action(window, "actionTestCertificate")->isVisible());
            }
        }
        QVERIFY(tokens > 0);
    }

    // A store of the test's own: a root, the same root issued again with its key (so the same
    // CKA_ID), and another root. The module reads the store named by its "paths" argument; that
    // initialisation stays in force while the window loads the same module.
    void rootsSharingAKeyAreEachShown()
    {
        const std::string dir = fixture::ScratchDir("trust-store");
        const std::string ca = "basicConstraints=critical,CA:TRUE\nsubjectKeyIdentifier=hash";
        const fixture::KeyFiles key = fixture::MakeKey(dir, "root", "rsa:1024");
        const fixture::KeyFiles other = fixture::MakeKey(dir, "other", "rsa:1024");
        std::string bundle;
        // A named array: GCC 14 takes pairs made in the loop's head for dangling references.
        const std::pair<const char*, const fixture::KeyFiles*> roots[] = {
            {"first", &key}, {"again", &key}, {"other", &other}};
        for (const auto& c : roots) {
            const std::string der = fixture::MakeSelfSigned(dir, c.first, *c.second,
                                                            std::string("/CN=Tessaly Root ") + c.first, 365, ca);
            bundle += fixture::ReadText(der.substr(0, der.size() - 4) + ".pem");
        }
        const std::string path = dir + "/bundle.pem";
        fixture::WriteText(path, bundle);

        void* module = dlopen(TrustModulePath().c_str(), RTLD_NOW);
        QVERIFY2(module, dlerror());
        auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR functions = nullptr;
        QVERIFY(getFunctionList && getFunctionList(&functions) == CKR_OK);
        std::string reserved = "paths=" + path;
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = &reserved[0];
        QCOMPARE(functions->C_Initialize(&args), CKR_OK);
        {
            MainWindow window;
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            window.show();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            QStringList rows = TokenRows(window, kProvider, "bundle.pem");
            rows.sort();
            QCOMPARE(rows, QStringList({"Certificate(Tessaly Root again) [4]", "Certificate(Tessaly Root first) [4]",
                                        "Certificate(Tessaly Root other) [4]"}));
        }
        functions->C_Finalize(nullptr);
        dlclose(module);
    }

    // p11-kit's module labels a certificate by its common name: a label taken from a name. A
    // value with a line break posing as another attribute (the name's one common name is
    // "Evil"), a common name with a line break and one with a right-to-left override: every row
    // and every pane line shows one attribute, on one line, with nothing reordered.
    void namesPosingAsOtherAttributesAreShownEscaped()
    {
        const std::string dir = fixture::ScratchDir("trust-spoof");
        const fixture::KeyFiles key = fixture::MakeKey(dir, "spoof", "rsa:1024");
        const std::string ca = "basicConstraints=critical,CA:TRUE\nsubjectKeyIdentifier=hash";
        const char* const subjects[] = {"/CN=Evil/O=x\nCN=Trusted Bank", "/O=Org/CN=Trusted\nBank",
                                        "/O=Org/CN=Bank\xE2\x80\xAE" "gpj.exe"};
        std::string bundle;
        int n = 0;
        for (const char* subject : subjects) {
            const std::string name = "spoof" + std::to_string(n++);
            const std::string der = fixture::MakeSelfSigned(dir, name, key, subject, 365, ca, "-utf8");
            bundle += fixture::ReadText(der.substr(0, der.size() - 4) + ".pem");
        }
        const std::string path = dir + "/spoof.pem";
        fixture::WriteText(path, bundle);

        void* module = dlopen(TrustModulePath().c_str(), RTLD_NOW);
        QVERIFY2(module, dlerror());
        auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(module, "C_GetFunctionList"));
        CK_FUNCTION_LIST_PTR functions = nullptr;
        QVERIFY(getFunctionList && getFunctionList(&functions) == CKR_OK);
        std::string reserved = "paths=" + path;
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = &reserved[0];
        QCOMPARE(functions->C_Initialize(&args), CKR_OK);
        {
            MainWindow window;
            fixture::ModalDriver modals;
            modals.RejectUnexpected();
            window.show();
            QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
            QStringList rows = TokenRows(window, kProvider, "spoof.pem");
            rows.sort();
            QCOMPARE(rows, QStringList({"Certificate(Bank\\u202egpj.exe) [4]", "Certificate(Evil) [4]",
                                        "Certificate(Trusted\\x0aBank) [4]"}));
            const struct {
                const char* row;
                QStringList pane;  // the name lines of the pane
            } cases[] = {
                {"Certificate(Evil)",
                 {"Subject=Evil", "Organization=x\\x0aCN=Trusted Bank", "Issuer=Evil"}},
                {"Certificate(Trusted\\x0aBank)",
                 {"Subject=Trusted\\x0aBank", "Organization=Org", "Issuer=Trusted\\x0aBank"}},
                {"Certificate(Bank\\u202egpj.exe)",
                 {"Subject=Bank\\u202egpj.exe", "Organization=Org", "Issuer=Bank\\u202egpj.exe"}},
            };
            for (const auto& c : cases) {
                CProviderTreeWidget* tree = SelectInToken(window, kProvider, "spoof.pem", c.row);
                QVERIFY2(tree, c.row);
                QCoreApplication::processEvents();
                const QStringList names =
                    PaneLines(tree).filter(QRegularExpression("^(Subject|Organization|Issuer)="));
                QCOMPARE(names, c.pane);
            }
        }
        functions->C_Finalize(nullptr);
        dlclose(module);
    }
};

QTEST_MAIN(TrustTest)
#include "test_trust.moc"
