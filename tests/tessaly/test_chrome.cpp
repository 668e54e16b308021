// The skinned window's frame pieces, the splash screen, the tool bar and the message box.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QDialog>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QSplashScreen>
#include <QSplitter>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtTest>

#include "AutoSplash.h"
#include "MainWindow.h"
#include "MessageBoxEx.h"
#include "ModalDriver.h"
#include "MyToolBar.h"
#include "ResizeCentralWidget.h"
#include "TestHome.h"

namespace {
void Press(QWidget* w, const QPoint& global)
{
    QMouseEvent e(QEvent::MouseButtonPress, w->mapFromGlobal(global), global, Qt::LeftButton, Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}
void Move(QWidget* w, const QPoint& global)
{
    QMouseEvent e(QEvent::MouseMove, w->mapFromGlobal(global), global, Qt::NoButton, Qt::LeftButton,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}
void Release(QWidget* w, const QPoint& global)
{
    QMouseEvent e(QEvent::MouseButtonRelease, w->mapFromGlobal(global), global, Qt::LeftButton, Qt::NoButton,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
}
void Drag(QWidget* w, const QPoint& from, const QPoint& to)
{
    Press(w, from);
    Move(w, to);
    Release(w, to);
}

// A frameless top-level window at (100, 50), 400 x 300, minimum 200 x 150, as the
// skinned main window is.
struct Window {
    QWidget widget;
    Window()
    {
        widget.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        widget.setMinimumSize(200, 150);
        widget.setGeometry(100, 50, 400, 300);
        widget.show();
    }
    QRect Geometry() const { return QRect(widget.pos(), widget.size()); }
};

// A dark colour scheme as desktops give it (qt5ct's "darker", KDE's Breeze Dark).
QPalette DarkPalette()
{
    QPalette p;
    p.setColor(QPalette::Window, QColor(53, 53, 53));
    p.setColor(QPalette::WindowText, QColor(230, 230, 230));
    p.setColor(QPalette::Base, QColor(35, 35, 35));
    p.setColor(QPalette::AlternateBase, QColor(45, 45, 45));
    p.setColor(QPalette::Text, QColor(230, 230, 230));
    p.setColor(QPalette::Button, QColor(53, 53, 53));
    p.setColor(QPalette::ButtonText, QColor(230, 230, 230));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, QColor(20, 20, 20));
    return p;
}

// The contrast ratio of two colours as the accessibility guidelines count it (1 to 21).
double Contrast(QRgb a, QRgb b)
{
    const auto luminance = [](QRgb c) {
        const auto channel = [](int v) {
            const double s = v / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
    };
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// How many pixels of rect changed between two pictures of one widget by a contrast of at least
// 3 to 1 (what a person sees as a mark, not a shade).
int VisiblyChanged(const QImage& before, const QImage& after, const QRect& rect)
{
    int changed = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
            changed += Contrast(before.pixel(x, y), after.pixel(x, y)) >= 3.0;
    return changed;
}

// The skin's style sheet and a palette for one test.
struct TSkin {
    QPalette saved = qApp->palette();
    explicit TSkin(bool dark)
    {
        if (dark)
            qApp->setPalette(DarkPalette());
        qApp->setStyleSheet(MainWindow::SkinStyleSheet(QString::fromLatin1(qVersion())));
    }
    ~TSkin()
    {
        qApp->setStyleSheet(QString());
        qApp->setPalette(saved);
    }
};

void DoubleClick(QWidget* w, const QPoint& global)
{
    const QPoint local = w->mapFromGlobal(global);
    Press(w, global);
    Release(w, global);
    Press(w, global);
    QMouseEvent e(QEvent::MouseButtonDblClick, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &e);
    Release(w, global);
}

// The skin's body filling window, around a label, as it fills the skinned main window.
QResizeCentralWidget* AddBody(QWidget* window)
{
    QVBoxLayout* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    QResizeCentralWidget* body = new QResizeCentralWidget(window, new QLabel("content"));
    layout->addWidget(body);
    return body;
}
}

class ChromeTest : public QObject
{
    Q_OBJECT
private slots:
    void zonesHaveTheirNamesCursorsAndSizes()
    {
        QWidget window;
        const char* names[] = {"QRWTopLeft", "QRWTop", "QRWTopRight", "QRWRight",
                               "QRWBottomRight", "QRWBottom", "QRWBottomLeft", "QRWLeft"};
        const Qt::CursorShape cursors[] = {Qt::SizeFDiagCursor, Qt::SizeVerCursor, Qt::SizeBDiagCursor,
                                           Qt::SizeHorCursor, Qt::SizeFDiagCursor, Qt::SizeVerCursor,
                                           Qt::SizeBDiagCursor, Qt::SizeHorCursor};
        for (int zone = 0; zone < 8; ++zone) {
            QResizeWidget piece(static_cast<QRWType>(zone), &window, &window);
            QCOMPARE(piece.objectName(), QString::fromLatin1(names[zone]));
            QCOMPARE(piece.cursor().shape(), cursors[zone]);
            QCOMPARE(piece.property("type").toInt(), zone);
            QVERIFY(!piece.property("disabled").toBool());
            const bool corner = zone % 2 == 0;
            const bool side = zone == 3 || zone == 7;
            QCOMPARE(piece.minimumSize(), corner ? QSize(5, 5) : side ? QSize(5, 0) : QSize(0, 5));
        }
    }

    // Wherever inside the corner the press was, the window grows by exactly the drag.
    void bottomRightCornerGrowsByTheDrag_data()
    {
        QTest::addColumn<QPoint>("inset");
        QTest::newRow("at the edge") << QPoint(0, 0);
        QTest::newRow("inside") << QPoint(3, 2);
        QTest::newRow("deep inside") << QPoint(4, 4);
    }
    void bottomRightCornerGrowsByTheDrag()
    {
        QFETCH(QPoint, inset);
        Window w;
        QResizeWidget corner(QRWBottomRight, &w.widget, &w.widget);
        const QPoint press = QPoint(100 + 400, 50 + 300) - inset;
        Drag(&corner, press, press + QPoint(30, 20));
        QCOMPARE(w.Geometry(), QRect(100, 50, 430, 320));
    }

    void sideStopsAtTheMinimumAndNeverChangesTheHeight()
    {
        Window w;
        QResizeWidget left(QRWLeft, &w.widget, &w.widget);
        Drag(&left, QPoint(102, 200), QPoint(250, 200));
        QCOMPARE(w.Geometry(), QRect(250, 50, 250, 300));
        Drag(&left, QPoint(251, 200), QPoint(360, 200));
        QCOMPARE(w.Geometry(), QRect(250, 50, 250, 300));

        QResizeWidget right(QRWRight, &w.widget, &w.widget);
        Drag(&right, QPoint(498, 100), QPoint(520, 400));
        QCOMPARE(w.Geometry(), QRect(250, 50, 272, 300));
    }

    void cornerPastTheMinimumKeepsResizingTheOtherWay()
    {
        Window w;
        QResizeWidget corner(QRWBottomRight, &w.widget, &w.widget);
        // Far too narrow, but taller: only the height changes.
        Drag(&corner, QPoint(500, 350), QPoint(150, 400));
        QCOMPARE(w.Geometry(), QRect(100, 50, 400, 350));
        // Too low and too narrow: nothing changes.
        Drag(&corner, QPoint(500, 400), QPoint(150, 60));
        QCOMPARE(w.Geometry(), QRect(100, 50, 400, 350));
    }

    void wantedGeometryTable()
    {
        const QRect win(100, 50, 400, 300);
        const QPoint g(90, 40);
        const QPoint o(-2, -3);
        QCOMPARE(QResizeWidget::WantedGeometry(QRWTopLeft, win, g, o), QRect(90, 40, 410, 310));
        QCOMPARE(QResizeWidget::WantedGeometry(QRWTop, win, g, o), QRect(100, 40, 400, 310));
        QCOMPARE(QResizeWidget::WantedGeometry(QRWTopRight, win, QPoint(520, 40), o), QRect(100, 40, 422, 310));
        QCOMPARE(QResizeWidget::WantedGeometry(QRWBottom, win, QPoint(0, 380), o), QRect(100, 50, 400, 333));
        QCOMPARE(QResizeWidget::WantedGeometry(QRWBottomLeft, win, QPoint(90, 380), o), QRect(90, 50, 410, 333));
    }

    void bodyArrangesTenBordersTitleAndContent()
    {
        QWidget window;
        window.setWindowTitle("Caption");
        QWidget* content = new QWidget;
        QVBoxLayout* layout = new QVBoxLayout(content);
        layout->setContentsMargins(7, 8, 9, 10);
        QResizeCentralWidget body(&window, content);
        QCOMPARE(body.findChildren<QResizeWidget*>().size(), 10);
        QCOMPARE(body.frameShape(), QFrame::Box);
        QGridLayout* grid = qobject_cast<QGridLayout*>(body.layout());
        QVERIFY(grid);
        QCOMPARE(grid->itemAtPosition(1, 1)->widget(), static_cast<QWidget*>(body.titleBar()));
        QCOMPARE(grid->itemAtPosition(2, 1)->widget(), content);
        QVERIFY(grid->itemAtPosition(1, 0)->widget()->property("TitleLeftBorder").toBool());
        QVERIFY(grid->itemAtPosition(1, 2)->widget()->property("TitleRightBorder").toBool());
        QCOMPARE(grid->itemAtPosition(3, 2)->widget()->objectName(), QStringLiteral("QRWBottomRight"));
        QCOMPARE(body.titleBar()->objectName(), QStringLiteral("QRWTitleBar"));
        QCOMPARE(body.findChild<QLabel*>("TitleWindowCaption")->text(), QStringLiteral("Caption"));
        for (const char* name : {"TitleMinimizeButton", "TitleMaximizeButton", "TitleCloseButton"}) {
            QPushButton* button = body.findChild<QPushButton*>(name);
            QVERIFY2(button && button->property("TitleButton").toBool(), name);
            QCOMPARE(button->focusPolicy(), Qt::NoFocus);
        }
        QCOMPARE(layout->contentsMargins(), QMargins(0, 0, 0, 0));
        QCOMPARE(body.property("content").value<QWidget*>(), content);

        body.setContent(nullptr);
        QCOMPARE(body.content(), content);
        body.resetContent();
        QCOMPARE(layout->contentsMargins(), QMargins(7, 8, 9, 10));
        QVERIFY(!body.content());
        QCOMPARE(content->parentWidget(), static_cast<QWidget*>(&body));
        QVERIFY(!grid->itemAtPosition(2, 1));
    }

    // Under the skin's style sheet the border pieces beside the title bar take its red
    // gradient (darker at the top), the pieces beside the content the grey.
    void titleRowBordersTakeTheTitleGradient()
    {
        qApp->setStyleSheet(MainWindow::SkinStyleSheet(QString::fromLatin1(qVersion())));
        QWidget window;
        window.resize(400, 300);
        QResizeCentralWidget* body = new QResizeCentralWidget(&window, new QWidget);
        body->resize(400, 300);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QGridLayout* grid = qobject_cast<QGridLayout*>(body->layout());
        const auto colours = [](QWidget* piece) {
            const QImage image = piece->grab().toImage();
            return qMakePair(image.pixelColor(image.width() / 2, 1), image.pixelColor(image.width() / 2, image.height() - 2));
        };
        for (int column : {0, 2}) {
            const auto title = colours(grid->itemAtPosition(1, column)->widget());
            QVERIFY2(title.first.red() > 3 * title.first.green() && title.second.red() > title.first.red(),
                     qPrintable(QStringLiteral("column %1: %2 to %3").arg(column).arg(title.first.name(),
                                                                                     title.second.name())));
            const auto side = colours(grid->itemAtPosition(2, column)->widget());
            QCOMPARE(side.first, QColor(150, 150, 150));
        }
        qApp->setStyleSheet(QString());
    }

    void titleBarMovesTheWindowButNotNearItsEdge()
    {
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        QResizeCentralWidget* body = AddBody(&window);
        window.setGeometry(100, 50, 500, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTitleBarWidget* title = body->titleBar();
        QCOMPARE(body->titleRect(), title->frameRect().translated(5, 5));

        // Within 5 pixels of the title bar's top-left corner: no drag.
        const QPoint nearEdge = title->mapToGlobal(QPoint(2, 2));
        Drag(title, nearEdge, nearEdge + QPoint(40, 30));
        QCOMPARE(window.pos(), QPoint(100, 50));

        const QPoint inside = title->mapToGlobal(QPoint(30, 20));
        Drag(title, inside, inside + QPoint(40, 30));
        QCOMPARE(window.pos(), QPoint(140, 80));

        body->findChild<QPushButton*>("TitleMaximizeButton")->click();
        QVERIFY(title->IsMaximized());
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY(border->IsDisabled());
        // The borders do not resize a maximised window.
        const QRect maximised(window.pos(), window.size());
        QResizeWidget* corner = body->findChild<QResizeWidget*>("QRWBottomRight");
        Drag(corner, corner->mapToGlobal(QPoint(1, 1)), corner->mapToGlobal(QPoint(31, 21)));
        QCOMPARE(QRect(window.pos(), window.size()), maximised);

        body->findChild<QPushButton*>("TitleMaximizeButton")->click();
        QVERIFY(!title->IsMaximized());
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY(!border->IsDisabled());
        const QPoint again = title->mapToGlobal(QPoint(30, 20));
        const QPoint before = window.pos();
        Drag(title, again, again + QPoint(10, 10));
        QCOMPARE(window.pos(), before + QPoint(10, 10));

        body->findChild<QPushButton*>("TitleCloseButton")->click();
        QVERIFY(!window.isVisible());
    }

    // The body's own frame lines lie outside the border pieces; a press on them (the window's
    // outermost pixels) drags the piece beside them, and the pointer there shows its cursor.
    void frameLinesDragTheBorderBesideThem_data()
    {
        QTest::addColumn<QPoint>("at");  // in the body, on its frame
        QTest::addColumn<QPoint>("drag");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<int>("cursor");
        // The window at (100, 50), 400 x 300.
        QTest::newRow("left edge") << QPoint(0, 150) << QPoint(30, 0) << QRect(130, 50, 370, 300)
                                   << int(Qt::SizeHorCursor);
        QTest::newRow("right edge") << QPoint(399, 150) << QPoint(25, 0) << QRect(100, 50, 425, 300)
                                    << int(Qt::SizeHorCursor);
        QTest::newRow("bottom edge") << QPoint(200, 298) << QPoint(0, 40) << QRect(100, 50, 400, 340)
                                     << int(Qt::SizeVerCursor);
        QTest::newRow("top edge") << QPoint(200, 0) << QPoint(0, -20) << QRect(100, 30, 400, 320)
                                  << int(Qt::SizeVerCursor);
        QTest::newRow("bottom-right corner") << QPoint(399, 299) << QPoint(30, 20) << QRect(100, 50, 430, 320)
                                             << int(Qt::SizeFDiagCursor);
        QTest::newRow("top-left corner") << QPoint(0, 0) << QPoint(-10, -10) << QRect(90, 40, 410, 310)
                                         << int(Qt::SizeFDiagCursor);
        QTest::newRow("beside the title bar") << QPoint(0, 40) << QPoint(20, 0) << QRect(120, 50, 380, 300)
                                              << int(Qt::SizeHorCursor);
    }
    void frameLinesDragTheBorderBesideThem()
    {
        QFETCH(QPoint, at);
        QFETCH(QPoint, drag);
        QFETCH(QRect, geometry);
        QFETCH(int, cursor);
        Window w;
        QResizeCentralWidget* body = AddBody(&w.widget);
        QVERIFY(QTest::qWaitForWindowExposed(&w.widget));
        QCOMPARE(body->geometry(), QRect(0, 0, 400, 300));
        QVERIFY(body->frameWidth() > 0);
        QVERIFY(!body->contentsRect().contains(at));

        QMouseEvent hover(QEvent::MouseMove, at, body->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(body, &hover);
        QCOMPARE(int(body->cursor().shape()), cursor);
        const QPoint from = body->mapToGlobal(at);
        Drag(body, from, from + drag);
        QCOMPARE(w.Geometry(), geometry);
    }

    // The window manager restores a window that the title bar's button maximised (a shortcut,
    // the task bar), or maximises it itself: the title bar and the borders follow its real state.
    void titleBarAndBordersFollowTheWindowState()
    {
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        QResizeCentralWidget* body = AddBody(&window);
        window.setGeometry(100, 50, 500, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTitleBarWidget* title = body->titleBar();
        QPushButton* maximize = body->findChild<QPushButton*>("TitleMaximizeButton");

        maximize->click();
        QVERIFY(title->IsMaximized());
        window.showNormal();
        QVERIFY(!title->IsMaximized());
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY(!border->IsDisabled());
        const QPoint before = window.pos();
        const QPoint inside = title->mapToGlobal(QPoint(30, 20));
        Drag(title, inside, inside + QPoint(15, 10));
        QCOMPARE(window.pos(), before + QPoint(15, 10));
        QResizeWidget* corner = body->findChild<QResizeWidget*>("QRWBottomRight");
        const QSize size = window.size();
        Drag(corner, corner->mapToGlobal(QPoint(1, 1)), corner->mapToGlobal(QPoint(21, 11)));
        QCOMPARE(window.size(), size + QSize(20, 10));

        window.showMaximized();
        QVERIFY(title->IsMaximized());
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY(border->IsDisabled());
        // One press of the button restores it.
        maximize->click();
        QVERIFY(!window.isMaximized());
        QVERIFY(!title->IsMaximized());
    }

    // As on every desktop: a double click on the title maximises the window and restores it.
    void titleBarDoubleClickMaximisesAndRestores()
    {
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        QResizeCentralWidget* body = AddBody(&window);
        window.setGeometry(100, 50, 500, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTitleBarWidget* title = body->titleBar();
        const QPoint at = title->mapToGlobal(QPoint(200, 30));
        DoubleClick(title, at);
        QVERIFY(window.isMaximized());
        QVERIFY(title->IsMaximized());
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY(border->IsDisabled());
        DoubleClick(title, title->mapToGlobal(QPoint(200, 30)));
        QVERIFY(!window.isMaximized());
        QVERIFY(!title->IsMaximized());
        // A double click is no drag: the window stays where it was.
        QCOMPARE(window.pos(), QPoint(100, 50));
        // Near the title bar's edge, as for a drag: nothing.
        DoubleClick(title, title->mapToGlobal(QPoint(2, 2)));
        QVERIFY(!window.isMaximized());
    }

    // A drag on the title of a maximised window restores it under the pointer, which keeps its
    // share of the width (a press three quarters along the bar is three quarters along the
    // restored window) and its height in the title, and the window follows the pointer. A mere
    // click leaves it maximised.
    void dragOnAMaximisedTitleRestoresUnderThePointer_data()
    {
        QTest::addColumn<double>("share");
        QTest::newRow("left") << 0.1;
        QTest::newRow("middle") << 0.5;
        QTest::newRow("three quarters") << 0.75;
    }
    void dragOnAMaximisedTitleRestoresUnderThePointer()
    {
        QFETCH(double, share);
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        QResizeCentralWidget* body = AddBody(&window);
        window.setGeometry(100, 50, 500, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTitleBarWidget* title = body->titleBar();
        body->findChild<QPushButton*>("TitleMaximizeButton")->click();
        QVERIFY(window.isMaximized());
        QTRY_VERIFY(window.width() > 500);

        const QPoint from = window.mapToGlobal(QPoint(int(share * window.width()), 5 + 20));
        Press(title, from);
        Release(title, from);
        QVERIFY(window.isMaximized());

        const QPoint to = from + QPoint(40, 30);
        Press(title, from);
        Move(title, from + QPoint(20, 15));
        Move(title, to);
        Release(title, to);
        QVERIFY(!window.isMaximized());
        QVERIFY(!title->IsMaximized());
        QTRY_COMPARE(window.size(), QSize(500, 400));
        // The pointer is where it was on the title: the same share along, the same height.
        QVERIFY2(qAbs(to.x() - window.x() - share * 500) <= 1,
                 qPrintable(QStringLiteral("pointer %1 along a window at %2").arg(to.x()).arg(window.x())));
        QCOMPARE(to.y() - window.y(), 5 + 20);
        for (QResizeWidget* border : body->findChildren<QResizeWidget*>())
            QVERIFY(!border->IsDisabled());
    }

    // The maximise button shows the restore picture while the window is maximised, whoever
    // maximised it, and its own again once restored.
    void maximiseButtonPictureFollowsTheState()
    {
        TSkin skin(false);
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        QResizeCentralWidget* body = AddBody(&window);
        window.setGeometry(100, 50, 500, 400);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QPushButton* maximize = body->findChild<QPushButton*>("TitleMaximizeButton");
        const QImage normal = maximize->grab().toImage();
        maximize->click();
        QVERIFY(window.isMaximized());
        const QImage maximised = maximize->grab().toImage();
        QVERIFY(maximised != normal);
        // The picture drawn is the restore one: its glyph differs where the maximise glyph is.
        QVERIFY(VisiblyChanged(normal, maximised, normal.rect()) > 20);
        window.showNormal();
        QCOMPARE(maximize->grab().toImage(), normal);
        window.showMaximized();
        QCOMPARE(maximize->grab().toImage(), maximised);
    }

    // The skinned box's check box on its light body: in a dark palette the style filled the box
    // in the dark base colour and drew the tick in the body's dark text colour.
    void checkBoxMarkReadsInBothPalettes_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light palette") << false;
        QTest::newRow("dark palette") << true;
    }
    void checkBoxMarkReadsInBothPalettes()
    {
        QFETCH(bool, dark);
        TSkin skin(dark);
        QWidget parent;
        QMessageBoxEx box(&parent);
        box.SetText("Slot events are not supported.");
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        QCheckBox* check = box.findChild<QCheckBox*>("cbShowAgain");
        QStyleOptionButton option;
        option.initFrom(check);
        const QRect indicator = check->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, check);
        QVERIFY(!indicator.isEmpty());
        check->setChecked(true);
        const QImage on = check->grab().toImage();
        check->setChecked(false);
        const QImage off = check->grab().toImage();
        // The tick against the box it sits in.
        double best = 1.0;
        for (int y = indicator.top(); y <= indicator.bottom(); ++y)
            for (int x = indicator.left(); x <= indicator.right(); ++x)
                best = std::max(best, Contrast(on.pixel(x, y), off.pixel(x, y)));
        QVERIFY2(best >= 4.5, qPrintable(QStringLiteral("tick against its box: %1 to 1").arg(best)));
        // The box itself stands out from the body around it.
        const QRgb inside = off.pixel(indicator.center());
        const QRgb body = off.pixel(indicator.right() + 3, indicator.center().y());
        QVERIFY2(Contrast(inside, on.pixel(indicator.center())) >= 1.0 && inside != 0, "no box drawn");
        Q_UNUSED(body);
    }

    // The keyboard's place in the skinned window: the focused tab, tree and pane carry a mark
    // that stands out (3 to 1) from how they look unfocused, in both palettes.
    void focusedWidgetIsMarked_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<bool>("dark");
        for (bool dark : {false, true})
            for (const char* which : {"tab bar", "tree", "pane"})
                QTest::newRow(qPrintable(QStringLiteral("%1, %2").arg(which, dark ? "dark" : "light")))
                    << QString::fromLatin1(which) << dark;
    }
    void focusedWidgetIsMarked()
    {
        QFETCH(QString, which);
        QFETCH(bool, dark);
        TSkin skin(dark);
        QWidget window;
        window.setWindowFlags(Qt::FramelessWindowHint | Qt::WindowSystemMenuHint);
        QWidget* content = new QWidget;
        QVBoxLayout* layout = new QVBoxLayout(content);
        QLineEdit* elsewhere = new QLineEdit;
        layout->addWidget(elsewhere);
        QTabWidget* tabs = new QTabWidget;
        QSplitter* splitter = new QSplitter;
        QTreeWidget* tree = new QTreeWidget;
        QTreeWidget* pane = new QTreeWidget;
        for (QTreeWidget* view : {tree, pane}) {
            view->setHeaderHidden(true);
            view->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("SoftHSM slot")}));
            splitter->addWidget(view);
        }
        tabs->addTab(splitter, QStringLiteral("SoftHSM"));
        tabs->addTab(new QWidget, QStringLiteral("OpenSC"));
        layout->addWidget(tabs);
        QVBoxLayout* outer = new QVBoxLayout(&window);
        outer->setContentsMargins(0, 0, 0, 0);
        outer->addWidget(new QResizeCentralWidget(&window, content));
        window.resize(600, 450);
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QWidget* target = which == "tab bar" ? static_cast<QWidget*>(tabs->tabBar()) : which == "tree" ? tree : pane;
        elsewhere->setFocus();
        QTRY_VERIFY(elsewhere->hasFocus());
        const QImage before = target->grab().toImage();
        const QSize size = target->size();
        target->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(target->hasFocus());
        const QImage after = target->grab().toImage();
        QCOMPARE(target->size(), size);
        const QRect area = which == "tab bar" ? tabs->tabBar()->tabRect(0) : target->rect();
        const int changed = VisiblyChanged(before, after, area);
        QVERIFY2(changed >= 100, qPrintable(QStringLiteral("%1 pixels mark the focus").arg(changed)));
    }

    void splashCentresOverItsAnchor()
    {
        const QString dir = FreshHome("splash");
        QPixmap picture(400, 300);
        picture.fill(Qt::red);
        QVERIFY(picture.save(dir + "/splash.png"));
        QWidget anchor;
        anchor.setGeometry(100, 50, 1000, 700);
        CAutoSplash splash(dir + "/splash.png", &anchor, false);
        QCOMPARE(splash.Splash()->size(), QSize(400, 300));
        QCOMPARE(splash.Splash()->pos(), QPoint(400, 250));
        QVERIFY(splash.Splash()->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(splash.Splash()->isVisible());
        splash.Hide();
        QVERIFY(!splash.Splash()->isVisible());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        splash.Show();
        QVERIFY(splash.Splash()->isVisible());
    }

    // A box or dialog that opens while splashes are up comes in front of them, with the normal
    // arrow; once the last one closed, the splashes the owners still want are back with the
    // wait cursor. A splash that its owner showed or hid meanwhile follows the owner.
    void boxesComeInFrontOfSplashes()
    {
        CAutoSplash first(":/missing", nullptr, true);
        CAutoSplash second(":/missing", nullptr, true);
        second.Hide();
        bool splashShown = true;
        Qt::CursorShape cursor = Qt::WaitCursor;
        fixture::ModalDriver driver;
        const auto look = [&] {
            splashShown = first.Splash()->isVisible() || second.Splash()->isVisible();
            cursor = QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor;
        };
        driver.Expect([&](QWidget* box) {
            look();
            // A dialog on top of the box: the splashes stay aside until both have closed.
            QTimer::singleShot(0, box, [&, box] {
                QDialog inner(box);
                fixture::ModalDriver nested;
                nested.Expect([&](QWidget* w) {
                    first.Show();
                    QVERIFY(!first.Splash()->isVisible());
                    fixture::ModalDriver::Reject(w);
                });
                inner.exec();
                QVERIFY(!first.Splash()->isVisible());
                fixture::ModalDriver::Accept(box);
            });
        }, "QMessageBox");
        QMessageBox::information(nullptr, "title", "in front");
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QVERIFY(!splashShown);
        QCOMPARE(cursor, Qt::ArrowCursor);
        QVERIFY(first.Splash()->isVisible());
        QVERIFY(!second.Splash()->isVisible());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }

    void splashCursorsNestAndSurviveExceptions()
    {
        QVERIFY(!QApplication::overrideCursor());
        QPointer<QSplashScreen> inner;
        {
            CAutoSplash outer(":/missing", nullptr, true);
            {
                CAutoSplash nested(":/missing", nullptr, true);
                inner = nested.Splash();
            }
            QVERIFY(!inner);
            QVERIFY(QApplication::overrideCursor());
            QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        }
        QVERIFY(!QApplication::overrideCursor());

        QPointer<QSplashScreen> thrown;
        try {
            CAutoSplash splash(":/missing", nullptr, true);
            thrown = splash.Splash();
            throw std::runtime_error("inside the scope");
        } catch (const std::runtime_error&) {
        }
        QVERIFY(!thrown);
        QVERIFY(!QApplication::overrideCursor());
    }

    void toolBarButtonsShareTheLargestSize_data()
    {
        QTest::addColumn<bool>("vertical");
        QTest::newRow("horizontal") << false;
        QTest::newRow("vertical") << true;
    }
    void toolBarButtonsShareTheLargestSize()
    {
        QFETCH(bool, vertical);
        QMyToolBar bar;
        if (vertical)
            bar.setOrientation(Qt::Vertical);
        // The bar's own extension button takes part too; keep it out of the way.
        for (QToolButton* own : bar.findChildren<QToolButton*>())
            own->resize(10, 10);
        QList<QToolButton*> buttons;
        for (int extent : {30, 42, 36}) {
            QToolButton* button = new QToolButton(&bar);
            button->resize(vertical ? extent : 20, vertical ? 20 : extent);
            buttons << button;
        }
        QResizeEvent event(QSize(200, 60), QSize(100, 60));
        QApplication::sendEvent(&bar, &event);
        for (QToolButton* button : buttons)
            QCOMPARE(button->minimumSize(), vertical ? QSize(42, 0) : QSize(0, 42));

        // Shrinking the buttons never lowers the shared size.
        for (QToolButton* button : buttons)
            button->setGeometry(0, 0, 10, 10);
        QApplication::sendEvent(&bar, &event);
        for (QToolButton* button : buttons)
            QCOMPARE(button->minimumSize(), vertical ? QSize(42, 0) : QSize(0, 42));
    }

    void messageBoxReportsTheCheckBox_data()
    {
        QTest::addColumn<bool>("clear");
        QTest::newRow("left checked") << false;
        QTest::newRow("cleared") << true;
    }
    void messageBoxReportsTheCheckBox()
    {
        QFETCH(bool, clear);
        QWidget parent;
        parent.setWindowTitle("Veskora Tessaly");
        QMessageBoxEx box(&parent);
        box.SetText("Slot events are not supported.");
        QCOMPARE(box.windowTitle(), QStringLiteral("Veskora Tessaly"));
        QCOMPARE(box.windowModality(), Qt::ApplicationModal);
        QVERIFY(box.findChild<QCheckBox*>("cbShowAgain")->isChecked());
        QVERIFY(!box.findChild<QLabel*>("icon")->pixmap(Qt::ReturnByValue).isNull());

        fixture::ModalDriver driver;
        driver.Expect([clear](QWidget* modal) {
            if (clear)
                modal->findChild<QCheckBox*>("cbShowAgain")->setChecked(false);
            fixture::ModalDriver::Click(modal, "pushButton");
        }, "QMessageBoxEx");
        QCOMPARE(box.exec(), int(QDialog::Accepted));
        QVERIFY2(driver.Finished(), qPrintable(driver.Failures().join("; ")));
        QCOMPARE(box.IsShowAgainChecked(), !clear);
        QCOMPARE(box.findChild<QLabel*>("message")->text(), QStringLiteral("Slot events are not supported."));
    }

    // The driver answers nested modals in order and gives up on one that never comes.
    void modalDriverHandlesNestingAndTimeouts()
    {
        QWidget parent;
        parent.setWindowTitle("outer");
        QMessageBoxEx outer(&parent);
        QString order;
        fixture::ModalDriver driver;
        driver.Expect([&](QWidget*) {
            order += "outer ";
            QMessageBoxEx inner(&parent);
            inner.setObjectName("inner");
            inner.exec();
            order += "back ";
            fixture::ModalDriver::Accept(&outer);
        });
        driver.Expect([&](QWidget* modal) {
            order += modal->objectName() + " ";
            fixture::ModalDriver::Accept(modal);
        });
        outer.exec();
        QVERIFY(driver.Finished());
        QCOMPARE(order, QStringLiteral("outer inner back "));

        fixture::ModalDriver late(100);
        late.Expect([](QWidget*) {}, "QFileDialog");
        QVERIFY(!late.WaitFinished(2000));
        QCOMPARE(late.Failures().size(), 1);

        fixture::ModalDriver wrong;
        wrong.Expect([](QWidget*) {}, "QFileDialog");
        QMessageBoxEx unexpected(&parent);
        QCOMPARE(unexpected.exec(), int(QDialog::Rejected));
        QVERIFY(!wrong.Finished());
        QVERIFY(wrong.Failures().first().contains("QMessageBoxEx"));
    }
};

QTEST_MAIN(ChromeTest)
#include "test_chrome.moc"
