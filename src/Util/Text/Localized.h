// Display texts of the user interface, looked up by resource key (for instance
// "DLG_CERT_TRUST_BUT_CONNECT"). The texts are English. Keys whose text is a format take their
// arguments in the order the callers give them, with %s for wide strings.
#pragma once

#include <string>
#include <string_view>

namespace Ostrel::Util {

// The text of a key; an unknown key gives the key itself, so a missing text shows up as such
// rather than as an empty control.
std::wstring GetLocalizedString(std::string_view sKey);
std::wstring GetLocalizedString(std::wstring_view wsKey);

// True when the key has a text.
bool HasLocalizedString(std::string_view sKey);

}  // namespace Ostrel::Util
