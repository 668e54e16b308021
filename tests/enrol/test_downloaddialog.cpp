// The download results dialog: a row per key with the icon of its state (a state
// outside the four shows as unknown), texts that follow the language, and long
// messages that wrap instead of running out of sight.
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QTranslator>
#include <QTreeWidget>
#include <QtTest>

#include "DownloadCertDialog.h"
#include "Resources.h"

namespace {

QImage Picture(const QIcon& icon)
{
    return icon.pixmap(16, 16).toImage();
}

QTreeWidget* Tree(DownloadCertDialog& dialog)
{
    return dialog.findChild<QTreeWidget*>(QStringLiteral("treeStatus"));
}

QString Text(DownloadCertDialog& dialog, const char* label)
{
    return dialog.findChild<QLabel*>(QLatin1String(label))->text();
}

} // namespace

class DownloadDialogTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { tessaly::InitResources(); }

    void rowsShowTheIconOfTheirState_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("icon");
        QTest::newRow("unknown") << 0 << ":/icons/Unknown";
        QTest::newRow("approved") << 1 << ":/icons/Approved";
        QTest::newRow("pending") << 2 << ":/icons/Pending";
        QTest::newRow("rejected") << 3 << ":/icons/Rejected";
        QTest::newRow("4") << 4 << ":/icons/Unknown";
        QTest::newRow("7") << 7 << ":/icons/Unknown";
        QTest::newRow("-1") << -1 << ":/icons/Unknown";
        QTest::newRow("INT_MIN") << std::numeric_limits<int>::min() << ":/icons/Unknown";
    }

    void rowsShowTheIconOfTheirState()
    {
        QFETCH(int, status);
        QFETCH(QString, icon);
        QVERIFY(!Picture(QIcon(icon)).isNull());
        DownloadCertDialog dialog;
        dialog.AddStatusItem(0, QStringLiteral("First"), QStringLiteral("first message"));
        dialog.AddStatusItem(status, QStringLiteral("Key label"), QStringLiteral("What happened"));
        QTreeWidget* tree = Tree(dialog);
        QCOMPARE(tree->topLevelItemCount(), 2);
        const QTreeWidgetItem* row = tree->topLevelItem(1);
        QCOMPARE(row->text(0), QStringLiteral("Key label"));
        QCOMPARE(row->text(1), QStringLiteral("What happened"));
        QCOMPARE(row->statusTip(0), QStringLiteral("Key label"));
        QCOMPARE(row->statusTip(1), QStringLiteral("What happened"));
        QVERIFY(Picture(row->icon(0)) == Picture(QIcon(icon)));
    }

    void formAsBuilt()
    {
        DownloadCertDialog dialog;
        QCOMPARE(dialog.objectName(), QStringLiteral("DownloadCertDialog"));
        QCOMPARE(dialog.size(), QSize(617, 406));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Download Certificates"));
        QCOMPARE(Text(dialog, "labelAction"), QStringLiteral("Checking certificate request(s) status, please wait ..."));
        QCOMPARE(Text(dialog, "label"),
                 QStringLiteral("If you have questions about the status of your request, please contact Veskora."));
        QCOMPARE(Tree(dialog)->headerItem()->text(0), QStringLiteral("Key"));
        QCOMPARE(Tree(dialog)->headerItem()->text(1), QStringLiteral("Request Status"));
        QDialogButtonBox* buttons = dialog.findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        QCOMPARE(buttons->standardButtons(), QDialogButtonBox::StandardButtons(QDialogButtonBox::Close));
        QVERIFY(buttons->centerButtons());
        dialog.SetActionText(QStringLiteral("Working"));
        QCOMPARE(Text(dialog, "labelAction"), QStringLiteral("Working"));

        // Close and Escape both end it.
        dialog.show();
        buttons->button(QDialogButtonBox::Close)->click();
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        dialog.show();
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(!dialog.isVisible());
    }

    // A message longer than its column wraps onto more lines; the key column fits its labels.
    void longMessagesWrap()
    {
        DownloadCertDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QString longMessage =
            QStringLiteral("The certificate of the key pair was not installed. The service sent a certificate that "
                           "is not for this key pair, and the message goes on well past the width of the dialog.");
        dialog.AddStatusItem(1, QStringLiteral("Short"), QStringLiteral("One line."));
        dialog.AddStatusItem(1, QStringLiteral("A rather longer key label"), longMessage);
        QTreeWidget* tree = Tree(dialog);
        QCoreApplication::processEvents();
        QVERIFY(tree->columnWidth(0) >= tree->fontMetrics().horizontalAdvance(QStringLiteral("A rather longer key label")));
        QVERIFY(tree->columnWidth(0) + tree->columnWidth(1) <= tree->viewport()->width() + 1);
        const int oneLine = tree->visualItemRect(tree->topLevelItem(0)).height();
        const int wrapped = tree->visualItemRect(tree->topLevelItem(1)).height();
        QVERIFY2(wrapped > oneLine, qPrintable(QStringLiteral("%1 vs %2").arg(wrapped).arg(oneLine)));
    }

    // A language change sets every text of the form anew; rows keep theirs.
    void followsTheLanguage()
    {
        DownloadCertDialog dialog;
        dialog.AddStatusItem(2, QStringLiteral("Key"), QStringLiteral("kept as it is"));
        QTranslator bulgarian;
        QVERIFY(bulgarian.load(QStringLiteral(":/translations/translations/tessaly.bg_BG.qm")));
        QCoreApplication::installTranslator(&bulgarian);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
        const QString title = dialog.windowTitle();
        const QString action = Text(dialog, "labelAction");
        const QString note = Text(dialog, "label");
        const QString header = Tree(dialog)->headerItem()->text(1);
        QCoreApplication::removeTranslator(&bulgarian);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LanguageChange);
        QCOMPARE(title, bulgarian.translate("DownloadCertDialog", "Download Certificates"));
        QVERIFY(!title.isEmpty() && title != QStringLiteral("Download Certificates"));
        QCOMPARE(action,
                 bulgarian.translate("DownloadCertDialog", "Checking certificate request(s) status, please wait ..."));
        QCOMPARE(note, bulgarian.translate("DownloadCertDialog",
                                           "If you have questions about the status of your request, please contact "
                                           "Veskora."));
        QCOMPARE(header, bulgarian.translate("DownloadCertDialog", "Request Status"));
        QCOMPARE(Tree(dialog)->topLevelItem(0)->text(1), QStringLiteral("kept as it is"));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Download Certificates"));
    }
};

QTEST_MAIN(DownloadDialogTest)
#include "test_downloaddialog.moc"
