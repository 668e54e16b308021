#pragma once

#include <QLineEdit>

// A line edit for a PIN. Whatever its echo mode, what it tells assistive technology holds no
// character of the PIN: the accessibility events Qt sends as its text changes, and its text
// when a screen reader asks for it, carry one mask character per character typed. A screen
// reader still learns that a character was typed or erased, and the length.
class QPinEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit QPinEdit(QWidget* parent = nullptr);

    // Stands for each PIN character: a PIN is Latin-1 text, so it is never one of its own.
    static QChar MaskCharacter();
    static QString Masked(int nLength);
};
