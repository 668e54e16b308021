#include "DownloadCertDialog.h"
#include "ui_DownloadCertDialog.h"

#include <QEvent>
#include <QHeaderView>
#include <QIcon>
#include <QStyledItemDelegate>
#include <QTreeWidgetItem>

namespace {

// A tree asks its rows for their height without telling them the column's width, so
// a long message would stay on one line, cut off. This tells the message column's.
class CWrappingDelegate : public QStyledItemDelegate
{
public:
    explicit CWrappingDelegate(QTreeView* pTree) : QStyledItemDelegate(pTree), m_pTree(pTree) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        // Only the message column wraps; the key column is fitted to its labels.
        if (index.column() != index.model()->columnCount(index.parent()) - 1)
            return QStyledItemDelegate::sizeHint(option, index);
        QStyleOptionViewItem sized(option);
        // The style wraps only within a valid rectangle: any height will do.
        sized.rect = QRect(0, 0, m_pTree->columnWidth(index.column()), 1);
        return QStyledItemDelegate::sizeHint(sized, index);
    }

private:
    QTreeView* m_pTree;
};

} // namespace

DownloadCertDialog::DownloadCertDialog(QWidget* parent) : QDialog(parent), ui(new Ui::DownloadCertDialog)
{
    ui->setupUi(this);
    // The key column fits its labels; the messages take the rest and wrap.
    QTreeWidget* tree = ui->treeStatus;
    tree->header()->setStretchLastSection(true);
    tree->setItemDelegate(new CWrappingDelegate(tree));
    connect(tree->header(), &QHeaderView::sectionResized, tree, [tree] { tree->doItemsLayout(); });
}

DownloadCertDialog::~DownloadCertDialog()
{
    delete ui;
}

QString DownloadCertDialog::StatusIcon(int nStatus)
{
    switch (nStatus) {
    case StatusApproved:
        return QStringLiteral(":/icons/Approved");
    case StatusPending:
        return QStringLiteral(":/icons/Pending");
    case StatusRejected:
        return QStringLiteral(":/icons/Rejected");
    default:
        return QStringLiteral(":/icons/Unknown");
    }
}

void DownloadCertDialog::SetActionText(const QString& text)
{
    ui->labelAction->setText(text);
    repaint();
}

void DownloadCertDialog::AddStatusItem(int nStatus, const QString& qsLabel, const QString& qsMessage)
{
    QTreeWidgetItem* item = new QTreeWidgetItem(ui->treeStatus);
    item->setIcon(0, QIcon(StatusIcon(nStatus)));
    item->setText(0, qsLabel);
    item->setStatusTip(0, qsLabel);
    item->setText(1, qsMessage);
    item->setStatusTip(1, qsMessage);
    item->setToolTip(1, qsMessage);
    ui->treeStatus->resizeColumnToContents(0);
    repaint();
}

void DownloadCertDialog::changeEvent(QEvent* event)
{
    QDialog::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        ui->retranslateUi(this);
}
