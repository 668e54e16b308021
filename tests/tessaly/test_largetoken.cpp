// A token of a few thousand objects in the scripted test module: the tree shows the
// rows of the token view's rules (certificates with the keys of their ID, then the
// keys without a certificate, a public key followed by its private key), with their
// icons, at start-up and after login and logout, and every row maps to its object.
#include <QtTest>

#include <string>
#include <vector>

#include "Fixture.h"
#include "ModalDriver.h"
#include "PKCS11Object.h"
#include "PKCS11Token.h"
#include "TestModuleControl.h"
#include "WindowSupport.h"

namespace {
const char* const kModule = "Test Module";
const char* const kToken = "Test token";
const int kGroups = 1800;

// What group i of the token holds, by i % 6.
enum TKind {
    CertWithKeys,      // certificate, public and private key
    CertOnly,          // certificate without keys
    KeyPair,           // public and private key, no certificate
    PrivateOnly,       // private key alone
    BrokenWithPrivate, // a value that is no certificate, and a private key
    PublicOnly         // public key alone
};

TKind KindOf(int i)
{
    return TKind(i % 6);
}

std::string IdOf(int i)
{
    std::string id = {char(i >> 8), char(i & 0xFF)};
    // Some IDs are longer: they still sort by their first bytes.
    if (i % 13 == 0)
        id += '\0';
    return id;
}

bool HasLabel(int i)
{
    return i % 7 != 3;
}

QString LabelOf(int i)
{
    if (!HasLabel(i))
        return QStringLiteral("(no label)");
    // Now and then a label longer than a label usually is.
    return i % 97 == 5 ? QString(300, QLatin1Char('L')) + QString::number(i) : QStringLiteral("Object %1").arg(i);
}

// A second certificate of the same ID, found after the first: both are listed.
bool HasDuplicate(int i)
{
    return KindOf(i) == CertOnly && i % 50 == 7;
}

class CObjects
{
public:
    explicit CObjects(testmodule::Control& tm) : m_tm(tm) {}

    void Certificate(const std::string& id, const QString& label, bool hasLabel, const std::string& value)
    {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        Add(cls, id, label, hasLabel, {{CKA_CERTIFICATE_TYPE, Bytes(&type, sizeof type)}, {CKA_VALUE, value}});
    }
    void Key(CK_OBJECT_CLASS cls, const std::string& id, const QString& label, bool hasLabel)
    {
        CK_KEY_TYPE rsa = CKK_RSA;
        CK_BBOOL yes = CK_TRUE;
        CK_ULONG bits = 1024;
        std::vector<std::pair<CK_ATTRIBUTE_TYPE, std::string>> extra = {{CKA_KEY_TYPE, Bytes(&rsa, sizeof rsa)}};
        const CK_ATTRIBUTE_TYPE uses[] = {CKA_ENCRYPT, CKA_VERIFY, CKA_VERIFY_RECOVER, CKA_WRAP};
        const CK_ATTRIBUTE_TYPE privateUses[] = {CKA_DECRYPT, CKA_SIGN, CKA_UNWRAP, CKA_PRIVATE};
        if (cls == CKO_PUBLIC_KEY) {
            for (CK_ATTRIBUTE_TYPE t : uses)
                extra.push_back({t, Bytes(&yes, sizeof yes)});
            extra.push_back({CKA_MODULUS_BITS, Bytes(&bits, sizeof bits)});
        } else {
            for (CK_ATTRIBUTE_TYPE t : privateUses)
                extra.push_back({t, Bytes(&yes, sizeof yes)});
        }
        Add(cls, id, label, hasLabel, extra);
    }

private:
    static std::string Bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

    void Add(CK_OBJECT_CLASS cls, const std::string& id, const QString& label, bool hasLabel,
             const std::vector<std::pair<CK_ATTRIBUTE_TYPE, std::string>>& extra)
    {
        const QByteArray labelBytes = label.toUtf8();
        std::vector<CK_ATTRIBUTE> t = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, (void*)id.data(), CK_ULONG(id.size())}};
        if (hasLabel)
            t.push_back({CKA_LABEL, (void*)labelBytes.data(), CK_ULONG(labelBytes.size())});
        for (const auto& e : extra)
            t.push_back({e.first, (void*)e.second.data(), CK_ULONG(e.second.size())});
        QVERIFY(m_tm.add_object(1, t.data(), CK_ULONG(t.size())));
    }

    testmodule::Control& m_tm;
};

// The rows below the token row by the token view's rules, for the groups above.
QStringList ExpectedRows(bool loggedIn)
{
    const auto row = [](int depth, const QString& format, const QString& label, int icon) {
        return QString(depth * 2, QLatin1Char(' ')) + format.arg(label) + QStringLiteral(" [%1]").arg(icon);
    };
    const QString cert = QStringLiteral("Certificate(%1)"), pub = QStringLiteral("Public key(%1)"),
                  priv = QStringLiteral("Private key(%1)");
    QStringList rows;
    // The certificate with the empty ID comes first.
    rows << row(0, cert, QStringLiteral("Empty ID"), 4);
    for (int i = 0; i < kGroups; ++i) {
        const QString label = LabelOf(i);
        switch (KindOf(i)) {
        case CertWithKeys:
            rows << row(0, cert, label, 5) << row(1, pub, label, 7);
            if (loggedIn)
                rows << row(1, priv, label, 8);
            break;
        case CertOnly:
            // A second certificate of the same ID follows the first: each is listed.
            rows << row(0, cert, label, 4);
            if (HasDuplicate(i))
                rows << row(0, cert, label + QStringLiteral(" again"), 4);
            break;
        case BrokenWithPrivate:
            rows << row(0, cert, label, 6);
            if (loggedIn)
                rows << row(1, priv, label, 8);
            break;
        default:
            break;
        }
    }
    // Public keys without a certificate, each followed by its private key.
    for (int i = 0; i < kGroups; ++i) {
        if (KindOf(i) == KeyPair) {
            rows << row(0, pub, LabelOf(i), 7);
            if (loggedIn)
                rows << row(0, priv, LabelOf(i), 8);
        } else if (KindOf(i) == PublicOnly) {
            rows << row(0, pub, LabelOf(i), 7);
        }
    }
    // Then the private keys that neither a certificate nor a public key took.
    if (loggedIn)
        for (int i = 0; i < kGroups; ++i)
            if (KindOf(i) == PrivateOnly)
                rows << row(0, priv, LabelOf(i), 8);
    return rows;
}

int CountRows(const QTreeWidgetItem* row)
{
    int n = 1;
    for (int i = 0; i < row->childCount(); ++i)
        n += CountRows(row->child(i));
    return n;
}

int CountRows(const QTreeWidget* tree)
{
    int n = 0;
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        n += CountRows(tree->topLevelItem(i));
    return n;
}

// The first line where two dumps differ, for a readable failure.
QString FirstDifference(const QStringList& actual, const QStringList& expected)
{
    for (int i = 0; i < std::min(actual.size(), expected.size()); ++i)
        if (actual[i] != expected[i])
            return QStringLiteral("row %1: '%2', expected '%3'").arg(i).arg(actual[i], expected[i]);
    return QStringLiteral("%1 rows, expected %2").arg(actual.size()).arg(expected.size());
}
} // namespace

class LargeTokenTest : public QObject
{
    Q_OBJECT
private:
    std::vector<std::string> m_certificates;  // DER values

private slots:
    void initTestCase()
    {
        const std::string dir = fixture::ScratchDir("certs");
        for (const char* name : {"a", "b"}) {
            const fixture::KeyFiles key = fixture::MakeKey(dir, name, "rsa:1024");
            const std::vector<unsigned char> der =
                fixture::ReadBytes(fixture::MakeSelfSigned(dir, name, key, std::string("/CN=Holder ") + name));
            QVERIFY(!der.empty());
            m_certificates.emplace_back(der.begin(), der.end());
        }
    }

    void rowsOfALargeTokenAtStartUpAndAfterLoginAndLogout()
    {
        const QString home = FreshHome(QStringLiteral("largetoken"));
        testmodule::Control tm;
        tm.add_slot(1, "Reader", "Tessaly");
        tm.insert_token(1, nullptr, "12345678", "1234", 0);
        CObjects objects(tm);
        objects.Certificate(std::string(), QStringLiteral("Empty ID"), true, m_certificates[0]);
        for (int i = 0; i < kGroups; ++i) {
            const std::string id = IdOf(i);
            const QString label = LabelOf(i);
            const bool hasLabel = HasLabel(i);
            const std::string& der = m_certificates[i % 2];
            switch (KindOf(i)) {
            case CertWithKeys:
                objects.Key(CKO_PRIVATE_KEY, id, label, hasLabel);
                objects.Certificate(id, label, hasLabel, der);
                objects.Key(CKO_PUBLIC_KEY, id, label, hasLabel);
                break;
            case CertOnly:
                objects.Certificate(id, label, hasLabel, der);
                if (HasDuplicate(i))
                    objects.Certificate(id, label + QStringLiteral(" again"), true, m_certificates[(i + 1) % 2]);
                break;
            case KeyPair:
                objects.Key(CKO_PUBLIC_KEY, id, label, hasLabel);
                objects.Key(CKO_PRIVATE_KEY, id, label, hasLabel);
                break;
            case PrivateOnly:
                objects.Key(CKO_PRIVATE_KEY, id, label, hasLabel);
                break;
            case BrokenWithPrivate:
                objects.Certificate(id, label, hasLabel, "not a certificate");
                objects.Key(CKO_PRIVATE_KEY, id, label, hasLabel);
                break;
            case PublicOnly:
                objects.Key(CKO_PUBLIC_KEY, id, label, hasLabel);
                break;
            }
        }
        QVERIFY2(tm.object_count(1) > 2500, qPrintable(QString::number(tm.object_count(1))));
        WriteProviderSettings(home, {{kModule, testmodule::ModulePath(), false}});

        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = TreeOf(window, kModule);
        QVERIFY(tree);
        QTreeWidgetItem* tokenRow = TokenRow(tree, kToken);
        QVERIFY(tokenRow);
        const QStringList loggedOut = ExpectedRows(false), loggedIn = ExpectedRows(true);
        QStringList rows = DumpChildren(tokenRow);
        QVERIFY2(rows == loggedOut, qPrintable(FirstDifference(rows, loggedOut)));
        QCOMPARE(tree->GetMappedCount(), CountRows(tree));

        CPKCS11Token* token = static_cast<CPKCS11Token*>(tree->GetObject(tokenRow));
        QVERIFY(token->Login("1234", NormalUser));
        window.RefreshTokenRow(token);
        rows = DumpChildren(TokenRow(tree, kToken));
        QVERIFY2(rows == loggedIn, qPrintable(FirstDifference(rows, loggedIn)));
        QCOMPARE(tree->GetMappedCount(), CountRows(tree));
        // Rows and objects belong together: each row's object is the one its text names.
        QTreeWidgetItem* first = TokenRow(tree, kToken)->child(1);
        QCOMPARE(tree->GetObject(first)->GetObjectType(), CryptokiCertificate);
        QCOMPARE(QString::fromUtf8(static_cast<CPKCS11Object*>(tree->GetObject(first))->GetLabel()), LabelOf(0));

        token->Logout();
        window.RefreshTokenRow(token);
        rows = DumpChildren(TokenRow(tree, kToken));
        QVERIFY2(rows == loggedOut, qPrintable(FirstDifference(rows, loggedOut)));
        QCOMPARE(tree->GetMappedCount(), CountRows(tree));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }
};

QTEST_MAIN(LargeTokenTest)
#include "test_largetoken.moc"
