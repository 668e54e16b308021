#include "PinText.h"

#include <utility>

#include <QCoreApplication>
#include <QLabel>

#include "Secret.h"

namespace tessaly {

bool IsPinTextCarriable(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

namespace {
QString PinTextWarning()
{
    return QCoreApplication::translate("PinText", "The PIN contains a character that cannot be sent to the card.");
}

QString PinMismatchNote()
{
    return QCoreApplication::translate("PinText", "The new PINs differ.");
}
} // namespace

bool ShowPinTextWarning(QLabel& label, std::initializer_list<QString> texts)
{
    bool bCarriable = true;
    for (const QString& text : texts)
        bCarriable = bCarriable && IsPinTextCarriable(text);
    label.setText(bCarriable ? QString() : PinTextWarning());
    label.setVisible(!bCarriable);
    return bCarriable;
}

void RetranslatePinTextWarning(QLabel& label)
{
    if (!label.isHidden())
        label.setText(PinTextWarning());
}

bool ShowPinMismatch(QLabel& label, const QString& newPin, const QString& repeated)
{
    const bool bStillTyping = repeated.size() < newPin.size() && newPin.startsWith(repeated);
    const bool bDiffer = !repeated.isEmpty() && repeated != newPin && !bStillTyping;
    label.setText(bDiffer ? PinMismatchNote() : QString());
    label.setVisible(bDiffer);
    return bDiffer;
}

void RetranslatePinMismatch(QLabel& label)
{
    if (!label.isHidden())
        label.setText(PinMismatchNote());
}

bool IsPinChangeValid(const QString& pin, const QString& newPin, const QString& repeated, int nMinimum)
{
    if (pin.size() < nMinimum || newPin.size() < nMinimum || repeated.size() < nMinimum)
        return false;
    return newPin == repeated && IsPinTextCarriable(pin) && IsPinTextCarriable(newPin);
}

CPinBytes::CPinBytes() = default;

CPinBytes::CPinBytes(const QString& text)
{
    if (text.isEmpty() || !IsPinTextCarriable(text))
        return;
    // Filled in place: no unwiped intermediate copy.
    m_bytes.assign(size_t(text.size()) + 1, '\0');
    for (int i = 0; i < text.size(); ++i)
        m_bytes[size_t(i)] = static_cast<char>(text.at(i).unicode());
}

CPinBytes::~CPinBytes()
{
    tsy::Wipe(m_bytes.data(), m_bytes.size());
}

CPinBytes::CPinBytes(CPinBytes&& other) noexcept : m_bytes(std::move(other.m_bytes))
{
    other.m_bytes.clear();
}

CPinBytes& CPinBytes::operator=(CPinBytes&& other) noexcept
{
    if (this != &other) {
        tsy::Wipe(m_bytes.data(), m_bytes.size());
        m_bytes = std::move(other.m_bytes);
        other.m_bytes.clear();
    }
    return *this;
}

void CPinBytes::Clear()
{
    tsy::Wipe(m_bytes.data(), m_bytes.size());
    m_bytes.clear();
}

} // namespace tessaly
