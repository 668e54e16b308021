#include "MessageBoxes.h"

#include <QMessageBox>
#include <QWidget>

#include "OverrideCursor.h"

namespace tessaly {

namespace {
QString TitleOf(QWidget* parent)
{
    return parent ? parent->window()->windowTitle() : QString();
}
} // namespace

void InformationBox(QWidget* parent, const QString& text)
{
    COverrideCursor arrow(Qt::ArrowCursor);
    QMessageBox::information(parent, TitleOf(parent), text, QMessageBox::Ok, QMessageBox::NoButton);
}

void CriticalBox(QWidget* parent, const QString& text)
{
    COverrideCursor arrow(Qt::ArrowCursor);
    QMessageBox::critical(parent, TitleOf(parent), text, QMessageBox::Ok, QMessageBox::NoButton);
}

bool QuestionBox(QWidget* parent, const QString& title, const QString& text)
{
    COverrideCursor arrow(Qt::ArrowCursor);
    return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

} // namespace tessaly
