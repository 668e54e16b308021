#include "MessageBoxEx.h"
#include "ui_MessageBoxEx.h"

#include <cassert>

#include <QMessageBox>
#include <QRect>

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
    // A word-wrapped label does not grow its dialog by itself: give it the width of the text
    // (up to a readable limit) and let the layout find the height for that width.
    const int limit = 460;
    const QRect needed = ui->message->fontMetrics().boundingRect(QRect(0, 0, limit, 100000), Qt::TextWordWrap, text);
    ui->message->setMinimumWidth(qMin(needed.width(), limit));
    adjustSize();
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
