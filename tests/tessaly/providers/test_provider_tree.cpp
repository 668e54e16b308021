// The provider tree: rows mapped to layer objects, icons, the information pane, and no
// pointer left behind when rows or providers go.
#include <QApplication>
#include <QFont>
#include <QTreeWidget>
#include <QtTest>
#include <set>
#include <stdexcept>

#include "FieldList.h"
#include "Fixture.h"
#include "PKCS11Base.h"
#include "PKCS11Context.h"
#include "PKCS11Slot.h"
#include "PKCS11Token.h"
#include "ProviderTreeWidget.h"

namespace {

typedef QList<QPair<QString, QString>> TLines;

// A layer object with scripted fields. It knows which of its kind are alive, so a call on a
// freed one is caught even without the address sanitizer.
class CFakeObject : public CPKCS11Base
{
public:
    static std::set<const CFakeObject*> s_alive;
    static int s_callsOnDead;

    TLines lines;
    int calls = 0;
    bool throwAfterLines = false;

    explicit CFakeObject(TObjectType type, TLines l = TLines()) : CPKCS11Base(nullptr, nullptr, nullptr), lines(l)
    {
        m_eObjectType = type;
        s_alive.insert(this);
    }
    ~CFakeObject() override { s_alive.erase(this); }

    void PopulateFields(CFieldList* pFields) override
    {
        if (!s_alive.count(this)) {
            ++s_callsOnDead;
            return;
        }
        ++calls;
        for (const auto& line : lines)
            (*pFields)[line.first] = line.second;
        if (throwAfterLines)
            throw CTSYException("C_GetAttributeValue failed", 0xB3, 1);
    }
};
std::set<const CFakeObject*> CFakeObject::s_alive;
int CFakeObject::s_callsOnDead = 0;

struct TTree {
    QTreeWidget pane;
    CProviderTreeWidget tree{&pane};
    TTree()
    {
        pane.setColumnCount(2);
        tree.show();
    }
};

TLines PaneLines(const QTreeWidget& pane)
{
    TLines lines;
    for (int i = 0; i < pane.topLevelItemCount(); ++i)
        lines << qMakePair(pane.topLevelItem(i)->text(0), pane.topLevelItem(i)->text(1));
    return lines;
}

void SelectOnly(CProviderTreeWidget& tree, QTreeWidgetItem* item)
{
    tree.clearSelection();
    if (item)
        item->setSelected(true);
}

} // namespace

class TestProviderTree : public QObject
{
    Q_OBJECT

private slots:
    void init() { CFakeObject::s_callsOnDead = 0; }

    void iconTable();
    void addItemBuildsRowsInOrder();
    void lookupBothWays();
    void removeItemUnmapsSubtreeOnly();
    void paneShowsFirstSelectedObject();
    void paneEmptyWithoutSelectionOrMapping();
    void paneOneRefreshPerChangeAfterShows();
    void paneKeepsLinesBeforeAnException();
    void rowsLeavingTheTreeTakeTheirEntries();
    void clearAfterObjectsWereFreed();
    void realSlotAndTokenOfSoftHsm();
};

void TestProviderTree::iconTable()
{
    const QStringList expected = {":/icons/EmptyReader", ":/icons/ReaderWithCard", ":/icons/UnidentifiedCard",
                                  ":/icons/SmartCard", ":/icons/Certificate", ":/icons/CertWithKeys",
                                  ":/icons/CertNotDecoded", ":/icons/PublicKey", ":/icons/PrivateKey"};
    QCOMPARE(int(CProviderTreeWidget::IconCount), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(CProviderTreeWidget::GetIconPath(i), expected.at(i));
}

void TestProviderTree::addItemBuildsRowsInOrder()
{
    TTree t;
    CFakeObject slot1(CryptokiSlot), slot2(CryptokiSlot), token(CryptokiToken), cert(CryptokiCertificate),
        pub(CryptokiAsymmetricKey), priv(CryptokiAsymmetricKey);
    QTreeWidgetItem* s1 = t.tree.AddItem(nullptr, "Slot 1", CProviderTreeWidget::IconReaderWithCard, &slot1);
    QTreeWidgetItem* s2 = t.tree.AddItem(nullptr, "Slot 2", CProviderTreeWidget::IconEmptyReader, &slot2);
    QTreeWidgetItem* tok = t.tree.AddItem(s1, "Demo", CProviderTreeWidget::IconSmartCard, &token);
    QTreeWidgetItem* c = t.tree.AddItem(tok, "Certificate(me)", CProviderTreeWidget::IconCertWithKeys, &cert);
    QTreeWidgetItem* k1 = t.tree.AddItem(c, "Public key(me)", CProviderTreeWidget::IconPublicKey, &pub);
    QTreeWidgetItem* k2 = t.tree.AddItem(c, "Private key(me)", CProviderTreeWidget::IconPrivateKey, &priv);

    QCOMPARE(t.tree.topLevelItemCount(), 2);
    QCOMPARE(t.tree.topLevelItem(0), s1);
    QCOMPARE(t.tree.topLevelItem(1), s2);
    QCOMPARE(s1->child(0), tok);
    QCOMPARE(tok->child(0), c);
    QCOMPARE(c->child(0), k1);
    QCOMPARE(c->child(1), k2);
    QCOMPARE(k2->text(0), QStringLiteral("Private key(me)"));
    QCOMPARE(CProviderTreeWidget::GetItemIcon(s2), 0);
    QCOMPARE(CProviderTreeWidget::GetItemIcon(k1), 7);
    QCOMPARE(t.tree.GetMappedCount(), 6);

    t.tree.SetItemIcon(s2, CProviderTreeWidget::IconUnidentifiedCard);
    QCOMPARE(CProviderTreeWidget::GetItemIcon(s2), 2);
    QCOMPARE(CProviderTreeWidget::GetItemIcon(nullptr), -1);
}

void TestProviderTree::lookupBothWays()
{
    TTree t;
    CFakeObject a(CryptokiSlot), b(CryptokiSlot), nowhere(CryptokiSlot);
    QTreeWidgetItem* ra = t.tree.AddItem(nullptr, "a", 0, &a);
    QTreeWidgetItem* rb1 = t.tree.AddItem(nullptr, "b1", 0, &b);
    QTreeWidgetItem* rb2 = t.tree.AddItem(nullptr, "b2", 0, &b);
    QTreeWidgetItem* foreign = new QTreeWidgetItem(QStringList("foreign"));
    t.tree.addTopLevelItem(foreign);

    QCOMPARE(t.tree.GetObject(ra), static_cast<CPKCS11Base*>(&a));
    QCOMPARE(t.tree.GetObject(rb2), static_cast<CPKCS11Base*>(&b));
    QVERIFY(!t.tree.GetObject(foreign));
    QVERIFY(!t.tree.GetObject(nullptr));
    QCOMPARE(t.tree.FindItem(&a), ra);
    QVERIFY(!t.tree.FindItem(&nowhere));
    // Two rows of one object: the one with the lower item pointer.
    QCOMPARE(t.tree.FindItem(&b), std::min(rb1, rb2));
}

void TestProviderTree::removeItemUnmapsSubtreeOnly()
{
    TTree t;
    CFakeObject slot(CryptokiSlot), token(CryptokiToken), cert(CryptokiCertificate), key(CryptokiAsymmetricKey),
        lone(CryptokiAsymmetricKey);
    QTreeWidgetItem* s = t.tree.AddItem(nullptr, "slot", 1, &slot);
    QTreeWidgetItem* tok = t.tree.AddItem(s, "token", 3, &token);
    QTreeWidgetItem* c = t.tree.AddItem(tok, "cert", 5, &cert);
    t.tree.AddItem(c, "key", 8, &key);
    t.tree.AddItem(tok, "lone", 8, &lone);

    t.tree.RemoveItem(nullptr);
    QCOMPARE(t.tree.GetMappedCount(), 5);
    t.tree.RemoveItem(tok);
    QCOMPARE(t.tree.GetMappedCount(), 1);
    QCOMPARE(t.tree.FindItem(&slot), s);
    for (CPKCS11Base* o : {static_cast<CPKCS11Base*>(&token), static_cast<CPKCS11Base*>(&cert),
                           static_cast<CPKCS11Base*>(&key), static_cast<CPKCS11Base*>(&lone)})
        QVERIFY(!t.tree.FindItem(o));
    // The rows themselves stay until the caller deletes them.
    QCOMPARE(s->childCount(), 1);
    QCOMPARE(tok->childCount(), 2);
    delete tok;
    QCOMPARE(s->childCount(), 0);
    QCOMPARE(t.tree.GetMappedCount(), 1);
}

void TestProviderTree::paneShowsFirstSelectedObject()
{
    TTree t;
    t.tree.setSelectionMode(QAbstractItemView::ExtendedSelection);
    CFakeObject first(CryptokiToken, {{"Card label", "Demo"}, {"Serial number", ""}, {"Flags", "RNG"}});
    CFakeObject second(CryptokiCertificate, {{"Subject", "CN=x"}});
    QTreeWidgetItem* r1 = t.tree.AddItem(nullptr, "first", 3, &first);
    QTreeWidgetItem* r2 = t.tree.AddItem(nullptr, "second", 4, &second);

    SelectOnly(t.tree, r1);
    const TLines expected = {{"Card label", "Demo"}, {"Serial number", ""}, {"Flags", "RNG"}};
    QCOMPARE(PaneLines(t.pane), expected);
    for (int i = 0; i < t.pane.topLevelItemCount(); ++i) {
        QCOMPARE(t.pane.topLevelItem(i)->font(0).weight(), 75);
        QVERIFY(t.pane.topLevelItem(i)->font(1).weight() != 75);
    }

    // Several selected: the first in the selection's order.
    t.tree.clearSelection();
    r2->setSelected(true);
    r1->setSelected(true);
    QCOMPARE(PaneLines(t.pane), TLines({{"Subject", "CN=x"}}));
}

void TestProviderTree::paneEmptyWithoutSelectionOrMapping()
{
    TTree t;
    CFakeObject o(CryptokiSlot, {{"Description", "Reader"}});
    QTreeWidgetItem* r = t.tree.AddItem(nullptr, "slot", 0, &o);
    QTreeWidgetItem* foreign = new QTreeWidgetItem(QStringList("foreign"));
    t.tree.addTopLevelItem(foreign);

    SelectOnly(t.tree, r);
    QCOMPARE(t.pane.topLevelItemCount(), 1);
    t.tree.clearSelection();
    QCOMPARE(t.pane.topLevelItemCount(), 0);

    SelectOnly(t.tree, r);
    SelectOnly(t.tree, foreign);
    QCOMPARE(t.pane.topLevelItemCount(), 0);
}

void TestProviderTree::paneOneRefreshPerChangeAfterShows()
{
    TTree t;
    CFakeObject a(CryptokiSlot, {{"n", "a"}}), b(CryptokiSlot, {{"n", "b"}});
    QTreeWidgetItem* ra = t.tree.AddItem(nullptr, "a", 0, &a);
    QTreeWidgetItem* rb = t.tree.AddItem(nullptr, "b", 0, &b);
    for (int i = 0; i < 3; ++i) {
        t.tree.hide();
        t.tree.show();
    }
    SelectOnly(t.tree, ra);
    SelectOnly(t.tree, rb);
    QCOMPARE(a.calls, 1);
    QCOMPARE(b.calls, 1);
    QCOMPARE(PaneLines(t.pane), TLines({{"n", "b"}}));

    // The main window asks for a refresh after rebuilding rows.
    t.tree.on_item_selection_changed();
    QCOMPARE(b.calls, 2);
}

void TestProviderTree::paneKeepsLinesBeforeAnException()
{
    TTree t;
    CFakeObject o(CryptokiCertificate, {{"Label", "me"}});
    o.throwAfterLines = true;
    QTreeWidgetItem* r = t.tree.AddItem(nullptr, "cert", 4, &o);
    // The layer's exception must not leave the slot.
    SelectOnly(t.tree, r);
    QCOMPARE(o.calls, 1);
    QCOMPARE(PaneLines(t.pane), TLines({{"Label", "me"}}));
}

void TestProviderTree::rowsLeavingTheTreeTakeTheirEntries()
{
    TTree t;
    auto* slot = new CFakeObject(CryptokiSlot);
    auto* token = new CFakeObject(CryptokiToken, {{"Card label", "Demo"}});
    auto* key = new CFakeObject(CryptokiAsymmetricKey, {{"Label", "k"}});
    QTreeWidgetItem* s = t.tree.AddItem(nullptr, "slot", 1, slot);
    QTreeWidgetItem* tok = t.tree.AddItem(s, "token", 3, token);
    QTreeWidgetItem* k = t.tree.AddItem(tok, "key", 8, key);
    SelectOnly(t.tree, k);
    QCOMPARE(t.pane.topLevelItemCount(), 1);

    // A slot event frees the token with its objects and deletes the token row, here without
    // unmapping it first: the entries must go with the rows, and the selection change that the
    // deletion causes must not reach the freed objects.
    delete key;
    delete token;
    delete s->takeChild(0);
    QCOMPARE(t.tree.GetMappedCount(), 1);
    // Only the freed addresses are looked up, never what they pointed to.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
    QVERIFY(!t.tree.FindItem(token));
    QVERIFY(!t.tree.FindItem(key));
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif
    QCOMPARE(CFakeObject::s_callsOnDead, 0);

    // A new row that may reuse a freed row's address maps only to its own object.
    CFakeObject fresh(CryptokiToken, {{"Card label", "New"}});
    QTreeWidgetItem* again = t.tree.AddItem(s, "token", 3, &fresh);
    QCOMPARE(t.tree.GetObject(again), static_cast<CPKCS11Base*>(&fresh));
    QCOMPARE(t.tree.GetMappedCount(), 2);

    // Qt's own clear() also empties the map.
    t.tree.clear();
    QCOMPARE(t.tree.GetMappedCount(), 0);
    delete slot;
    QCOMPARE(CFakeObject::s_callsOnDead, 0);
}

void TestProviderTree::clearAfterObjectsWereFreed()
{
    auto* pane = new QTreeWidget;
    auto* tree = new CProviderTreeWidget(pane);
    tree->show();
    tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QList<CFakeObject*> objects;
    QTreeWidgetItem* parent = nullptr;
    for (int i = 0; i < 5; ++i) {
        objects << new CFakeObject(CryptokiSlot, {{"n", QString::number(i)}});
        parent = tree->AddItem(i % 2 ? parent : nullptr, QString::number(i), 0, objects.last());
        parent->setSelected(true);
    }
    QVERIFY(pane->topLevelItemCount() > 0);

    // Freeing a provider: the layer objects go first, then the tree is cleared.
    qDeleteAll(objects);
    tree->Clear();
    QCOMPARE(tree->GetMappedCount(), 0);
    QCOMPARE(tree->topLevelItemCount(), 0);
    QCOMPARE(pane->topLevelItemCount(), 0);
    tree->on_item_selection_changed();
    QCOMPARE(CFakeObject::s_callsOnDead, 0);

    // Destroying a tab whose tree still has rows of freed objects reaches none of them.
    objects.clear();
    objects << new CFakeObject(CryptokiSlot, {{"n", "x"}});
    tree->AddItem(nullptr, "x", 0, objects.last())->setSelected(true);
    qDeleteAll(objects);
    delete tree;
    delete pane;
    QCOMPARE(CFakeObject::s_callsOnDead, 0);
}

void TestProviderTree::realSlotAndTokenOfSoftHsm()
{
    const std::string dir = fixture::ScratchDir("softhsm");
    fixture::SoftHsm hsm(dir);
    QVERIFY2(hsm.InitToken("Tree Demo"), hsm.LastOutput().c_str());

    CTSYException sink;
    TTree t;
    {
        CPKCS11Context context(fixture::SoftHsm::ModulePath().c_str(), "SoftHSM", &sink);
        QTreeWidgetItem* tokenRow = nullptr;
        for (unsigned long i = 0; i < context.GetSlotCount(); ++i) {
            CPKCS11Slot* slot = context.GetSlot(i);
            if (!slot || !slot->IsTokenPresent())
                continue;
            QTreeWidgetItem* slotRow = t.tree.AddItem(nullptr, QString::fromLatin1(slot->GetDescription()),
                                                      CProviderTreeWidget::IconReaderWithCard, slot);
            CPKCS11Token* token = slot->GetToken();
            QTreeWidgetItem* row = t.tree.AddItem(slotRow, QString::fromLatin1(token->GetLabel()),
                                                  CProviderTreeWidget::IconSmartCard, token);
            if (QString::fromLatin1(token->GetLabel()) == "Tree Demo")
                tokenRow = row;
        }
        QVERIFY(tokenRow);
        SelectOnly(t.tree, tokenRow->parent());
        const TLines slotLines = PaneLines(t.pane);
        QVERIFY(slotLines.size() >= 3);
        QCOMPARE(slotLines.at(0).first, QStringLiteral("Description"));
        QCOMPARE(slotLines.at(2), qMakePair(QStringLiteral("Status"), QStringLiteral("Token present.")));

        SelectOnly(t.tree, tokenRow);
        const TLines tokenLines = PaneLines(t.pane);
        QVERIFY(!tokenLines.isEmpty());
        bool labelShown = false;
        for (const auto& line : tokenLines)
            labelShown = labelShown || line.second == QStringLiteral("Tree Demo");
        QVERIFY2(labelShown, "the token's fields name its label");

        // Freeing the provider: the tree is cleared before the context goes.
        t.tree.Clear();
    }
    QCOMPARE(t.tree.GetMappedCount(), 0);
    t.tree.on_item_selection_changed();
    QCOMPARE(t.pane.topLevelItemCount(), 0);
}

QTEST_MAIN(TestProviderTree)
#include "test_provider_tree.moc"
