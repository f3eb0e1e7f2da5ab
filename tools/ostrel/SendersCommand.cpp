#include "SendersCommand.h"

#include "Args.h"
#include "Output.h"

#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Ostrel/SenderLists/WhiteBlackListSync.h"
#include "Platform/Base/Paths.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Host/JunkMail.h"
#include "Platform/Ipc/FileLock.h"

namespace OstrelCli {

const char* const kSendersSummary = "list or change the profile's safe or blocked senders";
const char* const kSendersUsage =
    "list|add|remove [ADDRESS...] [--blocked] [--profile NAME] [--json]\n"
    "  list               one address or domain per line\n"
    "  add ADDRESS...     add addresses (ann@example.com) or domains (example.com, @example.com)\n"
    "  remove ADDRESS...  remove them (case does not matter); nothing changes if one is missing\n"
    "  --blocked          the blocked senders instead of the safe senders\n"
    "  --profile NAME     the profile (default: $OSTREL_PROFILE, else \"default\")\n"
    "  --json             list as a JSON array\n"
    "  'ostrel sync' carries the lists to the server and back.";

namespace {

// Another command's edit or a sync holds the lock for a moment only.
constexpr DWORD kListsLockWaitMs = 30000;

bool IsAddress(const std::wstring& wsEntry) {
    if (!Ostrel::Mapi::IsKeepableSender(wsEntry) || wsEntry != Platform::Trim(wsEntry))
        return false;
    for (wchar_t c : wsEntry)
        if (c == L' ' || c == L'\t' || c == L',')
            return false;
    return true;
}

int List(const std::vector<std::wstring>& entries, bool bJson, Context& context) {
    if (bJson) {
        std::string text = "[";
        for (size_t i = 0; i < entries.size(); ++i)
            text += (i ? "," : "") + JsonString(entries[i]);
        std::fprintf(context.out, "%s]\n", text.c_str());
    } else {
        for (const std::wstring& wsEntry : entries)
            std::fprintf(context.out, "%s\n", Platform::ToUtf8(wsEntry).c_str());
    }
    return FinishOutput("senders", kExitOk, context);
}

// Adds or removes `operands` in `entries`; false with `why` when a removal finds nothing.
bool Change(std::vector<std::wstring>& entries, const std::vector<std::string>& operands, bool bAdd, std::string& why) {
    std::vector<std::wstring> given;
    for (const std::string& operand : operands)
        given.push_back(Platform::FromUtf8(operand));
    if (bAdd) {
        for (std::wstring& wsEntry : Ostrel::Mapi::MissingFrom(given, entries))
            entries.push_back(std::move(wsEntry));
        return true;
    }
    for (const std::wstring& wsMissing : Ostrel::Mapi::MissingFrom(given, entries)) {
        why = "'" + Platform::ToUtf8(wsMissing) + "' is not in the list";
        return false;
    }
    entries = Ostrel::Mapi::MissingFrom(entries, given);
    return true;
}

}  // namespace

int RunSenders(const std::vector<std::string>& args, Context& context) {
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("senders", args, {{"--blocked"}, {"--profile", true}, {"--json"}}, 1, SIZE_MAX, context, parsed,
                   exitCode))
        return exitCode;
    const std::string action = parsed.operands[0];
    const std::vector<std::string> addresses(parsed.operands.begin() + 1, parsed.operands.end());
    if (action != "list" && action != "add" && action != "remove")
        return UsageError("senders", "unknown action '" + action + "': list, add or remove", context);
    if (action == "list" ? !addresses.empty() : addresses.empty())
        return UsageError("senders", action == "list" ? "list takes no addresses" : action + " needs an address",
                          context);
    for (const std::string& address : addresses)
        if (!IsAddress(Platform::FromUtf8(address)))
            return UsageError("senders", "'" + address + "' is not an address or a domain", context);

    const std::string name = parsed.Value("--profile").value_or(DefaultProfileName());
    if (!IsValidProfileName(name))
        return UsageError("senders", "'" + name + "' cannot be a profile name", context);
    std::string why;
    if (!LoadProfile(name, why))
        return Failure("senders", why.empty() ? "no profile '" + name + "': run 'ostrel login' first" : why, context);
    const std::wstring wsProfile = Platform::FromUtf8(name);

    const std::filesystem::path lockPath = Platform::Host::JunkMailListsLockPath(wsProfile);
    Platform::FileLock lock(lockPath);
    if (!Platform::EnsurePrivateDirectory(lockPath.parent_path(), &why) || !lock.Lock(kListsLockWaitMs))
        return Failure("senders", why.empty() ? "the sender lists are in use by another process" : why, context);
    Platform::Host::JunkMailLists lists;
    std::wstring wsProblem;
    if (FAILED(Platform::Host::ReadJunkMailLists(wsProfile, lists, &wsProblem)))
        return Failure("senders", Platform::ToUtf8(wsProblem), context);
    std::vector<std::wstring>& entries = parsed.Has("--blocked") ? lists.blockedSenders : lists.safeSenders;
    if (action == "list")
        return List(entries, parsed.Has("--json"), context);
    if (!Change(entries, addresses, action == "add", why))
        return Failure("senders", why, context);
    if (FAILED(Platform::Host::WriteJunkMailLists(wsProfile, lists)))
        return Failure("senders", "the sender lists could not be written", context);
    return kExitOk;
}

namespace {

std::string SyncOutcomeJson(HRESULT hr, const Ostrel::Mapi::WhiteBlackListSyncReport& report,
                            const std::wstring& wsProblem) {
    if (FAILED(hr))
        return "{\"error\":" + JsonString(wsProblem) + "}";
    if (hr != S_OK)
        return "{\"skipped\":true}";
    char text[256];
    std::snprintf(text, sizeof text,
                  "{\"changesSent\":%zu,\"merged\":%s,\"clientChanged\":%s,\"safeSenders\":%zu,\"blockedSenders\":%zu,"
                  "\"safeHeldBack\":%zu,\"blockedHeldBack\":%zu}",
                  report.cChangesSent, report.bMerged ? "true" : "false", report.bClientChanged ? "true" : "false",
                  report.cSafeSenders, report.cBlockedSenders, report.cSafeHeldBack, report.cBlockedHeldBack);
    return text;
}

void WarnHeldBack(size_t cHeld, const char* pszList, DWORD dwMax, Context& context) {
    if (cHeld)
        std::fprintf(context.err, "ostrel sync: %zu %s sender(s) stay in this profile only: the account allows %u\n",
                     cHeld, pszList, static_cast<unsigned>(dwMax));
}

}  // namespace

int SyncSenderLists(const ProfileSettings& profile, bool bQuiet, Context& context, std::string* psJson) {
    const Ostrel::Rpc::LogonParams params = LogonParamsOf(profile, std::wstring());
    const std::wstring wsProfile = Platform::FromUtf8(profile.sName);
    Ostrel::Rpc::OstrelConnection connection(L"ostrel sync", params.wsServer.c_str(), params.dwPort, params.useSSL,
                                             params.dwProxySelection, params.wsProxy.c_str(), 0, wsProfile.c_str());
    Ostrel::Mapi::OstrelWhiteBlackListServer server(connection);
    Ostrel::Mapi::CWhiteBlackListSync sync(wsProfile, &server, ProfileDir(profile.sName) / "sender-lists.snapshot");
    Ostrel::Mapi::WhiteBlackListSyncReport report;
    const HRESULT hr = sync.SyncWhiteBlackLists(&report);
    if (psJson)
        *psJson = SyncOutcomeJson(hr, report, sync.GetLastProblem());
    if (FAILED(hr)) {
        std::fprintf(context.err, "ostrel sync: the sender lists were not synchronised: %s\n",
                     Platform::ToUtf8(sync.GetLastProblem()).c_str());
        return kExitFailure;
    }
    WarnHeldBack(report.cSafeHeldBack, "safe", report.dwSafeMax, context);
    WarnHeldBack(report.cBlockedHeldBack, "blocked", report.dwBlockedMax, context);
    if (hr == S_OK && !bQuiet && !psJson && (report.cChangesSent || report.bClientChanged))
        std::fprintf(context.out, "sender lists: %zu change(s) sent%s; now %zu safe, %zu blocked\n",
                     report.cChangesSent, report.bMerged ? " (merged)" : "", report.cSafeSenders,
                     report.cBlockedSenders);
    return kExitOk;
}

}  // namespace OstrelCli
