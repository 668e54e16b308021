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

inline void SendLanguageChange(QWidget* widget)
{
    QEvent event(QEvent::LanguageChange);
    QApplication::sendEvent(widget, &event);
}
