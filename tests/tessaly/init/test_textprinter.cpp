// The report printer: its value checks, PDF output read back with pdftotext (header and footer
// placeholders, page order of copies), where it writes, with what mode, and when it fails.
#include <sys/stat.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QPrintDialog>
#include <QPrinterInfo>
#include <QPrintPreviewDialog>
#include <QTextDocument>
#include <QtTest>

#include "Fixture.h"
#include "ModalDriver.h"
#include "TextPrinter.h"
#include "Unprivileged.h"

namespace {

QString Scratch(const char* name)
{
    return QString::fromStdString(fixture::ScratchDir(name));
}

// pdftotext of one page (0: all), or "(pdftotext failed)".
QString PdfText(const QString& path, int page = 0)
{
    std::string output;
    const std::string pages = page ? " -f " + std::to_string(page) + " -l " + std::to_string(page) : "";
    if (fixture::Run("env -u LD_PRELOAD pdftotext -layout" + pages + " " + fixture::Quote(path.toStdString()) + " -",
                     &output) != 0)
        return QStringLiteral("(pdftotext failed) ") + QString::fromStdString(output);
    // The fonts join "ff", "fi" and the like into ligatures, which pdftotext gives as such.
    return QString::fromUtf8(output.c_str()).normalized(QString::NormalizationForm_KC);
}

int PdfPages(const QString& path)
{
    std::string output;
    fixture::Run("env -u LD_PRELOAD pdfinfo " + fixture::Quote(path.toStdString()), &output);
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("Pages:\\s+(\\d+)")).match(QString::fromStdString(output));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

mode_t Mode(const QString& path)
{
    struct stat st;
    return stat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// Paragraphs "Body N" that run over the given number of A4 pages.
QString Pages(int count)
{
    QString html;
    for (int page = 1; page <= count; ++page) {
        html += QStringLiteral("<p>Body %1</p>").arg(page);
        if (page < count)
            html += QStringLiteral("<p style=\"page-break-after: always\"></p>");
    }
    return html;
}

// The warnings Qt's logging passes while it lives.
class CWarningCapture
{
public:
    CWarningCapture()
    {
        s_warnings.clear();
        m_previous = qInstallMessageHandler(&CWarningCapture::Handler);
    }
    ~CWarningCapture() { qInstallMessageHandler(m_previous); }
    QStringList Warnings() const { return s_warnings; }

private:
    static void Handler(QtMsgType type, const QMessageLogContext&, const QString& message)
    {
        if (type != QtDebugMsg && type != QtInfoMsg)
            s_warnings << message;
    }
    QtMessageHandler m_previous;
    static inline QStringList s_warnings;
};

} // namespace

class TextPrinterTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(fixture::Run("command -v pdftotext") == 0, "pdftotext (poppler-utils) is needed");
    }

    void valueChecks()
    {
        TextPrinter printer;
        QCOMPARE(printer.leftMargin(), 15.0);
        QCOMPARE(printer.spacing(), 5.0);
        QCOMPARE(printer.headerSize(), 0.0);
        QCOMPARE(printer.headerRule(), 0.5);
        QCOMPARE(printer.footerRule(), 0.5);
        QVERIFY(printer.usePrintDialog());
        QCOMPARE(printer.pageSize().id(), QPageSize::A4);
        QCOMPARE(printer.orientation(), QPageLayout::Portrait);

        printer.setHeaderRule(-1);
        QCOMPARE(printer.headerRule(), 0.0);
        printer.setFooterRule(2);
        QCOMPARE(printer.footerRule(), 2.0);
        printer.setHeaderSize(20.0);
        QCOMPARE(printer.headerSize(), 20.0);
        printer.setHeaderSize(-3);
        QCOMPARE(printer.headerSize(), 0.0);
        printer.setFooterSize(1e9);
        QCOMPARE(printer.footerSize(), 0.0);
        printer.setLeftMargin(0);
        QCOMPARE(printer.leftMargin(), 0.0);
        printer.setTopMargin(25);
        QCOMPARE(printer.topMargin(), 25.0);
        printer.setMargins(10);
        QCOMPARE(printer.bottomMargin(), 10.0);
        QCOMPARE(printer.rightMargin(), 10.0);
        printer.setMargins(-1);
        QCOMPARE(printer.leftMargin(), 0.0);
        QCOMPARE(printer.topMargin(), 0.0);
    }

    // "&page;" and "&date;" in header and footer on every page; the same words in capitals stay.
    void headerAndFooterPlaceholders()
    {
        const QString path = Scratch("placeholders") + QStringLiteral("/doc.pdf");
        TextPrinter printer;
        printer.setHeaderSize(20);
        printer.setFooterSize(20);
        printer.setDateFormat(QStringLiteral("dd.MM.yyyy"));
        printer.setHeaderText(QStringLiteral("<p>Head &page; of &date; &PAGE;</p>"));
        printer.setFooterText(QStringLiteral("<p>Foot &page; &DATE;</p>"));
        QTextDocument document;
        document.setHtml(Pages(3));
        QCOMPARE(printer.writePdf(&document, path), TextPrinter::Done);
        QCOMPARE(PdfPages(path), 3);
        const QString today = QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy"));
        for (int page = 1; page <= 3; ++page) {
            const QString text = PdfText(path, page);
            QVERIFY2(text.contains(QStringLiteral("Head %1 of %2 &PAGE;").arg(page).arg(today)), qPrintable(text));
            QVERIFY2(text.contains(QStringLiteral("Foot %1 &DATE;").arg(page)), qPrintable(text));
            QVERIFY2(text.contains(QStringLiteral("Body %1").arg(page)), qPrintable(text));
        }
    }

    void copies_data()
    {
        QTest::addColumn<bool>("collate");
        QTest::addColumn<QStringList>("pages");
        QTest::newRow("whole document twice") << false << QStringList({"1", "2", "1", "2"});
        QTest::newRow("each page twice") << true << QStringList({"1", "1", "2", "2"});
    }

    void copies()
    {
        QFETCH(bool, collate);
        QFETCH(QStringList, pages);
        const QString path = Scratch("copies") + QStringLiteral("/doc.pdf");
        TextPrinter printer;
        printer.printer()->setCopyCount(2);
        printer.printer()->setCollateCopies(collate);
        QTextDocument document;
        document.setHtml(Pages(2));
        QCOMPARE(printer.writePdf(&document, path), TextPrinter::Done);
        QStringList seen;
        const int count = PdfPages(path);
        for (int page = 1; page <= count; ++page) {
            const QRegularExpressionMatch m =
                QRegularExpression(QStringLiteral("Body (\\d)")).match(PdfText(path, page));
            seen << (m.hasMatch() ? m.captured(1) : QStringLiteral("?"));
        }
        QCOMPARE(seen, pages);
    }

    // Exactly the file named, also without suffix; created owner-only, and an existing file is
    // overwritten and made owner-only too.
    void writesExactlyThatFileOwnerOnly()
    {
        const QString dir = Scratch("write");
        QTextDocument document;
        document.setHtml(QStringLiteral("<p>Secret 4711</p>"));
        TextPrinter printer;

        const QString bare = dir + QStringLiteral("/report");
        QCOMPARE(printer.writePdf(&document, bare), TextPrinter::Done);
        QVERIFY(QFile::exists(bare));
        QVERIFY(!QFile::exists(bare + QStringLiteral(".pdf")));
        QCOMPARE(Mode(bare), mode_t(0600));
        QVERIFY(PdfText(bare).contains(QStringLiteral("Secret 4711")));

        const QString existing = dir + QStringLiteral("/old.pdf");
        fixture::WriteText(existing.toStdString(), std::string(100000, 'x'));
        QVERIFY(QFile::setPermissions(existing, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                    QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QCOMPARE(Mode(existing), mode_t(0644));
        QCOMPARE(printer.writePdf(&document, existing), TextPrinter::Done);
        QCOMPARE(Mode(existing), mode_t(0600));
        QVERIFY(PdfText(existing).contains(QStringLiteral("Secret 4711")));
    }

    // As root, the case runs as an unprivileged user: root's rights ignore the folder's mode.
    void writeFailures()
    {
        TESSALY_RUN_UNPRIVILEGED_AS_ROOT();
        QTextDocument document;
        document.setHtml(QStringLiteral("<p>x</p>"));
        TextPrinter printer;
        QCOMPARE(printer.writePdf(&document, QStringLiteral("/nonexistent-dir/report.pdf")), TextPrinter::Failed);
        QCOMPARE(printer.writePdf(&document, QString()), TextPrinter::Failed);
        QCOMPARE(printer.writePdf(nullptr, Scratch("nodoc") + QStringLiteral("/x.pdf")), TextPrinter::Failed);
        // Paths that no rights make writable: below a regular file, and a folder itself.
        const QString plain = Scratch("plainfile") + QStringLiteral("/file");
        fixture::WriteText(plain.toStdString(), "not a folder");
        QCOMPARE(printer.writePdf(&document, plain + QStringLiteral("/report.pdf")), TextPrinter::Failed);
        QCOMPARE(printer.writePdf(&document, Scratch("afolder")), TextPrinter::Failed);
        QVERIFY(QFileInfo(Scratch("afolder")).isDir());
        const QString dir = Scratch("readonly");
        QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        if (QFileInfo(dir).isWritable())
            QSKIP("running with rights that ignore file modes");
        QCOMPARE(printer.writePdf(&document, dir + QStringLiteral("/report.pdf")), TextPrinter::Failed);
    }

    // An existing file is used without a question; otherwise the save dialog asks, a name
    // without suffix gets ".pdf", and cancelling writes nothing.
    void exportAsksForANewFile()
    {
        const QString dir = Scratch("export");
        QTextDocument document;
        document.setHtml(QStringLiteral("<p>Exported</p>"));
        TextPrinter printer;

        const QString existing = dir + QStringLiteral("/there.pdf");
        fixture::WriteText(existing.toStdString(), "old");
        QCOMPARE(printer.exportToPdf(&document, QString(), existing), TextPrinter::Done);
        QVERIFY(PdfText(existing).contains(QStringLiteral("Exported")));

        QString title;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* w) {
            title = w->windowTitle();
            QFileDialog* fd = qobject_cast<QFileDialog*>(w);
            fixture::ModalDriver::ChooseFile(fd, dir + QStringLiteral("/chosen"));
            QMetaObject::invokeMethod(fd, "accept");
        }, "QFileDialog");
        QCOMPARE(printer.exportToPdf(&document, QString(), dir + QStringLiteral("/new.pdf")), TextPrinter::Done);
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(title, QStringLiteral("Export PDF"));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/new.pdf")));
        QVERIFY(PdfText(dir + QStringLiteral("/chosen.pdf")).contains(QStringLiteral("Exported")));
        QCOMPARE(Mode(dir + QStringLiteral("/chosen.pdf")), mode_t(0600));

        driver.Expect([](QWidget* w) { fixture::ModalDriver::Reject(w); }, "QFileDialog");
        QCOMPARE(printer.exportToPdf(&document, QStringLiteral("Report"), QString()), TextPrinter::Cancelled);
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
    }

    // Without a printer the output fails, and says so (quietly); a cancelled print dialog prints nothing.
    void printing()
    {
        if (!QPrinterInfo::availablePrinters().isEmpty())
            QSKIP("a printer is installed here");
        QTextDocument document;
        document.setHtml(QStringLiteral("<p>x</p>"));
        {
            // Said to the caller only: nothing goes to standard error.
            CWarningCapture messages;
            TextPrinter printer;
            printer.setUsePrintDialog(false);
            QCOMPARE(printer.printDocument(&document, QString()), TextPrinter::Failed);
            QVERIFY2(messages.Warnings().isEmpty(), qPrintable(messages.Warnings().join("\n")));
        }
        TextPrinter printer;
        QString title;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* w) {
            title = w->windowTitle();
            fixture::ModalDriver::Reject(w);
        }, "QPrintDialog");
        QCOMPARE(printer.printDocument(&document, QString()), TextPrinter::Cancelled);
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(title, QStringLiteral("Print Document"));
    }

    void preview()
    {
        QTextDocument document;
        document.setHtml(Pages(2));
        TextPrinter printer;
        QString title;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget* w) {
            title = w->windowTitle();
            fixture::ModalDriver::Reject(w);
        }, "QPrintPreviewDialog");
        printer.showPreview(&document, QString());
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(title, QStringLiteral("Print Preview"));
    }
};

QTEST_MAIN(TextPrinterTest)
#include "test_textprinter.moc"
