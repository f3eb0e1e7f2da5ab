// The server's side of the sender lists: its white and black lists, read and changed through the
// account settings calls. Failures are thrown as the RpcException tree.
#pragma once

#include "Ostrel/SenderLists/SenderList.h"
#include "Platform/Base/WinTypes.h"

#include <memory>

namespace Ostrel::Rpc {
class OstrelConnection;
class Request;
class Response;
}  // namespace Ostrel::Rpc

namespace Ostrel::Mapi {

class IWhiteBlackListServer {
public:
    virtual ~IWhiteBlackListServer() = default;
    virtual void GetLists(SenderList& blackList, SenderList& whiteList) = 0;
    // The changes of one list, in one call.
    virtual void SendChanges(bool bWhiteList, const std::vector<SenderChange>& changes) = 0;
    // The most entries the account may keep in each list; 0 where it sets no limit.
    virtual void GetLimits(DWORD& dwBlackMax, DWORD& dwWhiteMax) = 0;
};

class OstrelWhiteBlackListServer : public IWhiteBlackListServer {
public:
    explicit OstrelWhiteBlackListServer(Rpc::OstrelConnection& connection) : m_pConnection(&connection) {}

    void GetLists(SenderList& blackList, SenderList& whiteList) override;
    void SendChanges(bool bWhiteList, const std::vector<SenderChange>& changes) override;
    // From the account information of the connection's profile session; none without a session.
    void GetLimits(DWORD& dwBlackMax, DWORD& dwWhiteMax) override;

protected:
    // For a server that answers Exchange itself.
    OstrelWhiteBlackListServer() = default;
    // One call and its typed answer (never null).
    virtual std::unique_ptr<Rpc::Response> Exchange(Rpc::Request& request);

private:
    Rpc::OstrelConnection* m_pConnection = nullptr;
};

}  // namespace Ostrel::Mapi
