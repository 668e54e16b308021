#include "Pkcs11Errors.h"

#include <QCoreApplication>
#include <algorithm>
#include <iterator>

namespace {

// Box lines are program text in the main window's context; the log lines stay English.
// Every return value of the PKCS#11 header has its row, at least for its name, also those of
// newer headers than the one it is built with (codes, not the header's macros).

const TPkcs11ErrorInfo g_errors[] = {
    {0x1, "CKR_CANCEL", nullptr, "CKR_CANCEL"},
    {0x2, "CKR_HOST_MEMORY", QT_TRANSLATE_NOOP("MainWindow", "The computer has insufficient memory to perform the requested function."), "CKR_HOST_MEMORY"},
    {0x3, "CKR_SLOT_ID_INVALID", nullptr, "The specified slot ID is not valid."},
    {0x5, "CKR_GENERAL_ERROR", QT_TRANSLATE_NOOP("MainWindow", "Some unrecoverable error has occurred."), "CKR_GENERAL_ERROR"},
    {0x6, "CKR_FUNCTION_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The requested operation could not be performed."), "CKR_FUNCTION_FAILED"},
    {0x7, "CKR_ARGUMENTS_BAD", nullptr, "The arguments supplied to the Cryptoki function were in some way not appropriate."},
    {0x8, "CKR_NO_EVENT", nullptr, "CKR_NO_EVENT"},
    {0x9, "CKR_NEED_TO_CREATE_THREADS", nullptr, "CKR_NEED_TO_CREATE_THREADS"},
    {0xA, "CKR_CANT_LOCK", nullptr, "CKR_CANT_LOCK"},
    {0x10, "CKR_ATTRIBUTE_READ_ONLY", QT_TRANSLATE_NOOP("MainWindow", "The module does not let this attribute be set or changed."), "CKR_ATTRIBUTE_READ_ONLY"},
    {0x11, "CKR_ATTRIBUTE_SENSITIVE", QT_TRANSLATE_NOOP("MainWindow", "The module does not reveal the value of this attribute."), "CKR_ATTRIBUTE_SENSITIVE"},
    {0x12, "CKR_ATTRIBUTE_TYPE_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The module does not know one of the attributes given to it."), "CKR_ATTRIBUTE_TYPE_INVALID"},
    {0x13, "CKR_ATTRIBUTE_VALUE_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The module does not accept the value of one of the attributes given to it."), "CKR_ATTRIBUTE_VALUE_INVALID"},
    {0x1B, "CKR_ACTION_PROHIBITED", QT_TRANSLATE_NOOP("MainWindow", "The token's policy does not allow this action."), "CKR_ACTION_PROHIBITED"},
    {0x20, "CKR_DATA_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The module does not accept the data given to it."), "CKR_DATA_INVALID"},
    {0x21, "CKR_DATA_LEN_RANGE", QT_TRANSLATE_NOOP("MainWindow", "The data is too long or too short for the module."), "CKR_DATA_LEN_RANGE"},
    {0x30, "CKR_DEVICE_ERROR", QT_TRANSLATE_NOOP("MainWindow", "Some problem has occurred with the smart-card and/or slot"), "CKR_DEVICE_ERROR"},
    {0x31, "CKR_DEVICE_MEMORY", QT_TRANSLATE_NOOP("MainWindow", "The smart-card does not have sufficient memory to perform the requested operation."), "CKR_DEVICE_MEMORY"},
    {0x32, "CKR_DEVICE_REMOVED", QT_TRANSLATE_NOOP("MainWindow", "The active smart-card was removed from its reader."), nullptr},
    {0x40, "CKR_ENCRYPTED_DATA_INVALID", nullptr, "CKR_ENCRYPTED_DATA_INVALID"},
    {0x41, "CKR_ENCRYPTED_DATA_LEN_RANGE", nullptr, "CKR_ENCRYPTED_DATA_LEN_RANGE"},
    {0x42, "CKR_AEAD_DECRYPT_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The token found that the encrypted data was altered or does not belong to the key."), "CKR_AEAD_DECRYPT_FAILED"},
    {0x50, "CKR_FUNCTION_CANCELED", QT_TRANSLATE_NOOP("MainWindow", "The operation was cancelled on the token."), "CKR_FUNCTION_CANCELED"},
    {0x51, "CKR_FUNCTION_NOT_PARALLEL", nullptr, "CKR_FUNCTION_NOT_PARALLEL"},
    {0x54, "CKR_FUNCTION_NOT_SUPPORTED", QT_TRANSLATE_NOOP("MainWindow", "The requested operation is not supported by this token."), "CKR_FUNCTION_NOT_SUPPORTED"},
    {0x60, "CKR_KEY_HANDLE_INVALID", nullptr, "CKR_KEY_HANDLE_INVALID"},
    {0x62, "CKR_KEY_SIZE_RANGE", QT_TRANSLATE_NOOP("MainWindow", "The token does not support keys of this length."), "CKR_KEY_SIZE_RANGE"},
    {0x63, "CKR_KEY_TYPE_INCONSISTENT", QT_TRANSLATE_NOOP("MainWindow", "The key cannot be used with the requested mechanism."), "CKR_KEY_TYPE_INCONSISTENT"},
    {0x64, "CKR_KEY_NOT_NEEDED", nullptr, "CKR_KEY_NOT_NEEDED"},
    {0x65, "CKR_KEY_CHANGED", nullptr, "CKR_KEY_CHANGED"},
    {0x66, "CKR_KEY_NEEDED", nullptr, "CKR_KEY_NEEDED"},
    {0x67, "CKR_KEY_INDIGESTIBLE", nullptr, "CKR_KEY_INDIGESTIBLE"},
    {0x68, "CKR_KEY_FUNCTION_NOT_PERMITTED", QT_TRANSLATE_NOOP("MainWindow", "The key is not allowed to perform the requested operation."), "CKR_KEY_FUNCTION_NOT_PERMITTED"},
    {0x69, "CKR_KEY_NOT_WRAPPABLE", nullptr, "CKR_KEY_NOT_WRAPPABLE"},
    {0x6A, "CKR_KEY_UNEXTRACTABLE", QT_TRANSLATE_NOOP("MainWindow", "The key cannot be taken out of the token."), "CKR_KEY_UNEXTRACTABLE"},
    {0x70, "CKR_MECHANISM_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The requested mechanism is not supported by this token."), "CKR_MECHANISM_INVALID"},
    {0x71, "CKR_MECHANISM_PARAM_INVALID", nullptr, "CKR_MECHANISM_PARAM_INVALID"},
    {0x82, "CKR_OBJECT_HANDLE_INVALID", nullptr, "The specified object handle is not valid."},
    {0x90, "CKR_OPERATION_ACTIVE", QT_TRANSLATE_NOOP("MainWindow", "There is already an active operation."), "CKR_OPERATION_ACTIVE"},
    {0x91, "CKR_OPERATION_NOT_INITIALIZED", nullptr, "There is no active operation of an appropriate type in the specified session."},
    {0xA0, "CKR_PIN_INCORRECT", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN is incorrect."), "CKR_PIN_INCORRECT"},
    {0xA1, "CKR_PIN_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN has invalid characters in it."), "CKR_PIN_INVALID"},
    {0xA2, "CKR_PIN_LEN_RANGE", QT_TRANSLATE_NOOP("MainWindow", "The PIN is too long or too short for this token."), "CKR_PIN_LEN_RANGE"},
    {0xA3, "CKR_PIN_EXPIRED", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN has expired."), "CKR_PIN_EXPIRED"},
    {0xA4, "CKR_PIN_LOCKED", QT_TRANSLATE_NOOP("MainWindow", "The specified PIN is blocked, and cannot be used."), "CKR_PIN_LOCKED"},
    {0xB0, "CKR_SESSION_CLOSED", QT_TRANSLATE_NOOP("MainWindow", "The session was closed during the execution of the function."), "CKR_SESSION_CLOSED"},
    {0xB1, "CKR_SESSION_COUNT", nullptr, "The smart-card has too many sessions already open"},
    {0xB3, "CKR_SESSION_HANDLE_INVALID", nullptr, "The specified session handle was invalid at the time that the function was invoked."},
    {0xB4, "CKR_SESSION_PARALLEL_NOT_SUPPORTED", nullptr, "The specified smart-card does not support parallel sessions."},
    {0xB5, "CKR_SESSION_READ_ONLY", QT_TRANSLATE_NOOP("MainWindow", "The specified session was unable to accomplish the desired action because it is a read-only session."), "CKR_SESSION_READ_ONLY"},
    {0xB6, "CKR_SESSION_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A session with the smart-card is already open."), "CKR_SESSION_EXISTS"},
    {0xB7, "CKR_SESSION_READ_ONLY_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A read-only session already exists, and so the administrative user cannot be logged in."), "CKR_SESSION_READ_ONLY_EXISTS"},
    {0xB8, "CKR_SESSION_READ_WRITE_SO_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A read/write SO session already exists, and so a read-only session cannot be opened."), "CKR_SESSION_READ_WRITE_SO_EXISTS"},
    {0xC0, "CKR_SIGNATURE_INVALID", QT_TRANSLATE_NOOP("MainWindow", "The signature is invalid."), "CKR_SIGNATURE_INVALID"},
    {0xC1, "CKR_SIGNATURE_LEN_RANGE", nullptr, "CKR_SIGNATURE_LEN_RANGE"},
    {0xD0, "CKR_TEMPLATE_INCOMPLETE", QT_TRANSLATE_NOOP("MainWindow", "The module needs attributes that were not given to it."), "CKR_TEMPLATE_INCOMPLETE"},
    {0xD1, "CKR_TEMPLATE_INCONSISTENT", QT_TRANSLATE_NOOP("MainWindow", "The module does not accept this combination of attributes."), "CKR_TEMPLATE_INCONSISTENT"},
    {0xE0, "CKR_TOKEN_NOT_PRESENT", QT_TRANSLATE_NOOP("MainWindow", "A smart-card is not present in the reader."), "CKR_TOKEN_NOT_PRESENT"},
    {0xE1, "CKR_TOKEN_NOT_RECOGNIZED", QT_TRANSLATE_NOOP("MainWindow", "The smart-card in the slot is not recognised."), "CKR_TOKEN_NOT_RECOGNIZED"},
    {0xE2, "CKR_TOKEN_WRITE_PROTECTED", QT_TRANSLATE_NOOP("MainWindow", "The requested operation could not be performed because the smart-card is write-protected."), "CKR_TOKEN_WRITE_PROTECTED"},
    {0xF0, "CKR_UNWRAPPING_KEY_HANDLE_INVALID", nullptr, "CKR_UNWRAPPING_KEY_HANDLE_INVALID"},
    {0xF1, "CKR_UNWRAPPING_KEY_SIZE_RANGE", nullptr, "CKR_UNWRAPPING_KEY_SIZE_RANGE"},
    {0xF2, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT", nullptr, "CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x100, "CKR_USER_ALREADY_LOGGED_IN", QT_TRANSLATE_NOOP("MainWindow", "The specified user is already logged in."), "CKR_USER_ALREADY_LOGGED_IN"},
    {0x101, "CKR_USER_NOT_LOGGED_IN", QT_TRANSLATE_NOOP("MainWindow", "The desired operation cannot be performed because an appropriate user is not logged in."), "CKR_USER_NOT_LOGGED_IN"},
    {0x102, "CKR_USER_PIN_NOT_INITIALIZED", QT_TRANSLATE_NOOP("MainWindow", "The normal user's PIN has not yet been initialized."), "CKR_USER_PIN_NOT_INITIALIZED"},
    {0x103, "CKR_USER_TYPE_INVALID", nullptr, "An invalid value was specified as a CK_USER_TYPE."},
    {0x104, "CKR_USER_ANOTHER_ALREADY_LOGGED_IN", QT_TRANSLATE_NOOP("MainWindow", "Another user is already logged in."), "CKR_USER_ANOTHER_ALREADY_LOGGED_IN"},
    {0x105, "CKR_USER_TOO_MANY_TYPES", QT_TRANSLATE_NOOP("MainWindow", "Too many users are simultaneously logged into the token."), "CKR_USER_TOO_MANY_TYPES"},
    {0x110, "CKR_WRAPPED_KEY_INVALID", nullptr, "CKR_WRAPPED_KEY_INVALID"},
    {0x112, "CKR_WRAPPED_KEY_LEN_RANGE", nullptr, "CKR_WRAPPED_KEY_LEN_RANGE"},
    {0x113, "CKR_WRAPPING_KEY_HANDLE_INVALID", nullptr, "CKR_WRAPPING_KEY_HANDLE_INVALID"},
    {0x114, "CKR_WRAPPING_KEY_SIZE_RANGE", nullptr, "CKR_WRAPPING_KEY_SIZE_RANGE"},
    {0x115, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT", nullptr, "CKR_WRAPPING_KEY_TYPE_INCONSISTENT"},
    {0x120, "CKR_RANDOM_SEED_NOT_SUPPORTED", nullptr, "CKR_RANDOM_SEED_NOT_SUPPORTED"},
    {0x121, "CKR_RANDOM_NO_RNG", QT_TRANSLATE_NOOP("MainWindow", "The token has no random number generator."), "CKR_RANDOM_NO_RNG"},
    {0x130, "CKR_DOMAIN_PARAMS_INVALID", nullptr, "CKR_DOMAIN_PARAMS_INVALID"},
    {0x140, "CKR_CURVE_NOT_SUPPORTED", QT_TRANSLATE_NOOP("MainWindow", "The token does not support this elliptic curve."), "CKR_CURVE_NOT_SUPPORTED"},
    {0x150, "CKR_BUFFER_TOO_SMALL", QT_TRANSLATE_NOOP("MainWindow", "The module's answer is longer than the space given for it."), "CKR_BUFFER_TOO_SMALL"},
    {0x160, "CKR_SAVED_STATE_INVALID", nullptr, "CKR_SAVED_STATE_INVALID"},
    {0x170, "CKR_INFORMATION_SENSITIVE", nullptr, "CKR_INFORMATION_SENSITIVE"},
    {0x180, "CKR_STATE_UNSAVEABLE", nullptr, "CKR_STATE_UNSAVEABLE"},
    {0x190, "CKR_CRYPTOKI_NOT_INITIALIZED", nullptr, "The Cryptoki library has not yet been initialized"},
    {0x191, "CKR_CRYPTOKI_ALREADY_INITIALIZED", nullptr, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
    {0x1A0, "CKR_MUTEX_BAD", nullptr, "CKR_MUTEX_BAD"},
    {0x1A1, "CKR_MUTEX_NOT_LOCKED", nullptr, "CKR_MUTEX_NOT_LOCKED"},
    {0x1B0, "CKR_NEW_PIN_MODE", nullptr, "CKR_NEW_PIN_MODE"},
    {0x1B1, "CKR_NEXT_OTP", nullptr, "CKR_NEXT_OTP"},
    {0x1C0, "CKR_EXCEEDED_MAX_ITERATIONS", nullptr, "CKR_EXCEEDED_MAX_ITERATIONS"},
    {0x1C1, "CKR_FIPS_SELF_TEST_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The token failed its self-test."), "CKR_FIPS_SELF_TEST_FAILED"},
    {0x1C2, "CKR_LIBRARY_LOAD_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The module could not load a library it needs."), "CKR_LIBRARY_LOAD_FAILED"},
    {0x1C3, "CKR_PIN_TOO_WEAK", QT_TRANSLATE_NOOP("MainWindow", "The token refuses the new PIN as too weak."), "CKR_PIN_TOO_WEAK"},
    {0x1C4, "CKR_PUBLIC_KEY_INVALID", nullptr, "CKR_PUBLIC_KEY_INVALID"},
    {0x200, "CKR_FUNCTION_REJECTED", QT_TRANSLATE_NOOP("MainWindow", "The token refused the operation."), "CKR_FUNCTION_REJECTED"},
    {0x201, "CKR_TOKEN_RESOURCE_EXCEEDED", QT_TRANSLATE_NOOP("MainWindow", "The token does not have the resources to perform the requested operation."), "CKR_TOKEN_RESOURCE_EXCEEDED"},
    {0x202, "CKR_OPERATION_CANCEL_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The token could not cancel the operation."), "CKR_OPERATION_CANCEL_FAILED"},
    {0x203, "CKR_KEY_EXHAUSTED", QT_TRANSLATE_NOOP("MainWindow", "The key has reached the number of uses the token allows for it."), "CKR_KEY_EXHAUSTED"},
    {0x204, "CKR_PENDING", QT_TRANSLATE_NOOP("MainWindow", "The token has not finished the operation yet."), "CKR_PENDING"},
    {0x205, "CKR_SESSION_ASYNC_NOT_SUPPORTED", QT_TRANSLATE_NOOP("MainWindow", "The token does not support asynchronous operations."), "CKR_SESSION_ASYNC_NOT_SUPPORTED"},
    {0x206, "CKR_SEED_RANDOM_REQUIRED", QT_TRANSLATE_NOOP("MainWindow", "The token's random number generator must be seeded first."), "CKR_SEED_RANDOM_REQUIRED"},
    {0x207, "CKR_OPERATION_NOT_VALIDATED", QT_TRANSLATE_NOOP("MainWindow", "The token's security policy does not allow this operation."), "CKR_OPERATION_NOT_VALIDATED"},
    {0x208, "CKR_TOKEN_NOT_INITIALIZED", QT_TRANSLATE_NOOP("MainWindow", "The token is not initialized."), "CKR_TOKEN_NOT_INITIALIZED"},
    {0x209, "CKR_PARAMETER_SET_NOT_SUPPORTED", QT_TRANSLATE_NOOP("MainWindow", "The token does not support this parameter set."), "CKR_PARAMETER_SET_NOT_SUPPORTED"},
    {0x80000000, "CKR_VENDOR_DEFINED", nullptr, "CKR_VENDOR_DEFINED"},
    {0x80001001, "TSY_CERT_DECODE_FAILED", QT_TRANSLATE_NOOP("MainWindow", "The selected file is not a valid digital certificate."), "TSY_CERT_DECODE_FAILED"},
    {0x80001002, "TSY_KEYSET_NOT_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "The selected certificate doesn't have corresponding keys on this card."), "TSY_KEYSET_NOT_EXISTS"},
    {0x80001004, "TSY_CERT_ALREADY_EXISTS", QT_TRANSLATE_NOOP("MainWindow", "A certificate for this key-pair already exists on the card."), "TSY_CERT_ALREADY_EXISTS"},
    {0x80001008, "TSY_MODULE_NEEDS_ARGUMENTS", QT_TRANSLATE_NOOP("MainWindow", "This module needs initialisation arguments of its own, which no general program passes; it cannot be used here."), "TSY_MODULE_NEEDS_ARGUMENTS"},
    {0x8000100A, "TSY_KEY_TYPE_NOT_SUPPORTED", QT_TRANSLATE_NOOP("MainWindow", "The certificate's key is neither an RSA nor a DSA key: the program works only with RSA and DSA keys."), "TSY_KEY_TYPE_NOT_SUPPORTED"},
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
