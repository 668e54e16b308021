#include "MessageBoxEx.h"
#include "ui_MessageBoxEx.h"

#include <cassert>

#include <QMessageBox>

QMessageBoxEx::QMessageBoxEx(QWidget* parent)
    : QDialog(parent), ui(new Ui::QMessageBoxEx)
{
    assert(parent);
    ui->setupUi(this);
    ui->icon->setPixmap(QMessageBox::standardIcon(QMessageBox::Information));
    ui->frame->setMaximumHeight(ui->pushButton->height());
    setWindowTitle(parent->windowTitle());
}

QMessageBoxEx::~QMessageBoxEx()
{
    delete ui;
}

void QMessageBoxEx::SetText(const QString& text)
{
    ui->message->setText(text);
}

bool QMessageBoxEx::IsShowAgainChecked() const
{
    return ui->cbShowAgain->isChecked();
}

void QMessageBoxEx::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange) {
        // The caller's message and the title stay; only the form's own texts change.
        ui->cbShowAgain->setText(tr("Show this message again"));
        ui->pushButton->setText(tr("OK"));
    }
}
