// The Preferences dialog and the add-provider dialog over a provider table of their own.
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "AddProviderDialog.h"
#include "IProviderSettings.h"
#include "ModalDriver.h"
#include "ProvidersDialog.h"

namespace {

typedef IProviderSettings::TProviderTable TTable;

TTable Defaults()
{
    return {{"Bit4id", "libbit4ipki.so"}, {"Charismathics", "libcmP11.so"},
            {"OpenSC", "onepin-opensc-pkcs11.so"}, {"Siemens", "libsiecap11.so"}};
}

// The settings as the dialog sees them, recording what it was asked to do.
class CFakeSettings : public IProviderSettings
{
public:
    TTable table = Defaults();
    QStringList languages = {QStringLiteral("Bulgarian (BG)"), QStringLiteral("English (EN)")};
    QString current = QStringLiteral("English (EN)");
    QStringList languageCalls;
    int resets = 0;

    TTable& GetProviders() override { return table; }
    void ResetProviders() override
    {
        ++resets;
        table = Defaults();
    }
    QStringList GetLanguages() const override { return languages; }
    QString GetCurrentLanguage() const override { return current; }
    void SetLanguage(const QString& name) override
    {
        languageCalls << name;
        current = name;
    }
};

// Records any modal dialog but the one under test that shows up where none is expected (and
// closes it, so the test does not hang in its exec).
class CNoModalGuard : public QObject
{
public:
    QStringList seen;
    QWidget* m_pUnderTest;
    explicit CNoModalGuard(QWidget* underTest) : m_pUnderTest(underTest) { Poll(); }
    void Poll()
    {
        QWidget* w = QApplication::activeModalWidget();
        if (w && w != m_pUnderTest) {
            seen << QString::fromLatin1(w->metaObject()->className());
            fixture::ModalDriver::Reject(w);
        }
        QTimer::singleShot(20, this, [this] { Poll(); });
    }
};

QStringList Rows(ProvidersDialog& dialog)
{
    QStringList rows;
    QTreeWidget* tree = dialog.findChild<QTreeWidget*>("treeWidget");
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        rows << tree->topLevelItem(i)->text(0) + "=" + tree->topLevelItem(i)->text(1);
    return rows;
}

QStringList Describe(const TTable& table)
{
    QStringList rows;
    for (const auto& row : table)
        rows << QString::fromLatin1(row.first.c_str()) + "=" + QString::fromLatin1(row.second.c_str());
    return rows;
}

void Select(ProvidersDialog& dialog, const QStringList& descriptions)
{
    QTreeWidget* tree = dialog.findChild<QTreeWidget*>("treeWidget");
    tree->clearSelection();
    for (int i = 0; i < tree->topLevelItemCount(); ++i)
        if (descriptions.contains(tree->topLevelItem(i)->text(0)))
            tree->topLevelItem(i)->setSelected(true);
}

// Handler that fills the add-provider dialog and presses OK.
fixture::ModalDriver::Handler FillAndAccept(const QString& description, const QString& module)
{
    return [description, module](QWidget* w) {
        w->findChild<QLineEdit*>("edtDescription")->setText(description);
        w->findChild<QLineEdit*>("edtModule")->setText(module);
        w->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    };
}

// Handler that checks a message box's text and presses one of its buttons.
fixture::ModalDriver::Handler Answer(const QString& expectedText, QMessageBox::StandardButton button,
                                     QString* seenText = nullptr)
{
    return [expectedText, button, seenText](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (seenText)
            *seenText = box->text();
        if (box->text() != expectedText)
            qWarning() << "unexpected box text" << box->text();
        box->button(button)->click();
    };
}

} // namespace

class TestProviderDialogs : public QObject
{
    Q_OBJECT

private slots:
    // Add-provider dialog.
    void okValidatesTheFields_data();
    void okValidatesTheFields();
    void acceptedTextsAreUtf8();
    void cancelEscapeAndCloseGiveZero();
    void browseOffersSharedObjects();

    // Preferences dialog.
    void listFollowsTableOrderOnEveryShow();
    void addAppendsAndChangesTable();
    void addDuplicateDescriptionIsRefused();
    void addCancelledChangesNothing();
    void removeWithoutSelectionAsksNothing();
    void removeCancelledChangesNothing();
    void removeSelectedRows();
    void resetRestoresDefaults();
    void languageAppliedOnlyByOk();
};

void TestProviderDialogs::okValidatesTheFields_data()
{
    QTest::addColumn<QString>("description");
    QTest::addColumn<QString>("module");
    QTest::addColumn<QString>("message"); // empty: accepted
    QTest::newRow("both empty") << "" << "" << "Please enter module description.";
    QTest::newRow("no module") << "Token" << "" << "Please enter module.";
    QTest::newRow("no description") << "" << "libx.so" << "Please enter module description.";
    QTest::newRow("both") << "Token" << "libx.so" << "";
    QTest::newRow("blanks count") << "   " << " " << "";
}

// OK is always there to press; it names the first empty field and keeps the dialog open.
void TestProviderDialogs::okValidatesTheFields()
{
    QFETCH(QString, description);
    QFETCH(QString, module);
    QFETCH(QString, message);

    AddProviderDialog dialog;
    fixture::ModalDriver driver;
    QString seen;
    driver.Expect(FillAndAccept(description, module), "AddProviderDialog");
    if (!message.isEmpty()) {
        driver.Expect(Answer(message, QMessageBox::Ok, &seen), "QMessageBox");
        // Still open after the box: corrected, it is accepted.
        driver.Expect(FillAndAccept("Token", "libx.so"), "AddProviderDialog");
    }
    QCOMPARE(dialog.exec(), 1);
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(seen, message);
    QCOMPARE(dialog.GetDescription(), message.isEmpty() ? description.toStdString() : std::string("Token"));
    QCOMPARE(dialog.GetModule(), message.isEmpty() ? module.toStdString() : std::string("libx.so"));
}

void TestProviderDialogs::acceptedTextsAreUtf8()
{
    AddProviderDialog dialog;
    fixture::ModalDriver driver;
    driver.Expect(FillAndAccept(QString::fromUtf8(" Caf\xc3\xa9 \xd0\x96 "), QStringLiteral("/opt/lib/p11.so")),
                  "AddProviderDialog");
    QCOMPARE(dialog.exec(), 1);
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    // Blanks stay; every character stays as typed, in UTF-8.
    QCOMPARE(dialog.GetDescription(), std::string(" Caf\xc3\xa9 \xd0\x96 "));
    QCOMPARE(dialog.GetModule(), std::string("/opt/lib/p11.so"));
}

void TestProviderDialogs::cancelEscapeAndCloseGiveZero()
{
    const QList<fixture::ModalDriver::Handler> ways = {
        [](QWidget* w) { w->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click(); },
        [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); },
        [](QWidget* w) { w->close(); },
    };
    for (const auto& way : ways) {
        AddProviderDialog dialog;
        dialog.findChild<QLineEdit*>("edtDescription")->setText("Token");
        dialog.findChild<QLineEdit*>("edtModule")->setText("libx.so");
        fixture::ModalDriver driver;
        driver.Expect(way, "AddProviderDialog");
        QCOMPARE(dialog.exec(), 0);
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(dialog.GetDescription().empty());
        QVERIFY(dialog.GetModule().empty());
    }
}

void TestProviderDialogs::browseOffersSharedObjects()
{
    // Choosing a file in Qt's own file dialog is not reliable under the offscreen platform (the
    // folder is read in a thread and the typed name can be lost), so this checks what the
    // dialog offers and that cancelling keeps the field.
    AddProviderDialog dialog;
    QLineEdit* module = dialog.findChild<QLineEdit*>("edtModule");
    module->setText("before.so");
    fixture::ModalDriver driver;
    QString caption;
    QStringList filters;
    driver.Expect([&caption, &filters](QWidget* w) {
        auto* fd = qobject_cast<QFileDialog*>(w);
        caption = fd->windowTitle();
        filters = fd->nameFilters();
        fixture::ModalDriver::Reject(fd);
    }, "QFileDialog");
    dialog.findChild<QPushButton*>("browseButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(caption, QStringLiteral("Choose PKCS#11 module"));
    QCOMPARE(filters, QStringList({"Shared Objects (*.so)"}));
    QCOMPARE(module->text(), QStringLiteral("before.so"));
}

void TestProviderDialogs::listFollowsTableOrderOnEveryShow()
{
    CFakeSettings settings;
    settings.table["bit4id lower"] = "liblower.so";  // lower case sorts after upper case
    settings.table["Aa"] = "liba.so";
    ProvidersDialog dialog(settings);
    const QStringList expected = {"Aa=liba.so", "Bit4id=libbit4ipki.so", "Charismathics=libcmP11.so",
                                  "OpenSC=onepin-opensc-pkcs11.so", "Siemens=libsiecap11.so",
                                  "bit4id lower=liblower.so"};
    dialog.show();
    QCOMPARE(Rows(dialog), expected);
    dialog.hide();
    dialog.show();
    QCOMPARE(Rows(dialog), expected);
    QVERIFY(!dialog.IsChanged());
    QVERIFY(!dialog.findChild<QTreeWidget*>("treeWidget")->rootIsDecorated());
}

void TestProviderDialogs::addAppendsAndChangesTable()
{
    CFakeSettings settings;
    ProvidersDialog dialog(settings);
    dialog.show();
    fixture::ModalDriver driver;
    driver.Expect(FillAndAccept("Alpha", "/usr/lib/softhsm/libsofthsm2.so"), "AddProviderDialog");
    dialog.findChild<QPushButton*>("addButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));

    QVERIFY(dialog.IsChanged());
    QCOMPARE(settings.table.at("Alpha"), std::string("/usr/lib/softhsm/libsofthsm2.so"));
    // At the end of the list, although it sorts first; the next opening sorts it.
    QCOMPARE(Rows(dialog).last(), QStringLiteral("Alpha=/usr/lib/softhsm/libsofthsm2.so"));
    ProvidersDialog again(settings);
    again.show();
    QCOMPARE(Rows(again).first(), QStringLiteral("Alpha=/usr/lib/softhsm/libsofthsm2.so"));

    // The same module under a second description is a second provider.
    driver.Expect(FillAndAccept("Beta", "/usr/lib/softhsm/libsofthsm2.so"), "AddProviderDialog");
    dialog.findChild<QPushButton*>("addButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(settings.table.size(), std::size_t(6));
}

void TestProviderDialogs::addDuplicateDescriptionIsRefused()
{
    CFakeSettings settings;
    ProvidersDialog dialog(settings);
    dialog.show();
    const QStringList before = Rows(dialog);
    fixture::ModalDriver driver;
    QString seen;
    driver.Expect(FillAndAccept("OpenSC", "libother.so"), "AddProviderDialog");
    driver.Expect(Answer("Module OpenSC already exists.", QMessageBox::Ok, &seen), "QMessageBox");
    dialog.findChild<QPushButton*>("addButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(seen, QStringLiteral("Module OpenSC already exists."));
    QCOMPARE(settings.table.at("OpenSC"), std::string("onepin-opensc-pkcs11.so"));
    QCOMPARE(Rows(dialog), before);
    QVERIFY(!dialog.IsChanged());

    // Descriptions are compared byte for byte: another case is another provider.
    driver.Expect(FillAndAccept("opensc", "libother.so"), "AddProviderDialog");
    dialog.findChild<QPushButton*>("addButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(settings.table.size(), std::size_t(5));
    QVERIFY(dialog.IsChanged());
}

void TestProviderDialogs::addCancelledChangesNothing()
{
    CFakeSettings settings;
    ProvidersDialog dialog(settings);
    dialog.show();
    fixture::ModalDriver driver;
    driver.Expect([](QWidget* w) {
        w->findChild<QLineEdit*>("edtDescription")->setText("X");
        w->findChild<QLineEdit*>("edtModule")->setText("x.so");
        QTest::keyClick(w, Qt::Key_Escape);
    }, "AddProviderDialog");
    dialog.findChild<QPushButton*>("addButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(Describe(settings.table), Describe(Defaults()));
    QVERIFY(!dialog.IsChanged());
}

void TestProviderDialogs::removeWithoutSelectionAsksNothing()
{
    CFakeSettings settings;
    ProvidersDialog dialog(settings);
    dialog.show();
    dialog.findChild<QTreeWidget*>("treeWidget")->clearSelection();
    CNoModalGuard guard(&dialog);
    dialog.findChild<QPushButton*>("removeButton")->click();
    QCoreApplication::processEvents();
    QVERIFY2(guard.seen.isEmpty(), qPrintable(guard.seen.join(", ")));
    QCOMPARE(Describe(settings.table), Describe(Defaults()));
    QVERIFY(!dialog.IsChanged());
}

void TestProviderDialogs::removeCancelledChangesNothing()
{
    CFakeSettings settings;
    ProvidersDialog dialog(settings);
    dialog.show();
    Select(dialog, {"OpenSC"});
    fixture::ModalDriver driver;
    driver.Expect(Answer("Are you sure you want to remove the selected module(s)?", QMessageBox::Cancel),
                  "QMessageBox");
    dialog.findChild<QPushButton*>("removeButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(Describe(settings.table), Describe(Defaults()));
    QCOMPARE(Rows(dialog).size(), 4);
    QVERIFY(!dialog.IsChanged());
}

void TestProviderDialogs::removeSelectedRows()
{
    CFakeSettings settings;
    settings.table[std::string("Caf\xc3\xa9")] = "libcafe.so";  // a UTF-8 description round-trips
    ProvidersDialog dialog(settings);
    dialog.show();
    Select(dialog, {"Bit4id", QString::fromUtf8("Caf\xc3\xa9"), "Siemens"});
    fixture::ModalDriver driver;
    QString seen;
    driver.Expect(Answer("Are you sure you want to remove the selected module(s)?", QMessageBox::Ok, &seen),
                  "QMessageBox");
    dialog.findChild<QPushButton*>("removeButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QCOMPARE(seen, QStringLiteral("Are you sure you want to remove the selected module(s)?"));
    QCOMPARE(Describe(settings.table), QStringList({"Charismathics=libcmP11.so", "OpenSC=onepin-opensc-pkcs11.so"}));
    QCOMPARE(Rows(dialog), QStringList({"Charismathics=libcmP11.so", "OpenSC=onepin-opensc-pkcs11.so"}));
    QVERIFY(dialog.IsChanged());

    // Removing every row leaves an empty table.
    Select(dialog, {"Charismathics", "OpenSC"});
    driver.Expect(Answer("Are you sure you want to remove the selected module(s)?", QMessageBox::Ok), "QMessageBox");
    dialog.findChild<QPushButton*>("removeButton")->click();
    QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    QVERIFY(settings.table.empty());
    QVERIFY(Rows(dialog).isEmpty());
}

void TestProviderDialogs::resetRestoresDefaults()
{
    CFakeSettings settings;
    settings.table = {{"Mine", "libmine.so"}};
    ProvidersDialog dialog(settings);
    dialog.show();
    QCOMPARE(Rows(dialog), QStringList({"Mine=libmine.so"}));
    CNoModalGuard guard(&dialog);  // reset asks nothing
    dialog.findChild<QPushButton*>("resetButton")->click();
    QVERIFY2(guard.seen.isEmpty(), qPrintable(guard.seen.join(", ")));
    QCOMPARE(settings.resets, 1);
    QCOMPARE(Rows(dialog), Describe(Defaults()));
    QVERIFY(dialog.IsChanged());
    QVERIFY(settings.languageCalls.isEmpty());
}

void TestProviderDialogs::languageAppliedOnlyByOk()
{
    CFakeSettings settings;
    {
        ProvidersDialog dialog(settings);
        QComboBox* box = dialog.findChild<QComboBox*>("comboBox");
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->currentText(), QStringLiteral("English (EN)"));
        fixture::ModalDriver driver;
        driver.Expect([](QWidget* w) {
            w->findChild<QComboBox*>("comboBox")->setCurrentIndex(0);
            QTest::keyClick(w, Qt::Key_Escape);
        }, "ProvidersDialog");
        dialog.exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(settings.languageCalls.isEmpty());
    }
    {
        ProvidersDialog dialog(settings);
        fixture::ModalDriver driver;
        driver.Expect([](QWidget* w) {
            w->findChild<QComboBox*>("comboBox")->setCurrentIndex(0);
            w->findChild<QPushButton*>("closeButton")->click();
        }, "ProvidersDialog");
        dialog.exec();
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(settings.languageCalls, QStringList({"Bulgarian (BG)"}));
        QVERIFY(!dialog.IsChanged());
    }
    {
        // The current language is preselected; an unknown current name falls back to the first entry.
        settings.current = "Bulgarian (BG)";
        ProvidersDialog known(settings);
        QCOMPARE(known.findChild<QComboBox*>("comboBox")->currentIndex(), 0);
        settings.languages = QStringList({"English (EN)", "Bulgarian (BG)"});
        ProvidersDialog second(settings);
        QCOMPARE(second.findChild<QComboBox*>("comboBox")->currentIndex(), 1);
        settings.current = "Klingon";
        ProvidersDialog unknown(settings);
        QCOMPARE(unknown.findChild<QComboBox*>("comboBox")->currentIndex(), 0);
    }
}

QTEST_MAIN(TestProviderDialogs)
#include "test_provider_dialogs.moc"
