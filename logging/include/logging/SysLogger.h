#pragma once

#include <logging/Logger.h>

#include <string>

namespace Logging {

// Writes each entry to the system log under the given program name. The entry is one message,
// never a format: "%" in the text reaches the log as it stands.
class CSysLogger : public ILogger {
public:
    static const int kDefaultOptions = 0x01;

    // options are openlog's (<syslog.h>: LOG_PID, LOG_PERROR to echo on standard error, ...);
    // the default is LOG_PID. The header leaves <syslog.h> and its macros out of its users.
    CSysLogger(const char* ident, unsigned long mask, ILogger* next = nullptr, int options = kDefaultOptions);
    ~CSysLogger() override;

    // The syslog priority of a severity (its highest bit counts).
    static int Priority(unsigned long severity);

protected:
    void write(unsigned long severity, const std::wstring& text) override;

private:
    std::string m_ident; // openlog keeps the pointer
};

} // namespace Logging
