// The one user session double of the SOAP tests: a port, a token that changes with every
// invalidation (which it records), the `nosession` switch and the server features the item
// requests ask about.
#pragma once

#include <string>
#include <vector>

#include "Ostrel/Rpc/Requests/ItemRequestBase.h"
#include "Ostrel/Rpc/Transport/ConnectionSession.h"

namespace TestSupport {

class SessionDouble : public Ostrel::Rpc::IConnectionSession, public Ostrel::Rpc::IItemRequestSession {
public:
    DWORD Port() override { return port; }
    DWORD AdminPort() override { return 0; }
    std::wstring AuthToken() override {
        ++tokenRequests;
        return token;
    }
    bool SetNoSession() override { return noSession; }
    void InvalidateAuthToken(int expired) override {
        invalidations.push_back(expired);
        token = L"token-" + std::to_wstring(invalidations.size() + 1);
    }
    int SetSupportTagNames() override { return tagNames; }
    int SetSupportTagIds() override { return tagIds; }
    int SetSupportOSV8() override { return osv8; }

    DWORD port = 0;
    std::wstring token = L"token-1";
    bool noSession = false;
    int tokenRequests = 0;
    std::vector<int> invalidations;
    // Server version 8 with tag names by default.
    int tagNames = 1;
    int tagIds = 0;
    int osv8 = 1;
};

}  // namespace TestSupport
