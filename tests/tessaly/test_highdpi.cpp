// The window at the desktop's scale: 100 %, 125 %, 150 % and 200 % (the font DPI the test is
// run with, as a desktop's Xft.dpi sets it), on an X server of its own. The program's own start
// (its scaling set before the application object) gives a device pixel ratio of exactly the
// scale, the window its size at 100 % times the scale on the screen, and the skin's pictures
// at twice their size wherever the scale is above 100 %.
#include <cmath>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include "MainWindow.h"
#include "ModalDriver.h"
#include "Resources.h"
#include "TessalyStyle.h"
#include "WindowSupport.h"

namespace {

double Scale()
{
    return qEnvironmentVariableIntValue("QT_FONT_DPI") / 96.0;
}

// The size of an X window on the screen, in the screen's own pixels.
QSize OnScreen(WId window)
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)});
    if (!xwininfo.waitForFinished(10000))
        return QSize();
    const QString out = QString::fromLocal8Bit(xwininfo.readAllStandardOutput());
    const QRegularExpressionMatch w = QRegularExpression(QStringLiteral("Width: (\\d+)")).match(out);
    const QRegularExpressionMatch h = QRegularExpression(QStringLiteral("Height: (\\d+)")).match(out);
    return w.hasMatch() && h.hasMatch() ? QSize(w.captured(1).toInt(), h.captured(1).toInt()) : QSize();
}

} // namespace

class HighDpiTest : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(qgetenv("TESSALY_DESKTOP") == "x11", "run through desktop-session.sh x11");
        QVERIFY2(Scale() >= 1.0, "QT_FONT_DPI names the desktop's scale");
    }

    // Qt 5 rounds the factor by default: 150 % was drawn at 200 %, 125 % at 100 %.
    void devicePixelRatioIsTheScale()
    {
        QCOMPARE(qApp->devicePixelRatio(), Scale());
    }

    void windowAndSkinPicturesAtTheScale()
    {
        const QString home = FreshHome(QStringLiteral("highdpi"));
        WriteProviderSettings(home, {});
        // With no provider listed the window says so at its start.
        fixture::ModalDriver modals;
        modals.RejectUnexpected();
        modals.Expect([](QWidget* box) { fixture::ModalDriver::Accept(box); }, "QMessageBox");
        MainWindow window;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.size(), QSize(885, 514));
        const double scale = Scale();
        const QSize expected(qRound(885 * scale), qRound(514 * scale));
        QTRY_COMPARE(OnScreen(window.winId()), expected);

        // Above 100 % each icon holds its picture at twice the size too, which Qt draws down
        // to the scale rather than a small one blown up.
        const QAction* reload = window.findChild<QAction*>(QStringLiteral("actionReload"));
        QVERIFY(reload);
        QCOMPARE(reload->icon().availableSizes().contains(QSize(64, 64)), scale > 1.0);

        window.findChild<QAction*>(QStringLiteral("actionSwitchStyle"))->trigger();
        QLabel* logo = window.findChild<QLabel*>(QStringLiteral("QRWTitleBarLogo"));
        QVERIFY(logo);
        const QPixmap pixmap = logo->pixmap(Qt::ReturnByValue);
        QCOMPARE(pixmap.devicePixelRatio(), scale);
        QCOMPARE(pixmap.size(), QSize(qRound(176 * scale), qRound(56 * scale)));
        // The logo takes its place at 100 %, whatever the scale.
        QCOMPARE(logo->maximumSize(), QSize(176, 56));
        QVERIFY2(modals.Finished(), qPrintable(modals.Failures().join("; ")));
        QVERIFY2(modals.Unexpected().isEmpty(), qPrintable(modals.Unexpected().join("; ")));
    }
};

int main(int argc, char** argv)
{
    // What the program's main does before its application object.
    CTessalyStyle::PrepareHighDpi();
    QApplication app(argc, argv);
    tessaly::InitResources();
    HighDpiTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_highdpi.moc"
