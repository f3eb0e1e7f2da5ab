// Trust records as the profile keeps them, beside the expected reading of each
// (tests/data/trust-record/*.txt.ref): the fingerprint and time taken from it, or that it is
// ignored, with what was logged. OSTREL_REGENERATE=1 rewrites the expected files (regenerate.sh).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "Ostrel/Trust/ProfileTrustRecord.h"
#include "Platform/Base/Utf.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Mapi;

namespace {

std::string Reading(const std::string& record) {
    Ostrel::Util::LogCapture capture;
    std::optional<ProfileTrust> trust = ParseProfileTrustRecord(Platform::FromUtf8(record));
    std::string out;
    if (!trust) {
        out = "ignored\n";
    } else {
        out = "sha1 " + Platform::ToUtf8(Platform::FingerprintToHex(trust->sha1)) + "\nuntil ";
        if (trust->llUntil) {
            std::time_t t = static_cast<std::time_t>(*trust->llUntil);
            std::tm tm{};
            char text[32] = "?";
            if (gmtime_r(&t, &tm))
                std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
            out += std::string(text) + "\n";
        } else {
            out += "none\n";
        }
    }
    for (const std::wstring& message : capture.Messages())
        out += "log: " + Platform::ToUtf8(message) + "\n";
    return out;
}

TEST(ProfileTrustRecordTest, EveryRecordReadsAsExpected) {
    const std::filesystem::path dir = TestSupport::DataDir() / "trust-record";
    const bool bRegenerate = std::getenv("OSTREL_REGENERATE") != nullptr;
    int cCases = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".txt")
            continue;
        ++cCases;
        const std::string reading = Reading(TestSupport::ReadFile(entry.path()));
        const std::filesystem::path ref = entry.path().string() + ".ref";
        if (bRegenerate)
            std::ofstream(ref, std::ios::binary) << reading;
        else
            EXPECT_EQ(reading, TestSupport::ReadFile(ref)) << entry.path();
    }
    EXPECT_GE(cCases, 11);
}

TEST(ProfileTrustRecordTest, WrittenRecordsReadBackToTheSecond) {
    Platform::CertFingerprint sha1{};
    for (size_t i = 0; i < sha1.size(); ++i)
        sha1[i] = static_cast<BYTE>(0xF0 + i);
    for (int64_t llUntil : {int64_t{0}, int64_t{1706709909}, int64_t{4102444799}}) {
        const std::wstring wsRecord = FormatProfileTrustRecord(sha1, llUntil);
        EXPECT_EQ(wsRecord.rfind(L"#LCIND# ", 0), 0u);
        EXPECT_EQ(wsRecord.back(), L' ');
        std::optional<ProfileTrust> trust = ParseProfileTrustRecord(wsRecord);
        ASSERT_TRUE(trust) << Platform::ToUtf8(wsRecord);
        EXPECT_EQ(trust->sha1, sha1);
        EXPECT_EQ(trust->llUntil, llUntil);
    }
    EXPECT_EQ(FormatProfileTrustRecord(sha1, 1706709909).substr(0, 28), L"#LCIND# 14:05:09 01/31/2024 ");
}

}  // namespace
