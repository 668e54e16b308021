#pragma once

// Typing into the token dialogs as a user would, in any script, and reading their state.

#include <QApplication>
#include <QDialogButtonBox>
#include <QEvent>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWidget>

// Appends text at the end of the field as a keyboard or an input method would: the field
// emits textEdited, whatever the script of the text.
inline void TypeText(QLineEdit* edit, const QString& text)
{
    edit->setFocus();
    edit->end(false);
    QInputMethodEvent event;
    event.setCommitString(text);
    QApplication::sendEvent(edit, &event);
}

// Removes the last character, as Backspace does.
inline void EraseLast(QLineEdit* edit)
{
    edit->setFocus();
    edit->end(false);
    QTest::keyClick(edit, Qt::Key_Backspace);
}

// Empties the field as a user would (select all, Backspace).
inline void EraseText(QLineEdit* edit)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
}

inline QLineEdit* Field(QWidget* dialog, const char* name)
{
    return dialog->findChild<QLineEdit*>(QLatin1String(name));
}

inline QPushButton* OkButton(QWidget* dialog)
{
    QDialogButtonBox* box = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    return box ? box->button(QDialogButtonBox::Ok) : nullptr;
}

// The text the dialog shows about a refused PIN, empty when it shows none.
inline QString PinWarning(QWidget* dialog)
{
    QLabel* label = dialog->findChild<QLabel*>(QStringLiteral("labelWarning"));
    return label && !label->isHidden() ? label->text() : QString();
}

// The note that the two new PINs differ, empty when the dialog shows none.
inline QString PinMismatchNote(QWidget* dialog)
{
    QLabel* label = dialog->findChild<QLabel*>(QStringLiteral("labelMismatch"));
    return label && !label->isHidden() ? label->text() : QString();
}

// The two new PINs as typed, and whether the dialog then notes that they differ: not while the
// repetition is on its way to the new PIN.
inline void AddPinMismatchRows()
{
    QTest::addColumn<QString>("newPin");
    QTest::addColumn<QString>("repeated");
    QTest::addColumn<bool>("note");
    QTest::newRow("equal") << "5678" << "5678" << false;
    QTest::newRow("repetition under way") << "5678" << "567" << false;
    QTest::newRow("last character differs") << "5678" << "5679" << true;
    QTest::newRow("first character differs") << "5678" << "6" << true;
    QTest::newRow("repetition longer") << "5678" << "56789" << true;
    QTest::newRow("case differs") << "abcd" << "abcD" << true;
    QTest::newRow("repetition typed first") << "" << "5678" << true;
}

// The row's check on an open PIN dialog: the current PIN typed into current, the new one and its
// repetition into newField and repeatField. Two new PINs that differ are named as such, not only
// by a grey OK; mending the repetition takes the note away.
inline void CheckPinMismatchNote(QWidget* dialog, const char* current, const char* newField, const char* repeatField)
{
    QFETCH(QString, newPin);
    QFETCH(QString, repeated);
    QFETCH(bool, note);
    TypeText(Field(dialog, current), "1234");
    TypeText(Field(dialog, newField), newPin);
    TypeText(Field(dialog, repeatField), repeated);
    QCOMPARE(PinMismatchNote(dialog), note ? QStringLiteral("The new PINs differ.") : QString());
    QCOMPARE(OkButton(dialog)->isEnabled(), newPin == repeated);
    EraseText(Field(dialog, repeatField));
    TypeText(Field(dialog, repeatField), newPin);
    QCOMPARE(PinMismatchNote(dialog), QString());
    QVERIFY(OkButton(dialog)->isEnabled());
}

// The widget that has the keyboard once the dialog is open and active.
inline QWidget* FocusOnOpen(QWidget* dialog)
{
    dialog->show();
    if (!QTest::qWaitForWindowActive(dialog))
        return nullptr;
    return QApplication::focusWidget();
}

inline void SendLanguageChange(QWidget* widget)
{
    QEvent event(QEvent::LanguageChange);
    QApplication::sendEvent(widget, &event);
}
