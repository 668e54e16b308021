// The names a screen reader gives the controls a person tells apart by their look or the text
// beside them: the skinned title bar's buttons, every PIN box, the provider tree and the
// information pane, the tool bars' buttons. Each name comes from what a sighted person reads
// there; no visible text changes for it.
#include <functional>
#include <memory>

#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QSplitterHandle>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSplitter>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include "AccessibleNames.h"
#include "BrannickDialog.h"
#include "ChangePINDialog.h"
#include "Fixture.h"
#include "LoginDialog.h"
#include "MainWindow.h"
#include "ModalDriver.h"
#include "IProviderSettings.h"
#include "ProvidersDialog.h"
#include "SelectUserDialog.h"
#include "ResizeCentralWidget.h"
#include "Settings.h"
#include "UnblockPINDialog.h"
#include "WindowSupport.h"

namespace {

const char kProvider[] = "SoftHSM for names";

QString TextOf(QWidget* widget, QAccessible::Text text)
{
    QAccessibleInterface* iface = widget ? QAccessible::queryAccessibleInterface(widget) : nullptr;
    return iface ? iface->text(text) : QStringLiteral("(no widget)");
}

QString NameOf(QWidget* widget)
{
    return TextOf(widget, QAccessible::Name);
}

// The Preferences dialog's settings: two languages, no providers.
class CTwoLanguages : public IProviderSettings
{
public:
    TProviderTable& GetProviders() override { return m_table; }
    void ResetProviders() override {}
    QStringList GetLanguages() const override { return {QStringLiteral("English (EN)"), QStringLiteral("Other")}; }
    QString GetCurrentLanguage() const override { return QStringLiteral("English (EN)"); }
    void SetLanguage(const QString&) override {}

private:
    TProviderTable m_table;
};

typedef std::function<QDialog*()> TOpen;

// The button of an action in a tool bar.
QWidget* ButtonOf(QToolBar* bar, const char* action)
{
    for (QAction* a : bar->actions())
        if (a->objectName() == QLatin1String(action))
            return bar->widgetForAction(a);
    return nullptr;
}

} // namespace

Q_DECLARE_METATYPE(TOpen)

class AccessibleNamesTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        // As the program does at its start (the window does too, for the dialogs it opens).
        tessaly::InstallAccessibleNames();
    }

    // A combo box is named by the question beside it; the entry it shows is its value, never its
    // name (Qt alone said "User" for the login's choice of user).
    void comboBoxesAreNamedByTheirLabels_data()
    {
        QTest::addColumn<TOpen>("open");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        static CTwoLanguages languages;
        QTest::newRow("login: user") << TOpen([] { return new LoginDialog(NormalUser, nullptr); }) << "cboxUserType"
                                     << "Select user:" << "User";
        QTest::newRow("login: administrator")
            << TOpen([] { return new LoginDialog(SecurityOfficer, nullptr); }) << "cboxUserType" << "Select user:"
            << "Administrator";
        QTest::newRow("select user") << TOpen([] { return new SelectUserDialog(nullptr); }) << "cboxUserType"
                                     << "Select user:" << "User";
        QTest::newRow("change PIN") << TOpen([] { return new ChangePINDialog(nullptr); }) << "cbUserType"
                                    << "Select PIN to change:" << "";
        QTest::newRow("preferences: language") << TOpen([] { return new ProvidersDialog(languages); }) << "comboBox"
                                               << "Language selection" << "English (EN)";
    }

    void comboBoxesAreNamedByTheirLabels()
    {
        QFETCH(TOpen, open);
        QFETCH(QString, box);
        QFETCH(QString, name);
        QFETCH(QString, value);
        std::unique_ptr<QDialog> dialog(open());
        QComboBox* combo = dialog->findChild<QComboBox*>(box);
        QVERIFY(combo);
        if (value.isEmpty())
            value = combo->currentText();
        QCOMPARE(NameOf(combo), name);
        QCOMPARE(TextOf(combo, QAccessible::Value), value);
        QVERIFY(name != value);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(combo);
        QCOMPARE(iface->role(), QAccessible::ComboBox);
        // Its list is still there for the screen reader to walk.
        QVERIFY(iface->childCount() >= 1);
        QCOMPARE(iface->child(0)->object(), static_cast<QObject*>(combo->view()));
    }
    void pinBoxesAreNamedByTheirLabels_data()
    {
        QTest::addColumn<TOpen>("open");
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("name");
        const TOpen login = [] { return new LoginDialog(NormalUser, nullptr); };
        const TOpen change = [] { return new ChangePINDialog(nullptr); };
        const TOpen unblock = [] { return new UnblockPINDialog(nullptr); };
        const TOpen init = [] { return new BrannickDialog(4, 16, false, nullptr); };
        QTest::newRow("login") << login << "edtPassword" << "Enter the corresponding PIN:";
        QTest::newRow("change: current") << change << "editPIN" << "Enter current PIN:";
        QTest::newRow("change: new") << change << "editNewPIN" << "Enter new PIN:";
        QTest::newRow("change: again") << change << "editNewPIN2" << "Re-enter new PIN:";
        QTest::newRow("unblock: administrative")
            << unblock << "editSOPIN"
            << "You need the administrative PIN of this card in order to unblock the user PIN.\n"
               "Please enter it below:";
        QTest::newRow("unblock: new") << unblock << "editNewPIN" << "Enter new user PIN:";
        QTest::newRow("unblock: again") << unblock << "editNewPIN_2" << "Re-enter PIN for verification:";
        QTest::newRow("initialise: SO PIN") << init << "edtSOPIN" << "Enter SO-PIN:";
        QTest::newRow("initialise: new SO PIN") << init << "edtNewSOPIN" << "New SO-PIN:";
        QTest::newRow("initialise: new PIN") << init << "edtNewUserPIN" << "New PIN:";
    }

    void pinBoxesAreNamedByTheirLabels()
    {
        QFETCH(TOpen, open);
        QFETCH(QString, box);
        QFETCH(QString, name);
        std::unique_ptr<QDialog> dialog(open());
        QCOMPARE(NameOf(dialog->findChild<QLineEdit*>(box)), name);
    }

    // The skinned window's controls, by what a person sees: the title bar's pictures, the tab
    // above the tree, the row the pane tells about, the tool tips of buttons that read alike.
    void windowControlsAreToldApart()
    {
        const std::string store = fixture::ScratchDir("names-tokens");
        fixture::SoftHsm hsm(store);
        QVERIFY2(hsm.InitToken("Names"), hsm.LastOutput().c_str());
        const QString home = FreshHome(QStringLiteral("names"));
        WriteProviderSettings(home, {{kProvider, QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
        // With the skin: its title bar.
        QByteArray ini = ReadFile(HomeSettingsPath(home));
        ini.replace("SkinEnabled=false", "SkinEnabled=true");
        WriteFile(HomeSettingsPath(home), ini);

        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QResizeCentralWidget* body = window.findChild<QResizeCentralWidget*>();
        QVERIFY(body);
        CProviderTreeWidget* tree = TreeOf(window, kProvider);
        QVERIFY(tree);
        QTreeWidgetItem* token = nullptr;
        for (QTreeWidgetItemIterator it(tree); *it; ++it)
            if ((*it)->text(0).startsWith(QLatin1String("Names")))
                token = *it;
        QVERIFY2(token, qPrintable(DumpTree(tree).join("\n")));
        // The pane is the tree's neighbour in the tab's splitter.
        QSplitter* splitter = qobject_cast<QSplitter*>(tree->parentWidget());
        QVERIFY(splitter);
        QTreeWidget* pane = qobject_cast<QTreeWidget*>(splitter->widget(1));
        QVERIFY(pane && pane != tree);
        tree->clearSelection();
        const QString paneBefore = NameOf(pane);
        tree->setCurrentItem(token);
        token->setSelected(true);

        QToolBar* side = window.findChild<QToolBar*>("verticalToolBar");
        QToolBar* top = window.findChild<QToolBar*>("newmainToolBar");
        QVERIFY(side && top);
        const QStringList got = {
            NameOf(body->findChild<QPushButton*>("TitleMinimizeButton")),
            NameOf(body->findChild<QPushButton*>("TitleMaximizeButton")),
            NameOf(body->findChild<QPushButton*>("TitleCloseButton")),
            NameOf(tree),
            paneBefore,
            NameOf(pane),
            NameOf(ButtonOf(side, "actionTestToken")),
            NameOf(ButtonOf(side, "actionTestKey")),
            NameOf(ButtonOf(side, "actionTestCertificate")),
            NameOf(ButtonOf(top, "actionTestToken")),
            NameOf(ButtonOf(top, "actionTestKey")),
            NameOf(ButtonOf(top, "actionTestCertificate")),
            NameOf(ButtonOf(side, "actionLogin")),
            NameOf(ButtonOf(top, "actionUnblockPIN")),
            NameOf(side),
            NameOf(top),
            NameOf(splitter),
            NameOf(splitter->handle(1)),
            NameOf(body->findChild<QWidget*>("QRWTopLeft")),
            NameOf(body->findChild<QWidget*>("QRWBottom")),
        };
        const QStringList expected = {
            "Minimize",
            "Maximize",
            "Close",
            kProvider,
            kProvider,
            token->text(0),
            "Test if the selected smart-card works fine.",
            "Test if the selected key pair works fine.",
            "Test if the selected certificate works fine.",
            "Test if the selected smart-card works fine.",
            "Test if the selected key pair works fine.",
            "Test if the selected certificate works fine.",
            "Login",
            "Unblock PIN",
            "Actions",
            "Actions",
            kProvider,
            "Divider between the list and the details",
            "Top-left corner of the window",
            "Bottom edge of the window",
        };
        QCOMPARE(got, expected);
        // No piece of the frame is a nameless object in the tree.
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY2(!NameOf(border).isEmpty(), qPrintable(border->objectName()));
        // The visible texts stay as they were.
        QCOMPARE(qobject_cast<QToolButton*>(ButtonOf(side, "actionTestKey"))->text(), QStringLiteral("Test"));

        // The maximise button says what it does now.
        body->findChild<QPushButton*>("TitleMaximizeButton")->click();
        QCOMPARE(NameOf(body->findChild<QPushButton*>("TitleMaximizeButton")), QStringLiteral("Restore"));
        window.showNormal();
        QCOMPARE(NameOf(body->findChild<QPushButton*>("TitleMaximizeButton")), QStringLiteral("Maximize"));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }
};

QTEST_MAIN(AccessibleNamesTest)
#include "test_accessiblenames.moc"
