#pragma once

#include <string>

namespace Logging {

// Implemented by the program's main window: asks the user whether a report of a critical error
// may be sent. Called on the GUI thread only.
class IWebErrorReportEvents {
public:
    virtual ~IWebErrorReportEvents() = default;

    // true with the user's e-mail address and comment when the report may be sent.
    virtual bool confirmErrorReport(std::wstring& email, std::wstring& comment, const wchar_t* details) = 0;
};

} // namespace Logging
