// Readers of the account settings answers declared in AccountResponses.h.
#include "Ostrel/Rpc/Soap/AccountResponses.h"

#include <functional>

#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

using Platform::ComPtr;

// Calls `visit` with each element the XPath selects under the document; other nodes are skipped.
void ForEachElement(IXMLDOMNode* pFrom, const std::wstring& wsXPath,
                    const std::function<void(IXMLDOMElement*)>& visit) {
    if (!pFrom)
        return;
    ComPtr<IXMLDOMNodeList> list;
    if (pFrom->selectNodes(wsXPath, list.AddressOf()) != S_OK || !list)
        return;
    ComPtr<IXMLDOMNode> node;
    while (list->nextNode(node.AddressOf()) == S_OK && node) {
        ComPtr<IXMLDOMElement> element;
        if (SUCCEEDED(node.As(&element)) && element)
            visit(element.Get());
        node.Reset();
    }
}

std::wstring Attr(IXMLDOMElement* pElement, const wchar_t* pwszName) {
    std::wstring value;
    if (pElement->getAttribute(pwszName, value) != S_OK)
        value.clear();
    return value;
}

std::wstring Text(IXMLDOMNode* pNode) {
    std::wstring text;
    if (FAILED(pNode->get_text(text)))
        text.clear();
    return text;
}

std::wstring BodyPath(const wchar_t* pwszElement, const wchar_t* pwszRest) {
    return std::wstring(L"/soap:Envelope/soap:Body/account:") + pwszElement + pwszRest;
}

}  // namespace

void GetPrefsResponse::Consume(PrefsConsumer* pConsumer) {
    if (!pConsumer)
        return;
    ForEachElement(GetDocument(), BodyPath(L"GetPrefsResponse", L"/account:pref"),
                   [&](IXMLDOMElement* pPref) { pConsumer->ConsumePref(Attr(pPref, L"name"), Text(pPref)); });
}

void WhiteBlackListResponseBase::Consume(WhiteBlackListConsumer* pConsumer) {
    if (!pConsumer)
        return;
    const struct {
        bool bWhite;
        const wchar_t* pwszPath;
        const wchar_t* pwszBanner;
    } lists[] = {{false, L"/account:blackList/*", L"WBSYNC: Blacklist from OSV:"},
                 {true, L"/account:whiteList/*", L"WBSYNC: Whitelist from OSV:"}};
    for (const auto& list : lists) {
        OSTLOG_INFO(4, L"%s", list.pwszBanner);
        int i = 0;
        ForEachElement(GetDocument(), BodyPath(m_pwszElement, list.pwszPath), [&](IXMLDOMElement* pAddr) {
            std::wstring wsAddress = Text(pAddr);
            OSTLOG_INFO(4, L"WBSYNC: %3d\t%s", ++i, wsAddress.c_str());
            pConsumer->ConsumeAddress(list.bWhite, wsAddress);
        });
    }
}

void SignatureResponseBase::Consume(SignatureConsumer* pConsumer) {
    if (!pConsumer)
        return;
    ForEachElement(GetDocument(), BodyPath(m_pwszElement, L"/account:signature"), [&](IXMLDOMElement* pSignature) {
        std::vector<SignatureContent> contents;
        ForEachElement(pSignature, L"account:content", [&](IXMLDOMElement* pContent) {
            contents.push_back({Attr(pContent, L"type"), Text(pContent)});
        });
        pConsumer->ConsumeSignature(Attr(pSignature, L"name"), Attr(pSignature, L"id"), contents);
    });
}

void IdentityResponseBase::Consume(IdentityConsumer* pConsumer) {
    if (!pConsumer)
        return;
    ForEachElement(GetDocument(), BodyPath(m_pwszElement, L"/account:identity"), [&](IXMLDOMElement* pIdentity) {
        std::vector<IdentityAttribute> attributes;
        ForEachElement(pIdentity, L"account:a",
                       [&](IXMLDOMElement* pA) { attributes.emplace_back(Attr(pA, L"name"), Text(pA)); });
        pConsumer->ConsumeIdentity(Attr(pIdentity, L"name"), Attr(pIdentity, L"id"), attributes);
    });
}

void RightsResponseBase::Consume(RightsConsumer* pConsumer) {
    if (!pConsumer)
        return;
    ForEachElement(GetDocument(), BodyPath(m_pwszElement, L"/account:ace"), [&](IXMLDOMElement* pAce) {
        RightsAce ace{Attr(pAce, L"right"), Attr(pAce, L"gt"), Attr(pAce, L"d"), Attr(pAce, L"oid")};
        if (ace.wsRight == L"sendOnBehalfOf")
            pConsumer->ConsumeAce(ace);
    });
}

void DiscoverRightsResponse::Consume(RightConsumer* pConsumer) {
    if (!pConsumer)
        return;
    // A target names its holders in elements of its own that carry `addr`.
    ForEachElement(GetDocument(), BodyPath(L"DiscoverRightsResponse", L"/account:targets/account:target//*[@addr]"),
                   [&](IXMLDOMElement* pHolder) { pConsumer->ConsumeTarget(Attr(pHolder, L"addr")); });
}

void GetShareInfoResponse::Consume(ShareInfoConsumer* pConsumer) {
    if (!pConsumer)
        return;
    ForEachElement(GetDocument(), BodyPath(L"GetShareInfoResponse", L"/account:share"), [&](IXMLDOMElement* pShare) {
        ShareInfo share{Attr(pShare, L"ownerId"),  Attr(pShare, L"ownerEmail"),  Attr(pShare, L"ownerName"),
                        Attr(pShare, L"folderId"), Attr(pShare, L"folderPath"),  Attr(pShare, L"view"),
                        Attr(pShare, L"rights"),   Attr(pShare, L"granteeType"), Attr(pShare, L"granteeName"),
                        Attr(pShare, L"mid")};
        pConsumer->ConsumeShare(share);
    });
}

}  // namespace Ostrel::Rpc
