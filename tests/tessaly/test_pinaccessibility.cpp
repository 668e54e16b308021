// What the PIN boxes of every dialog tell assistive technology: a PIN is typed, edited, cleared
// and accepted in each box, and no accessibility event carries a character of it, nor does any
// text a screen reader can ask the box for. It still hears that a character came and went, and
// the length. Runs on a desktop with the accessibility bus up (the desktop-session fixture), where
// Qt's bridge is active; the events are taken in process, where the bridge would get them.
#include <functional>
#include <memory>
#include <vector>

#include <QAccessible>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "BrannickDialog.h"
#include "ChangePINDialog.h"
#include "LoginDialog.h"
#include "UnblockPINDialog.h"

namespace {

struct TSeen {
    QAccessible::Event type;
    QString object;  // class and object name
    QString text;    // what the event itself carries
    QString value;   // the object's value and text, asked while the event is handled
};

std::vector<TSeen>* g_pSeen = nullptr;

// What a PIN box tells for its characters: one black circle each, as the box shows them.
QString Masked(int n)
{
    return QString(n, QChar(0x25CF));
}

void Record(QAccessibleEvent* event)
{
    if (!g_pSeen)
        return;
    TSeen seen{event->type(), QString(), QString(), QString()};
    if (QObject* object = event->object())
        seen.object = QString::fromLatin1(object->metaObject()->className()) + QLatin1Char(' ') + object->objectName();
    switch (event->type()) {
    case QAccessible::TextInserted:
        seen.text = static_cast<QAccessibleTextInsertEvent*>(event)->textInserted();
        break;
    case QAccessible::TextRemoved:
        seen.text = static_cast<QAccessibleTextRemoveEvent*>(event)->textRemoved();
        break;
    case QAccessible::TextUpdated:
        seen.text = static_cast<QAccessibleTextUpdateEvent*>(event)->textRemoved() + QLatin1Char('|') +
                    static_cast<QAccessibleTextUpdateEvent*>(event)->textInserted();
        break;
    case QAccessible::ValueChanged:
        seen.text = static_cast<QAccessibleValueChangeEvent*>(event)->value().toString();
        break;
    default:
        break;
    }
    if (QAccessibleInterface* iface = event->accessibleInterface()) {
        seen.value = iface->text(QAccessible::Value);
        if (QAccessibleTextInterface* text = iface->textInterface())
            seen.value += QLatin1Char('|') + text->text(0, text->characterCount());
    }
    g_pSeen->push_back(seen);
}

// Types the PIN into the box with the keyboard, takes a character back and types it again,
// types it once more over the whole text selected, clears the box and types it a last time.
void TypeAndEdit(QLineEdit* box, const QString& pin)
{
    box->setFocus();
    QTest::keyClicks(box, pin);
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, pin.right(1));
    box->selectAll();
    QTest::keyClicks(box, pin);
    box->clear();
    QTest::keyClicks(box, pin);
}

QString Describe(const TSeen& seen)
{
    return QStringLiteral("event %1 of %2 carries \"%3\" (value \"%4\")")
        .arg(int(seen.type))
        .arg(seen.object, seen.text, seen.value);
}

typedef std::function<QDialog*()> TOpen;

} // namespace

Q_DECLARE_METATYPE(TOpen)

class PinAccessibilityTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // The bridge turns on once the application has met the accessibility bus.
        QTRY_VERIFY2_WITH_TIMEOUT(QAccessible::isActive(), "accessibility is not active: run through desktop-session.sh",
                                  10000);
        // Before any PIN box exists: what the boxes pass on arrives here instead of at the bridge.
        QAccessible::installUpdateHandler(&Record);
    }

    void noEventCarriesAPinCharacter_data()
    {
        QTest::addColumn<TOpen>("open");
        QTest::addColumn<QStringList>("boxes");
        QTest::addColumn<QString>("pin");
        QTest::newRow("login") << TOpen([] {
            auto* dialog = new LoginDialog(NormalUser, nullptr);
            dialog->SetPINLength(4, 16);
            return dialog;
        }) << QStringList{"edtPassword"} << "7gQ9zX";
        QTest::newRow("change PIN") << TOpen([] {
            auto* dialog = new ChangePINDialog(nullptr);
            dialog->SetPINLength(4, 16);
            return dialog;
        }) << QStringList{"editPIN", "editNewPIN", "editNewPIN2"} << "4Jw8Tq";
        QTest::newRow("unblock") << TOpen([] {
            auto* dialog = new UnblockPINDialog(nullptr);
            dialog->SetPINLengths(4, 16);
            return dialog;
        }) << QStringList{"editSOPIN", "editNewPIN", "editNewPIN_2"} << "3Zx6Gm";
        // The default new user PIN the dialog sets itself is a PIN too.
        QTest::newRow("initialisation") << TOpen([] { return new BrannickDialog(4, 16, false, nullptr); })
                                        << QStringList{"edtSOPIN", "edtNewSOPIN", "edtNewUserPIN"} << "9Hq2Yw";
    }

    void noEventCarriesAPinCharacter()
    {
        QFETCH(TOpen, open);
        QFETCH(QStringList, boxes);
        QFETCH(QString, pin);
        std::vector<TSeen> seen;
        g_pSeen = &seen;
        QString forbidden = pin;
        QStringList asked;
        QStringList expected;
        {
            std::unique_ptr<QDialog> dialog(open());
            dialog->show();
            QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
            for (const QString& name : boxes) {
                QLineEdit* box = dialog->findChild<QLineEdit*>(name);
                QVERIFY2(box, qPrintable(name));
                forbidden += box->text();
                box->clear();
                TypeAndEdit(box, pin);
                QCOMPARE(box->text(), pin);

                // What a screen reader may ask of the box while it holds the PIN; checked after
                // the events.
                QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(box);
                QAccessibleTextInterface* text = iface ? iface->textInterface() : nullptr;
                QVERIFY(text);
                int start = 0;
                int end = 0;
                asked << QStringLiteral("%1: %2 %3 \"%4\" %5 \"%6\" \"%7\"")
                             .arg(name)
                             .arg(int(iface->role()))
                             .arg(QLatin1String(iface->state().passwordEdit ? "password" : "plain"))
                             .arg(iface->text(QAccessible::Value))
                             .arg(text->characterCount())
                             .arg(text->text(0, text->characterCount()),
                                  text->textAtOffset(1, QAccessible::CharBoundary, &start, &end));
                expected << QStringLiteral("%1: %2 password \"%3\" %4 \"%3\" \"%5\"")
                                .arg(name)
                                .arg(int(QAccessible::EditableText))
                                .arg(Masked(pin.size()))
                                .arg(pin.size())
                                .arg(Masked(1));
            }
            if (qobject_cast<BrannickDialog*>(dialog.get())) {
                // The PINs the dialog draws itself.
                dialog->findChild<QPushButton*>("btnGenerate")->click();
                for (const char* name : {"edtNewSOPIN", "edtNewUserPIN"})
                    forbidden += dialog->findChild<QLineEdit*>(name)->text();
            }
            QDialogButtonBox* buttons = dialog->findChild<QDialogButtonBox*>("buttonBox");
            QVERIFY(buttons->button(QDialogButtonBox::Ok)->isEnabled());
            buttons->button(QDialogButtonBox::Ok)->click();
            QCOMPARE(dialog->result(), int(QDialog::Accepted));
        }
        g_pSeen = nullptr;

        int nTyped = 0;
        int nCleared = 0;
        for (const TSeen& event : seen) {
            for (const QChar c : forbidden)
                QVERIFY2(!event.text.contains(c) && !event.value.contains(c), qPrintable(Describe(event)));
            if (!boxes.contains(event.object.section(QLatin1Char(' '), 1)))
                continue;
            // A screen reader still hears each character typed, and how much went.
            if (event.type == QAccessible::TextInserted && event.text == Masked(1))
                ++nTyped;
            if (event.type == QAccessible::TextRemoved && event.text == Masked(pin.size()))
                ++nCleared;
        }
        QVERIFY2(nTyped >= boxes.size() * pin.size(), qPrintable(QString::number(nTyped)));
        QVERIFY2(nCleared >= boxes.size(), qPrintable(QString::number(nCleared)));
        QCOMPARE(asked, expected);
    }
};

QTEST_MAIN(PinAccessibilityTest)
#include "test_pinaccessibility.moc"
