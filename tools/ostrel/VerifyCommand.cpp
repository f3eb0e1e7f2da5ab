#include "VerifyCommand.h"

#include "Args.h"
#include "CliUi.h"
#include "Errors.h"
#include "SignOn.h"
#include "StoreMailbox.h"
#include "SyncChanges.h"

#include "Ostrel/Rpc/Requests/SyncRequest.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"

#include <cstdio>

namespace OstrelCli {

const char* const kVerifySummary = "compare the profile's store with the server and list every difference";
const char* const kVerifyUsage =
    "[--profile NAME] [password source]\n"
    "  --profile NAME     the profile (default: $OSTREL_PROFILE, else \"default\")\n"
    "  --password-file F  as for login, when no password is stored\n"
    "  --password-env V   as for login, when no password is stored\n"
    "                     (folders: server id, parent, name; items: folder, read and flag state,\n"
    "                     tags, the size of messages; one line per difference, exit status 0 only\n"
    "                     when there is none; messages synchronised before sizes were kept are\n"
    "                     counted on one line and are no difference)";

namespace {

using namespace Ostrel::Rpc;

// The whole mailbox as the server lists it without a token.
SyncChanges ListServer(const ProfileSettings& profile) {
    const LogonParams params = LogonParamsOf(profile, std::wstring());
    OstrelConnection connection(L"ostrel verify", params.wsServer.c_str(), params.dwPort, params.useSSL,
                                params.dwProxySelection, params.wsProxy.c_str(), 0,
                                Platform::FromUtf8(profile.sName).c_str());
    SyncRequest request(nullptr, 0, 0);
    Response* pResponse = nullptr;
    connection.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    std::unique_ptr<Response> response(pResponse);
    if (!dynamic_cast<SyncResponse*>(response.get()))
        throw std::runtime_error("the server did not answer the listing with a SyncResponse");
    return ReadSyncChanges(response->GetDocument());
}

}  // namespace

int RunVerify(const std::vector<std::string>& args, Context& context) {
    std::vector<OptionSpec> options = {{"--profile", true}};
    options.insert(options.end(), kPasswordOptions.begin(), kPasswordOptions.end());
    ParsedArgs parsed;
    int exitCode = kExitOk;
    if (!ParseArgs("verify", args, options, 0, 0, context, parsed, exitCode))
        return exitCode;
    const std::string name = parsed.Value("--profile").value_or(DefaultProfileName());
    if (!IsValidProfileName(name))
        return UsageError("verify", "'" + name + "' cannot be a profile name", context);
    std::string why;
    std::optional<ProfileSettings> profile = LoadProfile(name, why);
    if (!profile)
        return Failure("verify", why.empty() ? "no profile '" + name + "': run 'ostrel login' first" : why, context);
    std::optional<std::wstring> wsPassword;
    if (!ReadPasswordOption(parsed, wsPassword, why))
        return Failure("verify", why, context);
    if (!wsPassword)
        wsPassword = StoredPassword(name);
    if (!wsPassword)
        wsPassword = PromptForPassword(*profile, context);
    if (!wsPassword)
        return Failure("verify",
                       "no password is stored for profile '" + name + "': give --password-file or --password-env",
                       context);
    if (!ApplyTrustedRoots(*profile, why))
        return Failure("verify", why, context);

    // A synchronisation that runs meanwhile would show differences that are only half done.
    StoreMailbox mailbox(name);
    if (!mailbox.Lock())
        return Failure("verify", "an 'ostrel sync' of profile '" + name + "' is running", context);
    if (FAILED(mailbox.Open(false, why)))
        return Failure("verify", why, context);

    const ServerTarget target{profile->server.Url(), profile->sAccount};
    std::shared_ptr<UserSession> session;
    Listing server;
    try {
        SignOnProfile(*profile, *wsPassword, context, session);
        server = ServerListing(ListServer(*profile));
    } catch (...) {
        return Failure("verify", DescribeServerFailure(std::current_exception(), target, session.get()), context);
    }
    Listing store;
    if (!StoreListing(mailbox, store, why))
        return Failure("verify", why, context);

    const std::vector<std::string> differences = CompareListings(server, store);
    for (const std::string& line : differences)
        std::fprintf(context.out, "%s\n", line.c_str());
    // Not a difference: nothing says their content is not the server's, only the means to check it
    // is missing, and a store kept in step by an older version would otherwise never verify clean.
    if (const size_t cUnsized = CountUnsized(server, store))
        std::fprintf(context.out, "%zu message(s) in the store carry no server size: their sizes were not compared\n",
                     cUnsized);
    if (!differences.empty())
        return Failure("verify", std::to_string(differences.size()) + " difference(s) between the store and the server",
                       context);
    std::fprintf(context.out, "the store matches the server: %zu folders, %zu items\n", server.folders.size(),
                 server.items.size());
    return kExitOk;
}

}  // namespace OstrelCli
