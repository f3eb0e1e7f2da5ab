#include "ItemTestSupport.h"

#include <memory>
#include <vector>

#include "Ostrel/Rpc/Requests/AccountSettings.h"
#include "Ostrel/Rpc/Requests/AccountSharing.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Util/Log/Log.h"

using namespace Ostrel::Rpc;
using namespace ItemTest;

namespace {

class AccountSettingsTest : public ItemFixture {};

const std::wstring kAccount = L" xmlns=\"urn:ostrelAccount\"";

std::wstring Pref(const wchar_t* pwszName) {
    return std::wstring(L"<pref name=\"") + pwszName + L"\"/>";
}

struct ListProvider : WhiteBlackListProvider {
    std::vector<std::pair<std::wstring, WhiteBlackListOp>> entries;
    bool white = true;
    ULONG GetCount() override { return static_cast<ULONG>(entries.size()); }
    void GetEntry(ULONG i, std::wstring& wsAddress, WhiteBlackListOp& op) override {
        wsAddress = entries[i].first;
        op = entries[i].second;
    }
    bool IsWhiteList() override { return white; }
};

struct SigProvider : SignatureProvider {
    std::vector<std::wstring> types{L"text/plain", L"text/html", L"image/png"};
    ULONG GetCount() override { return static_cast<ULONG>(types.size()); }
    std::wstring GetContentType(ULONG i) override { return types[i]; }
    std::wstring GetPlainText(ULONG i) override { return L"plain " + std::to_wstring(i); }
    std::wstring GetHtmlText(ULONG i) override { return L"<b>html " + std::to_wstring(i) + L"</b>"; }
};

struct IdProvider : IdentityProvider {
    ULONG GetCount() override { return 2; }
    std::wstring GetAttributeName(ULONG i) override { return i ? L"ostrelPrefFromAddress" : L"ostrelPrefFromDisplay"; }
    std::wstring GetAttributeValue(ULONG i) override { return i ? L"ann@example.test" : L"Ann & Co"; }
};

struct Collector : PrefsConsumer,
                   WhiteBlackListConsumer,
                   SignatureConsumer,
                   IdentityConsumer,
                   RightsConsumer,
                   RightConsumer,
                   ShareInfoConsumer {
    std::vector<std::wstring> seen;
    void ConsumePref(const std::wstring& n, const std::wstring& v) override { seen.push_back(n + L"=" + v); }
    void ConsumeAddress(bool w, const std::wstring& a) override { seen.push_back((w ? L"white:" : L"black:") + a); }
    void ConsumeSignature(const std::wstring& n, const std::wstring& id,
                          const std::vector<SignatureContent>& contents) override {
        std::wstring s = n + L"#" + id;
        for (const auto& c : contents)
            s += L"|" + c.wsType + L":" + c.wsText;
        seen.push_back(s);
    }
    void ConsumeIdentity(const std::wstring& n, const std::wstring& id,
                         const std::vector<IdentityAttribute>& attributes) override {
        std::wstring s = n + L"#" + id;
        for (const auto& [k, v] : attributes)
            s += L"|" + k + L"=" + v;
        seen.push_back(s);
    }
    void ConsumeAce(const RightsAce& a) override {
        seen.push_back(a.wsRight + L"," + a.wsGranteeType + L"," + a.wsGranteeName + L"," + a.wsGranteeId);
    }
    void ConsumeTarget(const std::wstring& a) override { seen.push_back(L"target:" + a); }
    void ConsumeShare(const ShareInfo& s) override {
        seen.push_back(s.wsOwnerEmail + L"/" + s.wsFolderPath + L"/" + s.wsFolderId + L"/" + s.wsMountpointId);
    }
};

}  // namespace

TEST_F(AccountSettingsTest, PreferenceReadsListTheConnectorsPrefsByServerVersion) {
    const std::wstring nine = Pref(L"ostrelPrefFromDisplay") + Pref(L"ostrelPrefFromAddress") +
                              Pref(L"ostrelPrefOutOfOfficeFromDate") + Pref(L"ostrelPrefOutOfOfficeUntilDate") +
                              Pref(L"ostrelPrefOutOfOfficeReply") + Pref(L"ostrelPrefOutOfOfficeReplyEnabled") +
                              Pref(L"ostrelPrefMailSendReadReceipts") + Pref(L"ostrelPrefMailRequestReadReceipts") +
                              Pref(L"ostrelPrefCalendarAutoAddInvites");
    Features(0, 1, 0);
    GetPrefsRequest old;
    EXPECT_EQ(BodyXml(old), L"<GetPrefsRequest" + kAccount + L">" + nine + L"</GetPrefsRequest>");
    Features(1, 0, 1);
    GetPrefsRequest current;
    EXPECT_EQ(BodyXml(current), L"<GetPrefsRequest" + kAccount + L">" + nine +
                                    Pref(L"ostrelPrefOutOfOfficeExternalReply") +
                                    Pref(L"ostrelPrefOutOfOfficeExternalReplyEnabled") +
                                    Pref(L"ostrelPrefExternalSendersType") + L"</GetPrefsRequest>");
    GetPrefsRequest one(L"ostrelPrefLocale");
    EXPECT_EQ(BodyXml(one), L"<GetPrefsRequest" + kAccount + L">" + Pref(L"ostrelPrefLocale") + L"</GetPrefsRequest>");
}

TEST_F(AccountSettingsTest, PreferenceChanges) {
    int hr = E_FAIL;
    wchar_t a[] = L"a@x.test", b[] = L"b<&>@x.test";
    wchar_t* values[] = {a, b};
    ModifyPrefsRequest multi(L"ostrelPrefMailForwardingAddress", values, 2, hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(BodyXml(multi), L"<ModifyPrefsRequest" + kAccount +
                                  L"><pref name=\"ostrelPrefMailForwardingAddress\">a@x.test</pref>"
                                  L"<pref name=\"ostrelPrefMailForwardingAddress\">b&lt;&amp;&gt;@x.test</pref>"
                                  L"</ModifyPrefsRequest>");

    // A server before version 8 does not get the read-receipt request preference (any case);
    // with nothing left the request has no body at all.
    std::map<std::wstring, std::wstring> prefs{{L"OSTRELPREFMAILREQUESTREADRECEIPTS", L"TRUE"},
                                               {L"ostrelPrefFromDisplay", L"Ann"}};
    Features(0, 1, 0);
    ModifyPrefsRequest stripped(prefs, hr);
    EXPECT_EQ(BodyXml(stripped), L"<ModifyPrefsRequest" + kAccount +
                                     L"><pref name=\"ostrelPrefFromDisplay\">Ann</pref></ModifyPrefsRequest>");
    prefs.erase(L"ostrelPrefFromDisplay");
    {
        Ostrel::Util::LogCapture log;
        ModifyPrefsRequest empty(prefs, hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_TRUE(empty.IsEmpty());
        EXPECT_EQ(BodyXml(empty), L"<none>");
        EXPECT_TRUE(log.Contains(L"All prefs stripped - suppressing empty ModifyPrefsRequest"));
    }
    Features(1, 0, 1);
    ModifyPrefsRequest kept(prefs, hr);
    EXPECT_EQ(BodyXml(kept), L"<ModifyPrefsRequest" + kAccount +
                                 L"><pref name=\"OSTRELPREFMAILREQUESTREADRECEIPTS\">TRUE</pref></ModifyPrefsRequest>");
}

TEST_F(AccountSettingsTest, OutOfOfficeForm) {
    int hr = E_FAIL;
    int enabled = 1;
    wchar_t from[] = L"20261224", until[] = L"2027010317", reply[] = L"Away";
    Features(0, 1, 0);
    ModifyPrefsRequest old(&enabled, from, until, reply, hr);
    EXPECT_EQ(hr, S_OK);
    const std::wstring common =
        L"<pref name=\"ostrelPrefOutOfOfficeReplyEnabled\">TRUE</pref>"
        L"<pref name=\"ostrelPrefOutOfOfficeFromDate\">20261224000000Z</pref>"
        L"<pref name=\"ostrelPrefOutOfOfficeUntilDate\">20270103170000Z</pref>"
        L"<pref name=\"ostrelPrefOutOfOfficeReply\">Away</pref>";
    EXPECT_EQ(BodyXml(old), L"<ModifyPrefsRequest" + kAccount + L">" + common + L"</ModifyPrefsRequest>");
    Features(1, 0, 1);
    enabled = 0;
    ModifyPrefsRequest current(&enabled, nullptr, nullptr, reply, hr);
    EXPECT_EQ(BodyXml(current), L"<ModifyPrefsRequest" + kAccount +
                                    L"><pref name=\"ostrelPrefOutOfOfficeReplyEnabled\">FALSE</pref>"
                                    L"<pref name=\"ostrelPrefOutOfOfficeReply\">Away</pref>"
                                    L"<pref name=\"ostrelPrefOutOfOfficeExternalReplyEnabled\">TRUE</pref>"
                                    L"<pref name=\"ostrelPrefOutOfOfficeExternalReply\">Away</pref>"
                                    L"<pref name=\"ostrelPrefExternalSendersType\">ALL</pref></ModifyPrefsRequest>");
    // Dates that are not days are refused, not sent as garbage.
    for (const wchar_t* pwszBad : {L"2026122", L"20261301", L"20270229", L"2026122425", L"2026-12-2", L"20261224x0"}) {
        std::wstring bad = pwszBad;
        ModifyPrefsRequest refused(nullptr, bad.data(), nullptr, nullptr, hr);
        EXPECT_EQ(hr, E_INVALIDARG) << pwszBad;
    }
    EXPECT_EQ(ModifyPrefsRequest::OutOfOfficeDate(L"20280229"), L"20280229000000Z");
}

TEST_F(AccountSettingsTest, SenderListsSendRemovalsBeforeAdditions) {
    GetWhiteBlackListRequest get;
    EXPECT_EQ(BodyXml(get), L"<GetWhiteBlackListRequest" + kAccount + L"/>");
    ListProvider provider;
    provider.entries = {{L"a@x.test", WhiteBlackListOp::Add},
                        {L"b@x.test", WhiteBlackListOp::Remove},
                        {L"c@x.test", WhiteBlackListOp::Add},
                        {L"d@x.test", WhiteBlackListOp::Remove}};
    ModifyWhiteBlackListRequest white(&provider);
    EXPECT_EQ(BodyXml(white), L"<ModifyWhiteBlackListRequest" + kAccount +
                                  L"><whiteList><addr op=\"-\">b@x.test</addr><addr op=\"-\">d@x.test</addr>"
                                  L"<addr op=\"+\">a@x.test</addr><addr op=\"+\">c@x.test</addr></whiteList>"
                                  L"</ModifyWhiteBlackListRequest>");
    provider.white = false;
    provider.entries.resize(1);
    ModifyWhiteBlackListRequest black(&provider);
    EXPECT_EQ(BodyXml(black), L"<ModifyWhiteBlackListRequest" + kAccount +
                                  L"><blackList><addr op=\"+\">a@x.test</addr></blackList>"
                                  L"</ModifyWhiteBlackListRequest>");
}

TEST_F(AccountSettingsTest, SignaturesAndIdentities) {
    SigProvider sig;
    CreateSignatureRequest create(&sig, L"Work");
    EXPECT_EQ(BodyXml(create), L"<CreateSignatureRequest" + kAccount +
                                   L"><signature name=\"Work\"><content type=\"text/plain\">plain 0</content>"
                                   L"<content type=\"text/html\">&lt;b&gt;html 1&lt;/b&gt;</content>"
                                   L"<content type=\"image/png\"/></signature></CreateSignatureRequest>");
    sig.types.resize(1);
    ModifySignatureRequest modify(&sig, L"Work");
    EXPECT_EQ(BodyXml(modify), L"<ModifySignatureRequest" + kAccount +
                                   L"><signature name=\"Work\"><content type=\"text/plain\">plain 0</content>"
                                   L"</signature></ModifySignatureRequest>");
    DeleteSignatureRequest byId(L"sig-7", 0);
    EXPECT_EQ(BodyXml(byId),
              L"<DeleteSignatureRequest" + kAccount + L"><signature id=\"sig-7\"/></DeleteSignatureRequest>");
    DeleteSignatureRequest byName(L"Work", 1);
    EXPECT_EQ(BodyXml(byName),
              L"<DeleteSignatureRequest" + kAccount + L"><signature name=\"Work\"/></DeleteSignatureRequest>");

    IdProvider id;
    CreateIdentityRequest createId(&id, L"Alias");
    const std::wstring attrs =
        L"<a name=\"ostrelPrefFromDisplay\">Ann &amp; Co</a>"
        L"<a name=\"ostrelPrefFromAddress\">ann@example.test</a>";
    EXPECT_EQ(BodyXml(createId), L"<CreateIdentityRequest" + kAccount + L"><identity name=\"Alias\">" + attrs +
                                     L"</identity></CreateIdentityRequest>");
    ModifyIdentityRequest modifyId(&id, L"id-3", 0);
    EXPECT_EQ(BodyXml(modifyId), L"<ModifyIdentityRequest" + kAccount + L"><identity id=\"id-3\">" + attrs +
                                     L"</identity></ModifyIdentityRequest>");
    DeleteIdentityRequest deleteId(L"Alias", 1);
    EXPECT_EQ(BodyXml(deleteId),
              L"<DeleteIdentityRequest" + kAccount + L"><identity name=\"Alias\"/></DeleteIdentityRequest>");
    GetIdentitiesRequest getId;
    GetSignaturesRequest getSig;
    EXPECT_EQ(BodyXml(getId), L"<GetIdentitiesRequest" + kAccount + L"/>");
    EXPECT_EQ(BodyXml(getSig), L"<GetSignaturesRequest" + kAccount + L"/>");
}

TEST_F(AccountSettingsTest, RightsSharesAndMountpoints) {
    const wchar_t* types[] = {L"usr", L"", L"grp", nullptr};
    const wchar_t* grantees[] = {L"bob@x.test", L"skipped@x.test", L"team@x.test", L"x"};
    GrantRightsRequest grant(types, grantees, 4, 1);
    EXPECT_EQ(BodyXml(grant), L"<GrantRightsRequest" + kAccount +
                                  L"><ace right=\"sendOnBehalfOf\" gt=\"usr\" d=\"bob@x.test\"/>"
                                  L"<ace right=\"sendOnBehalfOf\" gt=\"grp\" d=\"team@x.test\"/></GrantRightsRequest>");
    RevokeRightsRequest revoke(types, grantees, 1, 0);
    EXPECT_EQ(BodyXml(revoke),
              L"<RevokeRightsRequest" + kAccount +
                  L"><ace right=\"sendOnBehalfOf\" gt=\"usr\" oid=\"bob@x.test\"/></RevokeRightsRequest>");
    GetRightsRequest get;
    EXPECT_EQ(BodyXml(get), L"<GetRightsRequest" + kAccount + L"/>");
    const wchar_t* rights[] = {L"sendAs", L"sendOnBehalfOf"};
    DiscoverRightsRequest discover(rights, 2);
    EXPECT_EQ(BodyXml(discover), L"<DiscoverRightsRequest" + kAccount +
                                     L"><right>sendAs</right><right>sendOnBehalfOf</right></DiscoverRightsRequest>");
    GetShareInfoRequest share(L"carol@x.test");
    EXPECT_EQ(BodyXml(share),
              L"<GetShareInfoRequest" + kAccount + L"><owner by=\"name\">carol@x.test</owner></GetShareInfoRequest>");
    CreateMountpointRequest mount(L"Carol's Calendar", L"carol@x.test", 10, L"appointment");
    EXPECT_EQ(BodyXml(mount),
              L"<CreateMountpointRequest xmlns=\"urn:ostrelMail\"><link l=\"1\" name=\"Carol's "
              L"Calendar\" owner=\"carol@x.test\" rid=\"10\" view=\"appointment\" color=\"0\"/>"
              L"</CreateMountpointRequest>");
}

TEST(AccountResponses, ConsumersGetWhatTheAnswersHold) {
    Collector c;
    auto prefs = Typed<GetPrefsResponse>(
        L"<GetPrefsResponse xmlns=\"urn:ostrelAccount\"><pref name=\"a\">1</pref><pref name=\"a\">2</pref>"
        L"<pref>no name</pref></GetPrefsResponse>");
    ASSERT_TRUE(prefs);
    prefs->Consume(&c);
    prefs->Consume(nullptr);
    EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"a=1", L"a=2", L"=no name"}));

    c.seen.clear();
    {
        Ostrel::Util::LogCapture log;
        auto lists = Typed<ModifyWhiteBlackListResponse>(
            L"<ModifyWhiteBlackListResponse xmlns=\"urn:ostrelAccount\"><whiteList><addr>w@x</addr></whiteList>"
            L"<blackList><addr>b1@x</addr><addr>b2@x</addr></blackList></ModifyWhiteBlackListResponse>");
        ASSERT_TRUE(lists);
        lists->Consume(&c);
        EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"black:b1@x", L"black:b2@x", L"white:w@x"}));
        EXPECT_TRUE(log.Contains(L"WBSYNC: Blacklist from OSV:"));
        EXPECT_TRUE(log.Contains(L"WBSYNC:   2\tb2@x"));
        EXPECT_TRUE(log.Contains(L"WBSYNC: Whitelist from OSV:"));
    }

    c.seen.clear();
    auto sigs = Typed<CreateSignatureResponse>(
        L"<CreateSignatureResponse xmlns=\"urn:ostrelAccount\"><signature name=\"Work\" id=\"s1\">"
        L"<content type=\"text/plain\">Regards</content></signature><signature/></CreateSignatureResponse>");
    ASSERT_TRUE(sigs);
    sigs->Consume(&c);
    EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"Work#s1|text/plain:Regards", L"#"}));

    c.seen.clear();
    auto ids = Typed<GetIdentitiesResponse>(
        L"<GetIdentitiesResponse xmlns=\"urn:ostrelAccount\"><identity name=\"DEFAULT\" id=\"i1\">"
        L"<a name=\"ostrelPrefFromDisplay\">Ann</a></identity></GetIdentitiesResponse>");
    ASSERT_TRUE(ids);
    ids->Consume(&c);
    EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"DEFAULT#i1|ostrelPrefFromDisplay=Ann"}));

    c.seen.clear();
    auto rights = Typed<GetRightsResponse>(
        L"<GetRightsResponse xmlns=\"urn:ostrelAccount\"><ace right=\"sendAs\" gt=\"usr\" d=\"x\"/>"
        L"<ace right=\"sendOnBehalfOf\" gt=\"usr\" d=\"bob@x\" oid=\"42\"/></GetRightsResponse>");
    ASSERT_TRUE(rights);
    rights->Consume(&c);
    EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"sendOnBehalfOf,usr,bob@x,42"}));

    c.seen.clear();
    auto discovered = Typed<DiscoverRightsResponse>(
        L"<DiscoverRightsResponse xmlns=\"urn:ostrelAccount\"><targets right=\"sendOnBehalfOf\"><target "
        L"type=\"account\">"
        L"<email addr=\"boss@x\"/></target></targets></DiscoverRightsResponse>");
    ASSERT_TRUE(discovered);
    discovered->Consume(&c);
    EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"target:boss@x"}));

    c.seen.clear();
    auto shares = Typed<GetShareInfoResponse>(
        L"<GetShareInfoResponse xmlns=\"urn:ostrelAccount\"><share ownerEmail=\"carol@x\" folderPath=\"/Calendar\" "
        L"folderId=\"10\"/></GetShareInfoResponse>");
    ASSERT_TRUE(shares);
    shares->Consume(&c);
    EXPECT_EQ(c.seen, (std::vector<std::wstring>{L"carol@x//Calendar/10/"}));
}
