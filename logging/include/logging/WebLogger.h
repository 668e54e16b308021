#pragma once

#include <logging/Logger.h>
#include <logging/WebErrorReportEvents.h>

#include <memory>
#include <string>

namespace Logging {

// Offers each entry in its mask to the user as an error report and, only when the user agrees,
// sends it over HTTPS to the error-report service, trusting only the configured certificates.
//
// The user is asked on the GUI thread: at once when the entry is flushed there, otherwise the
// question is queued to it and flush returns. Sending never blocks; its outcome is written to the
// next logger (severity info when sent or declined, error when it failed).
class CWebLogger : public ILogger {
public:
    // product: the product number carried in every report.
    CWebLogger(int product, IWebErrorReportEvents* events, unsigned long mask, ILogger* next = nullptr);
    ~CWebLogger() override;

    // PEM file of the certificates that may vouch for the service; nothing else is trusted.
    CWebLogger& trustedCerts(const char* pemFile);
    // The service address; only https:// addresses are used.
    CWebLogger& endpointURL(const char* url);
    // How long one report may take on the wire before it is given up (milliseconds).
    CWebLogger& timeout(int msec);

    struct Private;

protected:
    void write(unsigned long severity, const std::wstring& text) override;

private:
    std::unique_ptr<Private> d;
};

} // namespace Logging
