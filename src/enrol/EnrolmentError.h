#pragma once

#include <stdexcept>

#include <QString>

// A failure of enrolment that the user is to read as it stands: a policy file that
// cannot be used, a request that does not verify, a service address that is not
// safe. The text is already translated; what() gives it as UTF-8.
class CEnrolmentError : public std::runtime_error
{
public:
    explicit CEnrolmentError(const QString& text) : std::runtime_error(text.toUtf8().toStdString()), m_qsText(text) {}

    const QString& Text() const { return m_qsText; }

private:
    QString m_qsText;
};
