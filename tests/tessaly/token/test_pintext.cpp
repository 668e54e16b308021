// PIN text: which characters the 8-bit conversion carries, the bytes a PIN becomes, and the
// owned copies that are moved and cleared.
#include <QtTest>

#include <utility>

#include "PinText.h"

class PinTextTest : public QObject
{
    Q_OBJECT
private slots:
    void conversion_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("carried");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QString() << true << QByteArray();
        QTest::newRow("digits") << "0123456789" << true << QByteArray("0123456789");
        QTest::newRow("blanks kept") << " a b " << true << QByteArray(" a b ");
        QTest::newRow("Latin-1 letters") << QString::fromUtf8("\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F") << true
                                         << QByteArray("\xE4\xF6\xFC\xDF");
        QTest::newRow("U+00FF, the last") << QString(QChar(0xFF)) << true << QByteArray("\xFF");
        QTest::newRow("U+0080 control") << QString(QChar(0x80)) << true << QByteArray("\x80");
        QTest::newRow("U+0100, the first refused") << QString(QChar(0x100)) << false << QByteArray();
        QTest::newRow("Cyrillic") << QString::fromUtf8("\xD0\xBF\xD0\xB8\xD0\xBD") << false << QByteArray();
        QTest::newRow("euro sign among digits") << QString::fromUtf8("1\xE2\x82\xAC" "2") << false << QByteArray();
        QTest::newRow("outside the BMP") << QString::fromUtf8("\xF0\x9F\x98\x80") << false << QByteArray();
        QTest::newRow("question mark is a character") << "?" << true << QByteArray("?");
    }

    // A text that cannot be carried becomes no PIN at all, never one with "?" in it.
    void conversion()
    {
        QFETCH(QString, text);
        QFETCH(bool, carried);
        QFETCH(QByteArray, bytes);
        QCOMPARE(tessaly::IsPinTextCarriable(text), carried);
        tessaly::CPinBytes pin(text);
        QCOMPARE(QByteArray(pin.Get(), int(pin.Size())), bytes);
        QCOMPARE(pin.Get()[pin.Size()], '\0');
        QCOMPARE(pin.IsEmpty(), bytes.isEmpty());
    }

    // Moves hand the bytes over and leave an empty PIN; Clear empties; Get is never null.
    void ownership()
    {
        tessaly::CPinBytes a(QStringLiteral("1234"));
        tessaly::CPinBytes b(std::move(a));
        QCOMPARE(QByteArray(b.Get()), QByteArray("1234"));
        QVERIFY(a.Get());
        QCOMPARE(a.Size(), size_t(0));
        tessaly::CPinBytes c(QStringLiteral("99"));
        c = std::move(b);
        QCOMPARE(QByteArray(c.Get()), QByteArray("1234"));
        c.Clear();
        QVERIFY(c.IsEmpty());
        QCOMPARE(QByteArray(c.Get()), QByteArray());
        tessaly::CPinBytes none;
        QVERIFY(none.Get());
        QCOMPARE(none.Size(), size_t(0));
    }
};

QTEST_MAIN(PinTextTest)
#include "test_pintext.moc"
