// The login dialog on its own: when OK is enabled, which user type and PIN it returns, PIN
// texts that the 8-bit conversion cannot carry, and what a language change keeps.
#include <QComboBox>
#include <QtTest>

#include "DialogSupport.h"
#include "LoginDialog.h"

Q_DECLARE_METATYPE(TUserType)

namespace {
// One edit: text to append, or "<" to erase the last character.
struct TEdit {
    QString text;
    bool okAfter;
};
} // namespace
Q_DECLARE_METATYPE(QList<TEdit>)

class LoginDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void okFollowsEveryEdit_data()
    {
        QTest::addColumn<int>("minimum");
        QTest::addColumn<QList<TEdit>>("edits");
        QTest::addColumn<QByteArray>("pin");
        QTest::newRow("minimum 4: the fourth character enables, erasing disables")
            << 4
            << QList<TEdit>{{"1", false}, {"2", false}, {"3", false}, {"4", true}, {"<", false}, {"9", true}}
            << QByteArray("1239");
        QTest::newRow("minimum 0: any edit enables, even one that leaves it empty")
            << 0 << QList<TEdit>{{"x", true}, {"<", true}} << QByteArray();
        QTest::newRow("longer than the maximum is accepted as typed")
            << 4 << QList<TEdit>{{"123456789012", true}} << QByteArray("123456789012");
        QTest::newRow("Latin-1 goes as its bytes")
            << 4 << QList<TEdit>{{QString::fromUtf8("p\xC3\xA4\xC3\x9F" "1"), true}} << QByteArray("p\xE4\xDF" "1");
        QTest::newRow("Cyrillic is refused until it is gone")
            << 4
            << QList<TEdit>{{"123", false}, {QString::fromUtf8("\xD0\x96"), false}, {"<", false}, {"4", true}}
            << QByteArray("1234");
        QTest::newRow("a character outside the BMP is refused")
            << 0 << QList<TEdit>{{QString::fromUtf8("12\xF0\x9F\x94\x91" "34"), false}} << QByteArray();
    }

    void okFollowsEveryEdit()
    {
        QFETCH(int, minimum);
        QFETCH(QList<TEdit>, edits);
        QFETCH(QByteArray, pin);
        LoginDialog dialog(NormalUser, nullptr);
        dialog.SetPINLength(minimum, 8);
        dialog.show();
        QVERIFY(!OkButton(&dialog)->isEnabled());
        QLineEdit* field = Field(&dialog, "edtPassword");
        QCOMPARE(field->echoMode(), QLineEdit::Password);
        bool refused = false;
        for (const TEdit& edit : edits) {
            if (edit.text == "<")
                EraseLast(field);
            else
                TypeText(field, edit.text);
            QVERIFY2(OkButton(&dialog)->isEnabled() == edit.okAfter, qPrintable(edit.text));
            // The dialog says why OK is off for a text it cannot send.
            const QString typed = field->text();
            const bool carriable =
                std::all_of(typed.begin(), typed.end(), [](QChar c) { return c.unicode() <= 0xFF; });
            QCOMPARE(PinWarning(&dialog).isEmpty(), carriable);
            refused = refused || !carriable;
        }
        const bool ok = OkButton(&dialog)->isEnabled();
        OkButton(&dialog)->click();
        dialog.accept();  // a direct accept gets past no check
        QCOMPARE(dialog.result(), ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
        if (ok) {
            QCOMPARE(QByteArray(dialog.GetPIN()), pin);
            QVERIFY(field->text().isEmpty());  // the field is cleared
            dialog.ClearPIN();
            QCOMPARE(QByteArray(dialog.GetPIN()), QByteArray());
        } else {
            QVERIFY(refused);
            QCOMPARE(QByteArray(dialog.GetPIN()), QByteArray());
        }
    }

    void userType_data()
    {
        QTest::addColumn<int>("requested");
        QTest::addColumn<int>("choice");
        QTest::addColumn<bool>("locked");
        QTest::addColumn<int>("shown");
        QTest::addColumn<TUserType>("result");
        QTest::newRow("administrator requested") << 1 << 0 << true << 1 << SecurityOfficer;
        QTest::newRow("user requested") << 2 << 1 << true << 0 << NormalUser;
        QTest::newRow("open, Administrator chosen") << 0 << 1 << false << 0 << SecurityOfficer;
        QTest::newRow("open, User left") << 0 << 0 << false << 0 << NormalUser;
    }

    // A requested type is shown and locked, whatever happens to the list (a language change
    // refills it); an open choice gives what the user picked.
    void userType()
    {
        QFETCH(int, requested);
        QFETCH(int, choice);
        QFETCH(bool, locked);
        QFETCH(int, shown);
        QFETCH(TUserType, result);
        LoginDialog dialog(static_cast<TUserType>(requested), nullptr);
        dialog.SetPINLength(4, 8);
        QComboBox* combo = dialog.findChild<QComboBox*>("cboxUserType");
        QCOMPARE(combo->count(), 2);
        QCOMPARE(combo->itemText(0), QStringLiteral("User"));
        QCOMPARE(combo->itemText(1), QStringLiteral("Administrator"));
        QCOMPARE(combo->isEnabled(), !locked);
        QCOMPARE(combo->currentIndex(), shown);
        SendLanguageChange(&dialog);
        QCOMPARE(combo->currentIndex(), shown);
        // The program can still move a locked list: for a requested type that does not count.
        combo->setCurrentIndex(choice);
        TypeText(Field(&dialog, "edtPassword"), "1234");
        OkButton(&dialog)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.GetUserType(), result);
    }

    // Cancel returns rejected with nothing kept.
    void cancelKeepsNothing()
    {
        LoginDialog dialog(static_cast<TUserType>(0), nullptr);
        dialog.SetPINLength(4, 8);
        TypeText(Field(&dialog, "edtPassword"), "1234");
        QDialogButtonBox* box = dialog.findChild<QDialogButtonBox*>("buttonBox");
        box->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(QByteArray(dialog.GetPIN()), QByteArray());
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Login"));
    }
};

QTEST_MAIN(LoginDialogTest)
#include "test_logindialog.moc"
