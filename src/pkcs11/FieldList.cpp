#include "FieldList.h"

CFieldList::~CFieldList()
{
    Clear();
}

const QString* CFieldList::GetName(unsigned long nIndex) const
{
    if (nIndex >= static_cast<unsigned long>(m_names.size()))
        return nullptr;
    return &m_names[static_cast<int>(nIndex)];
}

const QString* CFieldList::GetValue(unsigned long nIndex) const
{
    if (nIndex >= static_cast<unsigned long>(m_values.size()))
        return nullptr;
    return &m_values[static_cast<int>(nIndex)];
}

int CFieldList::IndexOf(const QString& qsName) const
{
    return m_names.indexOf(qsName);
}

void CFieldList::Add(const QString& qsName, const QString& qsValue)
{
    if (qsName.isEmpty() || qsValue.isEmpty() || IndexOf(qsName) >= 0)
        return;
    m_names.append(qsName);
    m_values.append(qsValue);
}

QString& CFieldList::operator[](const QString& qsName)
{
    int nIndex = IndexOf(qsName);
    if (nIndex < 0) {
        m_names.append(qsName);
        m_values.append(QString());
        nIndex = m_values.size() - 1;
    }
    return m_values[nIndex];
}

void CFieldList::Remove(unsigned long nIndex)
{
    if (nIndex >= static_cast<unsigned long>(m_names.size()))
        return;
    m_names.remove(static_cast<int>(nIndex));
    m_values.remove(static_cast<int>(nIndex));
}

void CFieldList::Clear()
{
    m_names.clear();
    m_values.clear();
}

QString Pkcs11Text(const char* pszText)
{
    return QString::fromUtf8(pszText ? pszText : "");
}

namespace {

// Characters that would break a line or reorder the text after them: CR, LF, VT, FF, U+0085,
// U+2028, U+2029 and the bidirectional controls.
bool BreaksOrReorders(ushort u)
{
    return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x061C || u == 0x200E || u == 0x200F ||
           (u >= 0x2028 && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
}

QString Escaped(ushort u)
{
    return u < 0x100 ? QString::fromLatin1("\\x%1").arg(u, 2, 16, QLatin1Char('0'))
                     : QString::fromLatin1("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
}

} // namespace

QString CertificateNameText(const std::string& sUtf8)
{
    const QString text = QString::fromUtf8(sUtf8.data(), int(sUtf8.size()));
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u != '\n' && (u < 0x20 || (u >= 0x7F && u <= 0x9F) || BreaksOrReorders(u)))
            shown += Escaped(u);
        else
            shown += c;
    }
    return shown;
}

QString OneLineText(const QString& qsText)
{
    QString shown;
    shown.reserve(qsText.size());
    for (const QChar c : qsText) {
        if (BreaksOrReorders(c.unicode()))
            shown += Escaped(c.unicode());
        else
            shown += c;
    }
    return shown;
}
