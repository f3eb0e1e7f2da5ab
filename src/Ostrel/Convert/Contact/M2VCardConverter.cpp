#include "Ostrel/Convert/Contact/M2VCardConverter.h"

#include <cstdio>
#include <memory>
#include <new>

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Ostrel/Store/Attachments.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Util/Log/Log.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using IcalVcard::VCard;
using IcalVcard::VParameter;
using IcalVcard::VProperty;
using IcalVcard::VStructuredValue;

namespace {

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};

// The contact's properties, read in one call, in this order.
enum Col : ULONG {
    DisplayName,
    GivenName,
    Surname,
    MiddleName,
    Prefix,
    Generation,
    Nickname,
    Birthday,
    Company,
    Department,
    Title,
    Profession,
    BusinessPage,
    PersonalPage,
    Body,
    Mobile,
    Pager,
    Home,
    Home2,
    Business,
    Business2,
    BusinessFax,
    HomeFax,
    LastModified,
    HomePoBox,
    HomeStreet,
    HomeCity,
    HomeState,
    HomePostal,
    HomeCountry,
    BusinessPoBox,
    OtherPoBox,
    OtherStreet,
    OtherCity,
    OtherState,
    OtherPostal,
    OtherCountry,
    Certificates,
    ColCount
};
constexpr ULONG kTags[ColCount] = {0x3001001F, 0x3A06001F, 0x3A11001F, 0x3A44001F, 0x3A45001F, 0x3A05001F, 0x3A4F001F,
                                   0x3A420040, 0x3A16001F, 0x3A18001F, 0x3A17001F, 0x3A46001F, 0x3A51001F, 0x3A50001F,
                                   0x1000001F, 0x3A1C001F, 0x3A21001F, 0x3A09001F, 0x3A2F001F, 0x3A08001F, 0x3A1B001F,
                                   0x3A24001F, 0x3A25001F, 0x30080040, 0x3A5E001F, 0x3A5D001F, 0x3A59001F, 0x3A5C001F,
                                   0x3A5B001F, 0x3A5A001F, 0x3A2B001F, 0x3A64001F, 0x3A63001F, 0x3A5F001F, 0x3A62001F,
                                   0x3A61001F, 0x3A60001F, 0x3A701102};

// The named properties, read in a second call.
enum NCol : ULONG {
    Email1,
    Email1Type,
    Email2,
    Email2Type,
    Email3,
    Email3Type,
    PostalSelector,
    WorkStreet,
    WorkCity,
    WorkState,
    WorkPostal,
    WorkCountry,
    HomeLabel,
    WorkLabel,
    OtherLabel,
    BirthdayLocal,
    NColCount
};

class Props {
public:
    Props(LPSPropValue p, ULONG c) : m_p(p), m_c(c) {}
    const SPropValue* At(ULONG i) const { return i < m_c ? &m_p.get()[i] : nullptr; }
    // The UTF-8 text of a present, non-empty string value; empty otherwise.
    std::string Text(ULONG i) const {
        const SPropValue* p = At(i);
        if (!p || PROP_TYPE(p->ulPropTag) != PT_UNICODE || !p->Value.lpszW)
            return std::string();
        return Platform::ToUtf8(p->Value.lpszW);
    }
    bool Has(ULONG i) const { return !Text(i).empty(); }
    const SPropValue* Typed(ULONG i, ULONG ulType) const {
        const SPropValue* p = At(i);
        return p && PROP_TYPE(p->ulPropTag) == ulType ? p : nullptr;
    }

private:
    std::unique_ptr<SPropValue, MapiFree> m_p;
    ULONG m_c;
};

bool NeedsCharset(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return true;
    return false;
}

std::vector<VParameter> Params(std::initializer_list<const char*> types) {
    std::vector<VParameter> params;
    std::string value;
    for (const char* t : types)
        value += (value.empty() ? "" : ",") + std::string(t);
    if (!value.empty())
        params.push_back({"TYPE", value, false});
    return params;
}

void AddText(VCard& card, const char* pszName, const std::string& sValue, std::vector<VParameter> params = {}) {
    if (sValue.empty())
        return;
    if (NeedsCharset(sValue))
        params.insert(params.begin(), VParameter{"CHARSET", "utf-8", false});
    card.Add(VProperty{pszName, std::move(params), VStructuredValue::Text(sValue)});
}

void AddStructured(VCard& card, const char* pszName, const std::vector<std::string>& parts,
                   std::vector<VParameter> params = {}) {
    VStructuredValue value;
    bool bCharset = false;
    for (const std::string& part : parts) {
        value.AddComponent(part);
        bCharset = bCharset || NeedsCharset(part);
    }
    if (bCharset)
        params.insert(params.begin(), VParameter{"CHARSET", "utf-8", false});
    card.Add(VProperty{pszName, std::move(params), std::move(value)});
}

std::string FormatDate(const FILETIME& ft) {
    ContactDate d = FileTimeToContactDate(ft);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", d.iYear, d.iMonth, d.iDay);
    return buf;
}

}  // namespace

M2VCardConverter::M2VCardConverter(IMessage* pContact) : m_pContact(pContact) {
    m_pProps = pContact ? NamedPropsManager::GetNamedPropsFromMAPIProp(pContact) : nullptr;
    if (!m_pProps)
        OSTLOG_ERROR(L"could not init name props...");
}

HRESULT M2VCardConverter::Convert(std::wstring& wsDisplayName, std::string& sVCard) {
    try {
        return DoConvert(wsDisplayName, sVCard);
    } catch (const std::bad_alloc&) {
        OSTLOG_ERROR(L"Out of memory");
        return E_OUTOFMEMORY;
    }
}

HRESULT M2VCardConverter::DoConvert(std::wstring& wsDisplayName, std::string& sVCard) {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    if (!m_pContact)
        return E_INVALIDARG;
    std::vector<ULONG> tags(std::begin(kTags), std::end(kTags));
    LPSPropTagArray pTags = nullptr;
    HRESULT hr = Platform::Mapi::AllocTagArray(tags, &pTags);
    ULONG c = 0;
    LPSPropValue pRaw = nullptr;
    if (SUCCEEDED(hr))
        hr = m_pContact->GetProps(pTags, MAPI_UNICODE, &c, &pRaw);
    MAPIFreeBuffer(pTags);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to get contact properties.");
        MAPIFreeBuffer(pRaw);
        return hr;
    }
    Props p(pRaw, c);

    auto named = [&](NamedProps::PropIdx idx, ULONG ulType) {
        ULONG ulTag = m_pProps ? m_pProps->GetPropTag(idx, ulType) : PR_NULL;
        return PROP_ID(ulTag) ? ulTag : PR_NULL;
    };
    const EmailSlot* slots = EmailSlots();
    std::vector<ULONG> ntags = {named(slots[0].address, PT_UNICODE),      named(slots[0].addressType, PT_UNICODE),
                                named(slots[1].address, PT_UNICODE),      named(slots[1].addressType, PT_UNICODE),
                                named(slots[2].address, PT_UNICODE),      named(slots[2].addressType, PT_UNICODE),
                                named(NamedProps::ADDR_8022, PT_LONG),    named(NamedProps::ADDR_8045, PT_UNICODE),
                                named(NamedProps::ADDR_8046, PT_UNICODE), named(NamedProps::ADDR_8047, PT_UNICODE),
                                named(NamedProps::ADDR_8048, PT_UNICODE), named(NamedProps::ADDR_8049, PT_UNICODE),
                                named(NamedProps::ADDR_801A, PT_UNICODE), named(NamedProps::ADDR_801B, PT_UNICODE),
                                named(NamedProps::ADDR_801C, PT_UNICODE), named(NamedProps::ADDR_80DE, PT_SYSTIME)};
    pTags = nullptr;
    c = 0;
    pRaw = nullptr;
    hr = Platform::Mapi::AllocTagArray(ntags, &pTags);
    if (SUCCEEDED(hr))
        hr = m_pContact->GetProps(pTags, MAPI_UNICODE, &c, &pRaw);
    MAPIFreeBuffer(pTags);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"Failed to get contact named properties.");
        MAPIFreeBuffer(pRaw);
        return hr;
    }
    Props n(pRaw, c);

    VCard card;
    AddText(card, "FN", p.Text(DisplayName));
    if (p.Has(Surname) || p.Has(GivenName) || p.Has(MiddleName) || p.Has(Prefix) || p.Has(Generation))
        AddStructured(card, "N",
                      {p.Text(Surname), p.Text(GivenName), p.Text(MiddleName), p.Text(Prefix), p.Text(Generation)});
    AddText(card, "NICKNAME", p.Text(Nickname));
    // The local birthday is the date the user entered; the standard one is its midnight in UTC,
    // which falls on the day before east of Greenwich.
    if (const SPropValue* pLocal = n.Typed(BirthdayLocal, PT_SYSTIME)) {
        card.Add(VProperty{"BDAY", {}, VStructuredValue::Raw(FormatDate(pLocal->Value.ft))});
    } else if (const SPropValue* pUtc = p.Typed(Birthday, PT_SYSTIME)) {
        FILETIME ftLocal{};
        if (!Util::FileTimeToLocalFileTime(&pUtc->Value.ft, &ftLocal))
            ftLocal = pUtc->Value.ft;
        card.Add(VProperty{"BDAY", {}, VStructuredValue::Raw(FormatDate(ftLocal))});
    }
    if (p.Has(Company) || p.Has(Department))
        AddStructured(card, "ORG", {p.Text(Company), p.Text(Department)});
    AddText(card, "TITLE", p.Text(Title));
    AddText(card, "ROLE", p.Text(Profession));
    AddText(card, "URL", p.Text(BusinessPage), Params({"WORK"}));
    AddText(card, "URL", p.Text(PersonalPage), Params({"HOME"}));
    AddText(card, "TEL", p.Text(Mobile), Params({"CELL", "VOICE"}));
    AddText(card, "TEL", p.Text(Pager), Params({"PAGER"}));
    AddText(card, "TEL", p.Text(Home), Params({"HOME", "VOICE"}));
    AddText(card, "TEL", p.Text(Home2), Params({"HOME", "VOICE"}));
    AddText(card, "TEL", p.Text(Business), Params({"WORK", "VOICE"}));
    AddText(card, "TEL", p.Text(Business2), Params({"WORK", "VOICE"}));
    AddText(card, "TEL", p.Text(BusinessFax), Params({"WORK", "FAX"}));
    AddText(card, "TEL", p.Text(HomeFax), Params({"HOME", "FAX"}));

    bool bFirstEmail = true;
    for (ULONG i = 0; i < kEmailSlotCount; ++i) {
        std::string sAddress = n.Text(Email1 + 2 * i);
        std::string sType = n.Text(Email1Type + 2 * i);
        if (sAddress.empty() || !Platform::EqualsNoCaseAscii(sType, "SMTP"))
            continue;
        AddText(card, "EMAIL", sAddress, bFirstEmail ? Params({"INTERNET", "PREF"}) : Params({"INTERNET"}));
        bFirstEmail = false;
    }

    LONG lSelector = 0;
    if (const SPropValue* pSel = n.Typed(PostalSelector, PT_LONG)) {
        lSelector = pSel->Value.l;
        card.Add(VProperty{"X-MS-OL-DEFAULT-POSTAL-ADDRESS", {}, VStructuredValue::Raw(std::to_string(lSelector))});
    }
    struct Adr {
        const char* pszType;
        LONG lMode;
        std::vector<std::string> parts;  // PO box, street, city, region, postal code, country
        std::string sLabel;
    };
    const Adr adrs[] = {
        {"HOME",
         1,
         {p.Text(HomePoBox), p.Text(HomeStreet), p.Text(HomeCity), p.Text(HomeState), p.Text(HomePostal),
          p.Text(HomeCountry)},
         n.Text(HomeLabel)},
        {"WORK",
         2,
         {p.Text(BusinessPoBox), n.Text(WorkStreet), n.Text(WorkCity), n.Text(WorkState), n.Text(WorkPostal),
          n.Text(WorkCountry)},
         n.Text(WorkLabel)},
        {"POSTAL",
         3,
         {p.Text(OtherPoBox), p.Text(OtherStreet), p.Text(OtherCity), p.Text(OtherState), p.Text(OtherPostal),
          p.Text(OtherCountry)},
         n.Text(OtherLabel)},
    };
    for (const Adr& adr : adrs) {
        bool bAny = false;
        for (const std::string& part : adr.parts)
            bAny = bAny || !part.empty();
        if (!bAny)
            continue;
        auto params = lSelector == adr.lMode ? Params({adr.pszType, "PREF"}) : Params({adr.pszType});
        AddStructured(
            card, "ADR",
            {adr.parts[0], std::string(), adr.parts[1], adr.parts[2], adr.parts[3], adr.parts[4], adr.parts[5]},
            params);
        AddText(card, "LABEL", adr.sLabel, params);
    }

    if (const SPropValue* pBody = p.At(Body);
        pBody && PROP_TYPE(pBody->ulPropTag) == PT_ERROR && pBody->Value.err != static_cast<SCODE>(MAPI_E_NOT_FOUND))
        OSTLOG_ERROR(L"Failed to add contact NOTE : 0x%x", pBody->Value.err);
    AddText(card, "NOTE", p.Text(Body));

    if (const SPropValue* pCerts = p.Typed(Certificates, PT_MV_BINARY)) {
        for (ULONG i = 0; i < pCerts->Value.MVbin.cValues; ++i) {
            const SBinary& bin = pCerts->Value.MVbin.lpbin[i];
            std::string_view value(reinterpret_cast<const char*>(bin.lpb), bin.cb);
            if (value.empty() || value[0] == '0')
                continue;
            std::string sDer;
            switch (FindKeyExchangeCertificate(value, sDer)) {
                case CertScan::Found:
                    card.Add(VProperty{"KEY",
                                       {{"TYPE", "X509", false}, {"ENCODING", "b", false}},
                                       VStructuredValue::Raw(Base64Encode(sDer))});
                    break;
                case CertScan::BadLength:
                    OSTLOG_WARN(L"In certificate %d, <REC> len exceeds slot size", static_cast<int>(i));
                    break;
                case CertScan::NoKeyExchange:
                    break;
            }
        }
    }
    if (FAILED(hr = AddPhoto(card)))
        OSTLOG_ERROR(L"Failed to add contact photo : 0x%x", hr);
    if (const SPropValue* pMod = p.Typed(LastModified, PT_SYSTIME)) {
        SYSTEMTIME st{};
        if (Util::FileTimeToSystemTime(&pMod->Value.ft, &st)) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%04d%02d%02dT%02d%02d%02dZ", st.wYear, st.wMonth, st.wDay, st.wHour,
                          st.wMinute, st.wSecond);
            card.Add(VProperty{"REV", {}, VStructuredValue::Raw(buf)});
        }
    }

    sVCard = card.ToString();
    std::string sName = p.Has(DisplayName) ? p.Text(DisplayName) : p.Text(Nickname);
    wsDisplayName = Platform::FromUtf8(sName);
    return S_OK;
}

HRESULT M2VCardConverter::AddPhoto(VCard& card) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = m_pContact->GetAttachmentTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetAttachmentTable failed : 0x%x", hr);
        return hr;
    }
    LPSPropTagArray pCols = nullptr;
    if (FAILED(hr = Platform::Mapi::AllocTagArray({PR_ATTACH_NUM, PR_ATTACHMENT_CONTACTPHOTO, PR_ATTACH_FILENAME_W},
                                                  &pCols)))
        return hr;
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &pRows);
    MAPIFreeBuffer(pCols);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"HrQueryAllRows failed : 0x%x", hr);
        return hr;
    }
    LONG lNum = -1;
    std::wstring wsFile;
    for (ULONG i = 0; i < pRows->cRows && lNum < 0; ++i) {
        const SRow& row = pRows->aRow[i];
        if (row.cValues != 3 || row.lpProps[1].ulPropTag != PR_ATTACHMENT_CONTACTPHOTO || !row.lpProps[1].Value.b)
            continue;
        lNum = row.lpProps[0].Value.l;
        if (row.lpProps[2].ulPropTag == PR_ATTACH_FILENAME_W && row.lpProps[2].Value.lpszW)
            wsFile = row.lpProps[2].Value.lpszW;
    }
    FreeProws(pRows);
    if (lNum < 0)
        return S_OK;
    if (wsFile.size() < 4 || !Platform::EqualsNoCase(std::wstring_view(wsFile).substr(wsFile.size() - 4), L".jpg")) {
        OSTLOG_WARN(L"Contact photo '%hs' not of type JPEG", Platform::ToUtf8(wsFile).c_str());
        return S_OK;
    }
    Platform::ComPtr<IAttach> pAttach;
    if (FAILED(hr = m_pContact->OpenAttach(static_cast<ULONG>(lNum), nullptr, 0, pAttach.AddressOf()))) {
        OSTLOG_ERROR(L"OpenAttach failed : 0x%x", hr);
        return hr;
    }
    LPSPropValue pData = nullptr;
    if (FAILED(hr = HrGetOneProp(pAttach.Get(), PR_ATTACH_DATA_BIN, &pData))) {
        OSTLOG_ERROR(L"OpenProperty failed : 0x%x", hr);
        return hr;
    }
    std::string sData(reinterpret_cast<const char*>(pData->Value.bin.lpb), pData->Value.bin.cb);
    MAPIFreeBuffer(pData);
    card.Add(VProperty{
        "PHOTO", {{"ENCODING", "b", false}, {"TYPE", "JPEG", false}}, VStructuredValue::Raw(Base64Encode(sData))});
    return S_OK;
}

void InstallContactAttachmentConverter() {
    SetContactAttachmentConverter([](IMessage* pContact, std::string& sVCard) {
        std::wstring wsName;
        HRESULT hr = M2VCardConverter(pContact).Convert(wsName, sVCard);
        if (FAILED(hr))
            OSTLOG_ERROR(L"Failed to convert vCard : 0x%x", hr);
        return hr;
    });
}

}  // namespace Ostrel::Mapi
