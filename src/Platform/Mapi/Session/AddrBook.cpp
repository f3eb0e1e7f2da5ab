#include "Platform/Mapi/Session/AddrBook.h"

#include <cstring>
#include <cwctype>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Props/PropObject.h"

namespace Platform::Mapi {

namespace {

constexpr uint16_t kOneOffUnicode = MAPI_ONE_OFF_UNICODE;
constexpr uint16_t kOneOffNoRichInfo = MAPI_ONE_OFF_NO_RICH_INFO;

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// Properties of a mail user built from an address.
PropMap MailUserProps(const std::wstring& wsName, const std::wstring& wsType, const std::wstring& wsAddress) {
    PropMap props;
    auto put = [&](const StoredProp& p) { props[PROP_ID(p.ulTag)] = p; };
    put(MakeBinary(PR_ENTRYID, MakeOneOffEntryId(wsName, wsType, wsAddress)));
    put(MakeString(PR_DISPLAY_NAME_W, wsName));
    put(MakeString(PR_ADDRTYPE_W, wsType));
    put(MakeString(PR_EMAIL_ADDRESS_W, wsAddress));
    put(MakeBinary(PR_SEARCH_KEY, Platform::ToUtf8(Upper(wsType + L":" + wsAddress)) + std::string(1, '\0')));
    put(MakeLong(PR_OBJECT_TYPE, MAPI_MAILUSER));
    put(MakeLong(PR_DISPLAY_TYPE, DT_MAILUSER));
    put(MakeBool(PR_SEND_RICH_INFO, false));
    if (Upper(wsType) == L"SMTP")
        put(MakeString(PR_SMTP_ADDRESS_W, wsAddress));
    return props;
}

// "Name <local@domain>", "local@domain" or "SMTP:local@domain": the display name and address.
bool ParseSmtp(std::wstring text, std::wstring* pName, std::wstring* pAddress) {
    auto trim = [](std::wstring s) {
        size_t b = s.find_first_not_of(L" \t\"'"), e = s.find_last_not_of(L" \t\"'");
        return b == std::wstring::npos ? std::wstring() : s.substr(b, e - b + 1);
    };
    std::wstring name, address;
    size_t lt = text.rfind(L'<');
    if (lt != std::wstring::npos && !text.empty() && text.back() == L'>') {
        name = trim(text.substr(0, lt));
        address = trim(text.substr(lt + 1, text.size() - lt - 2));
    } else {
        address = trim(text);
    }
    if (address.size() > 5 && Upper(address.substr(0, 5)) == L"SMTP:")
        address = address.substr(5);
    size_t at = address.find(L'@');
    if (at == std::wstring::npos || at == 0 || at + 1 >= address.size() ||
        address.find(L'@', at + 1) != std::wstring::npos)
        return false;
    for (wchar_t c : address)
        if (std::iswspace(c) || c == L'<' || c == L'>' || c == L',' || c == L';')
            return false;
    if (address.find(L'.', at) == std::wstring::npos)
        return false;
    *pName = name.empty() ? address : name;
    *pAddress = address;
    return true;
}

// The address book's objects: their properties are read, never written or opened as streams.
template <typename Interface>
class ReadOnlyObject : public PropObject<Interface> {
public:
    HRESULT SaveChanges(ULONG) override { return MAPI_E_NO_ACCESS; }
    HRESULT OpenProperty(ULONG, LPCIID, ULONG, ULONG, LPUNKNOWN* lppUnk) override {
        if (lppUnk)
            *lppUnk = nullptr;
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }

protected:
    bool IsComputed(ULONG) const override { return true; }
    HRESULT WriteProps(const std::vector<StoredProp>&, const std::vector<ULONG>&) override { return MAPI_E_NO_ACCESS; }
    bool Writable() const override { return false; }
};

class MailUserImpl : public ReadOnlyObject<IMailUser> {
public:
    explicit MailUserImpl(PropMap props) : m_props(std::move(props)) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IMailUser, IMAPIProp, IUnknown>(riid, ppv);
    }

protected:
    HRESULT ReadProps(PropMap& props) override {
        props = m_props;
        return S_OK;
    }

private:
    PropMap m_props;
};

class AddrBookImpl : public ReadOnlyObject<IAddrBook> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceAmong<IAddrBook, IMAPIProp, IUnknown>(riid, ppv);
    }

    HRESULT OpenEntry(ULONG cbEntryID, LPENTRYID lpEntryID, LPCIID lpInterface, ULONG, ULONG* lpulObjType,
                      LPUNKNOWN* lppUnk) override {
        if (!lppUnk)
            return MAPI_E_INVALID_PARAMETER;
        *lppUnk = nullptr;
        std::wstring name, type, address;
        if (!ParseOneOffEntryId(cbEntryID, lpEntryID, &name, &type, &address))
            return MAPI_E_UNKNOWN_ENTRYID;
        Platform::ComPtr<IMailUser> pUser;
        pUser.Attach(new (std::nothrow) MailUserImpl(MailUserProps(name, type, address)));
        if (!pUser)
            return MAPI_E_NOT_ENOUGH_MEMORY;
        if (lpulObjType)
            *lpulObjType = MAPI_MAILUSER;
        if (!lpInterface) {
            *lppUnk = pUser.Detach();
            return S_OK;
        }
        HRESULT hr = pUser->QueryInterface(*lpInterface, reinterpret_cast<void**>(lppUnk));
        return FAILED(hr) ? MAPI_E_INTERFACE_NOT_SUPPORTED : S_OK;
    }

    HRESULT CompareEntryIDs(ULONG cbEntryID1, LPENTRYID lpEntryID1, ULONG cbEntryID2, LPENTRYID lpEntryID2, ULONG,
                            ULONG* lpulResult) override {
        if (!lpulResult)
            return MAPI_E_INVALID_PARAMETER;
        std::wstring n1, t1, a1, n2, t2, a2;
        if (!ParseOneOffEntryId(cbEntryID1, lpEntryID1, &n1, &t1, &a1) ||
            !ParseOneOffEntryId(cbEntryID2, lpEntryID2, &n2, &t2, &a2))
            return MAPI_E_UNKNOWN_ENTRYID;
        // The same address is the same recipient whatever the display name.
        *lpulResult = Upper(t1) == Upper(t2) && Upper(a1) == Upper(a2);
        return S_OK;
    }

    HRESULT CreateOneOff(LPTSTR lpszName, LPTSTR lpszAdrType, LPTSTR lpszAddress, ULONG ulFlags, ULONG* lpcbEntryID,
                         LPENTRYID* lppEntryID) override {
        if (!lpszAdrType || !lpszAddress || !lpcbEntryID || !lppEntryID)
            return MAPI_E_INVALID_PARAMETER;
        std::wstring type = TextArg(lpszAdrType, ulFlags), address = TextArg(lpszAddress, ulFlags);
        std::wstring name = lpszName ? TextArg(lpszName, ulFlags) : address;
        if (type.empty() || address.empty())
            return MAPI_E_INVALID_PARAMETER;
        std::string eid = MakeOneOffEntryId(name, type, address);
        void* p = nullptr;
        HRESULT hr = MAPIAllocateBuffer(static_cast<ULONG>(eid.size()), &p);
        if (FAILED(hr))
            return hr;
        std::memcpy(p, eid.data(), eid.size());
        *lpcbEntryID = static_cast<ULONG>(eid.size());
        *lppEntryID = static_cast<LPENTRYID>(p);
        return S_OK;
    }

    HRESULT ResolveName(ULONG_PTR, ULONG ulFlags, LPTSTR, LPADRLIST lpAdrList) override {
        if (!lpAdrList)
            return MAPI_E_INVALID_PARAMETER;
        bool bUnresolved = false;
        for (ULONG i = 0; i < lpAdrList->cEntries; ++i) {
            ADRENTRY& entry = lpAdrList->aEntries[i];
            if (entry.cValues && !entry.rgPropVals)
                return MAPI_E_INVALID_PARAMETER;
            if (PpropFindProp(entry.rgPropVals, entry.cValues, PR_ENTRYID))
                continue;  // resolved already
            std::wstring text;
            for (ULONG tag : {PR_EMAIL_ADDRESS_W, PR_EMAIL_ADDRESS_A, PR_DISPLAY_NAME_W, PR_DISPLAY_NAME_A}) {
                const SPropValue* p = PpropFindProp(entry.rgPropVals, entry.cValues, tag);
                if (!p)
                    continue;
                text = PROP_TYPE(tag) == PT_UNICODE ? (p->Value.lpszW ? p->Value.lpszW : L"")
                                                    : Platform::FromUtf8(p->Value.lpszA ? p->Value.lpszA : "");
                if (!text.empty())
                    break;
            }
            std::wstring name, address;
            if (!ParseSmtp(text, &name, &address)) {
                bUnresolved = true;
                continue;
            }
            if (const SPropValue* p = PpropFindProp(entry.rgPropVals, entry.cValues, PR_DISPLAY_NAME_W))
                if (p->Value.lpszW && *p->Value.lpszW && name == address)
                    name = p->Value.lpszW;
            HRESULT hr = ReplaceRow(entry, MailUserProps(name, L"SMTP", address), ulFlags);
            if (FAILED(hr))
                return hr;
        }
        return bUnresolved ? MAPI_E_NOT_FOUND : S_OK;
    }

protected:
    HRESULT ReadProps(PropMap& props) override {
        props.clear();
        props[PROP_ID(PR_OBJECT_TYPE)] = MakeLong(PR_OBJECT_TYPE, MAPI_ADDRBOOK);
        return S_OK;
    }

private:
    // The row keeps its other properties (recipient type and so on) and gets the user's.
    static HRESULT ReplaceRow(ADRENTRY& entry, const PropMap& user, ULONG ulFlags) {
        std::vector<ULONG> tags;
        for (ULONG i = 0; i < entry.cValues; ++i) {
            ULONG ulTag = entry.rgPropVals[i].ulPropTag;
            if (!user.count(PROP_ID(ulTag)) && PROP_TYPE(ulTag) != PT_ERROR)
                tags.push_back(ulTag);
        }
        ULONG cUser = 0;
        LPSPropValue pUser = nullptr;
        HRESULT hr = PropsToArray(user, nullptr, ulFlags & MAPI_UNICODE, &cUser, &pUser, nullptr);
        if (FAILED(hr))
            return hr;
        void* p = nullptr;
        hr = MAPIAllocateBuffer(static_cast<ULONG>(sizeof(SPropValue) * (tags.size() + cUser)), &p);
        if (FAILED(hr)) {
            MAPIFreeBuffer(pUser);
            return hr;
        }
        auto* pRow = static_cast<LPSPropValue>(p);
        ULONG n = 0;
        for (ULONG ulTag : tags) {
            hr = PropCopyMore(&pRow[n++], PpropFindProp(entry.rgPropVals, entry.cValues, ulTag), MAPIAllocateMore, p);
            if (FAILED(hr))
                break;
        }
        for (ULONG i = 0; SUCCEEDED(hr) && i < cUser; ++i)
            hr = PropCopyMore(&pRow[n++], &pUser[i], MAPIAllocateMore, p);
        MAPIFreeBuffer(pUser);
        if (FAILED(hr)) {
            MAPIFreeBuffer(p);
            return hr;
        }
        MAPIFreeBuffer(entry.rgPropVals);
        entry.rgPropVals = pRow;
        entry.cValues = n;
        return S_OK;
    }
};

}  // namespace

std::string MakeOneOffEntryId(const std::wstring& wsName, const std::wstring& wsType, const std::wstring& wsAddress) {
    std::string eid(4, '\0');
    eid.append(reinterpret_cast<const char*>(MUIDOneOff.ab), 16);
    uint16_t version = 0, flags = kOneOffUnicode | kOneOffNoRichInfo;
    eid.append(reinterpret_cast<const char*>(&version), 2);
    eid.append(reinterpret_cast<const char*>(&flags), 2);
    for (const std::wstring* p : {&wsName, &wsType, &wsAddress}) {
        eid += Platform::ToUtf16LEBytes(*p);
        eid.append(2, '\0');
    }
    return eid;
}

bool ParseOneOffEntryId(ULONG cb, const void* pEntryId, std::wstring* pName, std::wstring* pType,
                        std::wstring* pAddress) {
    if (!pEntryId || cb < 24)
        return false;
    std::string_view eid(static_cast<const char*>(pEntryId), cb);
    if (std::memcmp(eid.data() + 4, MUIDOneOff.ab, 16) != 0)
        return false;
    uint16_t flags;
    std::memcpy(&flags, eid.data() + 22, 2);
    std::string_view rest = eid.substr(24);
    std::wstring* outs[3] = {pName, pType, pAddress};
    for (std::wstring* pOut : outs) {
        size_t end = 0;
        if (flags & kOneOffUnicode) {
            while (end + 1 < rest.size() && (rest[end] || rest[end + 1]))
                end += 2;
            if (end + 1 >= rest.size())
                return false;
            *pOut = Platform::FromUtf16LEBytes(rest.substr(0, end));
            rest.remove_prefix(end + 2);
        } else {
            end = rest.find('\0');
            if (end == std::string_view::npos)
                return false;
            *pOut = Platform::FromUtf8(rest.substr(0, end));
            rest.remove_prefix(end + 1);
        }
    }
    return !pType->empty();
}

HRESULT CreateAddrBook(IAddrBook** ppAdrBook) {
    if (!ppAdrBook)
        return MAPI_E_INVALID_PARAMETER;
    *ppAdrBook = new (std::nothrow) AddrBookImpl();
    return *ppAdrBook ? S_OK : MAPI_E_NOT_ENOUGH_MEMORY;
}

}  // namespace Platform::Mapi
