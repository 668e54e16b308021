#pragma once

#include <cstdint>

class CPKCS11Token;
class QString;
class QWidget;

// What enrolment needs of the window it runs for: a parent for its dialogs, the
// window's error reports (the token's error sink is the window's, so a report
// carries the explanation of a failed token call) and its certificate installation. The main window implements it;
// tests give their own.
class IEnrolmentHost
{
public:
    virtual ~IEnrolmentHost() = default;

    virtual QWidget* HostWidget() = 0;
    // A log entry and, with showBox, a message box; the error sink is emptied.
    virtual void ShowError(const QString& text, bool critical, bool showBox) = 0;
    virtual void LogError(const QString& text, bool critical) = 0;
    // Stores a DER certificate on the token beside its key pair, asking before it
    // replaces one; reports its own failures. True when the certificate was stored.
    virtual bool InstallCertificate(CPKCS11Token& token, unsigned char* pbCert, uint32_t cbCert) = 0;
};
