#ifndef TSY_SECRET_H
#define TSY_SECRET_H

#include <cstddef>
#include <string>
#include <strings.h>

#include <QByteArray>

namespace tsy {

// PINs are overwritten before their memory is given back; explicit_bzero is not dropped by
// the optimiser as a store to memory that is about to die.
inline void Wipe(void* p, size_t n)
{
    if (p && n)
        explicit_bzero(p, n);
}

inline void Wipe(std::string& s)
{
    Wipe(&s[0], s.size());
    s.clear();
}

inline void Wipe(QByteArray& b)
{
    if (!b.isEmpty())
        Wipe(b.data(), static_cast<size_t>(b.size()));
    b.clear();
}

// A text that holds a PIN: wiped when it goes or is replaced. Room is reserved up front, so
// appending up to that size never leaves a stale copy behind in freed memory.
class CSecretString
{
public:
    explicit CSecretString(size_t nReserve = 256) { m_s.reserve(nReserve); }
    explicit CSecretString(const char* psz) : CSecretString() { Assign(psz); }
    ~CSecretString() { Wipe(m_s); }
    CSecretString(const CSecretString&) = delete;
    CSecretString& operator=(const CSecretString&) = delete;

    void Assign(const char* psz)
    {
        Wipe(m_s);
        if (psz)
            Append(psz, std::char_traits<char>::length(psz));
    }
    void Assign(const QByteArray& b)
    {
        Wipe(m_s);
        Append(b.constData(), static_cast<size_t>(b.size()));
    }
    void Append(const char* p, size_t n)
    {
        if (m_s.size() + n > m_s.capacity()) {
            // Grow by hand so that the old buffer is wiped, not just freed.
            std::string bigger;
            bigger.reserve(2 * (m_s.size() + n));
            bigger.append(m_s);
            Wipe(m_s);
            m_s.swap(bigger);
        }
        m_s.append(p, n);
    }
    void PopBack()
    {
        if (!m_s.empty()) {
            m_s.back() = 0;
            m_s.pop_back();
        }
    }
    void Clear() { Wipe(m_s); }

    const char* c_str() const { return m_s.c_str(); }
    size_t size() const { return m_s.size(); }
    bool empty() const { return m_s.empty(); }
    char back() const { return m_s.back(); }

private:
    std::string m_s;
};

} // namespace tsy

#endif
