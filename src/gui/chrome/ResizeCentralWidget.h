#pragma once

#include <QFrame>
#include <QPoint>
#include <QPointer>
#include <QRect>

class QGridLayout;
class QPushButton;

// The zones of a frameless window's border pieces.
enum QRWType {
    QRWTopLeft = 0,
    QRWTop = 1,
    QRWTopRight = 2,
    QRWRight = 3,
    QRWBottomRight = 4,
    QRWBottom = 5,
    QRWBottomLeft = 6,
    QRWLeft = 7
};

// One border piece of the skinned window: dragging it resizes the window.
class QResizeWidget : public QFrame
{
    Q_OBJECT
    Q_PROPERTY(int type READ GetType WRITE SetType)
    Q_PROPERTY(QWidget* resizeWidget READ GetResizeWidget WRITE SetResizeWidget)
    Q_PROPERTY(bool disabled READ IsDisabled WRITE SetDisabled)
public:
    QResizeWidget(QRWType type, QWidget* parent, QWidget* resizeWidget);

    int GetType() const { return m_type; }
    void SetType(int type);
    QWidget* GetResizeWidget() const { return m_pResizeWidget; }
    void SetResizeWidget(QWidget* widget) { m_pResizeWidget = widget; }
    bool IsDisabled() const { return m_bDisabled; }
    void SetDisabled(bool disabled) { m_bDisabled = disabled; }

    // The geometry a drag to global position g asks for, before the minimum size rule.
    static QRect WantedGeometry(QRWType type, const QRect& window, const QPoint& g, const QPoint& offset);
    // Applies the minimum size rule: each direction changes only while it fits.
    static QRect Constrain(const QRect& current, const QRect& wanted, const QSize& minimum, bool* changed);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // What a screen reader calls the piece: which edge or corner of the window it is.
    void Name();

    QRWType m_type;
    QWidget* m_pResizeWidget;
    bool m_bDisabled;
    int m_nOffsetY;
    int m_nOffsetX;
    bool m_bSystemResize;  // the window manager resizes since the last press
};

// The skinned window's title bar: logo, caption and window buttons; dragging it moves the window.
class QTitleBarWidget : public QFrame
{
    Q_OBJECT
public:
    QTitleBarWidget(const QString& logoPath, QWidget* window, QWidget* parent);

    bool IsMaximized() const { return m_bMaximized; }

public slots:
    void on_button_minimize_clicked(bool checked = false);
    void on_button_maximize_clicked(bool checked = false);
    void on_button_close_clicked(bool checked = false);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The maximised flag, the borders and the maximise button's picture follow the window's
    // state, whoever changed it.
    void FollowWindowState();
    void NameButtons();
    // Whether a press at pos (the title bar's own) may move the window.
    bool IsDragArea(const QPoint& pos) const;
    // A drag that began on a maximised window: the window is restored with the pointer at the
    // same share of its width, and moves on with it.
    void RestoreUnderPointer(const QPoint& global);
    // Moves the window to keep the drag offset; the window manager or compositor takes the drag
    // over where it can.
    void StartMove(const QPoint& global);

    QWidget* m_pWindow;
    QPoint m_dragOffset;
    bool m_bDragging;
    bool m_bMaximized;
    bool m_bMovePending;     // pressed, not yet moved far enough to be a drag
    bool m_bRestoreOnDrag;   // pressed on the title of the maximised window
    bool m_bMoveOnResize;    // restored by a drag under Wayland: moved once the compositor has sized it
    QPoint m_pressPos;       // global
    qreal m_dPressShareX;    // of the window's width, at the press
    int m_nPressY;           // from the window's top, at the press
    QPushButton* m_pMinimizeButton;
    QPushButton* m_pMaximizeButton;
    QPushButton* m_pCloseButton;
};

// The body of the skinned window: border pieces around a title bar and the content.
class QResizeCentralWidget : public QFrame
{
    Q_OBJECT
    Q_PROPERTY(QWidget* content READ content WRITE setContent RESET resetContent)
    Q_PROPERTY(QRect titleRect READ titleRect)
public:
    QResizeCentralWidget(QWidget* parent, QWidget* content);

    QWidget* content() const { return m_pContent; }
    void setContent(QWidget* widget);
    void resetContent();
    QRect titleRect() const;
    QTitleBarWidget* titleBar() const { return m_pTitleBar; }

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The border piece beside a point of the body's own frame; null elsewhere.
    QResizeWidget* BorderAt(const QPoint& pos) const;

    QPointer<QResizeWidget> m_pPressedBorder;
    QWidget* m_pContent;
    QTitleBarWidget* m_pTitleBar;
    QGridLayout* m_pLayout;
    int m_nTop;
    int m_nLeft;
    int m_nRight;
    int m_nBottom;
};
