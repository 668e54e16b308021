// The access report's body: values go in as typed, escaped, in one pass; where the report
// goes for each value of TESSALY_PRINT_TO_FILE; and the file its save dialog suggests.
#include <QDir>
#include <QFile>
#include <QTextDocument>
#include <QtTest>

#include "AccessReport.h"
#include "TestHome.h"

using tessaly::TAccessData;
using tessaly::TReportDestination;

Q_DECLARE_METATYPE(TReportDestination::TKind)

namespace {

const QString kTemplate = QStringLiteral(
    "<p style=\"white-space: pre-wrap\">P=&produser;|M=&model;|S=&serialnum;|L=&label;|A=&ain;|N=&pin;|&PIN;|&pin|&amp;pin;|&label;</p>");

// What a reader of the rendered body sees.
QString Rendered(const QString& html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText();
}

} // namespace

class AccessReportTest : public QObject
{
    Q_OBJECT
private slots:
    void valuesShowAsTyped_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("pin");
        QTest::newRow("plain") << "Veskora" << "1234";
        QTest::newRow("markup and an entity in the label") << "A&B <b>&pin;" << "5678";
        QTest::newRow("another entity in the label") << "&ain;&serialnum;" << "5678";
        QTest::newRow("argument markers") << "%1 %2" << "%1";
        QTest::newRow("Cyrillic") << QString::fromUtf8("АБВГДЕЖЗИЙКЛМНОП") << "0000";
        QTest::newRow("quotes and blanks") << "  \"x\" 'y'  " << "12 34";
    }

    void valuesShowAsTyped()
    {
        QFETCH(QString, label);
        QFETCH(QString, pin);
        TAccessData data;
        data.manufacturer = QStringLiteral("Maker <i>");
        data.model = QStringLiteral("M&1");
        data.serialNumber = QStringLiteral("0042");
        data.label = label;
        data.ain = QStringLiteral("87654321");
        data.pin = pin;
        const QString html = tessaly::FillAccessReport(kTemplate, data);
        QVERIFY2(!html.contains(QStringLiteral("<b>")) && !html.contains(QStringLiteral("<i>")), qPrintable(html));
        QCOMPARE(Rendered(html),
                 QStringLiteral("P=Maker <i>|M=M&1|S=0042|L=%1|A=87654321|N=%2|&PIN;|&pin|&pin;|%1").arg(label, pin));
    }

    // A token that is gone gives empty token fields; the rest of the report stays.
    void emptyTokenFields()
    {
        TAccessData data;
        data.label = QStringLiteral("L");
        data.ain = QStringLiteral("A");
        data.pin = QStringLiteral("N");
        QCOMPARE(Rendered(tessaly::FillAccessReport(kTemplate, data)),
                 QStringLiteral("P=|M=|S=|L=L|A=A|N=N|&PIN;|&pin|&pin;|L"));
    }

    void destination_data()
    {
        QTest::addColumn<QByteArray>("variable");
        QTest::addColumn<TReportDestination::TKind>("kind");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("unset") << QByteArray() << TReportDestination::Printer << QString();
        QTest::newRow("ask") << QByteArray("ask") << TReportDestination::AskForFile << QString();
        QTest::newRow("a path") << QByteArray("/tmp/r.pdf") << TReportDestination::File << "/tmp/r.pdf";
        QTest::newRow("a path without suffix") << QByteArray("out/report") << TReportDestination::File << "out/report";
        QTest::newRow("ASK is a file") << QByteArray("ASK") << TReportDestination::File << "ASK";
    }

    void destination()
    {
        QFETCH(QByteArray, variable);
        QFETCH(TReportDestination::TKind, kind);
        QFETCH(QString, fileName);
        const TReportDestination d = tessaly::ReportDestinationOf(variable);
        QCOMPARE(d.kind, kind);
        QCOMPARE(d.fileName, fileName);
    }

    void suggestedFile_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("file");
        QTest::newRow("plain label") << "Tessaly Demo" << QStringList() << "access-report-Tessaly-Demo.pdf";
        QTest::newRow("Cyrillic label") << QString::fromUtf8("Карта №1") << QStringList()
                                        << QString::fromUtf8("access-report-Карта-1.pdf");
        // A label never leads the file out of the folder.
        QTest::newRow("slashes and dots") << "../a/b\\c." << QStringList() << "access-report-a-b-c.pdf";
        QTest::newRow("nothing usable") << " / " << QStringList() << "access-report.pdf";
        QTest::newRow("empty label") << "" << QStringList() << "access-report.pdf";
        // An earlier report is never offered for overwriting.
        QTest::newRow("taken twice") << "Card" << QStringList{"access-report-Card.pdf", "access-report-Card-2.pdf"}
                                     << "access-report-Card-3.pdf";
    }

    void suggestedFile()
    {
        QFETCH(QString, label);
        QFETCH(QStringList, existing);
        QFETCH(QString, file);
        const QString dir = FreshHome(QStringLiteral("suggested-") + QString::fromLatin1(QTest::currentDataTag()));
        for (const QString& name : existing)
            WriteFile(dir + QLatin1Char('/') + name, "older report");
        QCOMPARE(tessaly::SuggestedReportFile(dir, label), dir + QLatin1Char('/') + file);
    }

    // The documents folder of the home folder when there is one, else the home folder itself.
    void reportFolder()
    {
        const QString home = FreshHome(QStringLiteral("folder"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + "/.config"));
        QCOMPARE(tessaly::ReportFolder(), home);
        QVERIFY(QDir().mkpath(home + "/Documents"));
        QCOMPARE(tessaly::ReportFolder(), home + "/Documents");
        // The user's own name for it, as the desktop's folder settings give it.
        WriteFile(home + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
        QCOMPARE(tessaly::ReportFolder(), home);
        QVERIFY(QDir().mkpath(home + "/Papers"));
        QCOMPARE(tessaly::ReportFolder(), home + "/Papers");
    }
};

QTEST_MAIN(AccessReportTest)
#include "test_accessreport.moc"
