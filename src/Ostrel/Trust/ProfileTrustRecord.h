// The trust decision as the profile keeps it (PR_OSTREL_TRUST_CERT_UNTIL): "#LCIND# " followed by
// the trust-until time and date in the invariant locale ("HH:MM:SS MM/DD/YYYY", UTC), then
// " #CHK# ", the certificate's SHA-1 as 40 hexadecimal digits and one space. An empty record
// means no trust is kept; trust for this session only is never written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Platform/Crypto/Cert.h"

namespace Ostrel::Mapi {

struct ProfileTrust {
    Platform::CertFingerprint sha1{};
    std::optional<int64_t> llUntil;  // Unix seconds; none when the record names no time
};

std::wstring FormatProfileTrustRecord(const Platform::CertFingerprint& sha1, int64_t llUntil);

// The fingerprint and time of a record; nothing (and the reason logged) for an empty, old-style
// or damaged record. A time that does not parse leaves the time unset.
std::optional<ProfileTrust> ParseProfileTrustRecord(const std::wstring& wsRecord);

}  // namespace Ostrel::Mapi
