#include "ResizeCentralWidget.h"

#include <cassert>

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QIcon>
#include <QStyle>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>
#include <QWindow>

namespace {
const int kBorder = 5;

struct TZone {
    const char* name;
    Qt::CursorShape cursor;
    QSizePolicy::Policy horizontal;
    QSizePolicy::Policy vertical;
    int minWidth;
    int minHeight;
    Qt::Edges edges;
};

const TZone kZones[8] = {
    {"QRWTopLeft", Qt::SizeFDiagCursor, QSizePolicy::Fixed, QSizePolicy::Fixed, kBorder, kBorder,
     Qt::TopEdge | Qt::LeftEdge},
    {"QRWTop", Qt::SizeVerCursor, QSizePolicy::Preferred, QSizePolicy::Fixed, 0, kBorder, Qt::TopEdge},
    {"QRWTopRight", Qt::SizeBDiagCursor, QSizePolicy::Fixed, QSizePolicy::Fixed, kBorder, kBorder,
     Qt::TopEdge | Qt::RightEdge},
    {"QRWRight", Qt::SizeHorCursor, QSizePolicy::Fixed, QSizePolicy::Preferred, kBorder, 0, Qt::RightEdge},
    {"QRWBottomRight", Qt::SizeFDiagCursor, QSizePolicy::Fixed, QSizePolicy::Fixed, kBorder, kBorder,
     Qt::BottomEdge | Qt::RightEdge},
    {"QRWBottom", Qt::SizeVerCursor, QSizePolicy::Preferred, QSizePolicy::Fixed, 0, kBorder, Qt::BottomEdge},
    {"QRWBottomLeft", Qt::SizeBDiagCursor, QSizePolicy::Fixed, QSizePolicy::Fixed, kBorder, kBorder,
     Qt::BottomEdge | Qt::LeftEdge},
    {"QRWLeft", Qt::SizeHorCursor, QSizePolicy::Fixed, QSizePolicy::Preferred, kBorder, 0, Qt::LeftEdge},
};

// The platform window of widget's top-level window, null before it exists.
QWindow* PlatformWindow(QWidget* widget)
{
    return widget ? widget->window()->windowHandle() : nullptr;
}

void SendMouseEvent(QWidget* target, const QPoint& local, QMouseEvent* event)
{
    QMouseEvent forwarded(event->type(), local, event->windowPos(), event->screenPos(), event->button(),
                          event->buttons(), event->modifiers(), event->source());
    QApplication::sendEvent(target, &forwarded);
    event->setAccepted(forwarded.isAccepted());
}
}

// ---- QResizeWidget

QResizeWidget::QResizeWidget(QRWType type, QWidget* parent, QWidget* resizeWidget)
    : QFrame(parent), m_type(type), m_pResizeWidget(resizeWidget), m_bDisabled(false), m_nOffsetY(0), m_nOffsetX(0),
      m_bSystemResize(false)
{
    SetType(type);
}

void QResizeWidget::Name()
{
    static const char* const names[8] = {
        QT_TR_NOOP("Top-left corner of the window"),  QT_TR_NOOP("Top edge of the window"),
        QT_TR_NOOP("Top-right corner of the window"), QT_TR_NOOP("Right edge of the window"),
        QT_TR_NOOP("Bottom-right corner of the window"), QT_TR_NOOP("Bottom edge of the window"),
        QT_TR_NOOP("Bottom-left corner of the window"), QT_TR_NOOP("Left edge of the window"),
    };
    setAccessibleName(tr(names[m_type]));
}

void QResizeWidget::changeEvent(QEvent* event)
{
    QFrame::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        Name();
}

void QResizeWidget::SetType(int type)
{
    assert(type >= 0 && type < 8);
    m_type = static_cast<QRWType>(type);
    const TZone& zone = kZones[type];
    setCursor(zone.cursor);
    setSizePolicy(zone.horizontal, zone.vertical);
    setMinimumSize(zone.minWidth, zone.minHeight);
    setObjectName(QLatin1String(zone.name));
    Name();
}

QRect QResizeWidget::WantedGeometry(QRWType type, const QRect& window, const QPoint& g, const QPoint& o)
{
    const QPoint p = window.topLeft();
    const int w = window.width();
    const int h = window.height();
    switch (type) {
    case QRWTopLeft: return QRect(g.x(), g.y(), w + p.x() - g.x(), h + p.y() - g.y());
    case QRWTop: return QRect(p.x(), g.y(), w, h + p.y() - g.y());
    case QRWTopRight: return QRect(p.x(), g.y(), g.x() - p.x() - o.x(), h + p.y() - g.y());
    case QRWRight: return QRect(p.x(), p.y(), g.x() - p.x() - o.x(), h);
    case QRWBottomRight: return QRect(p.x(), p.y(), g.x() - p.x() - o.x(), g.y() - p.y() - o.y());
    case QRWBottom: return QRect(p.x(), p.y(), w, g.y() - p.y() - o.y());
    case QRWBottomLeft: return QRect(g.x(), p.y(), w + p.x() - g.x(), g.y() - p.y() - o.y());
    case QRWLeft: return QRect(g.x(), p.y(), w + p.x() - g.x(), h);
    }
    return window;
}

QRect QResizeWidget::Constrain(const QRect& current, const QRect& wanted, const QSize& minimum, bool* changed)
{
    const bool widthFits = wanted.width() >= minimum.width();
    const bool heightFits = wanted.height() >= minimum.height();
    *changed = widthFits || heightFits;
    if (widthFits && heightFits)
        return wanted;
    if (widthFits)
        return QRect(wanted.x(), current.y(), wanted.width(), current.height());
    if (heightFits)
        return QRect(current.x(), wanted.y(), current.width(), wanted.height());
    return current;
}

void QResizeWidget::mousePressEvent(QMouseEvent* event)
{
    if (m_bDisabled || event->button() != Qt::LeftButton || !m_pResizeWidget)
        return;
    // Where the window manager or compositor resizes windows (Wayland, where a client cannot
    // place its window; X11 with a manager, which then snaps and tiles), it does; elsewhere the
    // moves below do.
    QWindow* window = PlatformWindow(m_pResizeWidget);
    m_bSystemResize = window && window->startSystemResize(kZones[m_type].edges);
    if (m_bSystemResize) {
        event->accept();
        return;
    }
    const QRect frame = m_pResizeWidget->frameGeometry();
    m_nOffsetX = event->globalPos().x() - frame.left() - m_pResizeWidget->width();
    m_nOffsetY = event->globalPos().y() - frame.top() - m_pResizeWidget->height();
    event->accept();
}

void QResizeWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (m_bDisabled || m_bSystemResize || !(event->buttons() & Qt::LeftButton) || !m_pResizeWidget)
        return;
    const QRect current(m_pResizeWidget->pos(), m_pResizeWidget->size());
    const QRect wanted = WantedGeometry(m_type, current, event->globalPos(), QPoint(m_nOffsetX, m_nOffsetY));
    bool changed = false;
    const QRect next = Constrain(current, wanted, m_pResizeWidget->minimumSize(), &changed);
    if (changed)
        m_pResizeWidget->setGeometry(next);
    event->accept();
}

// ---- QTitleBarWidget

QTitleBarWidget::QTitleBarWidget(const QString& logoPath, QWidget* window, QWidget* parent)
    : QFrame(parent), m_pWindow(window), m_bDragging(false), m_bMaximized(window && window->isMaximized()),
      m_bMovePending(false), m_bRestoreOnDrag(false), m_bMoveOnResize(false), m_dPressShareX(0.5), m_nPressY(0),
      m_pMinimizeButton(nullptr), m_pMaximizeButton(nullptr), m_pCloseButton(nullptr)
{
    setObjectName(QStringLiteral("QRWTitleBar"));
    setMinimumHeight(60);
    setFrameShape(QFrame::NoFrame);

    QGridLayout* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    QLabel* logo = new QLabel(this);
    logo->setObjectName(QStringLiteral("QRWTitleBarLogo"));
    // Through an icon, which takes the picture at twice the size above 100 %.
    const QIcon icon(logoPath);
    const QSize size = icon.availableSizes().isEmpty() ? QSize() : icon.availableSizes().first();
    const QPixmap pixmap = size.isEmpty() ? QPixmap(logoPath) : icon.pixmap(size);
    logo->setPixmap(pixmap);
    logo->move(0, 0);
    logo->setMaximumSize(pixmap.size() / pixmap.devicePixelRatio());
    layout->addWidget(logo, 0, 0, 2, 1);

    QLabel* caption = new QLabel(window ? window->windowTitle() : QString(), this);
    caption->setObjectName(QStringLiteral("TitleWindowCaption"));
    caption->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    layout->addWidget(caption, 0, 1, 2, 1);

    struct { const char* name; void (QTitleBarWidget::*slot)(bool); QPushButton** button; } buttons[] = {
        {"TitleMinimizeButton", &QTitleBarWidget::on_button_minimize_clicked, &m_pMinimizeButton},
        {"TitleMaximizeButton", &QTitleBarWidget::on_button_maximize_clicked, &m_pMaximizeButton},
        {"TitleCloseButton", &QTitleBarWidget::on_button_close_clicked, &m_pCloseButton},
    };
    int column = 2;
    for (const auto& b : buttons) {
        QPushButton* button = new QPushButton(this);
        button->setObjectName(QLatin1String(b.name));
        button->setProperty("TitleButton", true);
        button->setMaximumSize(25, 24);
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QPushButton::clicked, this, b.slot);
        layout->addWidget(button, 0, column++, 1, 1);
        *b.button = button;
    }
    NameButtons();
    m_pMaximizeButton->setProperty("windowMaximized", m_bMaximized);
    // The window manager maximises and restores too (a shortcut, the task bar).
    if (window)
        window->installEventFilter(this);
}

void QTitleBarWidget::NameButtons()
{
    // The buttons show pictures only; a screen reader says what each does.
    m_pMinimizeButton->setAccessibleName(tr("Minimize"));
    m_pMaximizeButton->setAccessibleName(m_bMaximized ? tr("Restore") : tr("Maximize"));
    m_pCloseButton->setAccessibleName(tr("Close"));
}

void QTitleBarWidget::FollowWindowState()
{
    m_bMaximized = m_pWindow && m_pWindow->isMaximized();
    // A maximised window is not resized by its borders.
    if (parentWidget()) {
        const QList<QResizeWidget*> borders = parentWidget()->findChildren<QResizeWidget*>();
        for (QResizeWidget* border : borders)
            border->SetDisabled(m_bMaximized);
    }
    NameButtons();
    // The skin shows the restore picture on the button of a maximised window.
    if (m_pMaximizeButton->property("windowMaximized").toBool() != m_bMaximized) {
        m_pMaximizeButton->setProperty("windowMaximized", m_bMaximized);
        m_pMaximizeButton->style()->unpolish(m_pMaximizeButton);
        m_pMaximizeButton->style()->polish(m_pMaximizeButton);
        m_pMaximizeButton->update();
    }
}

bool QTitleBarWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_pWindow && event->type() == QEvent::WindowStateChange)
        FollowWindowState();
    // The compositor has taken the window out of its maximised state: only now does it move it.
    if (watched == m_pWindow && event->type() == QEvent::Resize && m_bMoveOnResize && !m_pWindow->isMaximized()) {
        m_bMoveOnResize = false;
        QWindow* window = PlatformWindow(m_pWindow);
        if (window && window->startSystemMove())
            m_bDragging = false;
    }
    return QFrame::eventFilter(watched, event);
}

void QTitleBarWidget::changeEvent(QEvent* event)
{
    QFrame::changeEvent(event);
    if (event->type() == QEvent::LanguageChange)
        NameButtons();
}

bool QTitleBarWidget::IsDragArea(const QPoint& pos) const
{
    return frameRect().translated(kBorder, kBorder).contains(pos);
}

void QTitleBarWidget::mousePressEvent(QMouseEvent* event)
{
    m_bMovePending = false;
    m_bRestoreOnDrag = false;
    if (!IsDragArea(event->pos())) {
        m_bDragging = false;
        return;
    }
    if (event->button() != Qt::LeftButton) {
        m_bDragging = !m_bMaximized;
        return;
    }
    // Only a press that moves is a drag: a click, or the first of a double click, leaves the
    // window where it is (and to the window manager nothing happened).
    const QRect frame = m_pWindow->frameGeometry();
    m_pressPos = event->globalPos();
    m_dPressShareX = frame.width() > 0 ? qreal(m_pressPos.x() - frame.left()) / frame.width() : 0.5;
    m_nPressY = m_pressPos.y() - frame.top();
    m_dragOffset = m_pressPos - frame.topLeft();
    if (m_bMaximized) {
        m_bDragging = false;
        m_bRestoreOnDrag = true;
    } else {
        m_bDragging = true;
        m_bMovePending = true;
    }
    event->accept();
}

void QTitleBarWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    const bool farEnough = (event->globalPos() - m_pressPos).manhattanLength() >= QApplication::startDragDistance();
    if (m_bRestoreOnDrag) {
        if (farEnough) {
            m_bRestoreOnDrag = false;
            RestoreUnderPointer(event->globalPos());
        }
        event->accept();
        return;
    }
    if (m_bMaximized || !m_bDragging)
        return;
    if (m_bMovePending) {
        if (farEnough) {
            m_bMovePending = false;
            StartMove(event->globalPos());
        }
    } else {
        m_pWindow->move(event->globalPos() - m_dragOffset);
    }
    event->accept();
}

void QTitleBarWidget::StartMove(const QPoint& global)
{
    m_pWindow->move(global - m_dragOffset);
    // Where a client cannot place its window (Wayland) the compositor moves it, from the press.
    // An X11 window manager would start its move only where the pointer is by then, a step
    // behind, and one asked at the press takes the second click of a double click: there the
    // window follows the pointer itself, as the manager lets it.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return;
    QWindow* window = PlatformWindow(m_pWindow);
    if (window && window->startSystemMove())
        m_bDragging = false;
}

void QTitleBarWidget::RestoreUnderPointer(const QPoint& global)
{
    const QRect normal = m_pWindow->normalGeometry();
    const int width = normal.isValid() ? normal.width() : m_pWindow->width();
    m_pWindow->showNormal();
    FollowWindowState();
    m_dragOffset = QPoint(qRound(m_dPressShareX * width), m_nPressY);
    m_bDragging = true;
    // Size and place at once: until the window manager's answer comes, the window still has
    // its maximised size here, which a move alone would ask for again. Not under Wayland: there
    // the compositor sizes the window as it leaves the maximised state, and a surface of another
    // size before its answer is a protocol error that ends the connection.
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        // A move asked for while the compositor still has the window maximised is ignored.
        m_bMoveOnResize = true;
        return;
    }
    if (normal.isValid())
        m_pWindow->setGeometry(QRect(global - m_dragOffset, normal.size()));
    StartMove(global);
}

void QTitleBarWidget::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton) {
        m_bDragging = false;
        m_bMovePending = false;
        m_bRestoreOnDrag = false;
        m_bMoveOnResize = false;
    }
}

void QTitleBarWidget::mouseDoubleClickEvent(QMouseEvent* event)
{
    // As on every desktop: a double click on the title maximises, or restores, the window.
    if (event->button() != Qt::LeftButton || !IsDragArea(event->pos()))
        return;
    m_bDragging = false;
    m_bMovePending = false;
    m_bRestoreOnDrag = false;
    on_button_maximize_clicked();
    event->accept();
}

void QTitleBarWidget::showEvent(QShowEvent* event)
{
    QFrame::showEvent(event);
    if (height() > minimumHeight())
        setMinimumHeight(height());
}

void QTitleBarWidget::on_button_minimize_clicked(bool)
{
    m_pWindow->showMinimized();
}

void QTitleBarWidget::on_button_maximize_clicked(bool)
{
    if (m_pWindow->isMaximized())
        m_pWindow->showNormal();
    else
        m_pWindow->showMaximized();
    FollowWindowState();
}

void QTitleBarWidget::on_button_close_clicked(bool)
{
    m_pWindow->close();
}

// ---- QResizeCentralWidget

QResizeCentralWidget::QResizeCentralWidget(QWidget* parent, QWidget* content)
    : QFrame(parent), m_pContent(nullptr), m_pTitleBar(nullptr), m_pLayout(nullptr),
      m_nTop(0), m_nLeft(0), m_nRight(0), m_nBottom(0)
{
    m_pLayout = new QGridLayout;
    m_pLayout->setContentsMargins(0, 0, 0, 0);
    m_pLayout->setSpacing(0);

    m_pLayout->addWidget(new QResizeWidget(QRWTopLeft, this, parent), 0, 0);
    m_pLayout->addWidget(new QResizeWidget(QRWTop, this, parent), 0, 1);
    m_pLayout->addWidget(new QResizeWidget(QRWTopRight, this, parent), 0, 2);

    QResizeWidget* titleLeft = new QResizeWidget(QRWLeft, this, parent);
    titleLeft->setProperty("TitleLeftBorder", true);
    m_pLayout->addWidget(titleLeft, 1, 0);
    m_pTitleBar = new QTitleBarWidget(QStringLiteral(":/skin/HeaderLogo"), parent, this);
    m_pLayout->addWidget(m_pTitleBar, 1, 1);
    QResizeWidget* titleRight = new QResizeWidget(QRWRight, this, parent);
    titleRight->setProperty("TitleRightBorder", true);
    m_pLayout->addWidget(titleRight, 1, 2);

    m_pLayout->addWidget(new QResizeWidget(QRWLeft, this, parent), 2, 0);
    m_pLayout->addWidget(new QResizeWidget(QRWRight, this, parent), 2, 2);

    m_pLayout->addWidget(new QResizeWidget(QRWBottomLeft, this, parent), 3, 0);
    m_pLayout->addWidget(new QResizeWidget(QRWBottom, this, parent), 3, 1);
    m_pLayout->addWidget(new QResizeWidget(QRWBottomRight, this, parent), 3, 2);

    setFrameShape(QFrame::Box);
    setFrameShadow(QFrame::Raised);
    setLayout(m_pLayout);
    setContent(content);
    // The frame's lines lie outside the border pieces: the pointer over them shows the cursor
    // of the piece beside them, and a press there drags that piece.
    setMouseTracking(true);
}

QResizeWidget* QResizeCentralWidget::BorderAt(const QPoint& pos) const
{
    const QRect inner = contentsRect();
    if (inner.contains(pos) || !rect().contains(pos))
        return nullptr;
    const QPoint beside(qBound(inner.left(), pos.x(), inner.right()), qBound(inner.top(), pos.y(), inner.bottom()));
    return qobject_cast<QResizeWidget*>(childAt(beside));
}

void QResizeCentralWidget::mousePressEvent(QMouseEvent* event)
{
    m_pPressedBorder = BorderAt(event->pos());
    if (!m_pPressedBorder) {
        QFrame::mousePressEvent(event);
        return;
    }
    SendMouseEvent(m_pPressedBorder, m_pPressedBorder->mapFrom(this, event->pos()), event);
}

void QResizeCentralWidget::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() == Qt::NoButton) {
        QResizeWidget* border = BorderAt(event->pos());
        if (border)
            setCursor(border->cursor());
        else
            unsetCursor();
    }
    if (!m_pPressedBorder) {
        QFrame::mouseMoveEvent(event);
        return;
    }
    SendMouseEvent(m_pPressedBorder, m_pPressedBorder->mapFrom(this, event->pos()), event);
}

void QResizeCentralWidget::mouseReleaseEvent(QMouseEvent* event)
{
    QPointer<QResizeWidget> border = m_pPressedBorder;
    m_pPressedBorder = nullptr;
    if (!border) {
        QFrame::mouseReleaseEvent(event);
        return;
    }
    SendMouseEvent(border, border->mapFrom(this, event->pos()), event);
}

void QResizeCentralWidget::setContent(QWidget* widget)
{
    if (!widget || widget == m_pContent)
        return;
    m_pContent = widget;
    m_pLayout->addWidget(widget, 2, 1);
    if (QLayout* layout = widget->layout()) {
        layout->getContentsMargins(&m_nLeft, &m_nTop, &m_nRight, &m_nBottom);
        layout->setContentsMargins(0, 0, 0, 0);
    }
}

void QResizeCentralWidget::resetContent()
{
    if (!m_pContent)
        return;
    if (QLayout* layout = m_pContent->layout())
        layout->setContentsMargins(m_nLeft, m_nTop, m_nRight, m_nBottom);
    m_pLayout->removeWidget(m_pContent);
    m_pContent = nullptr;
}

QRect QResizeCentralWidget::titleRect() const
{
    return m_pTitleBar->frameRect().translated(kBorder, kBorder);
}
