// The card initialisation dialog: default and generated PINs for the token's length limits, the
// accept checks in their order with their messages, and the label lock.
#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QStyleOptionGroupBox>
#include <QtTest>

#include "BrannickDialog.h"
#include "ModalDriver.h"
#include "ModuleQuirks.h"
#include "Resources.h"
#include "TessalyStyle.h"
#include "TranslationManager.h"

namespace {

QLineEdit* Field(BrannickDialog& dialog, const char* name)
{
    return dialog.findChild<QLineEdit*>(QLatin1String(name));
}

bool IsNumericPIN(const QString& pin, int length)
{
    if (pin.length() != length || pin.isEmpty() || pin.at(0) == QLatin1Char('0'))
        return false;
    for (QChar c : pin)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    return true;
}

// Presses OK; the box it raises, if any, is answered and its "title: text" returned.
QString PressOK(BrannickDialog& dialog)
{
    QString box;
    fixture::ModalDriver driver(3000);
    driver.Expect([&box](QWidget* w) {
        QMessageBox* b = qobject_cast<QMessageBox*>(w);
        box = b ? b->windowTitle() + QStringLiteral(": ") + b->text() : QStringLiteral("(not a box)");
        fixture::ModalDriver::Reject(w);
    });
    fixture::ModalDriver::Click(&dialog, QStringLiteral("OK"));
    return box;
}

const QString kLengthBox = QStringLiteral("Invalid PIN: The PIN length should be between %1 and %2 symbols.");
const QString kNoSOPINBox =
    QStringLiteral("Invalid PIN: The card can not be initialized without the SO-PIN.\nPlease enter it first.");
const QString kCharacterBox = QStringLiteral(
    "Invalid PIN: The PIN holds a character that the card can not take.\nPlease use Latin letters, digits and "
    "punctuation only.");
const QString kEmptyLabelBox = QStringLiteral("Invalid label: The card label can not be empty.");
const QString kLongLabelBox =
    QStringLiteral("Invalid label: The card label takes %1 bytes, but the card holds at most 32.\nA Cyrillic letter "
                   "takes two bytes.");
// 16 Cyrillic letters: 32 bytes.
const QString kCyrillic16 = QString::fromUtf8("АБВГДЕЖЗИЙКЛМНОП");

} // namespace

class BrannickDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void defaultAndGeneratedLengths_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("defaultPIN");
        QTest::addColumn<int>("soLength");
        QTest::addColumn<int>("userLength");
        QTest::newRow("4..8") << 4 << 8 << "1234" << 6 << 4;
        QTest::newRow("4..255 (SoftHSM2)") << 4 << 255 << "1234" << 6 << 4;
        QTest::newRow("maximum 4, below 6") << 4 << 4 << "1234" << 4 << 4;
        QTest::newRow("maximum 5, below 6") << 4 << 5 << "1234" << 5 << 4;
        QTest::newRow("5..9") << 5 << 9 << "12345" << 6 << 5;
        QTest::newRow("6..6") << 6 << 6 << "12346" << 6 << 6;
        QTest::newRow("8..16") << 8 << 16 << "12348" << 8 << 8;
        QTest::newRow("10..12") << 10 << 12 << "123410" << 10 << 10;
        QTest::newRow("12..20") << 12 << 20 << "1234" << 12 << 12;
        QTest::newRow("minimum 0") << 0 << 8 << "1234" << 6 << 4;
    }

    // The default of the new PIN is built from the minimum; generated PINs are numeric, start
    // with 1 to 9, and keep within the token's limits, so the dialog accepts them.
    void defaultAndGeneratedLengths()
    {
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(QString, defaultPIN);
        QFETCH(int, soLength);
        QFETCH(int, userLength);
        BrannickDialog dialog(minimum, maximum, false);
        QCOMPARE(Field(dialog, "edtNewUserPIN")->text(), defaultPIN);
        QCOMPARE(Field(dialog, "edtNewSOPIN")->text(), QString());

        QVERIFY(fixture::ModalDriver::Click(&dialog, QStringLiteral("btnGenerate")));
        const QString so = Field(dialog, "edtNewSOPIN")->text();
        const QString user = Field(dialog, "edtNewUserPIN")->text();
        QVERIFY2(IsNumericPIN(so, soLength), qPrintable(so));
        QVERIFY2(IsNumericPIN(user, userLength), qPrintable(user));

        Field(dialog, "edtSOPIN")->setText(QString(std::max(minimum, 1), QLatin1Char('7')));
        QCOMPARE(PressOK(dialog), QString());
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(QString::fromLatin1(dialog.GetNewSOPIN()), so);
        QCOMPARE(QString::fromLatin1(dialog.GetNewUserPIN()), user);
    }

    // Two dialogs built in the same second propose different PINs, and over many PINs every
    // digit shows up, the first digit never 0.
    void generatedPINsAreRandom()
    {
        BrannickDialog first(10, 10, false);
        BrannickDialog second(10, 10, false);
        QVERIFY(fixture::ModalDriver::Click(&first, QStringLiteral("btnGenerate")));
        QVERIFY(fixture::ModalDriver::Click(&second, QStringLiteral("btnGenerate")));
        QVERIFY(Field(first, "edtNewSOPIN")->text() != Field(second, "edtNewSOPIN")->text());
        QVERIFY(Field(first, "edtNewUserPIN")->text() != Field(second, "edtNewUserPIN")->text());
        QVERIFY(Field(first, "edtNewSOPIN")->text() != Field(first, "edtNewUserPIN")->text());

        QSet<QChar> leading, others;
        for (int i = 0; i < 400; ++i) {
            const QString pin = BrannickDialog::GenerateNumericPIN(6);
            QVERIFY2(IsNumericPIN(pin, 6), qPrintable(pin));
            leading.insert(pin.at(0));
            for (int j = 1; j < pin.length(); ++j)
                others.insert(pin.at(j));
        }
        QCOMPARE(leading.size(), 9);
        QCOMPARE(others.size(), 10);
    }

    void acceptChecks_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QString>("soPIN");
        QTest::addColumn<QString>("newSOPIN");
        QTest::addColumn<QString>("newUserPIN");  // "(default)" keeps the built default
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("box");         // empty: accepted
        QTest::addColumn<QString>("cleared");     // the field emptied by the check
        QTest::addColumn<QString>("focused");

        const QString length48 = kLengthBox.arg(4).arg(8);
        QTest::newRow("all given") << 4 << 8 << "12345678" << "876543" << "4321" << "Card" << "" << "" << "";
        QTest::newRow("optional new SO PIN empty") << 4 << 8 << "1234" << "" << "4321" << "Card" << "" << "" << "";
        QTest::newRow("empty SO PIN before any length")
            << 8 << 16 << "" << "1" << "(default)" << "Card" << kNoSOPINBox << "" << "edtSOPIN";
        QTest::newRow("SO PIN too short") << 4 << 8 << "123" << "" << "4321" << "Card" << length48 << "edtSOPIN"
                                          << "edtSOPIN";
        QTest::newRow("SO PIN too long before the new PINs")
            << 4 << 8 << "123456789" << "1" << "" << "Card" << length48 << "edtSOPIN" << "edtSOPIN";
        QTest::newRow("new SO PIN too short")
            << 4 << 8 << "1234" << "123" << "4321" << "Card" << length48 << "edtNewSOPIN" << "edtNewSOPIN";
        QTest::newRow("new user PIN empty")
            << 4 << 8 << "1234" << "" << "" << "Card" << length48 << "edtNewUserPIN" << "edtNewUserPIN";
        QTest::newRow("new user PIN too long")
            << 4 << 8 << "1234" << "" << "123456789" << "Card" << length48 << "edtNewUserPIN" << "edtNewUserPIN";
        QTest::newRow("default of 5 digits under a minimum of 8")
            << 8 << 16 << "12345678" << "" << "(default)" << "Card" << kLengthBox.arg(8).arg(16) << "edtNewUserPIN"
            << "edtNewUserPIN";
        QTest::newRow("Cyrillic letter in the SO PIN")
            << 4 << 8 << QString::fromUtf8("12Ж4") << "" << "4321" << "Card" << kCharacterBox << "edtSOPIN"
            << "edtSOPIN";
        QTest::newRow("euro sign in the new SO PIN")
            << 4 << 8 << "1234" << QString::fromUtf8("12€4") << "4321" << "Card" << kCharacterBox << "edtNewSOPIN"
            << "edtNewSOPIN";
        QTest::newRow("tab in the new user PIN")
            << 4 << 8 << "1234" << "" << "12\t4" << "Card" << kCharacterBox << "edtNewUserPIN" << "edtNewUserPIN";
        QTest::newRow("Latin-1 letter in the new user PIN")
            << 4 << 8 << "1234" << "" << QString::fromUtf8("12é4") << "Card" << "" << "" << "";
        QTest::newRow("empty label") << 4 << 8 << "1234" << "" << "4321" << "" << kEmptyLabelBox << "" << "edtLabel";
        QTest::newRow("label of blanks") << 4 << 8 << "1234" << "" << "4321" << "   " << kEmptyLabelBox << ""
                                         << "edtLabel";
        QTest::newRow("16 Cyrillic letters") << 4 << 8 << "1234" << "" << "4321" << kCyrillic16 << "" << "" << "";
        QTest::newRow("17 Cyrillic letters") << 4 << 8 << "1234" << "" << "4321" << kCyrillic16 + QString::fromUtf8("Я")
                                             << kLongLabelBox.arg(34) << "" << "edtLabel";
    }

    void acceptChecks()
    {
        QFETCH(int, minimum);
        QFETCH(int, maximum);
        QFETCH(QString, soPIN);
        QFETCH(QString, newSOPIN);
        QFETCH(QString, newUserPIN);
        QFETCH(QString, label);
        QFETCH(QString, box);
        QFETCH(QString, cleared);
        QFETCH(QString, focused);

        BrannickDialog dialog(minimum, maximum, false);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        Field(dialog, "edtSOPIN")->setText(soPIN);
        Field(dialog, "edtNewSOPIN")->setText(newSOPIN);
        if (newUserPIN != QLatin1String("(default)"))
            Field(dialog, "edtNewUserPIN")->setText(newUserPIN);
        Field(dialog, "edtLabel")->setText(label);
        const QString before = Field(dialog, "edtNewUserPIN")->text();

        QCOMPARE(PressOK(dialog), box);
        if (box.isEmpty()) {
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QCOMPARE(QByteArray(dialog.GetSOPIN()), soPIN.toLatin1());
            QCOMPARE(QByteArray(dialog.GetNewSOPIN()), newSOPIN.toLatin1());
            QCOMPARE(QByteArray(dialog.GetNewUserPIN()), before.toLatin1());
            QCOMPARE(QByteArray(dialog.GetLabel()), label.toUtf8());
            return;
        }
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QVERIFY(dialog.isVisible());
        QCOMPARE(QByteArray(dialog.GetSOPIN()), QByteArray());
        QCOMPARE(QByteArray(dialog.GetNewUserPIN()), QByteArray());
        if (!cleared.isEmpty())
            QCOMPARE(Field(dialog, cleared.toLatin1().constData())->text(), QString());
        QCOMPARE(dialog.focusWidget(), static_cast<QWidget*>(Field(dialog, focused.toLatin1().constData())));
    }

    // A label longer than 32 characters cannot be typed.
    void labelFieldTakes32Characters()
    {
        BrannickDialog dialog(4, 8, false);
        QLineEdit* label = Field(dialog, "edtLabel");
        label->clear();
        QTest::keyClicks(label, QString(40, QLatin1Char('x')));
        QCOMPARE(label->text().length(), 32);
    }

    void labelLock_data()
    {
        QTest::addColumn<QString>("module");
        QTest::addColumn<bool>("locked");
        QTest::newRow("X/BIT4IPKI.DLL") << "X/BIT4IPKI.DLL" << true;
        QTest::newRow("bit4xpki.dll") << "/opt/bit4xpki.dll" << true;
        QTest::newRow("libbit4ipki.so") << "/usr/lib/libbit4ipki.so" << false;
        QTest::newRow("softhsm2") << "/usr/lib/softhsm/libsofthsm2.so" << false;
    }

    // The lock follows the module's name; a locked label is the default text of the language.
    void labelLock()
    {
        QFETCH(QString, module);
        QFETCH(bool, locked);
        BrannickDialog dialog(4, 8, tsy::GetModuleQuirks(module.toStdString()).bLabelLocked);
        QLineEdit* label = Field(dialog, "edtLabel");
        QCOMPARE(label->isEnabled(), !locked);
        QCOMPARE(label->text(), QStringLiteral("Veskora"));
        Field(dialog, "edtSOPIN")->setText(QStringLiteral("1234"));
        QCOMPARE(PressOK(dialog), QString());
        QCOMPARE(QByteArray(dialog.GetLabel()), QByteArray("Veskora"));
    }

    // A language change writes the label's and the new PIN's defaults again and keeps the others.
    void languageChangeRestoresDefaults()
    {
        BrannickDialog dialog(8, 16, false);
        Field(dialog, "edtSOPIN")->setText(QStringLiteral("11112222"));
        Field(dialog, "edtNewSOPIN")->setText(QStringLiteral("33334444"));
        Field(dialog, "edtNewUserPIN")->setText(QStringLiteral("55556666"));
        Field(dialog, "edtLabel")->setText(QStringLiteral("Mine"));
        QEvent change(QEvent::LanguageChange);
        QApplication::sendEvent(&dialog, &change);
        QCOMPARE(Field(dialog, "edtLabel")->text(), QStringLiteral("Veskora"));
        QCOMPARE(Field(dialog, "edtNewUserPIN")->text(), QStringLiteral("1234"));
        QCOMPARE(Field(dialog, "edtSOPIN")->text(), QStringLiteral("11112222"));
        QCOMPARE(Field(dialog, "edtNewSOPIN")->text(), QStringLiteral("33334444"));
        QCOMPARE(Field(dialog, "edtSOPIN")->echoMode(), QLineEdit::Password);
    }

    void cancelRejects()
    {
        BrannickDialog dialog(4, 8, false);
        Field(dialog, "edtSOPIN")->setText(QStringLiteral("1234"));
        QVERIFY(fixture::ModalDriver::Click(&dialog, QStringLiteral("Cancel")));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(QByteArray(dialog.GetSOPIN()), QByteArray());
    }

    void groupBoxTitlesHaveRoom_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << "English (EN)";
        QTest::newRow("Bulgarian") << QString::fromUtf8("Български (БГ)");
    }

    // Under the program's style a group box's title has room for all of it; the platform's
    // style measured "Допълнителни настройки (по желание):" a few pixels short and the colon
    // was not drawn.
    void groupBoxTitlesHaveRoom()
    {
        QFETCH(QString, language);
        CTessalyStyle::Install();
        tessaly::InitResources();
        TranslationManager manager(":/translations/translations/", "tessaly");
        manager.SetLanguage(language);
        BrannickDialog dialog(4, 8, false, nullptr);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QList<QGroupBox*> boxes = dialog.findChildren<QGroupBox*>();
        QCOMPARE(boxes.size(), 2);
        for (QGroupBox* box : boxes) {
            QStyleOptionGroupBox option;
            option.initFrom(box);
            option.text = box->title();
            option.subControls = QStyle::SC_GroupBoxLabel | QStyle::SC_GroupBoxFrame;
            const QRect label = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
            const int text = box->fontMetrics().horizontalAdvance(box->title());
            QVERIFY2(label.width() >= text,
                     qPrintable(QStringLiteral("\"%1\": %2 pixels for %3").arg(box->title()).arg(label.width()).arg(text)));
        }
        manager.SetLanguage(QStringLiteral("English (EN)"));
    }
};

QTEST_MAIN(BrannickDialogTest)
#include "test_brannickdialog.moc"
