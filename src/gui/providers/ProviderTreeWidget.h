#ifndef TESSALY_PROVIDERTREEWIDGET_H
#define TESSALY_PROVIDERTREEWIDGET_H

#include <QIcon>
#include <QList>
#include <QTreeWidget>
#include <map>

class CInfoPane;
class CPKCS11Base;

// Tree of one provider tab: slots, their tokens and the tokens' certificates and keys. Each row
// stands for one object of the PKCS#11 layer; the widget keeps the map from row to object (it owns
// neither) and fills the information pane with the fields of the selected object.
class CProviderTreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    // Icon indices of the rows.
    enum TIcon {
        IconEmptyReader = 0,
        IconReaderWithCard = 1,
        IconUnidentifiedCard = 2,
        IconSmartCard = 3,
        IconCertificate = 4,
        IconCertWithKeys = 5,
        IconCertNotDecoded = 6,
        IconPublicKey = 7,
        IconPrivateKey = 8,
        IconCount = 9
    };

    // pwgtInfo: the information pane beside the tree (not owned, must not be null).
    explicit CProviderTreeWidget(QTreeWidget* pwgtInfo);
    ~CProviderTreeWidget() override;

    // Appends a row under pParent (top level when null), mapped to pObject.
    QTreeWidgetItem* AddItem(QTreeWidgetItem* pParent, const QString& qsText, int nIcon, CPKCS11Base* pObject);
    // A mapped row that is not in the tree yet; rows go under it with AddItem, and
    // AddItems puts it into the tree. Many rows are quicker in one insertion than one
    // by one: the view looks for their parent and lays them out once.
    QTreeWidgetItem* CreateItem(const QString& qsText, int nIcon, CPKCS11Base* pObject);
    // Appends rows made by CreateItem (with their subtrees) under pParent, top level
    // when null, in one insertion.
    void AddItems(QTreeWidgetItem* pParent, const QList<QTreeWidgetItem*>& rows);
    void SetItemIcon(QTreeWidgetItem* pItem, int nIcon);
    // Icon index last set on the row, -1 for a row never set through this widget.
    static int GetItemIcon(const QTreeWidgetItem* pItem);
    // Resource path of an icon index.
    static QString GetIconPath(int nIcon);

    CPKCS11Base* GetObject(QTreeWidgetItem* pItem) const;
    // The object of the first selected row, or null.
    CPKCS11Base* GetSelectedObject() const;
    // Makes pObject's row, when it has one, the current and only selected row.
    void SelectObject(const CPKCS11Base* pObject);
    // First row (in item-pointer order) mapped to pObject, or null.
    QTreeWidgetItem* FindItem(const CPKCS11Base* pObject) const;
    // Unmaps the row and its whole subtree; the caller deletes the row afterwards.
    void RemoveItem(QTreeWidgetItem* pItem);
    // Unmaps and deletes every row below pItem; pItem itself stays.
    void RemoveChildren(QTreeWidgetItem* pItem);
    // Number of mapped rows.
    int GetMappedCount() const { return static_cast<int>(m_mapItems.size()); }

    virtual void Clear();

    QTreeWidget* GetInfoWidget() const { return m_pwgtInfo; }

public slots:
    void on_item_selection_changed();

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void OnRowsAboutToBeRemoved(const QModelIndex& parent, int first, int last);
    void OnModelAboutToBeReset();

private:
    std::map<QTreeWidgetItem*, CPKCS11Base*> m_mapItems;
    QTreeWidget* m_pwgtInfo;
    CInfoPane* m_pInfoPane;  // owned by the pane
    // Loaded once: an icon made from its file decodes the image every time.
    QIcon m_icons[IconCount];
};

#endif
