#include "Watch.h"

#include "Interrupt.h"

#include "Ostrel/Rpc/Requests/WaitRequest.h"
#include "Ostrel/Rpc/Soap/Response.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace OstrelCli {

namespace {

using namespace Ostrel::Rpc;
using Platform::ComPtr;

constexpr DWORD kFirstPauseMs = 1000;
constexpr DWORD kLongestPauseMs = 60000;

std::unique_ptr<Response> Send(OstrelConnection& connection, Request& request) {
    Response* pResponse = nullptr;
    connection.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    std::unique_ptr<Response> response(pResponse);
    if (!response || !response->GetDocument())
        throw std::runtime_error("the server sent no answer to the wait set request");
    return response;
}

// An attribute of the reply's element `name` (with the "mail:" prefix).
std::wstring ReplyAttribute(const Response& response, const wchar_t* pwszElement, const wchar_t* pwszAttribute) {
    ComPtr<IXMLDOMNode> node;
    ComPtr<IXMLDOMElement> element;
    std::wstring value;
    if (FAILED(response.GetDocument()->selectSingleNode(std::wstring(L"//mail:") + pwszElement, node.AddressOf())) ||
        !node || FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.AddressOf()))) ||
        FAILED(element->getAttribute(pwszAttribute, value)))
        value.clear();
    return value;
}

// How many accounts the wait set reply says changed.
long ChangedAccounts(const Response& response) {
    ComPtr<IXMLDOMNodeList> list;
    long count = 0;
    if (FAILED(response.GetDocument()->selectNodes(L"//mail:WaitSetResponse/mail:a", list.AddressOf())) || !list ||
        FAILED(list->get_length(&count)))
        count = 0;
    return count;
}

// Sleeps up to ulMs in one-second steps; false when the interrupt came meanwhile.
bool Pause(DWORD ulMs) {
    for (DWORD slept = 0; slept < ulMs; slept += 1000) {
        if (Interrupted())
            return false;
        Ostrel::Util::CurrentClock().Sleep(std::min<DWORD>(1000, ulMs - slept));
    }
    return !Interrupted();
}

class Watcher {
public:
    Watcher(const ProfileSettings& profile, const WatchHooks& hooks, Context& context)
        : m_hooks(hooks), m_context(context) {
        const LogonParams params = LogonParamsOf(profile, std::wstring());
        m_pConnection = std::make_unique<OstrelConnection>(
            L"ostrel sync --watch", params.wsServer.c_str(), params.dwPort, params.useSSL, params.dwProxySelection,
            params.wsProxy.c_str(), 0, Platform::FromUtf8(profile.sName).c_str());
        m_wsAccount = Platform::FromUtf8(profile.sAccountId.empty() ? profile.sAccount : profile.sAccountId);
    }

    ~Watcher() {
        // The server forgets a wait set nobody asks about; saying goodbye only saves it the wait.
        if (m_wsWaitSet.empty())
            return;
        try {
            DestroyWaitSetRequest destroy(m_wsWaitSet.c_str(), 0);
            Send(*m_pConnection, destroy);
        } catch (...) {
            OSTLOG_INFO(1, L"The wait set %ls could not be removed", m_wsWaitSet.c_str());
        }
    }

    int Run() {
        std::fprintf(m_context.err, "ostrel sync: watching for changes (Ctrl-C stops)\n");
        std::fflush(m_context.err);
        DWORD ulPause = kFirstPauseMs;
        bool bSyncFirst = false;
        while (!Interrupted()) {
            try {
                if (bSyncFirst) {
                    bSyncFirst = false;
                    if (const int rc = m_hooks.sync(); rc == kExitInterrupted)
                        return rc;
                }
                if (m_wsWaitSet.empty())
                    CreateWaitSet();
                if (WaitForChange() > 0) {
                    if (const int rc = m_hooks.sync(); rc == kExitInterrupted)
                        return rc;
                }
                ulPause = kFirstPauseMs;
            } catch (...) {
                if (Interrupted())
                    break;
                // The server may have restarted and forgotten the wait set: start over with a sync.
                OSTLOG_WARN(L"Watching %ls failed; trying again in %u ms", m_wsAccount.c_str(), ulPause);
                std::fprintf(m_context.err, "ostrel sync: lost the server; trying again in %u s\n", ulPause / 1000);
                std::fflush(m_context.err);
                m_wsWaitSet.clear();
                m_wsSeq = L"0";
                bSyncFirst = true;
                if (!Pause(ulPause))
                    break;
                ulPause = std::min(ulPause * 2, kLongestPauseMs);
            }
        }
        std::fprintf(m_context.err, "ostrel sync: stopped watching\n");
        return kExitInterrupted;
    }

private:
    void CreateWaitSet() {
        CreateWaitSetRequest create(L"all", 0);
        const std::string token = m_hooks.token();
        const std::wstring wsToken = Platform::FromUtf8(token);
        if (FAILED(create.AddWaitAccount1(m_wsAccount.c_str(), nullptr, token.empty() ? nullptr : wsToken.c_str())))
            throw std::runtime_error("no account to watch");
        std::unique_ptr<Response> response = Send(*m_pConnection, create);
        m_wsWaitSet = ReplyAttribute(*response, L"CreateWaitSetResponse", L"waitSet");
        if (m_wsWaitSet.empty())
            throw std::runtime_error("the server made no wait set");
        m_wsSeq = L"0";
        OSTLOG_INFO(1, L"Watching %ls with wait set %ls", m_wsAccount.c_str(), m_wsWaitSet.c_str());
    }

    // Blocks until the server reports a change or its wait ends; the number of changed accounts.
    long WaitForChange() {
        WaitSetRequest wait(m_wsWaitSet.c_str(), m_wsSeq.c_str(), nullptr, 0, L"1");
        std::unique_ptr<Response> response = Send(*m_pConnection, wait);
        const std::wstring wsSeq = ReplyAttribute(*response, L"WaitSetResponse", L"seq");
        if (!wsSeq.empty())
            m_wsSeq = wsSeq;
        return ChangedAccounts(*response);
    }

    const WatchHooks& m_hooks;
    Context& m_context;
    std::unique_ptr<OstrelConnection> m_pConnection;
    std::wstring m_wsAccount;
    std::wstring m_wsWaitSet;
    std::wstring m_wsSeq = L"0";
};

}  // namespace

int WatchMailbox(const ProfileSettings& profile, const WatchHooks& hooks, Context& context) {
    return Watcher(profile, hooks, context).Run();
}

}  // namespace OstrelCli
