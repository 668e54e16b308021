#include "PinEdit.h"

#include <algorithm>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QStyle>
#include <QStyleOptionFrame>

namespace {

// What a screen reader reads of a PIN box: its name and state as usual, the text masked.
class QAccessiblePinEdit : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit QAccessiblePinEdit(QPinEdit* edit) : QAccessibleWidget(edit, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.passwordEdit = true;
        state.selectableText = true;
        state.readOnly = Edit()->isReadOnly();
        state.editable = !state.readOnly;
        return state;
    }

    QString text(QAccessible::Text type) const override
    {
        if (type == QAccessible::Value)
            return QPinEdit::Masked(characterCount());
        // The name comes from the box's own name or its label's text, never from its text.
        return QAccessibleWidget::text(type);
    }

    void selection(int nIndex, int* pStart, int* pEnd) const override
    {
        *pStart = *pEnd = 0;
        if (nIndex == 0 && Edit()->hasSelectedText()) {
            *pStart = Edit()->selectionStart();
            *pEnd = *pStart + Edit()->selectionLength();
        }
    }
    int selectionCount() const override { return Edit()->hasSelectedText() ? 1 : 0; }
    void addSelection(int nStart, int nEnd) override { setSelection(0, nStart, nEnd); }
    void removeSelection(int nIndex) override
    {
        if (nIndex == 0)
            Edit()->deselect();
    }
    void setSelection(int nIndex, int nStart, int nEnd) override
    {
        if (nIndex == 0)
            Edit()->setSelection(nStart, nEnd - nStart);
    }
    int cursorPosition() const override { return Edit()->cursorPosition(); }
    void setCursorPosition(int nPosition) override { Edit()->setCursorPosition(nPosition); }

    QString text(int nStart, int nEnd) const override
    {
        nStart = std::max(0, nStart);
        nEnd = std::min(characterCount(), nEnd);
        return nEnd > nStart ? QPinEdit::Masked(nEnd - nStart) : QString();
    }
    int characterCount() const override { return Edit()->text().size(); }

    // Where the character is drawn, for magnifiers that follow the caret; the box's displayed
    // text gives the widths (it holds the echo characters unless the PIN is shown anyway).
    QRect characterRect(int nOffset) const override
    {
        const QLineEdit* edit = Edit();
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.lineWidth = edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
        const QRect contents = edit->style()->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                                   .marginsRemoved(edit->textMargins());
        const QString shown = edit->displayText();
        const QFontMetrics metrics(edit->font());
        const int nHorizontalMargin = 2;  // QLineEdit's own, between the contents and the text
        const int x = contents.x() + nHorizontalMargin + metrics.horizontalAdvance(shown.left(nOffset));
        const int width = nOffset >= 0 && nOffset < shown.size() ? metrics.horizontalAdvance(shown.at(nOffset)) : 1;
        const QRect local(x, contents.y() + (contents.height() - metrics.height()) / 2, width, metrics.height());
        return QRect(edit->mapToGlobal(local.topLeft()), local.size());
    }
    int offsetAtPoint(const QPoint& point) const override
    {
        return Edit()->cursorPositionAt(Edit()->mapFromGlobal(point));
    }
    void scrollToSubstring(int nStart, int /*nEnd*/) override { Edit()->setCursorPosition(nStart); }
    QString attributes(int nOffset, int* pStart, int* pEnd) const override
    {
        *pStart = *pEnd = nOffset;
        return QString();
    }

private:
    QLineEdit* Edit() const { return static_cast<QLineEdit*>(widget()); }
};

QAccessibleInterface* PinEditInterface(const QString& className, QObject* object)
{
    if (className == QLatin1String(QPinEdit::staticMetaObject.className()) && object && object->isWidgetType())
        return new QAccessiblePinEdit(static_cast<QPinEdit*>(object));
    return nullptr;
}

// The handler that was installed before ours; null when Qt's platform bridge gets the events.
QAccessible::UpdateHandler g_nextHandler = nullptr;

void MaskPinEvents(QAccessibleEvent* event);

void Forward(QAccessibleEvent* event)
{
    if (g_nextHandler) {
        g_nextHandler(event);
        return;
    }
    // While no handler is installed, Qt hands an event to the platform's bridge (AT-SPI).
    QAccessible::installUpdateHandler(nullptr);
    QAccessible::updateAccessibility(event);
    QAccessible::installUpdateHandler(&MaskPinEvents);
}

// Qt's line edit puts the inserted, removed or replaced text into its events, whatever its echo
// mode: for a PIN box the same event goes on with the text masked.
void MaskPinEvents(QAccessibleEvent* event)
{
    if (!qobject_cast<QPinEdit*>(event->object())) {
        Forward(event);
        return;
    }
    switch (event->type()) {
    case QAccessible::TextInserted: {
        const auto* inserted = static_cast<QAccessibleTextInsertEvent*>(event);
        QAccessibleTextInsertEvent masked(event->object(), inserted->changePosition(),
                                          QPinEdit::Masked(inserted->textInserted().size()));
        masked.setCursorPosition(inserted->cursorPosition());
        Forward(&masked);
        break;
    }
    case QAccessible::TextRemoved: {
        const auto* removed = static_cast<QAccessibleTextRemoveEvent*>(event);
        QAccessibleTextRemoveEvent masked(event->object(), removed->changePosition(),
                                          QPinEdit::Masked(removed->textRemoved().size()));
        masked.setCursorPosition(removed->cursorPosition());
        Forward(&masked);
        break;
    }
    case QAccessible::TextUpdated: {
        const auto* updated = static_cast<QAccessibleTextUpdateEvent*>(event);
        QAccessibleTextUpdateEvent masked(event->object(), updated->changePosition(),
                                          QPinEdit::Masked(updated->textRemoved().size()),
                                          QPinEdit::Masked(updated->textInserted().size()));
        masked.setCursorPosition(updated->cursorPosition());
        Forward(&masked);
        break;
    }
    case QAccessible::ValueChanged: {
        const auto* changed = static_cast<QAccessibleValueChangeEvent*>(event);
        QAccessibleValueChangeEvent masked(event->object(), QPinEdit::Masked(changed->value().toString().size()));
        Forward(&masked);
        break;
    }
    default:
        Forward(event);
        break;
    }
}

void InstallOnce()
{
    static bool s_bInstalled = false;
    if (s_bInstalled)
        return;
    s_bInstalled = true;
    QAccessible::installFactory(&PinEditInterface);
    g_nextHandler = QAccessible::installUpdateHandler(&MaskPinEvents);
}

} // namespace

QPinEdit::QPinEdit(QWidget* parent) : QLineEdit(parent)
{
    InstallOnce();
}

QChar QPinEdit::MaskCharacter()
{
    return QChar(0x25CF);
}

QString QPinEdit::Masked(int nLength)
{
    return QString(std::max(0, nLength), MaskCharacter());
}
