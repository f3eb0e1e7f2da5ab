#include "Ostrel/SenderLists/WhiteBlackListServer.h"

#include "Ostrel/Rpc/Requests/AccountSettings.h"
#include "Ostrel/Rpc/Session/UserSession.h"
#include "Ostrel/Rpc/Soap/AccountResponses.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Ostrel/SenderLists/WhiteBlackListSyncException.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

namespace {

// Hands one list's changes to the modify request.
class CWhiteBlackListProviderImpl : public Rpc::WhiteBlackListProvider {
public:
    CWhiteBlackListProviderImpl(bool bWhiteList, const std::vector<SenderChange>& changes)
        : m_bWhiteList(bWhiteList), m_changes(changes) {}
    ULONG GetCount() override { return static_cast<ULONG>(m_changes.size()); }
    void GetEntry(ULONG index, std::wstring& wsAddress, Rpc::WhiteBlackListOp& op) override {
        wsAddress = m_changes[index].wsEntry;
        op = m_changes[index].op == SenderChangeOp::Add ? Rpc::WhiteBlackListOp::Add : Rpc::WhiteBlackListOp::Remove;
    }
    bool IsWhiteList() override { return m_bWhiteList; }

private:
    bool m_bWhiteList;
    const std::vector<SenderChange>& m_changes;
};

// Receives the server's lists from the answer.
class CWhiteBlackListConsumerImpl : public Rpc::WhiteBlackListConsumer {
public:
    CWhiteBlackListConsumerImpl(SenderList& blackList, SenderList& whiteList)
        : m_blackList(blackList), m_whiteList(whiteList) {}
    void ConsumeAddress(bool bWhiteList, const std::wstring& wsAddress) override {
        (bWhiteList ? m_whiteList : m_blackList).push_back(wsAddress);
    }

private:
    SenderList& m_blackList;
    SenderList& m_whiteList;
};

}  // namespace

void OstrelWhiteBlackListServer::GetLists(SenderList& blackList, SenderList& whiteList) {
    Rpc::GetWhiteBlackListRequest request;
    std::unique_ptr<Rpc::Response> response = Exchange(request);
    auto* pLists = dynamic_cast<Rpc::GetWhiteBlackListResponse*>(response.get());
    if (!pLists)
        WBSYNC_THROW(L"The server did not answer with its sender lists", E_UNEXPECTED);
    blackList.clear();
    whiteList.clear();
    CWhiteBlackListConsumerImpl consumer(blackList, whiteList);
    pLists->Consume(&consumer);
}

void OstrelWhiteBlackListServer::SendChanges(bool bWhiteList, const std::vector<SenderChange>& changes) {
    CWhiteBlackListProviderImpl provider(bWhiteList, changes);
    Rpc::ModifyWhiteBlackListRequest request(&provider);
    Exchange(request);
}

void OstrelWhiteBlackListServer::GetLimits(DWORD& dwBlackMax, DWORD& dwWhiteMax) {
    dwBlackMax = dwWhiteMax = 0;
    if (!m_pConnection)
        return;
    const std::shared_ptr<Rpc::UserSession> pSession =
        Rpc::UserSession::GetInstance(m_pConnection->GetProfileName().c_str());
    if (pSession && !pSession->GetCurrentWhiteBlackListMaxNumEntries(dwBlackMax, dwWhiteMax)) {
        // The server refuses what does not fit, and the run reports that.
        OSTLOG_WARN(L"WBSYNC: the account's list limits are unknown; sending every change");
        dwBlackMax = dwWhiteMax = 0;
    }
}

std::unique_ptr<Rpc::Response> OstrelWhiteBlackListServer::Exchange(Rpc::Request& request) {
    Rpc::Response* pResponse = nullptr;
    m_pConnection->SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
    return std::unique_ptr<Rpc::Response>(pResponse);
}

}  // namespace Ostrel::Mapi
