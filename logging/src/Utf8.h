#pragma once

#include <string>

namespace Logging::detail {

// wchar_t holds UTF-32 here. Invalid input becomes U+FFFD, so no text is lost silently.
std::wstring FromUtf8(const char* text);
std::string ToUtf8(const std::wstring& text);

} // namespace Logging::detail
