// The file that records which server certificate the user chose to trust and until when. Every
// process of the user reads the same file, so a decision taken in one is in force in all.
//
// The file is text: a header line, "server", "sha1" and "until" lines (until: Unix seconds, 0 for
// trust that lasts until the user's session ends) and a "check" line holding the SHA-256 of the
// lines before it. A file that does not parse or whose check does not match is damaged: nothing
// in it is trusted. Writes go to a private temporary file that replaces the store in one rename,
// so a writer killed half-way or two writers at once leave one whole record behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "Platform/Crypto/Cert.h"

namespace Ostrel::Mapi {

struct TrustRecord {
    std::wstring wsServer;
    Platform::CertFingerprint sha1{};
    int64_t llUntil = 0;  // Unix seconds; 0: until the session ends
};

enum class TrustStoreState { Empty, Valid, Damaged };

class TrustStore {
public:
    explicit TrustStore(std::filesystem::path path) : m_path(std::move(path)) {}

    // Empty when there is no file; Damaged (and logged) when it cannot be read or trusted.
    TrustStoreState Read(TrustRecord& record) const;
    // Replaces the record atomically; false (and logged) when the record could not be kept.
    bool Write(const TrustRecord& record) const;
    // Removes the record; true when none is left.
    bool Remove() const;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Trust for a chosen period, kept across restarts.
std::filesystem::path PeriodTrustStorePath();
// Trust until the user's session ends: in the runtime folder, which goes with the session.
std::filesystem::path SessionTrustStorePath();

// The store's text for a record, and the record of a text (false when the text is not whole).
std::string FormatTrustRecord(const TrustRecord& record);
bool ParseTrustRecord(const std::string& text, TrustRecord& record);

}  // namespace Ostrel::Mapi
