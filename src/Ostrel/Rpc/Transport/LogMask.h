// Hides secrets in what the connection writes to the log, whatever the detail level: the session
// cookie, passwords (sign-on, password change, guest share grants), session and trusted-device
// tokens and the device id. The log may be sent to support; none of these may be in it.
#pragma once

#include <string>

namespace Ostrel::Rpc {

// Replaces, in a SOAP body or a block of HTTP headers, the text of every <password>,
// <oldPassword>, <authToken>, <trustedToken> and <deviceId> element, every pw="…" attribute and
// every OS_AUTH_TOKEN cookie value with asterisks.
void MaskSecretsForLog(std::string& text);
std::wstring MaskedForLog(const std::wstring& text);

}  // namespace Ostrel::Rpc
