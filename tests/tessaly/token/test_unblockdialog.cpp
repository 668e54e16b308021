// The unblocking dialog on its own: lengths, equal new PINs, refused PIN texts, labels that hold
// their texts, and a language change that keeps what was typed.
#include <QLabel>
#include <QtTest>

#include "DialogSupport.h"
#include "Resources.h"
#include "TranslationManager.h"
#include "UnblockPINDialog.h"

class UnblockDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void inputCheck_data()
    {
        QTest::addColumn<QString>("soPin");
        QTest::addColumn<QString>("newPin");
        QTest::addColumn<QString>("repeated");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("warning");
        // Minimum 4, maximum 8 throughout.
        QTest::newRow("all valid") << "1234" << "5678" << "5678" << true << false;
        QTest::newRow("administrative PIN too short") << "123" << "5678" << "5678" << false << false;
        QTest::newRow("administrative PIN above the maximum") << "1234567890" << "5678" << "5678" << true << false;
        QTest::newRow("new PIN too short") << "1234" << "567" << "567" << false << false;
        QTest::newRow("new PINs differ") << "1234" << "5678" << "8765" << false << false;
        QTest::newRow("eight characters") << "1234" << "abcdefgh" << "abcdefgh" << true << false;
        QTest::newRow("Latin-1") << QString::fromUtf8("\xC3\xB1" "234") << "5678" << "5678" << true << false;
        QTest::newRow("Cyrillic administrative PIN") << QString::fromUtf8("\xD0\x90\xD0\x91" "12") << "5678"
                                                     << "5678" << false << true;
        QTest::newRow("CJK new PIN") << "1234" << QString::fromUtf8("\xE4\xB8\xAD" "123")
                                     << QString::fromUtf8("\xE4\xB8\xAD" "123") << false << true;
    }

    void inputCheck()
    {
        QFETCH(QString, soPin);
        QFETCH(QString, newPin);
        QFETCH(QString, repeated);
        QFETCH(bool, ok);
        QFETCH(bool, warning);
        UnblockPINDialog dialog(nullptr);
        dialog.SetPINLengths(4, 8);
        QVERIFY(!OkButton(&dialog)->isEnabled());
        TypeText(Field(&dialog, "editSOPIN"), soPin);
        TypeText(Field(&dialog, "editNewPIN"), newPin);
        TypeText(Field(&dialog, "editNewPIN_2"), repeated);
        QCOMPARE(OkButton(&dialog)->isEnabled(), ok);
        QCOMPARE(!PinWarning(&dialog).isEmpty(), warning);

        OkButton(&dialog)->click();
        dialog.accept();
        QCOMPARE(dialog.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        QCOMPARE(QByteArray(dialog.GetSOPIN()), ok ? soPin.toLatin1() : QByteArray());
        QCOMPARE(QByteArray(dialog.GetNewPIN()), ok ? newPin.toLatin1() : QByteArray());
        if (ok) {
            dialog.ClearPINs();
            QCOMPARE(QByteArray(dialog.GetSOPIN()), QByteArray());
        }
    }

    // The keyboard starts in the administrative PIN, the first field.
    void opensWithTheFocusInTheAdministrativePin()
    {
        UnblockPINDialog dialog(nullptr);
        dialog.SetPINLengths(4, 8);
        QWidget* focus = FocusOnOpen(&dialog);
        QVERIFY2(focus == Field(&dialog, "editSOPIN"), focus ? focus->metaObject()->className() : "nothing");
    }

    void notesThatTheNewPinsDiffer_data() { AddPinMismatchRows(); }

    void notesThatTheNewPinsDiffer()
    {
        UnblockPINDialog dialog(nullptr);
        dialog.SetPINLengths(0, 8);
        CheckPinMismatchNote(&dialog, "editSOPIN", "editNewPIN", "editNewPIN_2");
    }

    // The new PIN fields take at most the maximum; the administrative PIN field has no limit.
    void maximumLimitsTheNewPin()
    {
        UnblockPINDialog dialog(nullptr);
        dialog.SetPINLengths(4, 8);
        TypeText(Field(&dialog, "editSOPIN"), "1234567890");
        TypeText(Field(&dialog, "editNewPIN"), "1234567890");
        QCOMPARE(Field(&dialog, "editSOPIN")->text().size(), 10);
        QCOMPARE(Field(&dialog, "editNewPIN")->text().size(), 8);
        QCOMPARE(Field(&dialog, "editNewPIN_2")->maxLength(), 8);
    }

    void labelsHoldTheirTexts_data()
    {
        QTest::addColumn<QString>("language");
        QTest::newRow("English") << "English (EN)";
        QTest::newRow("Bulgarian") << QString::fromUtf8("Български (БГ)");
    }

    // Every label shows its whole text (the first one two lines, "Please enter it below:" the
    // second, and the note that the new PINs differ), in English and in the longer Bulgarian.
    void labelsHoldTheirTexts()
    {
        QFETCH(QString, language);
        tessaly::InitResources();
        TranslationManager manager(":/translations/translations/", "tessaly");
        manager.SetLanguage(language);
        QCOMPARE(manager.GetCurrentLanguage(), language);
        UnblockPINDialog dialog(nullptr);
        dialog.SetPINLengths(4, 8);
        TypeText(Field(&dialog, "editNewPIN"), "5678");
        TypeText(Field(&dialog, "editNewPIN_2"), "9");
        QVERIFY(!PinMismatchNote(&dialog).isEmpty());
        QCOMPARE(PinMismatchNote(&dialog) == QLatin1String("The new PINs differ."), language.startsWith("English"));
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        int checked = 0;
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            if (label->text().isEmpty() || !label->isVisible())
                continue;
            ++checked;
            const QSize need = label->wordWrap() ? QSize(0, label->heightForWidth(label->width())) : label->sizeHint();
            QVERIFY2(label->width() >= need.width() && label->height() >= need.height(),
                     qPrintable(QStringLiteral("\"%1\" has %2x%3 of %4x%5")
                                    .arg(label->text())
                                    .arg(label->width())
                                    .arg(label->height())
                                    .arg(need.width())
                                    .arg(need.height())));
        }
        QCOMPARE(checked, 4);
        manager.SetLanguage(QStringLiteral("English (EN)"));
    }

    // A language change keeps every typed text and the state of OK.
    void languageChangeKeepsTheInput()
    {
        UnblockPINDialog dialog(nullptr);
        dialog.SetPINLengths(4, 8);
        TypeText(Field(&dialog, "editSOPIN"), "1234");
        TypeText(Field(&dialog, "editNewPIN"), "5678");
        TypeText(Field(&dialog, "editNewPIN_2"), "5678");
        SendLanguageChange(&dialog);
        QCOMPARE(Field(&dialog, "editSOPIN")->text(), QStringLiteral("1234"));
        QCOMPARE(Field(&dialog, "editNewPIN_2")->text(), QStringLiteral("5678"));
        QVERIFY(OkButton(&dialog)->isEnabled());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Unblock PIN"));
    }
};

QTEST_MAIN(UnblockDialogTest)
#include "test_unblockdialog.moc"
