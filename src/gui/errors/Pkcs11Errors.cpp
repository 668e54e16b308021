#include "Pkcs11Errors.h"

#include <QCoreApplication>
#include <algorithm>
#include <iterator>

namespace {

// Box lines are program text in the main window's context; the log lines stay English.

const TPkcs11ErrorInfo g_errors[] = {
    {0x2, "CKR_HOST_MEMORY", QT_TRANSLATE_NOOP("MainWindow", "The computer has insufficient memory to perform the requested function."), "CKR_HOST_MEMORY"},
    {0x3, "CKR_SLOT_ID_INVALID", nullptr, "The specified slot ID is not valid."},
    {0x5, "CKR_GENERAL_ERROR", QT_TRANSLATE_NOOP("MainWindow", "Some unrecoverable error has occurred."), "CKR_GENERAL_ERROR"},
    {0x6, "CKR_FUNCTION_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The requested operation could not be performed."), "CKR_FUNCTION_FAILED"},
    {0x7, "CKR_ARGUMENTS_BAD", nullptr, "The arguments supplied to the Cryptoki function were in some way not appropriate."},
    {0x30, "CKR_DEVICE_ERROR", QT_TRANSLATE_NOOP("MainWindow", "Some problem has occurred with the smart-card and/or slot"), "CKR_DEVICE_ERROR"},
    {0x31, "CKR_DEVICE_MEMORY", QT_TRANSLATE_NOOP("MainWindow", "The smart-card does not have sufficient memory to perform the requested operation."), "CKR_DEVICE_MEMORY"},
    {0x32, "CKR_DEVICE_REMOVED", QT_TRANSLATE_NOOP("MainWindow", "The active smart-card was removed from its reader."), nullptr},
    {0x54, "CKR_FUNCTION_NOT_SUPPORTED", QT_TRANSLATE_NOOP("MainWindow", "The requested operation is not supported by this token."), "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x63, "CKR_KEY_TYPE_INCONSISTENT", QT_TRANSLATE_NOOP("MainWindow", "The key cannot be used with the requested mechanism."), "CKR_KEY_TYPE_INCONSISTENT"},
    {0x68, "CKR_KEY_FUNCTION_NOT_PERMITTED", QT_TRANSLATE_NOOP("MainWindow", "The key is not allowed to perform the requested operation."), "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {0x70, "CKR_MECHANISM_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The requested mechanism is not supported by this token."), "CKR_MECHANISM_INVALID"},
    {0x82, "CKR_OBJECT_HANDLE_INVALID", nullptr, "The specified object handle is not valid."},
    {0x90, "CKR_OPERATION_ACTIVE", QT_TRANSLATE_NOOP("MainWindow", "There is already an active operation."), "CKR_OPERATION_ACTIVE"},
    {0x91, "CKR_OPERATION_NOT_INITIALIZED", nullptr, "There is no active operation of an appropriate type in the specified session."},
    {0xA0, "CKR_PIN_INCORRECT", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN is incorrect."), "CKR_PIN_INCORRECT"},
    {0xA1, "CKR_PIN_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN has invalid characters in it."), "CKR_PIN_INVALID"},
    {0xA3, "CKR_PIN_EXPIRED", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN has expired."), "CKR_PIN_EXPIRED"},
    {0xA4, "CKR_PIN_LOCKED", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN is blocked, and cannot be used."), "CKR_PIN_LOCKED"},
    {0xB0, "CKR_SESSION_CLOSED", QT_TRANSLATE_NOOP("MainWindow", "The session was closed during the execution of the function."), "CKR_SESSION_CLOSED"},
    {0xB1, "CKR_SESSION_COUNT", nullptr, "The smart-card has too many sessions already open"},
    {0xB3, "CKR_SESSION_HANDLE_INVALID", nullptr, "The specified session handle was invalid at the time that the function was invoked."},
    {0xB4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED", nullptr, "The specified smart-card does not support parallel sessions."},
    {0xB5, "CKR_SESSION_READ_ONLY", QT_TRANSLATE_NOOP("MainWindow", "The specified session was unable to accomplish the desired action because it is a read-only session."), "CKR_SESSION_READ_ONLY"},
    {0xB6, "CKR_SESSION_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A session with the smart-card is already open."), "CKR_SESSION_EXISTS"},
    {0xB7, "CKR_SESSION_READ_ONLY_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A read-only session already exists, and so the adiministartive user cannot be logged in."), "CKR_SESSION_READ_ONLY_EXISTS"},
    {0xB8, "CKR_SESSION_READ_WRITE_SO_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A read/write SO session already exists, and so a read-only session cannot be opened."), "CKR_SESSION_READ_WRITE_SO_EXISTS"},
    {0xE0, "CKR_TOKEN_NOT_PRESENT", QT_TRANSLATE_NOOP("MainWindow", "A smart-card is not present in the reader."), "CKR_TOKEN_NOT_PRESENT"},
    {0xE1, "CKR_TOKEN_NOT_RECOGNIZED", QT_TRANSLATE_NOOP("MainWindow", "The smart-card in the slot is not recognised."), "CKR_TOKEN_NOT_RECOGNIZED"},
    {0xE2, "CKR_TOKEN_WRITE_PROTECTED", QT_TRANSLATE_NOOP("MainWindow", "The requested operation could not be performed because the smart-card is write-protected."), "CKR_TOKEN_WRITE_PROTECTED"},
    {0x100, "CKR_USER_ALREADY_LOGGED_IN", QT_TRANSLATE_NOOP("MainWindow", "The specified user is already logged in."), "CKR_USER_ALREADY_LOGGED_IN"},
    {0x101, "CKR_USER_NOT_LOGGED_IN", QT_TRANSLATE_NOOP("MainWindow", "The desired operation cannot be performed because an appropriate user is not logged in."), "CKR_USER_NOT_LOGGED_IN"},
    {0x102, "CKR_USER_PIN_NOT_INITIALIZED", QT_TRANSLATE_NOOP("MainWindow", "The normal user's PIN has not yet been initialized."), "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x103, "CKR_USER_TYPE_INVALID", nullptr, "An invalid value was specified as a CK_USER_TYPE."},
    {0x104, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN", QT_TRANSLATE_NOOP("MainWindow", "Another user is already logged in."), "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x105, "CKR_USER_TOO_MANY_TYPES", QT_TRANSLATE_NOOP("MainWindow", "Too many users are simultaneously logged into the token."), "CKR_USER_TOO_MANY_TYPES"},
    {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED", nullptr, "The Cryptoki library has not yet been initialized"},
    {0x80001001, "TSY_CERT_DECODE_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The selected file is not a valid digital certificate."), "TSY_CERT_DECODE_FAILED"},
    {0x80001002, "TSY_KEYSET_NOT_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "The selected certificate doesn't have corresponding keys on this card."), "TSY_KEYSET_NOT_EXISTS"},
    {0x80001004, "TSY_CERT_ALREADY_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A certificate for this key-pair already exist on the card."), "TSY_CERT_ALREADY_EXISTS"},
};

} // namespace

const TPkcs11ErrorInfo* GetPkcs11ErrorTable(std::size_t* count)
{
    if (count)
        *count = std::size(g_errors);
    return g_errors;
}

const TPkcs11ErrorInfo* FindPkcs11Error(unsigned long long code)
{
    const TPkcs11ErrorInfo* end = std::end(g_errors);
    const TPkcs11ErrorInfo* it = std::lower_bound(std::begin(g_errors), end, code,
        [](const TPkcs11ErrorInfo& row, unsigned long long c) { return row.code < c; });
    return (it != end && it->code == code) ? it : nullptr;
}

const char* GetPkcs11ErrorName(unsigned long long code)
{
    const TPkcs11ErrorInfo* row = FindPkcs11Error(code);
    return row ? row->name : nullptr;
}

QString GetPkcs11ErrorExplanation(unsigned long long code)
{
    const TPkcs11ErrorInfo* row = FindPkcs11Error(code);
    if (!row || !row->boxText)
        return QString();
    return QCoreApplication::translate("MainWindow", row->boxText);
}

QString GetPkcs11ErrorLogText(unsigned long long code)
{
    const TPkcs11ErrorInfo* row = FindPkcs11Error(code);
    if (!row || !row->logText)
        return QString();
    return QString::fromLatin1(row->logText);
}

QString DescribeModuleAnswer(unsigned long long code)
{
    if (code == 0)
        return QString();
    const char* name = GetPkcs11ErrorName(code);
    const QString codeText = name ? QString::fromLatin1(name)
                                  : QStringLiteral("0x") + QString::number(code, 16).toUpper();
    return QCoreApplication::translate("MainWindow", "The module answered %1.").arg(codeText);
}

TErrorReport ComposeErrorReport(const QString& text, bool critical, const char* sinkMessage,
                                unsigned long long code, const QString* moduleName)
{
    TErrorReport report;
    report.severity = critical ? ErrorSeverityCritical : ErrorSeverityNormal;
    report.logText = text + QLatin1Char('\n');
    if (sinkMessage && *sinkMessage)
        report.logText += QString::fromLatin1(sinkMessage) + QLatin1Char(' ');
    report.boxText = text;
    if (code != 0) {
        report.logText += GetPkcs11ErrorLogText(code);
        const QString explanation = GetPkcs11ErrorExplanation(code);
        if (!explanation.isEmpty())
            report.boxText += QLatin1Char('\n') + explanation;
    }
    if (moduleName)
        report.logText += QStringLiteral("\nPKCS#11 Module: ") + *moduleName;
    return report;
}
