// The simulator's account settings calls, driven by the library's requests and read back through
// their consumers: state persists across calls and bad input is refused without a change.
#include "Ostrel/Rpc/Requests/AccountSettings.h"
#include "Ostrel/Rpc/Requests/AccountSharing.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/ConnectionTestSupport.h"

using namespace ConnTest;

namespace {

struct Collector : PrefsConsumer, WhiteBlackListConsumer, SignatureConsumer, IdentityConsumer, RightsConsumer {
    std::vector<std::wstring> seen;
    void ConsumePref(const std::wstring& n, const std::wstring& v) override { seen.push_back(n + L"=" + v); }
    void ConsumeAddress(bool w, const std::wstring& a) override { seen.push_back((w ? L"+" : L"-") + a); }
    void ConsumeSignature(const std::wstring& n, const std::wstring&,
                          const std::vector<SignatureContent>& contents) override {
        std::wstring s = n;
        for (const auto& c : contents)
            s += L"|" + c.wsType + L":" + c.wsText;
        seen.push_back(s);
    }
    void ConsumeIdentity(const std::wstring& n, const std::wstring&,
                         const std::vector<IdentityAttribute>& attributes) override {
        std::wstring s = n;
        for (const auto& [k, v] : attributes)
            s += L"|" + k + L"=" + v;
        seen.push_back(s);
    }
    void ConsumeAce(const RightsAce& a) override { seen.push_back(a.wsGranteeType + L":" + a.wsGranteeName); }
};

struct Sig : SignatureProvider {
    std::wstring text;
    ULONG GetCount() override { return 1; }
    std::wstring GetContentType(ULONG) override { return L"text/plain"; }
    std::wstring GetPlainText(ULONG) override { return text; }
    std::wstring GetHtmlText(ULONG) override { return L""; }
};

struct Id : IdentityProvider {
    std::wstring value;
    ULONG GetCount() override { return 1; }
    std::wstring GetAttributeName(ULONG) override { return L"ostrelPrefFromDisplay"; }
    std::wstring GetAttributeValue(ULONG) override { return value; }
};

struct List : WhiteBlackListProvider {
    std::vector<std::pair<std::wstring, WhiteBlackListOp>> entries;
    ULONG GetCount() override { return static_cast<ULONG>(entries.size()); }
    void GetEntry(ULONG i, std::wstring& a, WhiteBlackListOp& op) override {
        a = entries[i].first;
        op = entries[i].second;
    }
    bool IsWhiteList() override { return true; }
};

class AccountSettingsServerTest : public ConnectionTest {
protected:
    void SetUp() override {
        ConnectionTest::SetUp();
        server = StartServer();
        oc = std::make_unique<OstrelConnection>(L"settings", L"127.0.0.1", static_cast<DWORD>(server->Port()), 0,
                                                kProxyModeNone, nullptr, 0, L"profile");
    }
    std::unique_ptr<Response> Call(Request& request) {
        Response* p = nullptr;
        oc->SendRequestSynchronousOC(&request, p, __func__, __LINE__);
        return std::unique_ptr<Response>(p);
    }
    template <class T, class Req>
    std::vector<std::wstring> Read(Req&& request) {
        auto response = Call(request);
        Collector c;
        auto* typed = dynamic_cast<T*>(response.get());
        EXPECT_NE(typed, nullptr);
        if (typed)
            typed->Consume(&c);
        return c.seen;
    }

    std::unique_ptr<OstrelServer::Server> server;
    std::unique_ptr<OstrelConnection> oc;
};

}  // namespace

TEST_F(AccountSettingsServerTest, PreferencesAndSenderListsPersist) {
    int hr = E_FAIL;
    std::map<std::wstring, std::wstring> prefs{{L"ostrelPrefFromDisplay", L"Ann"}, {L"ostrelPrefLocale", L"de"}};
    ModifyPrefsRequest modify(prefs, hr);
    Call(modify);
    EXPECT_EQ(Read<GetPrefsResponse>(GetPrefsRequest()), (std::vector<std::wstring>{L"ostrelPrefFromDisplay=Ann"}));
    EXPECT_EQ(Read<GetPrefsResponse>(GetPrefsRequest(L"ostrelPrefLocale")),
              (std::vector<std::wstring>{L"ostrelPrefLocale=de"}));

    List list;
    list.entries = {{L"a@x", WhiteBlackListOp::Add}, {L"b@x", WhiteBlackListOp::Add}};
    Call(*std::make_unique<ModifyWhiteBlackListRequest>(&list));
    list.entries = {{L"a@x", WhiteBlackListOp::Remove}, {L"c@x", WhiteBlackListOp::Add}};
    EXPECT_EQ(Read<ModifyWhiteBlackListResponse>(ModifyWhiteBlackListRequest(&list)),
              (std::vector<std::wstring>{L"+b@x", L"+c@x"}));
    EXPECT_EQ(Read<GetWhiteBlackListResponse>(GetWhiteBlackListRequest()),
              (std::vector<std::wstring>{L"+b@x", L"+c@x"}));
}

TEST_F(AccountSettingsServerTest, SignaturesIdentitiesAndRightsRefuseBadInputWithoutChange) {
    Sig sig;
    sig.text = L"Regards";
    EXPECT_EQ(Read<CreateSignatureResponse>(CreateSignatureRequest(&sig, L"Work")),
              (std::vector<std::wstring>{L"Work"}));
    CreateSignatureRequest duplicate(&sig, L"Work");
    EXPECT_THROW(Call(duplicate), ServerResponseException);
    sig.text = L"Cheers";
    Call(*std::make_unique<ModifySignatureRequest>(&sig, L"Work"));
    EXPECT_EQ(Read<GetSignaturesResponse>(GetSignaturesRequest()),
              (std::vector<std::wstring>{L"Work|text/plain:Cheers"}));
    DeleteSignatureRequest missing(L"Home", 1);
    EXPECT_THROW(Call(missing), ServerResponseException);
    Call(*std::make_unique<DeleteSignatureRequest>(L"Work", 1));
    EXPECT_TRUE(Read<GetSignaturesResponse>(GetSignaturesRequest()).empty());

    Id id;
    id.value = L"Ann";
    Call(*std::make_unique<CreateIdentityRequest>(&id, L"Alias"));
    id.value = L"Ann B.";
    Call(*std::make_unique<ModifyIdentityRequest>(&id, L"Alias", 1));
    EXPECT_EQ(Read<GetIdentitiesResponse>(GetIdentitiesRequest()),
              (std::vector<std::wstring>{L"Alias|ostrelPrefFromDisplay=Ann B."}));

    const wchar_t* types[] = {L"usr", L"grp"};
    const wchar_t* who[] = {L"bob@x", L"team@x"};
    Call(*std::make_unique<GrantRightsRequest>(types, who, 2, 1));
    Call(*std::make_unique<RevokeRightsRequest>(types, who, 1, 1));
    // One bad entry refuses the whole request.
    const wchar_t* badTypes[] = {L"usr", L"alien"};
    GrantRightsRequest bad(badTypes, who, 2, 1);
    EXPECT_THROW(Call(bad), ServerResponseException);
    EXPECT_EQ(Read<GetRightsResponse>(GetRightsRequest()), (std::vector<std::wstring>{L"grp:team@x"}));
}
