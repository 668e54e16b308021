// The main window over SoftHSM2 tokens: the rows and icons of each kind of token content,
// the information pane, and which actions the selected object offers.
#include <QHeaderView>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextLayout>
#include <QToolBar>
#include <QToolButton>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <pkcs11.h>
#include <string>

#include "Fixture.h"
#include "PKCS11Token.h"
#include "SoftHsmSession.h"
#include "TranslationManager.h"
#include "ProviderTreeWidget.h"
#include "MyToolBar.h"
#include "ModalDriver.h"
#include "WindowSupport.h"


namespace {
const char* const kProvider = "SoftHSM2 Tokens";
const char* const kUserPin = "1234";

std::string g_store;

std::string Tool()
{
    return "pkcs11-tool --module " + fixture::Quote(fixture::SoftHsm::ModulePath()) + " --login --pin " + kUserPin +
           " --token-label ";
}

// Rows below a token row, logged out and logged in (private keys are listed only then).
struct TTokenCase {
    const char* label;
    QStringList loggedOut;
    QStringList loggedIn;
};

QList<TTokenCase> Cases()
{
    return {
        {"CertKeys",
         {"Certificate(User A) [5]", "  Public key(User A) [7]"},
         {"Certificate(User A) [5]", "  Public key(User A) [7]", "  Private key(User A) [8]"}},
        {"KeyPair", {"Public key(Spare) [7]"}, {"Public key(Spare) [7]", "Private key(Spare) [8]"}},
        {"LoneKey", {}, {"Private key(Lonely) [8]"}},
        {"Certs",
         // Certificates first, in identifier order, then the keys that none of them took.
         {"Certificate(Broken) [6]", "Certificate((no label)) [4]", "Public key(Other) [7]"},
         {"Certificate(Broken) [6]", "Certificate((no label)) [4]", "Public key(Other) [7]",
          "Private key(Other) [8]"}},
    };
}

// pkcs11-tool refuses to store a value that is no certificate as one: the object is made
// through PKCS#11 directly, before any window loads the module.
bool CreateBrokenCertificate(const char* tokenLabel, const char* label, unsigned char id)
{
    return fixture::WithSoftHsmSession(tokenLabel, kUserPin, [&](CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE session) {
        CK_OBJECT_CLASS cls = CKO_CERTIFICATE;
        CK_CERTIFICATE_TYPE type = CKC_X_509;
        CK_BBOOL yes = CK_TRUE;
        unsigned char subject[] = {0x30, 0x00};
        const char value[] = "this is not a certificate";
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &cls, sizeof cls},
                            {CKA_CERTIFICATE_TYPE, &type, sizeof type},
                            {CKA_TOKEN, &yes, sizeof yes},
                            {CKA_SUBJECT, subject, sizeof subject},
                            {CKA_VALUE, (void*)value, sizeof value - 1},
                            {CKA_ID, &id, 1},
                            {CKA_LABEL, (void*)label, (CK_ULONG)strlen(label)}};
        CK_OBJECT_HANDLE h = 0;
        return f->C_CreateObject(session, t, sizeof t / sizeof t[0], &h) == CKR_OK;
    });
}
// The current data tag as part of a file name (for the screenshots TESSALY_SHOTS_DIR asks for).
QString ShotName()
{
    return QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("[^A-Za-z]+"), "-");
}

// The height that text needs in a cell of that width, wrapped at word boundaries and, inside a
// word longer than the width, anywhere.
int WrappedHeight(const QString& text, const QFont& font, int width)
{
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    qreal height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        height += line.height();
    }
    layout.endLayout();
    return int(std::ceil(height));
}

// The labels of a tool bar's buttons.
QStringList ButtonLabels(const QToolBar& bar)
{
    QStringList labels;
    for (const QToolButton* button : bar.findChildren<QToolButton*>())
        labels << button->text();
    return labels;
}

// Runs the event loop until the bar's layout is done: its width, its button style and every
// button's label, place, size and visibility stay as they are for a few rounds in a row.
// Whether it came to rest.
bool WaitForSettledLayout(const QToolBar& bar)
{
    const auto state = [&bar] {
        QStringList parts{QString::number(bar.width()), QString::number(bar.toolButtonStyle())};
        for (const QToolButton* button : bar.findChildren<QToolButton*>()) {
            const QRect r = button->geometry();
            parts << QStringLiteral("%1 %2 %3,%4 %5x%6")
                         .arg(button->text()).arg(button->isVisible()).arg(r.x()).arg(r.y()).arg(r.width())
                         .arg(r.height());
        }
        return parts.join(QLatin1Char(';'));
    };
    QString last = state();
    int calm = 0;
    for (int round = 0; round < 500 && calm < 3; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        const QString now = state();
        calm = now == last ? calm + 1 : 0;
        last = now;
    }
    return calm >= 3;
}
} // namespace

class TokenViewTest : public QObject
{
    Q_OBJECT
private:
    QString m_home;

private slots:
    void initTestCase()
    {
        g_store = fixture::ScratchDir("tokens");
        fixture::SoftHsm hsm(g_store);
        for (const char* label : {"CertKeys", "KeyPair", "LoneKey", "Certs"})
            QVERIFY2(hsm.InitToken(label), hsm.LastOutput().c_str());

        const fixture::KeyFiles a = fixture::MakeKey(g_store, "a", "rsa:1024");
        // A 20-byte serial, the longest openssl makes; its own random ones are a byte shorter one time in 256.
        const std::string certA = fixture::MakeSelfSigned(g_store, "a", a, "/CN=User A/O=Tessaly Tests", 365, "",
                                                          "-set_serial 0x5a0f3c2e9b71d4086e15a2c7f3b0948d6e1c2a73");
        QVERIFY(hsm.ImportKey(a.keyPem, "CertKeys", "User A", "01"));
        QVERIFY(hsm.WriteCert(certA, "CertKeys", "User A", "01"));

        const fixture::KeyFiles b = fixture::MakeKey(g_store, "b", "rsa:1024");
        QVERIFY(hsm.ImportKey(b.keyPem, "KeyPair", "Spare", "02"));

        // A private key whose public key is gone.
        const fixture::KeyFiles c = fixture::MakeKey(g_store, "c", "rsa:1024");
        QVERIFY(hsm.ImportKey(c.keyPem, "LoneKey", "Lonely", "03"));
        QVERIFY(fixture::RunOrReport(Tool() + "LoneKey --delete-object --type pubkey --id 03"));

        // A value that is no certificate, a certificate without label or key, and a key pair
        // that belongs to neither.
        const fixture::KeyFiles d = fixture::MakeKey(g_store, "d", "rsa:1024");
        const std::string certD = fixture::MakeSelfSigned(g_store, "d", d, "/CN=Nobody");
        QVERIFY(fixture::RunOrReport(Tool() + "Certs --write-object " + fixture::Quote(certD) + " --type cert --id 05"));
        const fixture::KeyFiles e = fixture::MakeKey(g_store, "e", "rsa:1024");
        QVERIFY(hsm.ImportKey(e.keyPem, "Certs", "Other", "06"));
        QVERIFY(CreateBrokenCertificate("Certs", "Broken", 0x04));

        // As the demo token has it: a certificate with its key pair, and a spare key pair.
        QVERIFY2(hsm.InitToken("Tessaly Demo"), hsm.LastOutput().c_str());
        const fixture::KeyFiles user = fixture::MakeKey(g_store, "user", "rsa:2048");
        const std::string certUser = fixture::MakeSelfSigned(g_store, "user", user, "/CN=Demo User/O=Tessaly Demo/C=BG");
        QVERIFY(hsm.ImportKey(user.keyPem, "Tessaly Demo", "Demo User", "01"));
        QVERIFY(hsm.WriteCert(certUser, "Tessaly Demo", "Demo User", "01"));
        const fixture::KeyFiles spare = fixture::MakeKey(g_store, "spare", "rsa:2048");
        QVERIFY(hsm.ImportKey(spare.keyPem, "Tessaly Demo", "Spare key", "02"));
    }

    void cleanup() { CSettings::Instance().GetTranslationManager().SetLanguage(QStringLiteral("English (EN)")); }

    void init()
    {
        m_home = FreshHome(QString::fromLatin1(QTest::currentTestFunction()));
        WriteProviderSettings(m_home, {{kProvider, QString::fromStdString(fixture::SoftHsm::ModulePath()), false}});
    }

    // Each kind of token content gives its rows, icons and order; logging in adds the
    // private keys at their places.
    void rowsIconsAndOrderByTokenContent()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        QCOMPARE(TabLabels(window), QStringList() << kProvider);
        CProviderTreeWidget* tree = TreeOf(window, kProvider);
        QVERIFY(tree);

        for (const TTokenCase& c : Cases()) {
            QTreeWidgetItem* tokenRow = TokenRow(tree, QLatin1String(c.label));
            QVERIFY2(tokenRow, c.label);
            QCOMPARE(CProviderTreeWidget::GetItemIcon(tokenRow), 3);
            QCOMPARE(CProviderTreeWidget::GetItemIcon(tokenRow->parent()), 1);
            QCOMPARE(DumpChildren(tokenRow), c.loggedOut);

            CPKCS11Token* token = static_cast<CPKCS11Token*>(tree->GetObject(tokenRow));
            QVERIFY(token->Login(kUserPin, NormalUser));
            window.RefreshTokenRow(token);
            QCOMPARE(DumpChildren(TokenRow(tree, QLatin1String(c.label))), c.loggedIn);
            token->Logout();
            window.RefreshTokenRow(token);
            QCOMPARE(DumpChildren(TokenRow(tree, QLatin1String(c.label))), c.loggedOut);
        }

        // SoftHSM2's free slot holds an uninitialised token: its bare row, and no message.
        QTreeWidgetItem* freeRow = TokenRow(tree, QStringLiteral("(no label)"));
        QVERIFY2(freeRow, qPrintable(DumpTree(tree).join("\n")));
        QCOMPARE(freeRow->childCount(), 0);
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // The first recognised token is selected after loading; the pane follows the selection.
    void informationPaneFollowsTheSelection()
    {
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = TreeOf(window, kProvider);
        QVERIFY(tree);
        QCOMPARE(window.GetCurrentProvider(), ProviderNamed(window, kProvider));
        QList<QTreeWidgetItem*> selected = tree->selectedItems();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(tree->GetObject(selected.first())->GetObjectType(), CryptokiToken);
        QCOMPARE(window.GetSelectedItem(), tree->GetObject(selected.first()));
        const QStringList tokenPane = PaneLines(tree);
        QVERIFY2(tokenPane.contains(QStringLiteral("Card label=") + selected.first()->text(0)),
                 qPrintable(tokenPane.join("\n")));

        SelectRow(tree, FindRow(tree, QStringLiteral("Certificate(User A)")));
        const QString cert = PaneLines(tree).join("\n");
        QVERIFY2(cert.contains(QRegularExpression("Subject=.*User A")), qPrintable(cert));
        QVERIFY2(cert.contains(QRegularExpression("Issuer=.*User A")), qPrintable(cert));
        QVERIFY2(cert.contains("Valid from="), qPrintable(cert));
        // The serial number (20 bytes) is shown whole: a row tall enough
        // for it wrapped in its column, which ends inside the pane.
        QTreeWidget* pane = tree->GetInfoWidget();
        int serials = 0;
        for (int i = 0; i < pane->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = pane->topLevelItem(i);
            if (row->text(0) != QLatin1String("Serial number"))
                continue;
            ++serials;
            QCOMPARE(row->text(1).toLower(), QStringLiteral("5a0f3c2e9b71d4086e15a2c7f3b0948d6e1c2a73"));
            const int width = pane->columnWidth(1) - 2 * (pane->style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1);
            const int height = pane->visualItemRect(row).height();
            QVERIFY2(height >= WrappedHeight(row->text(1), row->font(1).resolve(pane->font()), width),
                     qPrintable(QStringLiteral("%1 pixels high for %2").arg(height).arg(row->text(1))));
            QVERIFY(pane->header()->sectionViewportPosition(1) + pane->columnWidth(1) <= pane->viewport()->width());
        }
        QCOMPARE(serials, 1);

        SelectRow(tree, FindRow(tree, QStringLiteral("Certificate(Broken)")));
        QCOMPARE(PaneLines(tree), QStringList() << QStringLiteral("The certificate can not be decoded.="));

        SelectRow(tree, FindRow(tree, QStringLiteral("Public key(Spare)")));
        QVERIFY(!PaneLines(tree).isEmpty());
        QCOMPARE(window.GetSelectedItem()->GetObjectType(), CryptokiAsymmetricKey);

        tree->clearSelection();
        QVERIFY(PaneLines(tree).isEmpty());
        QVERIFY(!window.GetSelectedItem());
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    void actionStateBySelectedObject_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<bool>("login");
        QTest::addColumn<QStringList>("visible");
        QTest::addColumn<QString>("menu");

        // A token offers its test too.
        const QStringList token = {"actionLogin",      "actionLogout",    "actionCertImport",
                                   "actionChangePIN",  "actionInitialize", "actionUnblockPIN",
                                   "actionTestToken",  "actionRequestCertificate", "actionDownloadCertificate"};
        QTest::newRow("slot") << "@slot" << false << QStringList() << QString();
        QTest::newRow("token logged out") << "CertKeys" << false << token << "menuSmart_card";
        QTest::newRow("token logged in") << "CertKeys" << true << token << "menuSmart_card";
        QTest::newRow("certificate") << "Certificate(User A)" << false
                                     << QStringList{"actionDelete", "actionCertView", "actionCertExport",
                                                    "actionTestCertificate"}
                                     << "menuCertificate";
        QTest::newRow("undecodable certificate") << "Certificate(Broken)" << false
                                                 << QStringList{"actionDelete", "actionCertView", "actionCertExport",
                                                                "actionTestCertificate"}
                                                 << "menuCertificate";
        QTest::newRow("key with certificate") << "Public key(User A)" << false
                                              << QStringList{"actionDelete", "actionTestKey"} << "menuKey";
        QTest::newRow("private key with certificate") << "Private key(User A)" << true
                                                      << QStringList{"actionDelete", "actionTestKey"} << "menuKey";
        QTest::newRow("key without certificate")
            << "Public key(Spare)" << false
            << QStringList{"actionDelete", "actionTestKey", "actionRequestCertificate", "actionDownloadCertificate"}
            << "menuKey";
        QTest::newRow("nothing selected") << QString() << false << QStringList() << QString();
    }

    void actionStateBySelectedObject()
    {
        QFETCH(QString, row);
        QFETCH(bool, login);
        QFETCH(QStringList, visible);
        QFETCH(QString, menu);

        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = TreeOf(window, kProvider);
        QVERIFY(tree);
        CPKCS11Token* token = static_cast<CPKCS11Token*>(tree->GetObject(TokenRow(tree, "CertKeys")));
        if (login) {
            QVERIFY(token->Login(kUserPin, NormalUser));
            window.RefreshTokenRow(token);
        }
        if (row.isEmpty()) {
            tree->clearSelection();
        } else {
            QTreeWidgetItem* item = row == "@slot" ? TokenRow(tree, "CertKeys")->parent() : FindRow(tree, row);
            QVERIFY2(item, qPrintable(row));
            SelectRow(tree, item);
        }

        const QStringList governed = {"actionLogin",      "actionLogout",        "actionDelete",
                                      "actionCertView",   "actionCertExport",    "actionCertImport",
                                      "actionChangePIN",  "actionInitialize",    "actionTestToken",
                                      "actionTestKey",    "actionTestCertificate", "actionUnblockPIN",
                                      "actionRequestCertificate", "actionDownloadCertificate"};
        QStringList shown;
        for (const QString& name : governed)
            if (Action(window, qPrintable(name))->isVisible())
                shown << name;
        QStringList expected = visible;
        std::sort(shown.begin(), shown.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(shown, expected);

        QStringList menus;
        for (const char* name : {"menuSmart_card", "menuKey", "menuCertificate", "menuData"})
            if (window.findChild<QMenu*>(name)->menuAction()->isVisible())
                menus << name;
        QCOMPARE(menus, menu.isEmpty() ? QStringList() : QStringList{menu});

        if (row == "CertKeys") {
            QCOMPARE(Action(window, "actionLogin")->isEnabled(), !login);
            QCOMPARE(Action(window, "actionLogout")->isEnabled(), login);
        }
        // SoftHSM2's module file is no "bit4" module: the tests stay enabled where shown.
        for (const char* name : {"actionTestKey", "actionTestCertificate"})
            if (Action(window, name)->isVisible())
                QVERIFY2(Action(window, name)->isEnabled(), name);
        if (login)
            token->Logout();
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }

    // A module file whose name holds "bit4" (in that case) offers the key and certificate
    // tests, but disabled.
    void bit4ModulesHaveTheirTestsDisabled_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("bit4") << "libbit4ipki.so" << false;
        QTest::newRow("capitals") << "libBIT4ipki.so" << true;
    }

    void bit4ModulesHaveTheirTestsDisabled()
    {
        QFETCH(QString, file);
        QFETCH(bool, enabled);
        const QString link = QString::fromStdString(fixture::ScratchDir("modules")) + QLatin1Char('/') + file;
        QVERIFY(QFile::link(QString::fromStdString(fixture::SoftHsm::ModulePath()), link));
        WriteProviderSettings(m_home, {{"Bit4 Tokens", link, false}});
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = TreeOf(window, "Bit4 Tokens");
        QVERIFY(tree);
        SelectRow(tree, FindRow(tree, "Public key(Spare)"));
        QVERIFY(Action(window, "actionTestKey")->isVisible());
        QCOMPARE(Action(window, "actionTestKey")->isEnabled(), enabled);
        SelectRow(tree, FindRow(tree, "Certificate(User A)"));
        QVERIFY(Action(window, "actionTestCertificate")->isVisible());
        QCOMPARE(Action(window, "actionTestCertificate")->isEnabled(), enabled);
    }


    // A language switch reaches the rows, "(no label)" and the pane at once, not only after a
    // Reload; Qt's own buttons follow with Qt's catalogue of the language; back to English,
    // everything is English again.
    void languageSwitchRetranslatesRowsAndPane()
    {
        TranslationManager& languages = CSettings::Instance().GetTranslationManager();
        MainWindow window;
        window.show();
        CProviderTreeWidget* tree = SelectInToken(window, kProvider, "CertKeys", "Certificate(User A)");
        QVERIFY(tree);
        const QStringList englishPane = PaneLines(tree);
        QVERIFY2(englishPane.filter(QRegularExpression("^Serial number=")).size() == 1,
                 qPrintable(englishPane.join("\n")));

        languages.SetLanguage(QString::fromUtf8("Български (БГ)"));
        QCoreApplication::processEvents();
        const auto tr = [](const char* context, const char* text) { return QCoreApplication::translate(context, text); };
        QVERIFY(tr("MainWindow", "Certificate(%1)") != QLatin1String("Certificate(%1)"));
        QCOMPARE(TokenRows(window, kProvider, "CertKeys"),
                 QStringList({tr("MainWindow", "Certificate(%1)").arg("User A") + " [5]",
                              "  " + tr("MainWindow", "Public key(%1)").arg("User A") + " [7]"}));
        QVERIFY(TokenRows(window, kProvider, "Certs")
                    .contains(tr("MainWindow", "Certificate(%1)").arg(QString::fromUtf8("(без етикет)")) + " [4]"));
        const QStringList bulgarianPane = PaneLines(tree);
        QCOMPARE(bulgarianPane.size(), englishPane.size());
        QCOMPARE(bulgarianPane.filter(QRegularExpression("^" + tr("QObject", "Serial number") + "=")).size(), 1);
        QVERIFY(bulgarianPane.filter(QRegularExpression("^Serial number=")).isEmpty());
        if (QFile::exists(QLibraryInfo::location(QLibraryInfo::TranslationsPath) + "/qtbase_bg.qm")) {
            QMessageBox box(QMessageBox::Question, "t", "x", QMessageBox::Ok | QMessageBox::Cancel | QMessageBox::Yes);
            QCOMPARE(box.button(QMessageBox::Ok)->text(), QString::fromUtf8("Добре"));
            QCOMPARE(box.button(QMessageBox::Cancel)->text(), QString::fromUtf8("Отказ"));
            QCOMPARE(box.button(QMessageBox::Yes)->text(), QString::fromUtf8("&Да"));
        } else {
            qInfo("Qt's Bulgarian catalogue (qttranslations5-l10n) is not installed: its buttons are not checked");
        }

        languages.SetLanguage(QStringLiteral("English (EN)"));
        QCoreApplication::processEvents();
        QCOMPARE(TokenRows(window, kProvider, "CertKeys"),
                 QStringList({"Certificate(User A) [5]", "  Public key(User A) [7]"}));
        QCOMPARE(PaneLines(tree), englishPane);
        QMessageBox box(QMessageBox::Question, "t", "x", QMessageBox::Ok);
        QCOMPARE(box.button(QMessageBox::Ok)->text(), QStringLiteral("OK"));
    }

    void paneShowsEveryValueWholeAtTheDefaultSize_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("row");  // empty: the token row
        QTest::addColumn<bool>("bulgarian");
        QTest::addColumn<bool>("skin");
        const struct {
            const char* name;
            const char* token;
            const char* row;
        } objects[] = {
            {"certificate", "Tessaly Demo", "Certificate(Demo User)"},
            {"key", "Tessaly Demo", "Public key(Spare key)"},
            {"token", "Tessaly Demo", ""},
            // SoftHSM2's free slot: not initialised (its module says its administrative PIN is
            // locked, which the pane leaves out).
            {"uninitialised token", "(no label)", ""},
        };
        for (const auto& o : objects)
            for (const bool bulgarian : {false, true})
                for (const bool skin : {false, true})
                    QTest::newRow(qPrintable(QStringLiteral("%1, %2, %3")
                                                 .arg(QLatin1String(o.name), bulgarian ? "Bulgarian" : "English",
                                                      skin ? "skinned" : "plain")))
                        << o.token << o.row << bulgarian << skin;
    }

    // At the window's default size every name and value of the pane is whole: inside the pane's
    // width, and where it is longer than its cell, wrapped into a row tall enough for all of it.
    void paneShowsEveryValueWholeAtTheDefaultSize()
    {
        QFETCH(QString, token);
        QFETCH(QString, row);
        QFETCH(bool, bulgarian);
        QFETCH(bool, skin);
        if (skin)
            WriteFile(HomeSettingsPath(m_home),
                      ReadFile(HomeSettingsPath(m_home)).replace("SkinEnabled=false", "SkinEnabled=true"));
        TranslationManager& languages = CSettings::Instance().GetTranslationManager();
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.IsSkinOn(), skin);
        CProviderTreeWidget* tree = SelectInToken(window, kProvider, token, row);
        QVERIFY2(tree, qPrintable(token + " / " + row));
        if (bulgarian)
            languages.SetLanguage(QString::fromUtf8("Български (БГ)"));
        QCoreApplication::processEvents();
        QTreeWidget* pane = tree->GetInfoWidget();
        const QStringList lines = PaneLines(tree);
        QVERIFY(!lines.isEmpty());
        if (token == QLatin1String("(no label)"))
            QVERIFY2(lines.size() >= 7, qPrintable(lines.join("\n")));

        const QString shots = qEnvironmentVariable("TESSALY_SHOTS_DIR");
        if (!shots.isEmpty())
            window.grab().save(shots + QStringLiteral("/pane-%1.png").arg(ShotName()));

        QVERIFY(!pane->horizontalScrollBar()->isVisible());
        const int right = pane->viewport()->width();
        const int margin = pane->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, pane) + 1;
        QStringList cut;
        for (int i = 0; i < pane->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = pane->topLevelItem(i);
            const QRect rowRect = pane->visualItemRect(item);
            for (int column = 0; column < 2; ++column) {
                const QString text = item->text(column);
                if (text.isEmpty())
                    continue;
                int left = pane->header()->sectionViewportPosition(column);
                int width = pane->columnWidth(column);
                if (item->isFirstColumnSpanned())
                    width = right - left;
                else if (column == 1 && !text.isEmpty())
                    QVERIFY2(left >= pane->header()->sectionViewportPosition(0) + pane->columnWidth(0),
                             "columns overlap");
                // The row's font over the pane's (a style sheet may set the pane's).
                const QFont font = item->font(column).resolve(pane->font());
                const int needed = WrappedHeight(text, font, width - 2 * margin);
                if (left < 0 || left + width > right || needed > rowRect.height())
                    cut << QStringLiteral("\"%1\": %2 wide from %3 of %4, %5 high of %6")
                               .arg(text).arg(width).arg(left).arg(right).arg(rowRect.height()).arg(needed);
            }
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join("\n")));
    }

    void toolBarShowsEveryTokenActionAtTheDefaultSize_data()
    {
        QTest::addColumn<bool>("skin");
        QTest::addColumn<bool>("bulgarian");
        QTest::addColumn<bool>("switched");  // the language changes while the window is open
        QTest::newRow("skinned, English") << true << false << false;
        QTest::newRow("skinned, Bulgarian") << true << true << false;
        QTest::newRow("plain, English") << false << false << false;
        QTest::newRow("plain, Bulgarian") << false << true << false;
        QTest::newRow("plain, switched to Bulgarian") << false << true << true;
    }

    // At the default window size the tool bar of either look shows every action of a token
    // whole: none behind the overflow arrow, none with its label cut short.
    void toolBarShowsEveryTokenActionAtTheDefaultSize()
    {
        QFETCH(bool, skin);
        QFETCH(bool, bulgarian);
        QFETCH(bool, switched);
        if (skin)
            WriteFile(HomeSettingsPath(m_home),
                      ReadFile(HomeSettingsPath(m_home)).replace("SkinEnabled=false", "SkinEnabled=true"));
        const auto toBulgarian = [] {
            CSettings::Instance().GetTranslationManager().SetLanguage(QString::fromUtf8("Български (БГ)"));
        };
        if (bulgarian && !switched)
            toBulgarian();
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.IsSkinOn(), skin);
        QVERIFY(SelectToken(window, kProvider, "CertKeys"));
        QCoreApplication::processEvents();
        QToolBar* bar = skin ? window.SkinToolBar() : window.findChild<QToolBar*>("newmainToolBar");
        QVERIFY(bar && bar->isVisible());
        if (switched) {
            // The window retranslates on an event of its own: until then the English bar shows.
            const QStringList english = ButtonLabels(*bar);
            toBulgarian();
            QVERIFY(QTest::qWaitFor([&] { return ButtonLabels(*bar) != english; }));
        }
        // Which buttons show whole, and what is wrong with the others.
        QStringList shown;
        const auto problems = [&] {
            QStringList hidden, cut, sizes;
            shown.clear();
            for (QAction* action : bar->actions()) {
                if (action->isSeparator() || !action->isVisible())
                    continue;
                QWidget* button = bar->widgetForAction(action);
                (button && button->isVisible() ? shown : hidden) << action->objectName();
                if (button)
                    sizes << QStringLiteral("%1 %2").arg(action->objectName()).arg(button->sizeHint().width());
                if (button && button->isVisible() && button->width() < button->sizeHint().width())
                    cut << QStringLiteral("%1 (%2 of %3 pixels)")
                               .arg(action->iconText()).arg(button->width()).arg(button->sizeHint().width());
            }
            QToolButton* more = bar->findChild<QToolButton*>("qt_toolbar_ext_button");
            QString problem;
            if (!hidden.isEmpty())
                problem += QStringLiteral("behind the overflow arrow: %1; ").arg(hidden.join(", "));
            if (!cut.isEmpty())
                problem += QStringLiteral("cut short: %1; ").arg(cut.join(", "));
            if (more && more->isVisible())
                problem += QStringLiteral("the overflow arrow shows; ");
            if (!problem.isEmpty())
                problem += QStringLiteral("bar %1 wide: %2").arg(bar->width()).arg(sizes.join(", "));
            return problem;
        };
        // The bar fits its labels once the selection or the retranslation is over and its
        // layout has come to rest.
        QVERIFY(WaitForSettledLayout(*bar));
        const QString problem = problems();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QCOMPARE(shown.size(), 10);
        const QString shots = qEnvironmentVariable("TESSALY_SHOTS_DIR");
        if (!shots.isEmpty())
            window.grab().save(shots + QStringLiteral("/toolbar-%1.png").arg(ShotName()));
    }
};

QTEST_MAIN(TokenViewTest)
#include "test_tokenview.moc"
