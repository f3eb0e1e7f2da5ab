// The account settings calls: preferences, the white and black sender lists, signatures,
// identities and the "sendOnBehalfOf" right. Each account's settings live as long as the server;
// bad input is refused with the fault a server gives (service.INVALID_REQUEST,
// account.SIGNATURE_EXISTS, account.NO_SUCH_SIGNATURE, account.IDENTITY_EXISTS,
// account.NO_SUCH_IDENTITY), and nothing changes when a request is refused.
#include "ostrel-server/Accounts.h"
#include "ostrel-server/Endpoint.h"
#include "ostrel-server/Server.h"
#include "ostrel-server/Soap.h"

#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

namespace OstrelServer {

namespace {

struct Fault : std::runtime_error {
    Fault(std::string c, const std::string& reason) : std::runtime_error(reason), code(std::move(c)) {}
    std::string code;
};

struct Keyed {
    std::string id;
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;  // content type/text or attribute name/value
};

struct Settings {
    std::map<std::string, std::vector<std::string>> prefs;
    std::set<std::string> white, black;
    std::vector<Keyed> signatures, identities;
    std::set<std::pair<std::string, std::string>> aces;  // grantee type, grantee
    uint64_t next = 1;
};

// Every account's settings; the empty name stands for a server without accounts.
class SettingsState {
public:
    template <class F>
    SoapReply With(const SoapCall& call, F f) {
        std::optional<SoapReply> fault;
        std::string account = RequireToken(call, fault);
        if (fault)
            return *fault;
        std::lock_guard<std::mutex> lock(m_mutex);
        // Work on a copy so that a refused request changes nothing.
        Settings copy = m_settings[account];
        try {
            SoapReply reply = SoapReply::Body(f(call.doc, copy));
            m_settings[account] = std::move(copy);
            return reply;
        } catch (const Fault& e) {
            return SoapReply::Fault(e.code, e.what());
        }
    }

private:
    std::mutex m_mutex;
    std::map<std::string, Settings> m_settings;
};

std::string Path(const SoapDocument& doc, const std::string& rest) {
    return "/soap:Envelope/soap:Body/account:" + doc.CallName() + rest;
}

std::string Open(const std::string& name) {
    return "<" + name + " xmlns=\"urn:ostrelAccount\">";
}

std::string Attr(const std::string& name, const std::string& value) {
    return " " + name + "=\"" + XmlEscape(value) + "\"";
}

std::string Required(const std::optional<std::string>& value, const char* what) {
    if (!value || value->empty())
        throw Fault("service.INVALID_REQUEST", std::string("missing ") + what);
    return *value;
}

std::string PrefsXml(const Settings& s, const SoapDocument& doc) {
    std::string xml = Open("GetPrefsResponse");
    size_t asked = doc.Count(Path(doc, "/account:pref"));
    auto add = [&](const std::string& name) {
        auto it = s.prefs.find(name);
        if (it != s.prefs.end())
            for (const std::string& v : it->second)
                xml += "<pref" + Attr("name", name) + ">" + XmlEscape(v) + "</pref>";
    };
    if (asked == 0)
        for (const auto& [name, values] : s.prefs)
            add(name);
    for (size_t i = 1; i <= asked; ++i)
        add(Required(doc.Text("(" + Path(doc, "/account:pref") + ")[" + std::to_string(i) + "]/@name"), "pref name"));
    return xml + "</GetPrefsResponse>";
}

std::string ListsXml(const Settings& s, const std::string& element) {
    std::string xml = Open(element) + "<whiteList>";
    for (const std::string& a : s.white)
        xml += "<addr>" + XmlEscape(a) + "</addr>";
    xml += "</whiteList><blackList>";
    for (const std::string& a : s.black)
        xml += "<addr>" + XmlEscape(a) + "</addr>";
    return xml + "</blackList></" + element + ">";
}

std::string KeyedXml(const std::vector<Keyed>& items, const std::string& element, const std::string& child,
                     const std::string& valueAttr, const std::string& response) {
    std::string xml = Open(response);
    for (const Keyed& k : items) {
        xml += "<" + element + Attr("name", k.name) + Attr("id", k.id) + ">";
        for (const auto& [a, v] : k.values)
            xml += "<" + child + Attr(valueAttr, a) + ">" + XmlEscape(v) + "</" + child + ">";
        xml += "</" + element + ">";
    }
    return xml + "</" + response + ">";
}

// The signature or identity a request names by "id" or "name".
std::vector<Keyed>::iterator FindKeyed(std::vector<Keyed>& items, const SoapDocument& doc, const std::string& element,
                                       const char* missingCode) {
    std::optional<std::string> id = doc.Text(Path(doc, "/account:" + element + "/@id"));
    std::optional<std::string> name = doc.Text(Path(doc, "/account:" + element + "/@name"));
    if (!id && !name)
        throw Fault("service.INVALID_REQUEST", "no id or name for the " + element);
    auto it =
        std::find_if(items.begin(), items.end(), [&](const Keyed& k) { return id ? k.id == *id : k.name == *name; });
    if (it == items.end())
        throw Fault(missingCode, "no such " + element);
    return it;
}

std::vector<std::pair<std::string, std::string>> ReadValues(const SoapDocument& doc, const std::string& element,
                                                            const std::string& child, const std::string& attr) {
    std::string base = Path(doc, "/account:" + element + "/account:" + child);
    std::vector<std::pair<std::string, std::string>> values;
    for (size_t i = 1, n = doc.Count(base); i <= n; ++i) {
        std::string at = "(" + base + ")[" + std::to_string(i) + "]";
        values.emplace_back(Required(doc.Text(at + "/@" + attr), attr.c_str()), doc.Text(at).value_or(""));
    }
    return values;
}

using Handler = std::string (*)(const SoapDocument&, Settings&);

SoapEndpoint Register(const char* call, Handler h) {
    return SoapEndpoint(call, [h](const SoapCall& c) { return c.server.State<SettingsState>().With(c, h); });
}

SoapEndpoint s_getPrefs =
    Register("GetPrefsRequest", [](const SoapDocument& d, Settings& s) { return PrefsXml(s, d); });

SoapEndpoint s_modifyPrefs = Register("ModifyPrefsRequest", [](const SoapDocument& d, Settings& s) {
    std::string base = Path(d, "/account:pref");
    std::map<std::string, std::vector<std::string>> changed;
    for (size_t i = 1, n = d.Count(base); i <= n; ++i) {
        std::string at = "(" + base + ")[" + std::to_string(i) + "]";
        changed[Required(d.Text(at + "/@name"), "pref name")].push_back(d.Text(at).value_or(""));
    }
    for (auto& [name, values] : changed)
        s.prefs[name] = std::move(values);
    return Open("ModifyPrefsResponse") + "</ModifyPrefsResponse>";
});

SoapEndpoint s_getLists = Register("GetWhiteBlackListRequest", [](const SoapDocument&, Settings& s) {
    return ListsXml(s, "GetWhiteBlackListResponse");
});

SoapEndpoint s_modifyLists = Register("ModifyWhiteBlackListRequest", [](const SoapDocument& d, Settings& s) {
    for (const char* list : {"whiteList", "blackList"}) {
        std::set<std::string>& target = std::string(list) == "whiteList" ? s.white : s.black;
        std::string base = Path(d, std::string("/account:") + list + "/account:addr");
        for (size_t i = 1, n = d.Count(base); i <= n; ++i) {
            std::string at = "(" + base + ")[" + std::to_string(i) + "]";
            std::string addr = Required(d.Text(at), "address");
            std::string op = d.Text(at + "/@op").value_or("+");
            if (op == "+")
                target.insert(addr);
            else if (op == "-")
                target.erase(addr);
            else
                throw Fault("service.INVALID_REQUEST", "op must be + or -");
        }
    }
    return ListsXml(s, "ModifyWhiteBlackListResponse");
});

SoapEndpoint s_getSignatures = Register("GetSignaturesRequest", [](const SoapDocument&, Settings& s) {
    return KeyedXml(s.signatures, "signature", "content", "type", "GetSignaturesResponse");
});

SoapEndpoint s_createSignature = Register("CreateSignatureRequest", [](const SoapDocument& d, Settings& s) {
    std::string name = Required(d.Text(Path(d, "/account:signature/@name")), "signature name");
    for (const Keyed& k : s.signatures)
        if (k.name == name)
            throw Fault("account.SIGNATURE_EXISTS", "signature exists: " + name);
    Keyed k{"sig-" + std::to_string(s.next++), name, ReadValues(d, "signature", "content", "type")};
    s.signatures.push_back(k);
    return KeyedXml({Keyed{k.id, k.name, {}}}, "signature", "content", "type", "CreateSignatureResponse");
});

SoapEndpoint s_modifySignature = Register("ModifySignatureRequest", [](const SoapDocument& d, Settings& s) {
    FindKeyed(s.signatures, d, "signature", "account.NO_SUCH_SIGNATURE")->values =
        ReadValues(d, "signature", "content", "type");
    return Open("ModifySignatureResponse") + "</ModifySignatureResponse>";
});

SoapEndpoint s_deleteSignature = Register("DeleteSignatureRequest", [](const SoapDocument& d, Settings& s) {
    s.signatures.erase(FindKeyed(s.signatures, d, "signature", "account.NO_SUCH_SIGNATURE"));
    return Open("DeleteSignatureResponse") + "</DeleteSignatureResponse>";
});

SoapEndpoint s_getIdentities = Register("GetIdentitiesRequest", [](const SoapDocument&, Settings& s) {
    return KeyedXml(s.identities, "identity", "a", "name", "GetIdentitiesResponse");
});

SoapEndpoint s_createIdentity = Register("CreateIdentityRequest", [](const SoapDocument& d, Settings& s) {
    std::string name = Required(d.Text(Path(d, "/account:identity/@name")), "identity name");
    for (const Keyed& k : s.identities)
        if (k.name == name)
            throw Fault("account.IDENTITY_EXISTS", "identity exists: " + name);
    Keyed k{"id-" + std::to_string(s.next++), name, ReadValues(d, "identity", "a", "name")};
    s.identities.push_back(k);
    return KeyedXml({k}, "identity", "a", "name", "CreateIdentityResponse");
});

SoapEndpoint s_modifyIdentity = Register("ModifyIdentityRequest", [](const SoapDocument& d, Settings& s) {
    auto it = FindKeyed(s.identities, d, "identity", "account.NO_SUCH_IDENTITY");
    for (auto& [name, value] : ReadValues(d, "identity", "a", "name")) {
        auto at = std::find_if(it->values.begin(), it->values.end(), [&](const auto& v) { return v.first == name; });
        if (at != it->values.end())
            at->second = value;
        else
            it->values.emplace_back(name, value);
    }
    return Open("ModifyIdentityResponse") + "</ModifyIdentityResponse>";
});

SoapEndpoint s_deleteIdentity = Register("DeleteIdentityRequest", [](const SoapDocument& d, Settings& s) {
    s.identities.erase(FindKeyed(s.identities, d, "identity", "account.NO_SUCH_IDENTITY"));
    return Open("DeleteIdentityResponse") + "</DeleteIdentityResponse>";
});

std::string AcesXml(const Settings& s, const std::string& response) {
    std::string xml = Open(response);
    for (const auto& [gt, d] : s.aces)
        xml += "<ace right=\"sendOnBehalfOf\"" + Attr("gt", gt) + Attr("d", d) + "/>";
    return xml + "</" + response + ">";
}

std::string ChangeRights(const SoapDocument& d, Settings& s, bool grant) {
    std::string base = Path(d, "/account:ace");
    for (size_t i = 1, n = d.Count(base); i <= n; ++i) {
        std::string at = "(" + base + ")[" + std::to_string(i) + "]";
        std::string right = Required(d.Text(at + "/@right"), "right");
        std::string gt = Required(d.Text(at + "/@gt"), "grantee type");
        std::string who = d.Text(at + "/@d").value_or(d.Text(at + "/@oid").value_or(""));
        if (right != "sendOnBehalfOf" || (gt != "usr" && gt != "grp") || who.empty())
            throw Fault("service.INVALID_REQUEST", "unsupported right or grantee");
        if (grant)
            s.aces.emplace(gt, who);
        else
            s.aces.erase({gt, who});
    }
    return AcesXml(s, grant ? "GrantRightsResponse" : "RevokeRightsResponse");
}

SoapEndpoint s_getRights =
    Register("GetRightsRequest", [](const SoapDocument&, Settings& s) { return AcesXml(s, "GetRightsResponse"); });
SoapEndpoint s_grantRights =
    Register("GrantRightsRequest", [](const SoapDocument& d, Settings& s) { return ChangeRights(d, s, true); });
SoapEndpoint s_revokeRights =
    Register("RevokeRightsRequest", [](const SoapDocument& d, Settings& s) { return ChangeRights(d, s, false); });

}  // namespace

}  // namespace OstrelServer
