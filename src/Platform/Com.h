// COM services: GUID generation, the COM error object and message texts for status codes.
#pragma once

#include "Platform/Types.h"

// GUID generation from the kernel's random source (a version-4 GUID).
HRESULT CoCreateGuid(GUID* guid);

namespace Platform {

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with upper-case digits.
std::string GuidToString(const GUID& guid);
// Parses the braced or bare form; false on any deviation.
bool GuidFromString(const std::string& text, GUID* guid);

// The system message table: the text for a status code, without a trailing line break.
// False when the system has no text for the code.
bool FormatSystemMessage(HRESULT code, WString* text);

// Information message box: the text goes to standard error; when standard input is a terminal the
// call waits for Enter.
void ShowInformationMessage(const WString& title, const WString& text);

}  // namespace Platform

// The COM error object: a failure status raised as an exception.
class _com_error {
public:
    explicit _com_error(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT Error() const noexcept { return m_hr; }
    // The system text for the code, or a generic text when the system has none:
    // "IDispatch error #N" for codes 0x80040200..0x8004FFFF, else "Unknown error 0x%0lX".
    WString ErrorMessage() const;

private:
    HRESULT m_hr;
};
