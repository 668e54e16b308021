#pragma once

#include <QString>

#include <cstddef>
#include <initializer_list>
#include <vector>

class QLabel;

namespace tessaly {

// PINs travel to the token as 8-bit (Latin-1) text. A character above U+00FF has no byte
// there, and a PIN that silently became "?" would be another PIN: such text is refused.
bool IsPinTextCarriable(const QString& text);

// The PIN dialogs' warning: shown on label while any of texts is not carriable, hidden
// otherwise. Returns whether all are carriable.
bool ShowPinTextWarning(QLabel& label, std::initializer_list<QString> texts);
// Sets the warning's text anew after a language change, if it is shown.
void RetranslatePinTextWarning(QLabel& label);

// The PIN dialogs' note that the two new PINs differ: shown on label once the repetition can no
// longer become the new PIN by typing on (it is not empty, and not the start of the new PIN),
// hidden otherwise. Returns whether it is shown.
bool ShowPinMismatch(QLabel& label, const QString& newPin, const QString& repeated);
// Sets the note's text anew after a language change, if it is shown.
void RetranslatePinMismatch(QLabel& label);

// A PIN and a new one typed twice: each at least nMinimum characters, the new ones equal,
// every one carriable.
bool IsPinChangeValid(const QString& pin, const QString& newPin, const QString& repeated, int nMinimum);

// An 8-bit PIN the code owns: always NUL-terminated, wiped when replaced, cleared or
// destroyed. It can be moved, never copied.
class CPinBytes
{
public:
    CPinBytes();
    // Empty when text is not carriable (see IsPinTextCarriable).
    explicit CPinBytes(const QString& text);
    ~CPinBytes();
    CPinBytes(CPinBytes&& other) noexcept;
    CPinBytes& operator=(CPinBytes&& other) noexcept;
    CPinBytes(const CPinBytes&) = delete;
    CPinBytes& operator=(const CPinBytes&) = delete;

    // Never null.
    const char* Get() const { return m_bytes.empty() ? "" : m_bytes.data(); }
    size_t Size() const { return m_bytes.empty() ? 0 : m_bytes.size() - 1; }
    bool IsEmpty() const { return Size() == 0; }
    void Clear();

private:
    std::vector<char> m_bytes;  // the bytes and their NUL; empty for an empty PIN
};

} // namespace tessaly
