#include "PinText.h"

#include <utility>

#include "Secret.h"

namespace tessaly {

bool IsPinTextCarriable(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
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
