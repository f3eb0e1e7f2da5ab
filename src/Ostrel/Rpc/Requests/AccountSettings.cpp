#include "Ostrel/Rpc/Requests/AccountSettings.h"

#include <cwctype>

#include "Ostrel/Rpc/Soap/SoapVocabulary.h"
#include "Platform/Base/Text.h"
#include "Util/Exception.h"
#include "Util/Log/Log.h"

namespace Ostrel::Rpc {

namespace {

constexpr const wchar_t* kReadReceiptRequestPref = L"ostrelPrefMailRequestReadReceipts";

constexpr const wchar_t* kDefaultPrefs[] = {
    L"ostrelPrefFromDisplay",          L"ostrelPrefFromAddress",      L"ostrelPrefOutOfOfficeFromDate",
    L"ostrelPrefOutOfOfficeUntilDate", L"ostrelPrefOutOfOfficeReply", L"ostrelPrefOutOfOfficeReplyEnabled",
    L"ostrelPrefMailSendReadReceipts", kReadReceiptRequestPref,       L"ostrelPrefCalendarAutoAddInvites",
};
constexpr const wchar_t* kVersion8Prefs[] = {
    L"ostrelPrefOutOfOfficeExternalReply",
    L"ostrelPrefOutOfOfficeExternalReplyEnabled",
    L"ostrelPrefExternalSendersType",
};

bool IsVersion8() {
    std::shared_ptr<IItemRequestSession> pSession = CurrentItemSession();
    return pSession && pSession->SetSupportOSV8();
}

// Runs `build`; a failure of the document is reported in `hr` rather than thrown.
template <class F>
void Guarded(int& hr, F build) {
    hr = S_OK;
    try {
        build();
    } catch (const Util::C_Exception& e) {
        hr = e.GetHResult();
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
}

}  // namespace

GetPrefsRequest::GetPrefsRequest(const wchar_t* pwszName) : ItemRequestBase(L"GetPrefsRequest") {
    CreateBody(L"GetPrefsRequest", Soap::kNsAccount);
    auto addPref = [this](const wchar_t* pwsz) { SetAttr(AddChild(Body(), L"pref").Get(), L"name", pwsz); };
    if (pwszName) {
        addPref(pwszName);
        return;
    }
    for (const wchar_t* pwsz : kDefaultPrefs)
        addPref(pwsz);
    if (IsVersion8())
        for (const wchar_t* pwsz : kVersion8Prefs)
            addPref(pwsz);
}

void ModifyPrefsRequest::AddPref(const std::wstring& wsName, const std::wstring& wsValue) {
    if (!Body())
        CreateBody(L"ModifyPrefsRequest", Soap::kNsAccount);
    auto pref = AddChild(Body(), L"pref");
    SetAttr(pref.Get(), L"name", wsName);
    SetText(pref.Get(), wsValue);
}

ModifyPrefsRequest::ModifyPrefsRequest(const wchar_t* pwszName, wchar_t** ppwszValues, unsigned count, int& hr)
    : ItemRequestBase(L"ModifyPrefsRequest") {
    Guarded(hr, [&] {
        CreateBody(L"ModifyPrefsRequest", Soap::kNsAccount);
        for (unsigned i = 0; ppwszValues && i < count; ++i)
            AddPref(pwszName ? pwszName : L"", ppwszValues[i] ? ppwszValues[i] : L"");
    });
}

ModifyPrefsRequest::ModifyPrefsRequest(std::map<std::wstring, std::wstring>& prefs, int& hr)
    : ItemRequestBase(L"ModifyPrefsRequest") {
    Guarded(hr, [&] {
        bool bVersion8 = IsVersion8();
        const size_t cchPrefix = std::wcslen(kReadReceiptRequestPref);
        for (const auto& [wsName, wsValue] : prefs) {
            if (!bVersion8 && wsName.size() >= cchPrefix &&
                Platform::EqualsNoCase(std::wstring_view(wsName).substr(0, cchPrefix), kReadReceiptRequestPref)) {
                OSTLOG_WARN(L"%s is not known to servers before version 8; left out", wsName.c_str());
                continue;
            }
            AddPref(wsName, wsValue);
        }
        if (!Body())
            OSTLOG_INFO(4, L"All prefs stripped - suppressing empty ModifyPrefsRequest");
    });
}

std::wstring ModifyPrefsRequest::OutOfOfficeDate(const wchar_t* pwszDate) {
    std::wstring_view date = pwszDate ? pwszDate : L"";
    if (date.size() != 8 && date.size() != 10)
        return {};
    int values[5] = {};
    const int widths[5] = {4, 2, 2, 2, 0};
    size_t pos = 0;
    for (int f = 0; f < 4 && pos < date.size(); ++f) {
        for (int i = 0; i < widths[f]; ++i, ++pos) {
            if (!std::iswdigit(date[pos]))
                return {};
            values[f] = values[f] * 10 + (date[pos] - L'0');
        }
    }
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int year = values[0], month = values[1], day = values[2], hour = values[3];
    bool bLeap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (year < 1601 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
        (month == 2 && day == 29 && !bLeap) || hour > 23)
        return {};
    std::wstring text(date);
    if (date.size() == 8)
        text += L"00";
    return text + L"0000Z";
}

ModifyPrefsRequest::ModifyPrefsRequest(int* pEnabled, wchar_t* pwszFromDate, wchar_t* pwszUntilDate, wchar_t* pwszReply,
                                       int& hr)
    : ItemRequestBase(L"ModifyPrefsRequest") {
    std::wstring wsFrom = OutOfOfficeDate(pwszFromDate);
    std::wstring wsUntil = OutOfOfficeDate(pwszUntilDate);
    if ((pwszFromDate && wsFrom.empty()) || (pwszUntilDate && wsUntil.empty())) {
        OSTLOG_ERROR(L"out-of-office dates '%s' to '%s' are not days", pwszFromDate ? pwszFromDate : L"",
                     pwszUntilDate ? pwszUntilDate : L"");
        hr = E_INVALIDARG;
        return;
    }
    Guarded(hr, [&] {
        CreateBody(L"ModifyPrefsRequest", Soap::kNsAccount);
        if (pEnabled)
            AddPref(L"ostrelPrefOutOfOfficeReplyEnabled", *pEnabled ? L"TRUE" : L"FALSE");
        if (pwszFromDate)
            AddPref(L"ostrelPrefOutOfOfficeFromDate", wsFrom);
        if (pwszUntilDate)
            AddPref(L"ostrelPrefOutOfOfficeUntilDate", wsUntil);
        if (pwszReply)
            AddPref(L"ostrelPrefOutOfOfficeReply", pwszReply);
        if (IsVersion8()) {
            AddPref(L"ostrelPrefOutOfOfficeExternalReplyEnabled", L"TRUE");
            if (pwszReply)
                AddPref(L"ostrelPrefOutOfOfficeExternalReply", pwszReply);
            AddPref(L"ostrelPrefExternalSendersType", L"ALL");
        }
    });
}

GetWhiteBlackListRequest::GetWhiteBlackListRequest() : ItemRequestBase(L"GetWhiteBlackListRequest") {
    CreateBody(L"GetWhiteBlackListRequest", Soap::kNsAccount);
}

ModifyWhiteBlackListRequest::ModifyWhiteBlackListRequest(WhiteBlackListProvider* pProvider)
    : ItemRequestBase(L"ModifyWhiteBlackListRequest") {
    CreateBody(L"ModifyWhiteBlackListRequest", Soap::kNsAccount);
    if (!pProvider)
        return;
    auto list = AddChild(Body(), pProvider->IsWhiteList() ? L"whiteList" : L"blackList");
    ULONG count = pProvider->GetCount();
    // Removals go first so that an address moved within the list is not dropped after its add.
    for (WhiteBlackListOp pass : {WhiteBlackListOp::Remove, WhiteBlackListOp::Add}) {
        for (ULONG i = 0; i < count; ++i) {
            std::wstring wsAddress;
            WhiteBlackListOp op = WhiteBlackListOp::Add;
            pProvider->GetEntry(i, wsAddress, op);
            if (op != pass)
                continue;
            auto addr = AddChild(list.Get(), L"addr");
            SetAttr(addr.Get(), L"op", op == WhiteBlackListOp::Add ? L"+" : L"-");
            SetText(addr.Get(), wsAddress);
        }
    }
}

AccountKeyedRequest::AccountKeyedRequest(const wchar_t* pwszCallName, const wchar_t* pwszElement,
                                         const wchar_t* pwszKey, int byName)
    : ItemRequestBase(pwszCallName) {
    CreateBody(pwszCallName, Soap::kNsAccount);
    m_pElement = AddChild(Body(), pwszElement);
    SetAttr(m_pElement.Get(), byName ? L"name" : L"id", pwszKey ? pwszKey : L"");
}

void AccountKeyedRequest::AddSignatureContents(SignatureProvider* pProvider) {
    if (!pProvider)
        return;
    ULONG count = pProvider->GetCount();
    for (ULONG i = 0; i < count; ++i) {
        std::wstring wsType = pProvider->GetContentType(i);
        auto content = AddChild(m_pElement.Get(), L"content");
        SetAttr(content.Get(), L"type", wsType);
        if (wsType == L"text/plain")
            SetText(content.Get(), pProvider->GetPlainText(i));
        else if (wsType == L"text/html")
            SetText(content.Get(), pProvider->GetHtmlText(i));
    }
}

void AccountKeyedRequest::AddIdentityAttributes(IdentityProvider* pProvider) {
    if (!pProvider)
        return;
    ULONG count = pProvider->GetCount();
    for (ULONG i = 0; i < count; ++i) {
        auto a = AddChild(m_pElement.Get(), L"a");
        SetAttr(a.Get(), L"name", pProvider->GetAttributeName(i));
        SetText(a.Get(), pProvider->GetAttributeValue(i));
    }
}

GetSignaturesRequest::GetSignaturesRequest() : ItemRequestBase(L"GetSignaturesRequest") {
    CreateBody(L"GetSignaturesRequest", Soap::kNsAccount);
}

CreateSignatureRequest::CreateSignatureRequest(SignatureProvider* pProvider, const wchar_t* pwszName)
    : AccountKeyedRequest(L"CreateSignatureRequest", L"signature", pwszName, 1) {
    AddSignatureContents(pProvider);
}

ModifySignatureRequest::ModifySignatureRequest(SignatureProvider* pProvider, const wchar_t* pwszName)
    : AccountKeyedRequest(L"ModifySignatureRequest", L"signature", pwszName, 1) {
    AddSignatureContents(pProvider);
}

DeleteSignatureRequest::DeleteSignatureRequest(const wchar_t* pwszKey, int byName)
    : AccountKeyedRequest(L"DeleteSignatureRequest", L"signature", pwszKey, byName) {}

GetIdentitiesRequest::GetIdentitiesRequest() : ItemRequestBase(L"GetIdentitiesRequest") {
    CreateBody(L"GetIdentitiesRequest", Soap::kNsAccount);
}

CreateIdentityRequest::CreateIdentityRequest(IdentityProvider* pProvider, const wchar_t* pwszName)
    : AccountKeyedRequest(L"CreateIdentityRequest", L"identity", pwszName, 1) {
    AddIdentityAttributes(pProvider);
}

ModifyIdentityRequest::ModifyIdentityRequest(IdentityProvider* pProvider, const wchar_t* pwszKey, int byName)
    : AccountKeyedRequest(L"ModifyIdentityRequest", L"identity", pwszKey, byName) {
    AddIdentityAttributes(pProvider);
}

DeleteIdentityRequest::DeleteIdentityRequest(const wchar_t* pwszKey, int byName)
    : AccountKeyedRequest(L"DeleteIdentityRequest", L"identity", pwszKey, byName) {}

}  // namespace Ostrel::Rpc
