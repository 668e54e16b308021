#ifndef TESSALY_PKCS11ERRORS_H
#define TESSALY_PKCS11ERRORS_H

#include <QString>
#include <cstddef>

// What the program tells the user and writes to the log for a PKCS#11 return value
// (or one of the access layer's own TSY_ codes). The main window's ShowError and LogError
// build their box text and log entry from here.
struct TPkcs11ErrorInfo
{
    unsigned long long code;
    const char* name;     // PKCS#11 name of the code ("CKR_PIN_INCORRECT", "TSY_CERT_DECODE_FAILED")
    const char* boxText;  // source text of the box line, translated in the context "MainWindow"; null: no line
    const char* logText;  // what the log entry gets after the sink message; null: nothing
};

// The whole table, in ascending code order.
const TPkcs11ErrorInfo* GetPkcs11ErrorTable(std::size_t* count);

// The table row of a code, or null for a code without one (code 0 included).
const TPkcs11ErrorInfo* FindPkcs11Error(unsigned long long code);

// PKCS#11 name of a code of the table, or null.
const char* GetPkcs11ErrorName(unsigned long long code);

// The translated box line of a code, or an empty text.
QString GetPkcs11ErrorExplanation(unsigned long long code);

// The text the log entry gets after the sink message, or an empty text.
QString GetPkcs11ErrorLogText(unsigned long long code);

// The line naming a module's return value: "The module answered CKR_PIN_INCORRECT." (the code in
// hexadecimal when the table has no name for it); empty for code 0.
QString DescribeModuleAnswer(unsigned long long code);

// Severities of the outside logger: critical entries are the ones the web error-report logger forwards.
enum : unsigned long { ErrorSeverityNormal = 16, ErrorSeverityCritical = 32 };

// One report of a failed operation, composed before anything is shown, so the log entry is
// complete (and can be written) before the message box runs the event loop.
struct TErrorReport
{
    unsigned long severity;  // ErrorSeverityCritical or ErrorSeverityNormal
    QString boxText;         // the caller's text, and on a line of its own the explanation of the code
    QString logText;         // text "\n" [sink message " "] [code name or English line] ["\nPKCS#11 Module: " module]
};

// text: the operation's own, already translated message. sinkMessage: the error sink's message,
// null or empty when none was recorded. code: the sink's code. moduleName: the current provider's
// module file, null when there is no current provider (the module line is then left out).
TErrorReport ComposeErrorReport(const QString& text, bool critical, const char* sinkMessage,
                                unsigned long long code, const QString* moduleName);

#endif
