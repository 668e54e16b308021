// The change-PIN dialog on its own: the input check in its order, the PIN choice, the limits,
// refused PIN texts, and what acceptance hands over.
#include <QComboBox>
#include <QtTest>

#include "ChangePINDialog.h"
#include "DialogSupport.h"

class ChangePinDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void inputCheck_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("newPin");
        QTest::addColumn<QString>("repeated");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("warning");
        QTest::newRow("all of four") << 4 << "1234" << "5678" << "5678" << true << false;
        QTest::newRow("repetition differs in one") << 4 << "1234" << "5678" << "5679" << false << false;
        QTest::newRow("repetition too short") << 4 << "1234" << "5678" << "567" << false << false;
        QTest::newRow("current too short") << 4 << "123" << "5678" << "5678" << false << false;
        QTest::newRow("case matters") << 4 << "1234" << "abcd" << "abcD" << false << false;
        QTest::newRow("new equal to current") << 4 << "1234" << "1234" << "1234" << true << false;
        QTest::newRow("minimum 0, all empty but edited") << 0 << "" << "" << "" << true << false;
        QTest::newRow("Latin-1") << 4 << QString::fromUtf8("\xC3\xA9t\xC3\xA9" "1") << "5678" << "5678" << true << false;
        QTest::newRow("Cyrillic current") << 4 << QString::fromUtf8("\xD0\xBF\xD0\xB8\xD0\xBD" "1") << "5678"
                                          << "5678" << false << true;
        QTest::newRow("Cyrillic new, twice") << 4 << "1234" << QString::fromUtf8("\xD0\xBF\xD0\xB8\xD0\xBD" "1")
                                             << QString::fromUtf8("\xD0\xBF\xD0\xB8\xD0\xBD" "1") << false << true;
        QTest::newRow("euro sign") << 4 << "1234" << QString::fromUtf8("12\xE2\x82\xAC" "4")
                                   << QString::fromUtf8("12\xE2\x82\xAC" "4") << false << true;
    }

    void inputCheck()
    {
        QFETCH(int, minimum);
        QFETCH(QString, current);
        QFETCH(QString, newPin);
        QFETCH(QString, repeated);
        QFETCH(bool, ok);
        QFETCH(bool, warning);
        ChangePINDialog dialog(nullptr);
        dialog.SetPINLength(minimum, 16);
        QVERIFY(!OkButton(&dialog)->isEnabled());
        for (const char* name : {"editPIN", "editNewPIN", "editNewPIN2"})
            QCOMPARE(Field(&dialog, name)->echoMode(), QLineEdit::Password);
        TypeText(Field(&dialog, "editPIN"), current);
        TypeText(Field(&dialog, "editNewPIN"), newPin);
        TypeText(Field(&dialog, "editNewPIN2"), repeated);
        if (current.isEmpty() && newPin.isEmpty() && repeated.isEmpty()) {
            // Edits that leave it empty.
            TypeText(Field(&dialog, "editPIN"), "x");
            EraseLast(Field(&dialog, "editPIN"));
        }
        QCOMPARE(OkButton(&dialog)->isEnabled(), ok);
        QCOMPARE(dialog.IsInputValid(), ok);
        QCOMPARE(!PinWarning(&dialog).isEmpty(), warning);

        dialog.accept();
        QCOMPARE(dialog.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        if (ok) {
            QCOMPARE(QByteArray(dialog.GetPIN()), current.toLatin1());
            QCOMPARE(QByteArray(dialog.GetNewPIN()), newPin.toLatin1());
            for (const char* name : {"editPIN", "editNewPIN", "editNewPIN2"})
                QVERIFY(Field(&dialog, name)->text().isEmpty());
        } else {
            QCOMPARE(QByteArray(dialog.GetPIN()), QByteArray());
            QCOMPARE(QByteArray(dialog.GetNewPIN()), QByteArray());
        }
    }

    // The choice: index 0 the user PIN, 1 the administrative PIN; changing it alone does not
    // re-evaluate OK; its texts stay in the language the dialog was opened in.
    void pinChoice()
    {
        ChangePINDialog dialog(nullptr);
        dialog.SetPINLength(4, 8);
        QComboBox* combo = dialog.findChild<QComboBox*>("cbUserType");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("User PIN"));
        QCOMPARE(combo->itemText(1), QStringLiteral("Administrative PIN"));
        QCOMPARE(dialog.GetPINType(), 0);
        // OK is left as the last edit set it, whichever way a re-evaluation would turn it:
        // the fields are made valid (OK on), then invalid by a larger minimum alone.
        TypeText(Field(&dialog, "editPIN"), "1234");
        TypeText(Field(&dialog, "editNewPIN"), "5678");
        TypeText(Field(&dialog, "editNewPIN2"), "5678");
        QVERIFY(OkButton(&dialog)->isEnabled());
        dialog.SetPINLength(6, 8);
        QVERIFY(!dialog.IsInputValid());
        combo->setCurrentIndex(1);
        QCOMPARE(dialog.GetPINType(), 1);
        QVERIFY2(OkButton(&dialog)->isEnabled(), "the choice re-evaluated OK");
        // And the other way: an edit turns OK off, a smaller minimum makes the fields valid.
        TypeText(Field(&dialog, "editNewPIN2"), "9");
        QVERIFY(!OkButton(&dialog)->isEnabled());
        EraseLast(Field(&dialog, "editNewPIN2"));
        QVERIFY(!OkButton(&dialog)->isEnabled()); // "5678" is shorter than 6
        dialog.SetPINLength(4, 8);
        QVERIFY(dialog.IsInputValid());
        combo->setCurrentIndex(0);
        QCOMPARE(dialog.GetPINType(), 0);
        QVERIFY2(!OkButton(&dialog)->isEnabled(), "the choice re-evaluated OK");
        combo->setCurrentIndex(1);
        SendLanguageChange(&dialog);
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->currentIndex(), 1);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Change PIN/AIN"));
    }

    // The keyboard starts in the current PIN, not in the PIN choice above it.
    void opensWithTheFocusInTheCurrentPin()
    {
        ChangePINDialog dialog(nullptr);
        dialog.SetPINLength(4, 8);
        QWidget* focus = FocusOnOpen(&dialog);
        QVERIFY2(focus == Field(&dialog, "editPIN"), focus ? focus->metaObject()->className() : "nothing");
        QTest::keyClicks(focus, "12");
        QCOMPARE(Field(&dialog, "editPIN")->text(), QStringLiteral("12"));
    }

    void notesThatTheNewPinsDiffer_data() { AddPinMismatchRows(); }

    void notesThatTheNewPinsDiffer()
    {
        ChangePINDialog dialog(nullptr);
        dialog.SetPINLength(0, 8);
        CheckPinMismatchNote(&dialog, "editPIN", "editNewPIN", "editNewPIN2");
    }

    // The maximum limits the new PIN fields; the current PIN has no limit.
    void maximumLimitsTheNewPin()
    {
        ChangePINDialog dialog(nullptr);
        dialog.SetPINLength(4, 6);
        TypeText(Field(&dialog, "editPIN"), "1234567890");
        TypeText(Field(&dialog, "editNewPIN"), "1234567890");
        TypeText(Field(&dialog, "editNewPIN2"), "1234567890");
        QCOMPARE(Field(&dialog, "editPIN")->text(), QStringLiteral("1234567890"));
        QCOMPARE(Field(&dialog, "editNewPIN")->text(), QStringLiteral("123456"));
        QVERIFY(OkButton(&dialog)->isEnabled());
    }
};

QTEST_MAIN(ChangePinDialogTest)
#include "test_changepindialog.moc"
