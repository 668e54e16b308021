#pragma once

#include <logging/Logger.h>

#include <string>
#include <syslog.h>

namespace Logging {

// Writes each entry to the system log under the given program name. The entry is one message,
// never a format: "%" in the text reaches the log as it stands.
class CSysLogger : public ILogger {
public:
    // options are openlog's (LOG_PID, LOG_PERROR to echo on standard error, ...).
    CSysLogger(const char* ident, unsigned long mask, ILogger* next = nullptr, int options = LOG_PID);
    ~CSysLogger() override;

    static int Priority(unsigned long severity);

protected:
    void write(unsigned long severity, const std::wstring& text) override;

private:
    std::string m_ident; // openlog keeps the pointer
};

} // namespace Logging
