#include "PinText.h"

#include <QByteArray>

#include <cstring>

namespace tessaly {

bool IsPinTextCarriable(const QString& text)
{
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return false;
    return true;
}

void WipeMemory(void* p, size_t n)
{
    if (!p || n == 0)
        return;
    // Stores through a volatile pointer are not dropped as dead.
    volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
    while (n--)
        *v++ = 0;
}

void Wipe(std::string& s)
{
    WipeMemory(&s[0], s.size());
    s.clear();
}

void Wipe(QByteArray& bytes)
{
    if (!bytes.isDetached())
        bytes.detach();
    WipeMemory(bytes.data(), size_t(bytes.size()));
    bytes.clear();
}

void Wipe(QString& text)
{
    if (text.isDetached())
        WipeMemory(text.data(), size_t(text.size()) * sizeof(QChar));
    text.clear();
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
    WipeMemory(m_bytes.data(), m_bytes.size());
}

CPinBytes::CPinBytes(CPinBytes&& other) noexcept : m_bytes(std::move(other.m_bytes))
{
    other.m_bytes.clear();
}

CPinBytes& CPinBytes::operator=(CPinBytes&& other) noexcept
{
    if (this != &other) {
        WipeMemory(m_bytes.data(), m_bytes.size());
        m_bytes = std::move(other.m_bytes);
        other.m_bytes.clear();
    }
    return *this;
}

void CPinBytes::Clear()
{
    WipeMemory(m_bytes.data(), m_bytes.size());
    m_bytes.clear();
}

} // namespace tessaly
