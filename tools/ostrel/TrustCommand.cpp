#include "TrustCommand.h"

#include "Args.h"
#include "Output.h"

#include "Ostrel/Settings/ProfileStore.h"
#include "Ostrel/Trust/CertTrustMgr.h"
#include "Ostrel/Trust/CertTrustPrompt.h"
#include "Ostrel/Trust/TrustStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Session/Profiles.h"
#include "Util/Time/Clock.h"

#include <ctime>

namespace OstrelCli {

const char* const kTrustSummary = "list, show or forget the server certificates trusted despite failing checks";
const char* const kTrustUsage =
    "list|show|forget [--json]\n"
    "  list               one line per decision: kind, server, until, state, SHA-1 fingerprint\n"
    "  show               the decision in force, one field per line (exit 1 when there is none)\n"
    "  forget             drop every decision; the next connection asks again\n"
    "  --json             list and show as JSON";

namespace {

struct Entry {
    const char* pszKind = "";  // "period" or "session"
    Ostrel::Mapi::TrustStoreState state = Ostrel::Mapi::TrustStoreState::Empty;
    Ostrel::Mapi::TrustRecord record;
    std::string sPath;
};

std::vector<Entry> ReadEntries() {
    std::vector<Entry> entries;
    const std::pair<const char*, std::filesystem::path> stores[] = {{"session", Ostrel::Mapi::SessionTrustStorePath()},
                                                                    {"period", Ostrel::Mapi::PeriodTrustStorePath()}};
    for (const auto& [pszKind, path] : stores) {
        Entry entry;
        entry.pszKind = pszKind;
        entry.sPath = path.string();
        entry.state = Ostrel::Mapi::TrustStore(path).Read(entry.record);
        if (entry.state != Ostrel::Mapi::TrustStoreState::Empty)
            entries.push_back(std::move(entry));
    }
    return entries;
}

std::string UtcText(int64_t llUnix) {
    std::time_t t = static_cast<std::time_t>(llUnix);
    std::tm tm{};
    char text[32] = "?";
    if (gmtime_r(&t, &tm))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string Until(const Entry& entry) {
    return entry.record.llUntil ? UtcText(entry.record.llUntil) : std::string("logout");
}

std::string State(const Entry& entry) {
    if (entry.state == Ostrel::Mapi::TrustStoreState::Damaged)
        return "damaged";
    if (entry.record.llUntil && Ostrel::Util::CurrentClock().GetUnixTime() >= entry.record.llUntil)
        return "expired";
    return "in-force";
}

std::string Sha1(const Entry& entry) {
    return Platform::ToUtf8(Ostrel::Mapi::ColonHex(entry.record.sha1.data(), entry.record.sha1.size()));
}

std::string Json(const Entry& entry) {
    if (entry.state == Ostrel::Mapi::TrustStoreState::Damaged)
        return "{\"kind\":" + JsonString(entry.pszKind) + ",\"state\":\"damaged\",\"file\":" + JsonString(entry.sPath) +
               "}";
    return "{\"kind\":" + JsonString(entry.pszKind) + ",\"server\":" + JsonString(entry.record.wsServer) +
           ",\"until\":" + JsonString(Until(entry)) + ",\"state\":" + JsonString(State(entry)) +
           ",\"sha1\":" + JsonString(Sha1(entry)) + "}";
}

int List(const std::vector<Entry>& entries, bool bJson, Context& context) {
    if (bJson) {
        std::string text = "[";
        for (size_t i = 0; i < entries.size(); ++i)
            text += (i ? "," : "") + Json(entries[i]);
        std::fprintf(context.out, "%s]\n", text.c_str());
    }
    for (const Entry& entry : entries) {
        if (bJson)
            break;
        if (entry.state == Ostrel::Mapi::TrustStoreState::Damaged)
            std::fprintf(context.out, "%s\t-\t-\tdamaged\t%s\n", entry.pszKind, entry.sPath.c_str());
        else
            std::fprintf(context.out, "%s\t%s\t%s\t%s\t%s\n", entry.pszKind,
                         Platform::ToUtf8(entry.record.wsServer).c_str(), Until(entry).c_str(), State(entry).c_str(),
                         Sha1(entry).c_str());
    }
    return FinishOutput("trust", kExitOk, context);
}

int Show(const std::vector<Entry>& entries, bool bJson, Context& context) {
    for (const Entry& entry : entries) {
        if (entry.state == Ostrel::Mapi::TrustStoreState::Damaged)
            std::fprintf(context.err, "ostrel trust: %s is damaged and trusts nothing\n", entry.sPath.c_str());
    }
    for (const Entry& entry : entries) {
        if (entry.state != Ostrel::Mapi::TrustStoreState::Valid)
            continue;
        if (bJson)
            std::fprintf(context.out, "%s\n", Json(entry).c_str());
        else
            std::fprintf(context.out, "server: %s\nuntil: %s\nstate: %s\nsha1: %s\nfile: %s\n",
                         Platform::ToUtf8(entry.record.wsServer).c_str(), Until(entry).c_str(), State(entry).c_str(),
                         Sha1(entry).c_str(), entry.sPath.c_str());
        return FinishOutput("trust", kExitOk, context);
    }
    return Failure("trust", "no server certificate is trusted", context);
}

// The copies of a decision the profiles keep go with it.
bool ForgetInProfiles() {
    bool bCleared = true;
    for (const std::wstring& wsProfile : Platform::MapiListProfiles()) {
        std::wstring wsRecord;
        if (SUCCEEDED(Ostrel::Mapi::ReadPR_OSTREL_TRUST_CERT_UNTILFromProfile(wsProfile.c_str(), wsRecord)) &&
            !wsRecord.empty())
            bCleared =
                SUCCEEDED(Ostrel::Mapi::WritePR_OSTREL_TRUST_CERT_UNTILToProfile(wsProfile.c_str(), L"")) && bCleared;
    }
    return bCleared;
}

}  // namespace

int RunTrust(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("trust", args, {{"--json"}}, 1, 1, context, parsed, exitCode))
        return exitCode;
    const std::string& action = parsed.operands[0];
    const bool bJson = parsed.Has("--json");
    if (action == "list")
        return List(ReadEntries(), bJson, context);
    if (action == "show")
        return Show(ReadEntries(), bJson, context);
    if (action == "forget") {
        bool bRemoved = Ostrel::Mapi::TrustStore(Ostrel::Mapi::SessionTrustStorePath()).Remove();
        bRemoved = Ostrel::Mapi::TrustStore(Ostrel::Mapi::PeriodTrustStorePath()).Remove() && bRemoved;
        bRemoved = ForgetInProfiles() && bRemoved;
        if (!bRemoved)
            return Failure("trust", "the trust decisions could not be removed", context);
        return kExitOk;
    }
    return UsageError("trust", "unknown action '" + action + "': list, show or forget", context);
}

void InstallCertTrust() {
    Ostrel::Rpc::SetCertTrustManager(std::make_shared<Ostrel::Mapi::CertTrustMgr>());
}

}  // namespace OstrelCli
