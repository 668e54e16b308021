#include <logging/SysLogger.h>

#include "Utf8.h"

#include <syslog.h>

static_assert(Logging::CSysLogger::kDefaultOptions == LOG_PID, "default openlog options");

namespace Logging {

CSysLogger::CSysLogger(const char* ident, unsigned long mask, ILogger* next, int options)
    : ILogger(mask, next), m_ident(ident ? ident : "")
{
    openlog(m_ident.empty() ? nullptr : m_ident.c_str(), options, LOG_USER);
}

CSysLogger::~CSysLogger()
{
    retire();
    closelog();
}

int CSysLogger::Priority(unsigned long severity)
{
    if (severity & SeverityCritical)
        return LOG_CRIT;
    if (severity & SeverityError)
        return LOG_ERR;
    if (severity & SeverityWarning)
        return LOG_WARNING;
    if (severity & SeverityNotice)
        return LOG_NOTICE;
    if (severity & SeverityInfo)
        return LOG_INFO;
    return LOG_DEBUG;
}

void CSysLogger::write(unsigned long severity, const std::wstring& text)
{
    // A NUL would end the message early; it shows as U+FFFD instead.
    std::wstring clean(text);
    for (wchar_t& c : clean)
        if (c == L'\0')
            c = 0xFFFD;
    std::string message = detail::ToUtf8(clean);
    syslog(LOG_USER | Priority(severity), "%s", message.c_str());
}

} // namespace Logging
