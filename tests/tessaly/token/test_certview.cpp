// The certificate view on its own: its six rows against OpenSSL's reading of the same
// certificate (versions 1 and 3, a serial with its top bit set, names in several scripts, a
// start at the epoch), the full values behind the rows, one filling however often it shows,
// its own copy of the bytes, and values it cannot decode.
#include <QPlainTextEdit>
#include <QTreeWidget>
#include <QtTest>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <ctime>
#include <memory>
#include <vector>

#include "CertViewDialog.h"

namespace {

typedef std::vector<unsigned char> Bytes;

struct TCertFields {
    long version;            // 0 for version 1, 2 for version 3
    Bytes serial;            // big-endian magnitude
    QList<QPair<QString, QString>> subject;  // most general first, as in the certificate
    QList<QPair<QString, QString>> issuer;
    time_t notBefore;
    time_t notAfter;
};

void AddNames(X509_NAME* name, const QList<QPair<QString, QString>>& parts)
{
    for (const auto& part : parts) {
        const QByteArray value = part.second.toUtf8();
        X509_NAME_add_entry_by_txt(name, part.first.toLatin1().constData(), MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(value.constData()), value.size(), -1, 0);
    }
}

// A certificate signed by a throw-away RSA key (or an EC key, which the decoder does not
// read), DER encoded.
Bytes MakeCertificate(const TCertFields& fields, bool bEC = false)
{
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(bEC ? EVP_EC_gen("P-256") : EVP_RSA_gen(1024),
                                                             EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    X509_set_version(cert.get(), fields.version);
    BIGNUM* serial = BN_bin2bn(fields.serial.data(), int(fields.serial.size()), nullptr);
    BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert.get()));
    BN_free(serial);
    AddNames(X509_get_subject_name(cert.get()), fields.subject);
    AddNames(X509_get_issuer_name(cert.get()), fields.issuer);
    ASN1_TIME_set(X509_getm_notBefore(cert.get()), fields.notBefore);
    ASN1_TIME_set(X509_getm_notAfter(cert.get()), fields.notAfter);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    unsigned char* der = nullptr;
    const int len = i2d_X509(cert.get(), &der);
    Bytes out(der, der + (len > 0 ? len : 0));
    OPENSSL_free(der);
    return out;
}

// OpenSSL's reading of a certificate, in the forms the dialog shows.
struct TOpenSslReading {
    QString version, serial, issuerCN, issuer, notBefore, notAfter, subjectCN, subject;
};

QString NameText(X509_NAME* name)
{
    // Most specific first, one attribute a line, UTF-8 as it stands.
    QStringList lines;
    for (int i = X509_NAME_entry_count(name) - 1; i >= 0; --i) {
        X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        const int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
        unsigned char* utf8 = nullptr;
        const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
        lines << QString::fromLatin1(OBJ_nid2sn(nid)) + QLatin1Char('=') +
                     QString::fromUtf8(reinterpret_cast<const char*>(utf8), len);
        OPENSSL_free(utf8);
    }
    return lines.join(QLatin1Char('\n'));
}

QString CommonName(X509_NAME* name)
{
    const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0)
        return QString();
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(utf8), len);
    OPENSSL_free(utf8);
    return text;
}

QString TimeText(const ASN1_TIME* time)
{
    struct tm parts;
    ASN1_TIME_to_tm(time, &parts);
    char text[64];
    strftime(text, sizeof text, "%d/%m/%Y %H:%M GMT", &parts);
    return QString::fromLatin1(text);
}

TOpenSslReading Read(const Bytes& der)
{
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, long(der.size())), X509_free);
    TOpenSslReading r;
    r.version = QString::number(X509_get_version(cert.get()) + 1);
    // The serial's content octets as encoded: a sign byte 00 before a top bit that is set.
    unsigned char* encoded = nullptr;
    const int len = i2d_ASN1_INTEGER(X509_get_serialNumber(cert.get()), &encoded);
    r.serial = QByteArray(reinterpret_cast<const char*>(encoded) + 2, len - 2).toHex().toUpper();
    OPENSSL_free(encoded);
    r.issuerCN = CommonName(X509_get_issuer_name(cert.get()));
    r.issuer = NameText(X509_get_issuer_name(cert.get()));
    r.subjectCN = CommonName(X509_get_subject_name(cert.get()));
    r.subject = NameText(X509_get_subject_name(cert.get()));
    r.notBefore = TimeText(X509_get0_notBefore(cert.get()));
    r.notAfter = TimeText(X509_get0_notAfter(cert.get()));
    return r;
}

QStringList RowTexts(QTreeWidget* list, int column)
{
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(column);
    return out;
}

} // namespace
Q_DECLARE_METATYPE(TCertFields)
Q_DECLARE_METATYPE(Bytes)

class CertViewTest : public QObject
{
    Q_OBJECT
private slots:
    void rowsAgainstOpenSsl_data()
    {
        QTest::addColumn<TCertFields>("fields");
        const QList<QPair<QString, QString>> ca = {{"C", "BG"}, {"O", "Tessaly Tests"}, {"CN", "Tessaly Test CA"}};
        QTest::newRow("version 3, serial with its top bit set, Cyrillic subject")
            << TCertFields{2, {0x8A, 0xF0, 0x0D, 0x01}, {{"C", "BG"}, {"O", "Tessaly"}, {"CN", QString::fromUtf8("\xD0\x98\xD0\xB2\xD0\xB0\xD0\xBD")}},
                         ca, 1700000000, 1900000000};
        QTest::newRow("version 1, serial 1, valid from the epoch")
            << TCertFields{0, {0x01}, {{"CN", "Old"}}, {{"CN", "Old"}}, 0, 86400 * 366};
        QTest::newRow("long serial, several attributes, Latin-1 and Greek")
            << TCertFields{2, Bytes(20, 0x7F), {{"C", "DE"}, {"L", QString::fromUtf8("M\xC3\xBCnchen")}, {"O", "Beispiel"},
                                              {"OU", QString::fromUtf8("\xCE\x91\xCE\xB2")}, {"CN", "Muster"}},
                         ca, 946684800, 4102444799};
    }

    void rowsAgainstOpenSsl()
    {
        QFETCH(TCertFields, fields);
        const Bytes der = MakeCertificate(fields);
        QVERIFY(!der.empty());
        const TOpenSslReading expected = Read(der);

        CertViewDialog dialog(_CPBLOB{const_cast<unsigned char*>(der.data()), uint32_t(der.size())}, nullptr);
        dialog.show();
        QTreeWidget* list = dialog.findChild<QTreeWidget*>("treeWidget");
        QCOMPARE(RowTexts(list, 0),
                 QStringList({"Version", "Serial No", "Issuer", "Valid from", "Valid to", "Subject"}));
        QCOMPARE(RowTexts(list, 1), QStringList({expected.version, expected.serial, expected.issuerCN,
                                                 expected.notBefore, expected.notAfter, expected.subjectCN}));
        QCOMPARE(dialog.GetFullValue(list->topLevelItem(2)), expected.issuer);
        QCOMPARE(dialog.GetFullValue(list->topLevelItem(5)), expected.subject);
        QCOMPARE(dialog.GetFullValue(list->topLevelItem(1)), expected.serial);
    }

    // Pressing a row puts its full value below; nothing is there before.
    // A NUL inside a common name (the null-prefix spoof, www.bank.com\0.badguy.com) is shown,
    // never cut at.
    void nulInsideANameIsShownVisibly()
    {
        const QString bank = QString::fromUtf8("www.bank.com\0.badguy.com", 24);
        const Bytes der = MakeCertificate({2, {0x09}, {{"O", "Bank"}, {"CN", bank}}, {{"CN", bank}}, 0, 1000});
        CertViewDialog dialog(_CPBLOB{const_cast<unsigned char*>(der.data()), uint32_t(der.size())}, nullptr);
        dialog.show();
        QTreeWidget* list = dialog.findChild<QTreeWidget*>("treeWidget");
        const QString shown = QStringLiteral("www.bank.com\\x00.badguy.com");
        QCOMPARE(list->topLevelItem(2)->text(1), shown);
        QCOMPARE(list->topLevelItem(5)->text(1), shown);
        QCOMPARE(dialog.GetFullValue(list->topLevelItem(2)), QStringLiteral("CN=") + shown);
        QCOMPARE(dialog.GetFullValue(list->topLevelItem(5)), QStringLiteral("CN=") + shown + QStringLiteral("\nO=Bank"));
    }

    // A value with a line break that poses as another attribute (the name's one common name is
    // "Evil"), and values with a line separator or a right-to-left override: the simple names are
    // the name's own, each line of the full name is one attribute, and nothing is reordered.
    void valuesPosingAsOtherAttributesAreShownEscaped_data()
    {
        QTest::addColumn<TCertFields>("fields");
        QTest::addColumn<QString>("simple");
        QTest::addColumn<QString>("full");
        QTest::newRow("organisation posing as a common name")
            << TCertFields{2, {0x0A}, {{"CN", "Evil"}, {"O", "x\nCN=Trusted Bank"}}, {{"CN", "Evil"}, {"O", "x\nCN=Trusted Bank"}}, 0, 1000}
            << "Evil" << "O=x\\x0aCN=Trusted Bank\nCN=Evil";
        QTest::newRow("line separator in the common name")
            << TCertFields{2, {0x0B}, {{"O", "Org"}, {"CN", QString::fromUtf8("Evil\xE2\x80\xA8" "CN=Bank")}},
                           {{"O", "Org"}, {"CN", QString::fromUtf8("Evil\xE2\x80\xA8" "CN=Bank")}}, 0, 1000}
            << "Evil\\u2028CN=Bank" << "CN=Evil\\u2028CN=Bank\nO=Org";
        QTest::newRow("right-to-left override")
            << TCertFields{2, {0x0C}, {{"O", "Org"}, {"CN", QString::fromUtf8("Bank\xE2\x80\xAE" "gpj.exe")}},
                           {{"O", "Org"}, {"CN", QString::fromUtf8("Bank\xE2\x80\xAE" "gpj.exe")}}, 0, 1000}
            << "Bank\\u202egpj.exe" << "CN=Bank\\u202egpj.exe\nO=Org";
    }

    void valuesPosingAsOtherAttributesAreShownEscaped()
    {
        QFETCH(TCertFields, fields);
        QFETCH(QString, simple);
        QFETCH(QString, full);
        const Bytes der = MakeCertificate(fields);
        QVERIFY(!der.empty());
        CertViewDialog dialog(_CPBLOB{const_cast<unsigned char*>(der.data()), uint32_t(der.size())}, nullptr);
        dialog.show();
        QTreeWidget* list = dialog.findChild<QTreeWidget*>("treeWidget");
        for (int row : {2, 5}) {
            QCOMPARE(list->topLevelItem(row)->text(1), simple);
            QCOMPARE(dialog.GetFullValue(list->topLevelItem(row)), full);
        }
    }

    void pressedRowShowsItsFullValue()
    {
        const Bytes der = MakeCertificate({2, {0x05}, {{"O", "Org"}, {"CN", "Pressed"}}, {{"CN", "Issuer"}}, 0, 1000});
        CertViewDialog dialog(_CPBLOB{const_cast<unsigned char*>(der.data()), uint32_t(der.size())}, nullptr);
        dialog.show();
        QTreeWidget* list = dialog.findChild<QTreeWidget*>("treeWidget");
        QPlainTextEdit* text = dialog.findChild<QPlainTextEdit*>("plainTextEdit");
        QVERIFY(text->isReadOnly());
        QVERIFY(text->toPlainText().isEmpty());
        QCOMPARE(list->topLevelItem(3)->text(1), QStringLiteral("01/01/1970 00:00 GMT"));
        const QRect version = list->visualItemRect(list->topLevelItem(0));
        QTest::mousePress(list->viewport(), Qt::LeftButton, Qt::NoModifier, version.center());
        QCOMPARE(text->toPlainText(), QStringLiteral("3"));
        const QRect subject = list->visualItemRect(list->topLevelItem(5));
        QTest::mousePress(list->viewport(), Qt::LeftButton, Qt::NoModifier, subject.center());
        QCOMPARE(text->toPlainText(), QStringLiteral("CN=Pressed\nO=Org"));
    }

    // The rows are filled once, however often the dialog shows; the dialog reads its own copy,
    // so the caller's buffer may change or go after construction.
    void filledOnceFromItsOwnCopy()
    {
        Bytes der = MakeCertificate({2, {0x42}, {{"CN", "Copy"}}, {{"CN", "Copy"}}, 0, 1000});
        CertViewDialog dialog(_CPBLOB{der.data(), uint32_t(der.size())}, nullptr);
        std::fill(der.begin(), der.end(), 0);
        der.clear();
        der.shrink_to_fit();
        QTreeWidget* list = dialog.findChild<QTreeWidget*>("treeWidget");
        for (int round = 0; round < 3; ++round) {
            dialog.show();
            QCOMPARE(list->topLevelItemCount(), 6);
            dialog.hide();
        }
        QCOMPARE(list->topLevelItem(5)->text(1), QStringLiteral("Copy"));
    }

    // An EC certificate shows as any other, its key named in a last row.
    void ecCertificateShowsItsKey()
    {
        Bytes der = MakeCertificate({2, {0x07}, {{"CN", "EC"}}, {{"CN", "EC Issuer"}}, 0, 1000}, true);
        CertViewDialog dialog(_CPBLOB{der.data(), uint32_t(der.size())}, nullptr);
        dialog.show();
        QTreeWidget* list = dialog.findChild<QTreeWidget*>("treeWidget");
        QCOMPARE(RowTexts(list, 0), QStringList({"Version", "Serial No", "Issuer", "Valid from", "Valid to", "Subject",
                                                 "Public key"}));
        QCOMPARE(RowTexts(list, 1), QStringList({"3", "07", "EC Issuer", "01/01/1970 00:00 GMT",
                                                 "01/01/1970 00:16 GMT", "EC", "EC P-256"}));
    }

    // A value that cannot be decoded (no certificate at all, nothing) says so in the words of
    // the information pane, in the list and below it.
    void undecodableValueSaysSo_data()
    {
        QTest::addColumn<Bytes>("value");
        QTest::newRow("no certificate") << Bytes{0x30, 0x03, 0x02, 0x01, 0x01};
        QTest::newRow("nothing") << Bytes();
    }

    void undecodableValueSaysSo()
    {
        QFETCH(Bytes, value);
        CertViewDialog dialog(_CPBLOB{value.empty() ? nullptr : value.data(), uint32_t(value.size())}, nullptr);
        dialog.show();
        const QString text = QStringLiteral("The certificate can not be decoded.");
        QCOMPARE(RowTexts(dialog.findChild<QTreeWidget*>("treeWidget"), 0), QStringList{text});
        QCOMPARE(dialog.findChild<QPlainTextEdit*>("plainTextEdit")->toPlainText(), text);
    }
};

QTEST_MAIN(CertViewTest)
#include "test_certview.moc"
