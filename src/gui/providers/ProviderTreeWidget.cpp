#include "ProviderTreeWidget.h"

#include "FieldList.h"
#include "InfoPane.h"
#include "PKCS11Base.h"

#include <QFont>
#include <QHeaderView>
#include <QIcon>
#include <cassert>
#include <exception>

#include "GuiLog.h"

namespace {

const char* const g_iconPaths[CProviderTreeWidget::IconCount] = {
    ":/icons/EmptyReader",
    ":/icons/ReaderWithCard",
    ":/icons/UnidentifiedCard",
    ":/icons/SmartCard",
    ":/icons/Certificate",
    ":/icons/CertWithKeys",
    ":/icons/CertNotDecoded",
    ":/icons/PublicKey",
    ":/icons/PrivateKey",
};

// The icon index is kept on the row so that callers (and tests) can tell which icon a row shows.
const int IconRole = Qt::UserRole + 1;

} // namespace

CProviderTreeWidget::CProviderTreeWidget(QTreeWidget* pwgtInfo)
    : QTreeWidget(nullptr), m_pwgtInfo(pwgtInfo), m_pInfoPane(nullptr)
{
    assert(pwgtInfo && "pwgtInfo");
    // A value wider than the pane (a certificate's serial number) wraps, it is not cut.
    m_pInfoPane = new CInfoPane(m_pwgtInfo);
    for (int i = 0; i < IconCount; ++i)
        m_icons[i] = QIcon(GetIconPath(i));
    // Rows that leave the tree, however they go, take their map entries with them, so no entry
    // can outlive its row and be matched by a later row at the same address.
    connect(model(), &QAbstractItemModel::rowsAboutToBeRemoved, this, &CProviderTreeWidget::OnRowsAboutToBeRemoved);
    connect(model(), &QAbstractItemModel::modelAboutToBeReset, this, &CProviderTreeWidget::OnModelAboutToBeReset);
}

CProviderTreeWidget::~CProviderTreeWidget()
{
    // The layer objects may be gone already; nothing below may reach them any more.
    m_mapItems.clear();
    disconnect(model(), nullptr, this, nullptr);
    disconnect(this, &QTreeWidget::itemSelectionChanged, this, &CProviderTreeWidget::on_item_selection_changed);
}

QString CProviderTreeWidget::GetIconPath(int nIcon)
{
    assert(nIcon >= 0 && nIcon < IconCount);
    return QString::fromLatin1(g_iconPaths[nIcon]);
}

int CProviderTreeWidget::GetItemIcon(const QTreeWidgetItem* pItem)
{
    if (!pItem)
        return -1;
    const QVariant v = pItem->data(0, IconRole);
    return v.isValid() ? v.toInt() : -1;
}

QTreeWidgetItem* CProviderTreeWidget::AddItem(QTreeWidgetItem* pParent, const QString& qsText, int nIcon,
                                              CPKCS11Base* pObject)
{
    QTreeWidgetItem* pItem = CreateItem(qsText, nIcon, pObject);
    if (pParent)
        pParent->addChild(pItem);
    else
        addTopLevelItem(pItem);
    return pItem;
}

QTreeWidgetItem* CProviderTreeWidget::CreateItem(const QString& qsText, int nIcon, CPKCS11Base* pObject)
{
    assert(pObject);
    QTreeWidgetItem* pItem = new QTreeWidgetItem();
    SetItemIcon(pItem, nIcon);
    pItem->setText(0, qsText);
    m_mapItems[pItem] = pObject;
    return pItem;
}

void CProviderTreeWidget::AddItems(QTreeWidgetItem* pParent, const QList<QTreeWidgetItem*>& rows)
{
    if (rows.isEmpty())
        return;
    if (pParent)
        pParent->addChildren(rows);
    else
        addTopLevelItems(rows);
}

void CProviderTreeWidget::SetItemIcon(QTreeWidgetItem* pItem, int nIcon)
{
    assert(pItem);
    assert(nIcon >= 0 && nIcon < IconCount);
    pItem->setIcon(0, m_icons[nIcon]);
    pItem->setData(0, IconRole, nIcon);
}

CPKCS11Base* CProviderTreeWidget::GetObject(QTreeWidgetItem* pItem) const
{
    auto it = m_mapItems.find(pItem);
    return it == m_mapItems.end() ? nullptr : it->second;
}

QTreeWidgetItem* CProviderTreeWidget::FindItem(const CPKCS11Base* pObject) const
{
    for (const auto& entry : m_mapItems)
        if (entry.second == pObject)
            return entry.first;
    return nullptr;
}

void CProviderTreeWidget::RemoveItem(QTreeWidgetItem* pItem)
{
    if (!pItem)
        return;
    m_mapItems.erase(pItem);
    for (int i = 0; i < pItem->childCount(); ++i)
        RemoveItem(pItem->child(i));
}

void CProviderTreeWidget::RemoveChildren(QTreeWidgetItem* pItem)
{
    if (!pItem)
        return;
    const QList<QTreeWidgetItem*> rows = pItem->takeChildren();
    for (QTreeWidgetItem* pRow : rows) {
        RemoveItem(pRow);
        delete pRow;
    }
}

void CProviderTreeWidget::Clear()
{
    // Empty the map first: clearing the rows changes the selection, and the refresh it triggers
    // must not reach objects that the caller may already have freed.
    m_mapItems.clear();
    clear();
    m_pwgtInfo->clear();
}

void CProviderTreeWidget::showEvent(QShowEvent* event)
{
    QTreeWidget::showEvent(event);
    connect(this, &QTreeWidget::itemSelectionChanged, this, &CProviderTreeWidget::on_item_selection_changed,
            Qt::UniqueConnection);
}

CPKCS11Base* CProviderTreeWidget::GetSelectedObject() const
{
    const QList<QTreeWidgetItem*> selected = selectedItems();
    return selected.isEmpty() ? nullptr : GetObject(selected.first());
}

void CProviderTreeWidget::SelectObject(const CPKCS11Base* pObject)
{
    QTreeWidgetItem* pRow = pObject ? FindItem(pObject) : nullptr;
    if (!pRow)
        return;
    clearSelection();
    setCurrentItem(pRow);
    pRow->setSelected(true);
}

void CProviderTreeWidget::on_item_selection_changed()
{
    m_pwgtInfo->clear();
    // The pane tells about the row selected beside it: a screen reader names it so.
    const QList<QTreeWidgetItem*> selected = selectedItems();
    m_pwgtInfo->setAccessibleName(selected.isEmpty() ? accessibleName() : selected.first()->text(0));
    CPKCS11Base* pObject = GetSelectedObject();
    if (!pObject)
        return;

    CFieldList fields;
    try {
        pObject->PopulateFields(&fields);
    } catch (const std::exception& e) {
        // A slot must not let the layer's exception through; show what was read before it.
        qCDebug(lcGui) << "Unable to read the fields of the selected object:" << e.what();
    } catch (...) {
        qCDebug(lcGui) << "Unable to read the fields of the selected object";
    }

    for (int i = 0; i < fields.GetCount(); ++i) {
        QTreeWidgetItem* pRow = new QTreeWidgetItem(m_pwgtInfo);
        if (const QString* pName = fields.GetName(i))
            pRow->setText(0, *pName);
        QFont font = pRow->font(0);
        font.setWeight(75);
        pRow->setFont(0, font);
        const QString* pValue = fields.GetValue(i);
        if (pValue && !pValue->isEmpty()) {
            pRow->setText(1, *pValue);
            pRow->setToolTip(1, *pValue);
        }
    }
    m_pInfoPane->RowsChanged();
}

void CProviderTreeWidget::OnRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last)
{
    for (int row = first; row <= last; ++row)
        RemoveItem(itemFromIndex(model()->index(row, 0, parent)));
}

void CProviderTreeWidget::OnModelAboutToBeReset()
{
    m_mapItems.clear();
}
