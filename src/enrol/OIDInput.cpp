#include "OIDInput.h"

#include <cassert>

#include <QComboBox>
#include <QFocusEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

#include "ASN1Name.h"
#include "PolicySchema.h"

namespace {
// The field whose text box the user last left, to be checked when another field's
// text box is entered.
QPointer<QOIDInput> s_pLastLeftInput;
int s_nWarningsOpen = 0;

bool IsUserMove(Qt::FocusReason reason)
{
    return reason == Qt::MouseFocusReason || reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
           reason == Qt::ShortcutFocusReason;
}
} // namespace

QOIDInput::QOIDInput(const CPolicySchema& schema, const QString& qsPolicyId, const QString& qsOID,
                     CASN1AttributeValue* pValue)
    : QGroupBox(nullptr), m_qsPolicyId(qsPolicyId), m_qsOID(qsOID), m_pTextBox(nullptr),
      m_pList(nullptr), m_nMinLength(-1), m_nMaxLength(-1), m_bEdited(false), m_bChecked(false), m_pValue(pValue)
{
    assert(pValue);
    s_pLastLeftInput = nullptr;
    const TFieldSettings settings = schema.FieldSettings(qsPolicyId, qsOID);
    m_nMinLength = settings.nMinLength;
    m_nMaxLength = settings.nMaxLength;
    m_pValue->GetType() = settings.nStringType;
    m_qsErrorText = schema.Error(qsOID);

    QVBoxLayout* layout = new QVBoxLayout;
    layout->addStretch(1);
    layout->setSpacing(2);
    const QString caption = schema.Caption(qsOID);
    // A field is never shown without a name.
    layout->addWidget(new QLabel(caption.isEmpty() ? qsOID : caption));
    const QString hint = schema.Hint(qsOID);

    if (!settings.qsChoiceSource.isEmpty()) {
        m_pList = new QComboBox;
        for (const auto& choice : settings.choices)
            m_pList->addItem(choice.second, choice.first);
        m_pList->setToolTip(hint);
        layout->addWidget(m_pList);
        if (!settings.qsDefaultChoice.isEmpty())
            m_pList->setCurrentIndex(
                m_pList->findData(settings.qsDefaultChoice, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive));
        currentIndexChanged(m_pList->currentIndex());
        // Direct: the value follows the list at once.
        connect(m_pList, QOverload<int>::of(&QComboBox::currentIndexChanged), this, &QOIDInput::currentIndexChanged);
    } else {
        m_pTextBox = new QCustomLineEdit(this);
        m_pTextBox->setToolTip(hint);
        if (m_nMaxLength != -1)
            m_pTextBox->setMaxLength(m_nMaxLength);
        connect(m_pTextBox, &QLineEdit::textEdited, this, &QOIDInput::textEdited);
        layout->addWidget(m_pTextBox);
    }
    setLayout(layout);
    setContentsMargins(2, 2, 2, 2);
    layout->setContentsMargins(2, 2, 2, 2);
    setFlat(true);
}

QLineEdit* QOIDInput::TextBox() const
{
    return m_pTextBox;
}

bool QOIDInput::IsWarningOpen()
{
    return s_nWarningsOpen > 0;
}

void QOIDInput::textEdited(const QString&)
{
    m_bEdited = true;
    m_bChecked = false;
}

void QOIDInput::currentIndexChanged(int)
{
    m_pValue->GetValue() = CurrentChoice();
    m_bChecked = true;
}

QString QOIDInput::CurrentChoice() const
{
    const int index = m_pList->currentIndex();
    return index < 0 ? QString() : m_pList->itemData(index, Qt::UserRole).toString();
}

void QOIDInput::Warn(const QString& message)
{
    ++s_nWarningsOpen;
    const int answer = QMessageBox::warning(this, tr("Invalid text"), message, QMessageBox::Ok | QMessageBox::Cancel,
                                            QMessageBox::Cancel);
    --s_nWarningsOpen;
    // Back to the failing text once the form is active again (the box has just
    // closed, and the window system hands the focus back on its own time).
    if (answer != QMessageBox::Cancel && m_pTextBox) {
        QPointer<QLineEdit> box(m_pTextBox);
        m_pTextBox->setFocus(Qt::OtherFocusReason);
        QTimer::singleShot(0, m_pTextBox, [box] {
            if (box)
                box->setFocus(Qt::OtherFocusReason);
        });
    }
}

bool QOIDInput::CheckText(const QString& text)
{
    QString message;
    if (m_nMinLength != -1 && text.length() < m_nMinLength)
        message = tr("The text is too short.");
    else if (m_nMaxLength != -1 && text.length() > m_nMaxLength)
        message = tr("The text is too long.");
    else if (!m_pValue->CheckValue(text))
        message = m_qsErrorText.isEmpty() ? tr("The text is not valid.") : m_qsErrorText;
    else
        return true;
    Warn(message);
    return false;
}

bool QOIDInput::Validate()
{
    if (m_pList) {
        const QString choice = CurrentChoice();
        if (choice.isEmpty() && m_nMinLength > 0) {
            Warn(tr("Choose an entry from the list."));
            return false;
        }
        if (!choice.isEmpty() && !CheckText(choice))
            return false;
        m_pValue->GetValue() = choice;
        m_bChecked = true;
        return true;
    }
    // Always the text the box holds now, whatever was accepted before.
    const QString text = m_pTextBox->text();
    if (!CheckText(text))
        return false;
    m_pValue->GetValue() = text;
    m_bEdited = false;
    m_bChecked = true;
    if (s_pLastLeftInput == this)
        s_pLastLeftInput = nullptr;
    return true;
}

void QOIDInput::CheckAfterLeaving()
{
    if (m_pTextBox && m_bEdited)
        Validate();
}

QCustomLineEdit::QCustomLineEdit(QOIDInput* pOwner) : QLineEdit(nullptr), m_pOwner(pOwner)
{
    assert(pOwner);
}

void QCustomLineEdit::focusOutEvent(QFocusEvent* event)
{
    QLineEdit::focusOutEvent(event);
    if (IsUserMove(event->reason()) && !QOIDInput::IsWarningOpen())
        s_pLastLeftInput = m_pOwner;
}

void QCustomLineEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    if (!IsUserMove(event->reason()) || QOIDInput::IsWarningOpen())
        return;
    QPointer<QOIDInput> pLeft = s_pLastLeftInput;
    s_pLastLeftInput = nullptr;
    // The check runs once this focus change is complete: a warning raised inside it
    // would see its focus taken back by the change it interrupted.
    if (pLeft && pLeft != m_pOwner)
        QTimer::singleShot(0, pLeft, [pLeft] {
            if (pLeft && !QOIDInput::IsWarningOpen())
                pLeft->CheckAfterLeaving();
        });
}
