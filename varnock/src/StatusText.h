// Reading the service's state enumerations from their text. The binding carries
// them as text so that a number outside the known states does not fail a whole
// answer; the rules here are those of the service's enumeration types.
#pragma once

#include <string>

namespace varnock {

// Leading and trailing bytes up to 0x20 are ignored. A table text gives its
// value, an empty text 0, any other text is read as a decimal number with an
// optional sign. False for anything else (a type mismatch).
bool ParseRequestStatusText(const std::string& text, long& value);
bool ParseUploadStatusText(const std::string& text, long& value);

// True when text holds nothing but bytes up to 0x20.
bool IsBlankText(const std::string& text);

} // namespace varnock
