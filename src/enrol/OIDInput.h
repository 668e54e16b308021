#pragma once

#include <QGroupBox>
#include <QLineEdit>
#include <QString>

class CASN1AttributeValue;
class CPolicySchema;
class QComboBox;
class QCustomLineEdit;
class QFocusEvent;

// One subject attribute of the request form: a caption and either a drop-down list
// or a text box, set up from the policy files. It writes the user's value into the
// attribute value it serves and checks it against the field's length limits and the
// repertoire of its string type.
class QOIDInput : public QGroupBox
{
    Q_OBJECT
public:
    // Throws CEnrolmentError when the policy files describe the field in a way that
    // cannot be used (no or an unknown string type, a list without entries, ...).
    QOIDInput(const CPolicySchema& schema, const QString& qsPolicyId, const QString& qsOID, CASN1AttributeValue* pValue);

    // The final check: the value the field shows now (the current text, or the
    // entry the list shows) is checked and stored. False after a warning.
    bool Validate();
    // Checks a text, with a warning box when it fails.
    bool CheckText(const QString& text);

    // The check when the user moves from this field's text box to another field:
    // only a text that changed since it was last accepted is checked.
    void CheckAfterLeaving();

    const QString& GetOID() const { return m_qsOID; }
    QLineEdit* TextBox() const;
    QComboBox* List() const { return m_pList; }

    // Whether a field's warning box is open: focus changes meanwhile check nothing.
    static bool IsWarningOpen();

private slots:
    void textEdited(const QString& text);
    void currentIndexChanged(int index);

private:
    void Warn(const QString& message);
    QString CurrentChoice() const;

    QString m_qsPolicyId;
    QString m_qsOID;
    QString m_qsErrorText;
    QCustomLineEdit* m_pTextBox;
    QComboBox* m_pList;
    int m_nMinLength;
    int m_nMaxLength;
    bool m_bEdited;
    bool m_bChecked;
    CASN1AttributeValue* m_pValue;
};

// The text box of a QOIDInput: leaving it for another field's text box has the left
// field checked. Only moves the user makes count (mouse, Tab, shortcut); focus that
// comes back when a window or a warning closes checks nothing, so two failing
// fields cannot hand the check back and forth.
class QCustomLineEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit QCustomLineEdit(QOIDInput* pOwner);

protected:
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    QOIDInput* m_pOwner;
};
