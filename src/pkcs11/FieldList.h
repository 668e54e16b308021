#ifndef TSY_FIELD_LIST_H
#define TSY_FIELD_LIST_H

#include <QString>
#include <QVector>

#include <string>

// A text the module wrote (token label, manufacturer, model, serial number, slot description, object
// label): PKCS#11 gives them as UTF-8. Every place that shows one converts it here.
QString Pkcs11Text(const char* pszText);

// A text of a certificate's name, UTF-8 with its length as libpellum gives it (which writes line
// breaks and bidirectional controls inside values as \xNN or \uNNNN already). A control
// character (a NUL that would end a C string, an escape), a Unicode line or paragraph separator
// or a bidirectional control is shown as \xNN or \uNNNN, so nothing after it is cut, hidden or
// reordered; LF stays, as it parts a name's attributes.
QString CertificateNameText(const std::string& sUtf8);

// A text shown on one line (a label in a tree row): line breaks and bidirectional controls
// shown as \xNN or \uNNNN, as in a certificate's name.
QString OneLineText(const QString& qsText);

// Ordered name/value lines through which slots, tokens and objects describe themselves.
class CFieldList
{
public:
    CFieldList() = default;
    ~CFieldList();

    int GetCount() const { return m_names.size(); }
    const QString* GetName(unsigned long nIndex) const;
    const QString* GetValue(unsigned long nIndex) const;
    int IndexOf(const QString& qsName) const;
    // Appends unless the name or the value is empty or the name is already listed.
    void Add(const QString& qsName, const QString& qsValue);
    // The value of that line; a new name is appended first with an empty value.
    QString& operator[](const QString& qsName);
    void Remove(unsigned long nIndex);
    void Clear();

private:
    QVector<QString> m_names;
    QVector<QString> m_values;
};

#endif
