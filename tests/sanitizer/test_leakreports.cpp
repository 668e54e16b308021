// Each case leaks one block on purpose, of a size of its own, from a place where Qt runs our
// code; CTest runs one case per process and expects LeakSanitizer's report of that block alone.
#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <QWidget>

namespace {

// The block is reachable from nowhere once the pointer is dropped; the store through a volatile
// keeps the compiler from leaving the allocation out.
char* volatile g_pBlock = nullptr;

void Leak(size_t size)
{
    g_pBlock = new char[size];
    g_pBlock = nullptr;
}

class CLeakingWidget : public QWidget
{
public:
    bool m_bPressed = false;

protected:
    void keyPressEvent(QKeyEvent*) override
    {
        Leak(779);
        m_bPressed = true;
    }
};

} // namespace

class LeakReportsTest : public QObject
{
    Q_OBJECT
private slots:
    // Below it: Qt Test and Qt's meta-object call.
    void leakInTestFunction() { Leak(777); }

    // Below it: the event loop, glib's dispatcher under it.
    void leakInEventLoopSlot()
    {
        bool ran = false;
        QTimer::singleShot(0, [&ran] {
            Leak(778);
            ran = true;
        });
        QVERIFY(QTest::qWaitFor([&ran] { return ran; }));
    }

    // Below it: the widgets' event delivery.
    void leakInWidgetEvent()
    {
        CLeakingWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QTest::keyClick(&widget, Qt::Key_A);
        QVERIFY(widget.m_bPressed);
    }
};

QTEST_MAIN(LeakReportsTest)
#include "test_leakreports.moc"
