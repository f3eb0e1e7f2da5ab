#include "Errors.h"

#include "ArchiveReader.h"
#include "CliUi.h"

#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Platform/Base/Utf.h"
#include "Platform/Http/WinHttp.h"
#include "Util/Password.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;

// Where large replies are spooled: $TMPDIR, else /tmp.
std::string TemporaryFolder() {
    std::error_code ec;
    const std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    return ec ? std::string("/tmp") : dir.string();
}

std::string Transport(DWORD dwError, const ServerTarget& target) {
    switch (dwError) {
        case ERROR_WINHTTP_TIMEOUT:
            return "the server at " + target.sUrl + " did not answer in time";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "cannot resolve the host name of " + target.sUrl;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "cannot connect to the server at " + target.sUrl;
        case ERROR_WINHTTP_CONNECTION_ERROR:
            return "the connection to " + target.sUrl + " broke off";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return "the server at " + target.sUrl + " sent a broken answer";
        case ERROR_WINHTTP_SECURE_FAILURE:
            return "the certificate of " + target.sUrl +
                   " is not trusted (give the CA that issued it with 'ostrel login --ca-file FILE')";
        case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
            return "the server at " + target.sUrl + " wants a client certificate";
        case ERROR_WINHTTP_OPERATION_CANCELLED:
            return "the transfer was cancelled";
        case ERROR_DISK_FULL:
            return "the reply of " + target.sUrl + " could not be kept: the temporary folder " + TemporaryFolder() +
                   " is full";
        case ERROR_NOT_ENOUGH_MEMORY:
            // A large reply is kept in a temporary file; the log names the file that failed.
            return "the reply of " + target.sUrl +
                   " could not be kept: the temporary folder ($TMPDIR, else /tmp) is full or cannot be written, or "
                   "memory ran out";
        default:
            return "the transfer with " + target.sUrl + " failed (error " + std::to_string(dwError) + ")";
    }
}

std::string HttpStatus(DWORD dwStatus, const ServerTarget& target) {
    return "the server at " + target.sUrl + " failed with HTTP status " + std::to_string(dwStatus);
}

// A sign-on failure is reported by the session as "cannot connect"; its state says why.
std::string SignOnFailure(DWORD dwError, const ServerTarget& target, UserSession& session) {
    std::wstring wsNotice;
    if (auto ui = CurrentCliUi())
        wsNotice = ui->TakeNotice();
    if (session.GetAuthState() == kAuthStateNeedsUser) {
        std::string line = "the server refused the sign-on of '" + target.sAccount + "'";
        return line + (wsNotice.empty() ? ": wrong account name or password" : ": " + Platform::ToUtf8(wsNotice));
    }
    if (session.GotServerCertError())
        return wsNotice.empty() ? Transport(ERROR_WINHTTP_SECURE_FAILURE, target) : Platform::ToUtf8(wsNotice);
    Connection* pConnection = session.GetCurrentConnect();
    const DWORD dwStatus = pConnection ? pConnection->GetLastHttpStatusCode() : 0;
    const DWORD dwLast = pConnection ? pConnection->GetLastWinHttpErr() : 0;
    if (dwLast && dwLast != dwError)
        return Transport(dwLast, target);
    if (dwStatus >= 500)
        return "the server at " + target.sUrl + " could not sign '" + target.sAccount + "' on (HTTP status " +
               std::to_string(dwStatus) + ")";
    return Transport(dwError, target);
}

}  // namespace

std::string PasswordKeyProblem() {
    const std::filesystem::path path = Ostrel::Util::PasswordKeyPath();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return errno == ENOENT ? std::string()
                               : "the password key " + path.string() + " cannot be examined: " + std::strerror(errno);
    const std::string key = "the password key " + path.string();
    if (S_ISLNK(st.st_mode))
        return key + " is a symbolic link: remove it (stored passwords must then be given again)";
    if (!S_ISREG(st.st_mode))
        return key + " is not a plain file";
    if (st.st_uid != ::geteuid())
        return key + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return key + " may be used by other users (mode " + mode + "), so it is not trusted: run 'chmod 600 " +
               path.string() + "'";
    }
    return std::string();
}

std::string DescribeServerFailure(std::exception_ptr error, const ServerTarget& target, UserSession* pSession) {
    try {
        std::rethrow_exception(error);
    } catch (const WinHttpException& e) {
        const DWORD dwError = e.ExcepNum(0);
        if (dwError == ERROR_WINHTTP_CANNOT_CONNECT && pSession && !pSession->GotAuthToken())
            return SignOnFailure(dwError, target, *pSession);
        return Transport(dwError, target);
    } catch (const NginxException& e) {
        return HttpStatus(e.ExcepNum(0), target);
    } catch (const SoapFaultResponse& e) {
        return "the server reported " + Platform::ToUtf8(e.ErrorCode()) + ": " + Platform::ToUtf8(e.ExcepText());
    } catch (const ServiceFaultException& e) {
        return "the server reported " + Platform::ToUtf8(e.FaultCode()) + ": " + Platform::ToUtf8(e.ExcepText());
    } catch (const FileDownloadFaultException& e) {
        return "a download from " + target.sUrl + " failed with HTTP status " + std::to_string(e.StatusCode());
    } catch (const RpcException& e) {
        return "the exchange with " + target.sUrl + " failed: " + Platform::ToUtf8(e.ExcepText());
    } catch (const ArchiveError& e) {
        return "the server sent a damaged message archive: " + std::string(e.what());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "an unexpected failure";
    }
}

}  // namespace OstrelCli
