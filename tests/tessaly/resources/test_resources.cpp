// The resources compiled into tessaly: each path the program opens is there and usable.
#include <QtTest>

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QRegularExpression>
#include <QTextDocument>

namespace {

const char* const kIcons[] = {
    "Test", "Unknown", "Rejected", "Pending", "Approved", "UnidentifiedCard", "UnblockPin", "SwitchStyle",
    "SmartCard", "RequestCert", "Reload", "ReaderWithCard", "PublicKey", "PrivateKey", "Preferences", "Logout",
    "Login", "Import", "Export", "Exit", "EmptyReader", "DownloadCert", "Delete", "ChangePin", "Certificate",
    "CertWithKeys", "CertView", "CertNotDecoded", "Brannick", "About",
};

QString ReadUtf8(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(f.readAll());
}

QStringList g_warnings;

void Collect(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type != QtDebugMsg)
        g_warnings << text;
}

} // namespace

class ResourcesTest : public QObject {
    Q_OBJECT

private slots:
    void everyPathIsThere_data()
    {
        QTest::addColumn<QString>("path");
        const char* const paths[] = {
            ":/icons/res/tessaly.ico", ":/bitmaps/SplashScreen", ":/bitmaps/Progress", ":/bitmaps/VeskoraLogoRed",
            ":/print/Report", ":/print/ReportHeader", ":/print/ReportFooter", ":/print/VeskoraLogo",
            ":/skin/MenuStyle", ":/skin/ApplicationStyle", ":/skin/HeaderLogo", ":/skin/res/button_minimize.bmp",
            ":/skin/res/button_maximize.bmp", ":/skin/res/button_close.bmp", ":/skin/res/button_minimize_push.bmp",
            ":/skin/res/button_maximize_push.bmp", ":/skin/res/button_close_push.bmp", ":/other/res/tessaly.rc",
            ":/license/Licences/LicenseEN.html", ":/license/Licences/LicenseBG.html",
        };
        for (const char* p : paths)
            QTest::newRow(p) << QString::fromLatin1(p);
        for (const char* name : kIcons)
            QTest::newRow(name) << QStringLiteral(":/icons/") + QLatin1String(name);
    }

    void everyPathIsThere()
    {
        QFETCH(QString, path);
        QFileInfo info(path);
        QVERIFY2(info.exists(), qPrintable(path));
        QVERIFY2(info.size() > 0, qPrintable(path));
    }

    void picturesLoadAtTheirSizes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("atMost");
        for (const char* name : kIcons)
            QTest::newRow(name) << QStringLiteral(":/icons/") + QLatin1String(name) << QSize(32, 32);
        QTest::newRow("splash") << ":/bitmaps/SplashScreen" << QSize(640, 400);
        QTest::newRow("progress") << ":/bitmaps/Progress" << QSize(400, 200);
        // The about box shows its logo in at most 135 x 92.
        QTest::newRow("about logo") << ":/bitmaps/VeskoraLogoRed" << QSize(135, 92);
        QTest::newRow("report logo") << ":/print/VeskoraLogo" << QSize(400, 272);
        // The title bar is 60 high.
        QTest::newRow("header logo") << ":/skin/HeaderLogo" << QSize(240, 60);
        for (const char* b : {"minimize", "maximize", "close", "minimize_push", "maximize_push", "close_push"})
            QTest::newRow(b) << QStringLiteral(":/skin/res/button_%1.bmp").arg(b) << QSize(25, 24);
    }

    void picturesLoadAtTheirSizes()
    {
        QFETCH(QString, path);
        QFETCH(QSize, atMost);
        QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QVERIFY2(image.width() <= atMost.width() && image.height() <= atMost.height(),
                 qPrintable(QStringLiteral("%1 is %2 x %3").arg(path).arg(image.width()).arg(image.height())));
        QVERIFY(image.width() >= atMost.width() / 2);
    }

    // Above 100 % Qt draws the @2x picture beside each one (QIcon finds it by name): it must be
    // there for every picture on screen, at exactly twice the size, or the picture is blurred.
    void screenPicturesComeAtTwiceTheSize_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("twice");
        for (const char* name : kIcons)
            QTest::newRow(name) << QStringLiteral(":/icons/") + QLatin1String(name)
                                << QStringLiteral(":/icons/%1@2x").arg(QLatin1String(name));
        for (const char* p : {":/bitmaps/SplashScreen", ":/bitmaps/Progress", ":/bitmaps/VeskoraLogoRed",
                              ":/skin/HeaderLogo"})
            QTest::newRow(p) << QString::fromLatin1(p) << QString::fromLatin1(p) + QStringLiteral("@2x");
        for (const char* b : {"minimize", "maximize", "restore", "close"})
            for (const char* push : {"", "_push"}) {
                const QString base = QStringLiteral(":/skin/res/button_%1%2").arg(QLatin1String(b), QLatin1String(push));
                QTest::newRow(qPrintable(base)) << base + QStringLiteral(".bmp") << base + QStringLiteral("@2x.bmp");
            }
        for (const char* mark : {"check", "radio"})
            QTest::newRow(mark) << QStringLiteral(":/skin/res/%1.png").arg(QLatin1String(mark))
                                << QStringLiteral(":/skin/res/%1@2x.png").arg(QLatin1String(mark));
    }

    void screenPicturesComeAtTwiceTheSize()
    {
        QFETCH(QString, path);
        QFETCH(QString, twice);
        const QImage one(path);
        const QImage two(twice);
        QVERIFY2(!one.isNull(), qPrintable(path));
        QVERIFY2(!two.isNull(), qPrintable(twice));
        QCOMPARE(two.size(), one.size() * 2);
        // The same drawing: shrunk back, it is close to the picture itself.
        const QImage shrunk = two.scaled(one.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                  .convertToFormat(QImage::Format_ARGB32);
        const QImage base = one.convertToFormat(QImage::Format_ARGB32);
        qint64 difference = 0;
        for (int y = 0; y < base.height(); ++y)
            for (int x = 0; x < base.width(); ++x) {
                const QRgb a = base.pixel(x, y);
                const QRgb b = shrunk.pixel(x, y);
                difference += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) +
                              qAbs(qAlpha(a) - qAlpha(b));
            }
        const double mean = double(difference) / (4.0 * base.width() * base.height());
        QVERIFY2(mean < 16, qPrintable(QStringLiteral("%1 differs by %2 a channel").arg(twice).arg(mean)));
    }

    void programIconHoldsTheUsualSizes()
    {
        QImageReader reader(":/icons/res/tessaly.ico");
        QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
        QSet<int> sizes;
        for (int i = 0; i < reader.imageCount(); ++i) {
            reader.jumpToImage(i);
            QImage image = reader.read();
            QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
            QCOMPARE(image.width(), image.height());
            QVERIFY(image.hasAlphaChannel());
            sizes << image.width();
        }
        QCOMPARE(sizes, (QSet<int>{16, 32, 48}));
        QIcon icon(":/icons/res/tessaly.ico");
        QVERIFY(!icon.pixmap(16, 16).isNull());
    }

    // Icons tell actions and tree rows apart: no two alike, each with a drawing that fills its
    // box reasonably and corners left clear for any background.
    void iconsAreDistinctAndLegible()
    {
        QHash<QByteArray, QString> seen;
        for (const char* name : kIcons) {
            QImage image = QImage(QStringLiteral(":/icons/") + QLatin1String(name)).convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(image.size(), QSize(32, 32));
            QByteArray bytes(reinterpret_cast<const char*>(image.constBits()), int(image.sizeInBytes()));
            QVERIFY2(!seen.contains(bytes), qPrintable(QStringLiteral("%1 looks like %2").arg(name, seen.value(bytes))));
            seen.insert(bytes, QLatin1String(name));
            int solid = 0;
            for (int y = 0; y < 32; ++y)
                for (int x = 0; x < 32; ++x)
                    solid += qAlpha(image.pixel(x, y)) > 128;
            QVERIFY2(solid > 32 * 32 / 5, qPrintable(QStringLiteral("%1 covers only %2 pixels").arg(name).arg(solid)));
            for (QPoint corner : {QPoint(0, 0), QPoint(31, 0), QPoint(0, 31), QPoint(31, 31)})
                QVERIFY2(qAlpha(image.pixel(corner)) == 0, name);
        }
    }

    void versionTextCarriesTheProductVersion()
    {
        QString rc = ReadUtf8(":/other/res/tessaly.rc");
        QStringList hits;
        for (const QString& line : rc.split('\n'))
            if (line.contains(QLatin1String("PRODUCTVERSION ")))
                hits << line.mid(line.indexOf(QLatin1String("PRODUCTVERSION ")) + 15).trimmed();
        QCOMPARE(hits, QStringList{QStringLiteral("2,1,0,0")});
    }

    void licencesAreHtmlInTheirLanguage_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("title");
        QTest::newRow("en") << ":/license/Licences/LicenseEN.html" << "END-USER LICENCE AGREEMENT";
        QTest::newRow("bg") << ":/license/Licences/LicenseBG.html"
                            << QString::fromUtf8("ЛИЦЕНЗИОННО СПОРАЗУМЕНИЕ С КРАЙНИЯ ПОТРЕБИТЕЛ");
    }

    void licencesAreHtmlInTheirLanguage()
    {
        QFETCH(QString, path);
        QFETCH(QString, title);
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray raw = f.readAll();
        QString html = QString::fromUtf8(raw);
        QCOMPARE(html.toUtf8(), raw); // valid UTF-8
        QVERIFY(html.contains(QLatin1String("<style")));
        QVERIFY(html.contains(QLatin1String("subtitle")));
        QTextDocument doc;
        doc.setHtml(html);
        QString text = doc.toPlainText();
        QVERIFY2(text.contains(title), qPrintable(text.left(200)));
        QVERIFY(text.contains(QLatin1String("Veskora")));
        QVERIFY(!text.contains('<'));
    }

    // The main window fills in six entities; each half (Bulgarian, English) shows each once,
    // and the commented-out card table does not render.
    void reportBodyTakesTheCardData()
    {
        QString body = ReadUtf8(":/print/Report");
        const QStringList entities = {"&produser;", "&model;", "&serialnum;", "&label;", "&ain;", "&pin;"};
        QString filled = body;
        for (const QString& e : entities) {
            QVERIFY2(body.count(e) >= 2, qPrintable(e));
            filled.replace(e, QStringLiteral("<%1>").arg(e.mid(1, e.size() - 2)).toHtmlEscaped());
        }
        QTextDocument doc;
        doc.setHtml(filled);
        QString text = doc.toPlainText();
        for (const QString& e : entities) {
            QString shown = QStringLiteral("<%1>").arg(e.mid(1, e.size() - 2));
            QCOMPARE(text.count(shown), 2);
        }
        QVERIFY(text.contains(QString::fromUtf8("Персонални права за достъп до картата")));
        QVERIFY(text.contains(QLatin1String("Smart card Access Rights")));
        QVERIFY(text.contains(QStringLiteral("Serial Number:\t<serialnum>")));
        QVERIFY(text.contains(QStringLiteral("User PIN (PIN):\t\t<pin>")));
        QVERIFY(text.indexOf(QString::fromUtf8("Производител:")) < text.indexOf(QLatin1String("Manufacturer:")));
    }

    void reportHeaderAndFooter()
    {
        QString header = ReadUtf8(":/print/ReportHeader");
        QVERIFY(header.contains(QLatin1String("&date;")));
        QVERIFY(header.contains(QLatin1String("Veskora&nbsp;Tessaly&nbsp;generated&nbsp;report")));
        QVERIFY(header.contains(QLatin1String("src=\"LogoVK2.png\"")));
        QTextDocument doc;
        doc.addResource(QTextDocument::ImageResource, QUrl("LogoVK2.png"), QImage(":/print/VeskoraLogo"));
        doc.setHtml(QString(header).replace(QLatin1String("&date;"), QLatin1String("09.12.2026")));
        QVERIFY(doc.toPlainText().contains(QLatin1String("09.12.2026")));

        QString footer = ReadUtf8(":/print/ReportFooter");
        doc.setHtml(footer);
        QStringList lines = doc.toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 4); // the contact table is commented out
        QCOMPARE(lines[1], QStringLiteral("If you have any questions or you are experiencing problems, you can contact Veskora at:"));
        QVERIFY(lines[2].startsWith(QString::fromUtf8("Телефон/Phone:")));
        QVERIFY(lines[3].startsWith(QString::fromUtf8("Електронна поща/E-mail:")));
    }

    void skinStyleSheetsParseAndTheirPicturesExist()
    {
        QString sheet = ReadUtf8(":/skin/ApplicationStyle") + "\n" + ReadUtf8(":/skin/MenuStyle");
        QRegularExpression url(QStringLiteral("url\\(([^)]*)\\)"));
        int urls = 0;
        for (auto it = url.globalMatch(sheet); it.hasNext(); ++urls) {
            QString path = it.next().captured(1);
            QVERIFY2(!QImage(path).isNull(), qPrintable(path));
        }
        // Three title-bar buttons and the restore picture, pressed or not; the check box's and
        // the radio button's marks.
        QCOMPARE(urls, 10);
        for (const char* hook : {"TitleButton", "TitleLeftBorder", "TitleRightBorder", "QRWTitleBar", "QRWTop",
                                 "QRWTopLeft", "QRWTopRight", "TitleWindowCaption", "QResizeCentralWidget"})
            QVERIFY2(sheet.contains(QLatin1String(hook)), hook);

        g_warnings.clear();
        QtMessageHandler old = qInstallMessageHandler(Collect);
        qApp->setStyleSheet(sheet);
        QWidget w;
        w.setStyleSheet(ReadUtf8(":/skin/MenuStyle")); // parsed on its own too, as older Qt gets it
        w.ensurePolished();
        qApp->setStyleSheet(QString());
        qInstallMessageHandler(old);
        QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join('\n')));
    }
};

QTEST_MAIN(ResourcesTest)
#include "test_resources.moc"
