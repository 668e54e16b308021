#pragma once

#include <QString>

class QWidget;

// The message boxes of the token operations: titled like the window they belong to, with the
// normal arrow cursor (an operation may have a wait cursor up while they wait for the user).
namespace tessaly {

void InformationBox(QWidget* parent, const QString& text);
void CriticalBox(QWidget* parent, const QString& text);
// Yes and No, No by default; true only for Yes.
bool QuestionBox(QWidget* parent, const QString& title, const QString& text);

} // namespace tessaly
