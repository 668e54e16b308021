// The window on p11-kit's trust module over the machine's own CA store: a write-protected token
// that refuses read-write sessions. Every certificate pkcs11-tool lists is in the tree, no box
// comes up, and nothing that would write to it, nor a login or a certificate test, is offered.
#include <QRegularExpression>
#include <QtTest>
#include <dlfcn.h>
#include <pkcs11.h>
#include <unistd.h>

#include <iterator>
#include <string>
#include <vector>

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

// The certificate rows below row that did not decode (the red cross) or whose pane says so.
QStringList UndecodedRows(CProviderTreeWidget* tree, QTreeWidgetItem* row)
{
    QStringList out;
    if (row->text(0).startsWith(QLatin1String("Certificate("))) {
        SelectRow(tree, row);
        const QStringList pane = PaneLines(tree);
        if (CProviderTreeWidget::GetItemIcon(row) == 6 ||
            pane.contains(QStringLiteral("The certificate can not be decoded.=")) ||
            pane.filter(QRegularExpression(QStringLiteral("^Serial number=.+"))).isEmpty())
            out << row->text(0) + QStringLiteral(": ") + pane.join(QStringLiteral(" | "));
    }
    for (int i = 0; i < row->childCount(); ++i)
        out += UndecodedRows(tree, row->child(i));
    return out;
}

// p11-kit's trust module initialised on a store of the test's own (its "paths" argument). That
// initialisation stays in force while a window loads the same module, until the object goes.
class CTrustModuleOnStore
{
public:
    explicit CTrustModuleOnStore(const std::string& path) : m_reserved("paths=" + path)
    {
        m_module = dlopen(TrustModulePath().c_str(), RTLD_NOW);
        if (!m_module)
            return;
        auto getFunctionList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m_module, "C_GetFunctionList"));
        if (!getFunctionList || getFunctionList(&m_functions) != CKR_OK)
            return;
        CK_C_INITIALIZE_ARGS args = {};
        args.flags = CKF_OS_LOCKING_OK;
        args.pReserved = &m_reserved[0];
        m_bReady = m_functions->C_Initialize(&args) == CKR_OK;
    }
    ~CTrustModuleOnStore()
    {
        if (m_bReady)
            m_functions->C_Finalize(nullptr);
        if (m_module)
            dlclose(m_module);
    }
    bool IsReady() const { return m_bReady; }

private:
    std::string m_reserved;
    void* m_module = nullptr;
    CK_FUNCTION_LIST_PTR m_functions = nullptr;
    bool m_bReady = false;
};

// A PEM bundle of the given DER certificates (each written beside its .pem by the fixture).
std::string Bundle(const std::string& dir, const std::vector<std::string>& derFiles)
{
    std::string bundle;
    for (const std::string& der : derFiles)
        bundle += fixture::ReadText(der.substr(0, der.size() - 4) + ".pem");
    const std::string path = dir + "/bundle.pem";
    fixture::WriteText(path, bundle);
    return path;
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
                // Every certificate the module holds is shown decoded, whatever its key.
                QCOMPARE(CertificateRows(tokenRow), listed);
                const QStringList undecoded = UndecodedRows(tree, tokenRow);
                QVERIFY2(undecoded.isEmpty(), qPrintable(undecoded.join(QStringLiteral("; "))));
                qInfo("%s: %d certificates in the module, %d shown, %d of them decoded", qPrintable(label), listed,
                      CertificateRows(tokenRow), CertificateRows(tokenRow) - int(undecoded.size()));
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

        CTrustModuleOnStore module(path);
        QVERIFY(module.IsReady());
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
    }

    // Roots of keys the program cannot sign with, in a store of the test's own: each shows
    // decoded, its pane and view with the names, dates and serial number OpenSSL reads and
    // its key named.
    void rootsOfEveryKeyAlgorithmAreShown()
    {
        const std::string dir = fixture::ScratchDir("trust-algorithms");
        const std::string ca = "basicConstraints=critical,CA:TRUE\nsubjectKeyIdentifier=hash";
        struct TRoot {
            const char* name;
            const char* alg;
            const char* key;
        } const roots[] = {
            {"p256", "ec:prime256v1", "EC P-256"}, {"p384", "ec:secp384r1", "EC P-384"},
            {"p521", "ec:secp521r1", "EC P-521"},  {"brainpool", "ec:brainpoolP256r1", "EC 1.3.36.3.3.2.8.1.1.7"},
            {"ed25519", "ed25519", "Ed25519"},    {"ed448", "ed448", "Ed448"},
            {"pss", "rsa-pss:2048", "RSA-PSS"},   {"rsa", "rsa:1024", ""},
        };
        std::vector<std::string> files;
        for (const TRoot& r : roots)
            files.push_back(fixture::MakeSelfSigned(dir, r.name, fixture::MakeKey(dir, r.name, r.alg),
                                                    std::string("/O=Tessaly/CN=Tessaly Root ") + r.name, 365, ca));
        CTrustModuleOnStore module(Bundle(dir, files));
        QVERIFY(module.IsReady());

        MainWindow window;
        MemoryLogger logger(0xFF);
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        window.show();
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
        CProviderTreeWidget* tree = ShowProvider(window, kProvider);
        QVERIFY(tree);
        QTreeWidgetItem* tokenRow = TokenRow(tree, QStringLiteral("bundle.pem"));
        QVERIFY(tokenRow);
        QCOMPARE(CertificateRows(tokenRow), int(std::size(roots)));
        const QStringList undecoded = UndecodedRows(tree, tokenRow);
        QVERIFY2(undecoded.isEmpty(), qPrintable(undecoded.join(QStringLiteral("; "))));

        for (size_t i = 0; i < std::size(roots); ++i) {
            const QString row = QStringLiteral("Certificate(Tessaly Root %1)").arg(QLatin1String(roots[i].name));
            QTreeWidgetItem* item = FindRow(tokenRow, row);
            QVERIFY2(item, qPrintable(row));
            QCOMPARE(CProviderTreeWidget::GetItemIcon(item), 4);
            SelectRow(tree, item);

            // The fields as OpenSSL reads them from the same file.
            std::string text;
            QCOMPARE(fixture::Run("openssl x509 -noout -inform DER -in " + fixture::Quote(files[i]) +
                                      " -serial -startdate -enddate -nameopt utf8,sep_multiline",
                                  &text),
                     0);
            const QString openssl = QString::fromStdString(text);
            const QString serial = openssl.section(QStringLiteral("serial="), 1).section(QLatin1Char('\n'), 0, 0);
            QStringList expected{QStringLiteral("Serial number=") + serial,
                                 QStringLiteral("Subject=Tessaly Root ") + QLatin1String(roots[i].name),
                                 QStringLiteral("Organization=Tessaly"),
                                 QStringLiteral("Issuer=Tessaly Root ") + QLatin1String(roots[i].name)};
            for (const char* which : {"notBefore=", "notAfter="}) {
                // "Dec 11 15:55:00 2026 GMT"
                const QStringList date = openssl.section(QLatin1String(which), 1)
                                             .section(QLatin1Char('\n'), 0, 0)
                                             .simplified()
                                             .split(QLatin1Char(' '));
                QCOMPARE(date.size(), 5);
                const QDate day = QLocale::c().toDate(date[0] + QLatin1Char(' ') + date[1] + QLatin1Char(' ') + date[3],
                                                      QStringLiteral("MMM d yyyy"));
                QVERIFY2(day.isValid(), qPrintable(date.join(QLatin1Char(' '))));
                expected << (QLatin1String(which) == QLatin1String("notBefore=") ? QStringLiteral("Valid from=")
                                                                                 : QStringLiteral("Valid to=")) +
                                day.toString(QStringLiteral("dd/MM/yyyy")) + QLatin1Char(' ') + date[2].left(5) +
                                QStringLiteral(" GMT");
            }
            if (*roots[i].key)
                expected << QStringLiteral("Public key=") + QLatin1String(roots[i].key);
            QCOMPARE(PaneLines(tree), expected);
        }
        QCOMPARE(logger.Count(), size_t(0));
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
