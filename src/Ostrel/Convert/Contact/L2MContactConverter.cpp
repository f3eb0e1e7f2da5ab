#include "Ostrel/Convert/Contact/L2MContactConverter.h"

#include <new>
#include <set>

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Ostrel/Settings/RegistryConfig.h"
#include "Ostrel/Store/Categories/TagCache.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Util/Log/Log.h"
#include "Util/Text/Strings.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using Mail::Contact;

namespace {

// Attribute names the converter maps itself; any other attribute of a personal contact is kept
// with the server-only attributes.
const std::set<std::wstring>& HandledNames() {
    static const std::set<std::wstring> names = [] {
        std::set<std::wstring> s = {Contact::A_outlookFileAs,
                                    Contact::A_email,
                                    Contact::A_email2,
                                    Contact::A_email3,
                                    Contact::A_birthday,
                                    Contact::A_anniversary,
                                    Contact::A_notes,
                                    Contact::A_notesHtml,
                                    Contact::A_userCertificate,
                                    Contact::A_userSMIMECertificate,
                                    Contact::A_image,
                                    Contact::A_objectClass,
                                    Contact::A_ostrelId,
                                    Contact::A_ostrelMailForwardingAddress,
                                    Contact::A_member,
                                    Contact::A_uid,
                                    Contact::A_resType,
                                    Contact::A_dn,
                                    L"type",
                                    L"dlist",
                                    L"id"};
        for (const ContactAttrRow& row : ContactAttrTable())
            s.insert(row.pwszAttr);
        return s;
    }();
    return names;
}

bool EqualsNoCase(const wchar_t* a, const wchar_t* b) {
    return a && b && Platform::EqualsNoCase(a, b);
}

}  // namespace

L2MContactConverter::L2MContactConverter(const Contact* pContact, IMAPISupport* pSupport, IdMapper* pItemMapper,
                                         IdMapper* pGalMapper)
    : m_pContact(pContact), m_pSupport(pSupport), m_pItemMapper(pItemMapper), m_pGalMapper(pGalMapper) {}

void L2MContactConverter::SetPhoto(std::string sBytes, std::wstring wsFileName) {
    m_sPhoto = std::move(sBytes);
    m_wsPhotoName = std::move(wsFileName);
    m_bHasPhoto = true;
}

const wchar_t* L2MContactConverter::Attr(const wchar_t* pwszName) const {
    return m_pContact->Attributes().get(pwszName);
}

const wchar_t* L2MContactConverter::FileUnderText() const {
    if (const wchar_t* pwszFileAs = Attr(Contact::A_outlookFileAs))
        return pwszFileAs;
    const wchar_t* pwszCode = Attr(Contact::A_fileAs);
    return pwszCode && pwszCode[0] == L'8' && pwszCode[1] == L':' ? pwszCode + 2 : nullptr;
}

ULONG L2MContactConverter::Named(NamedProps::PropIdx idx, ULONG ulType) const {
    if (!m_pProps)
        return PR_NULL;
    ULONG ulTag = m_pProps->GetPropTag(idx, ulType);
    return PROP_ID(ulTag) ? ulTag : PR_NULL;
}

BOOL L2MContactConverter::Convert(IMessage* pMsg, bool bGalEntry, bool bNativeDistributionList) {
    try {
        return DoConvert(pMsg, bGalEntry, bNativeDistributionList);
    } catch (const std::bad_alloc&) {
        OSTLOG_ERROR(L"Out of memory");
        return FALSE;
    }
}

BOOL L2MContactConverter::DoConvert(IMessage* pMsg, bool bGalEntry, bool bNativeDistributionList) {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    if (!pMsg || !m_pContact)
        return FALSE;
    m_bag = PropBag();
    m_keptTags.clear();
    m_bGalEntry = bGalEntry;
    m_pProps = m_pKnownProps ? m_pKnownProps : NamedPropsManager::GetNamedPropsFromMAPIProp(pMsg);
    if (!m_pProps)
        OSTLOG_ERROR(L"could not init name props...");

    const wchar_t* pwszType = Attr(L"type");
    if (EqualsNoCase(pwszType, L"group")) {
        m_kind = !bGalEntry ? Kind::PersonalDL : bNativeDistributionList ? Kind::NativeDL : Kind::AdGroupDL;
        OSTLOG_INFO(8, m_kind == Kind::PersonalDL ? L"ContactType: PersonalDL"
                       : m_kind == Kind::NativeDL ? L"ContactType: Native ostrelDistributionList"
                                                  : L"ContactType: ADGroupDL");
    } else {
        m_kind = Kind::Standard;
        OSTLOG_INFO(8, L"ContactType: Standard non-DL");
    }
    m_bag.AddString(PR_MESSAGE_CLASS_W, m_kind == Kind::Standard ? L"IPM.Contact" : L"IPM.DistList");

    for (const ContactAttrRow& row : ContactAttrTable())
        AddContactAttribute(row);
    SetupContactAddr();
    AddDisplayName();
    AddContactEmail();
    AddBirthday(pMsg);
    AddWeddingAnniversary(pMsg);
    AddNotes();
    if (m_kind != Kind::Standard)
        AddListMembers();
    if (m_pContact->GroupMembers().size())
        AddPersContactGroupMembersPersist_m_nodes();
    if (bGalEntry) {
        if (const wchar_t* pwsz = Attr(Contact::A_ostrelId))
            m_bag.AddString(Named(NamedProps::CONN_8600, PT_UNICODE), pwsz);
        if (const wchar_t* pwsz = Attr(Contact::A_dn))
            m_bag.AddString(Named(NamedProps::CONTACT_DATA, PT_UNICODE), pwsz);
    } else {
        AddServerOnlyAttributes();
    }
    AddContactCertificates();
    AddKeywords();
    if (m_bHasPhoto)
        m_bag.AddBool(Named(NamedProps::ADDR_8015, PT_BOOLEAN), true);

    LPSPropProblemArray pProblems = nullptr;
    HRESULT hr = pMsg->SetProps(m_bag.Count(), m_bag.Values().data(), &pProblems);
    MAPIFreeBuffer(pProblems);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"SetProps returned %0x", hr);
        return FALSE;
    }
    if (!m_bNewMessage)
        DeleteStaleProps(pMsg);
    if (m_bHasPhoto && FAILED(hr = WritePhoto(pMsg)))
        OSTLOG_ERROR(L"Failed to add contact photo : 0x%x", hr);
    return TRUE;
}

void L2MContactConverter::AddContactAttribute(const ContactAttrRow& row) {
    // The display name has a rule of its own; the file-under text comes from the derived name.
    if (row.ulTag == PR_DISPLAY_NAME_W)
        return;
    const wchar_t* pwszValue = !row.ulTag && row.idx == NamedProps::ADDR_8005 ? FileUnderText() : Attr(row.pwszAttr);
    if (!pwszValue || !*pwszValue)
        return;
    ULONG ulTag = ContactAttrTag(row, m_pProps);
    if (!m_bag.Has(ulTag))
        m_bag.AddString(ulTag, pwszValue);
}

void L2MContactConverter::AddServerOnlyAttributes() {
    const std::set<std::wstring>& handled = HandledNames();
    std::vector<std::wstring> names, values;
    for (const auto& [name, value] : m_pContact->Attributes()) {
        if (handled.count(name) || value.empty())
            continue;
        names.push_back(name);
        values.push_back(value);
    }
    m_bag.AddMVString(Named(kServerOnlyNames, PT_MV_UNICODE), names);
    m_bag.AddMVString(Named(kServerOnlyValues, PT_MV_UNICODE), values);
}

void L2MContactConverter::SetupContactAddr() {
    for (size_t k = 0; k < kAddressKindCount; ++k) {
        const AddressKind& kind = AddressKinds()[k];
        auto part = [&](const wchar_t* pwszAttr) {
            const wchar_t* pwsz = Attr(pwszAttr);
            return std::wstring_view(pwsz ? pwsz : L"");
        };
        std::wstring_view street = part(kind.pwszStreet), city = part(kind.pwszCity), state = part(kind.pwszState),
                          code = part(kind.pwszPostalCode), country = part(kind.pwszCountry);
        size_t cch = street.size() + city.size() + state.size() + code.size() + country.size();
        if (!cch)
            continue;
        ULONG ulTag = Named(kind.composed, PT_UNICODE);
        if (cch > kMaxComposedAddress) {
            OSTLOG_INFO(8, L"%hs: Concatenated address of %d characters for mode %d is too large -- using blanks",
                        "SetupContactAddr", static_cast<int>(cch), kind.iMode);
            m_bag.AddString(ulTag, L"");
            continue;
        }
        m_bag.AddString(ulTag, ComposeAddress(street, city, state, code, country));
    }
}

void L2MContactConverter::AddDisplayName() {
    const wchar_t* pwszName = nullptr;
    for (const wchar_t* pwszAttr :
         {Contact::A_fullName, Contact::A_outlookFileAs, Contact::A_email, Contact::A_email2}) {
        const wchar_t* pwsz = Attr(pwszAttr);
        if (pwsz && *pwsz) {
            pwszName = pwsz;
            break;
        }
    }
    if (!pwszName)
        return;
    std::wstring wsName = pwszName;
    const wchar_t* pwszResType = Attr(Contact::A_resType);
    if (m_bGalEntry && EqualsNoCase(pwszResType, L"equipment"))
        wsName += L" (Equipment)";
    else if (m_bGalEntry && EqualsNoCase(pwszResType, L"location"))
        wsName += L" (Location)";
    m_bag.AddString(PR_DISPLAY_NAME_W, wsName);
}

std::string L2MContactConverter::OneOff(const std::wstring& wsName, const std::wstring& wsAddress) {
    if (m_pSupport) {
        Platform::ComPtr<IAddrBook> pAb;
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        if (SUCCEEDED(m_pSupport->OpenAddressBook(nullptr, 0, pAb.AddressOf())) && pAb &&
            SUCCEEDED(pAb->CreateOneOff(const_cast<LPTSTR>(wsName.c_str()), const_cast<LPTSTR>(L"SMTP"),
                                        const_cast<LPTSTR>(wsAddress.c_str()), MAPI_UNICODE, &cb, &pEid))) {
            std::string sEid(reinterpret_cast<const char*>(pEid), cb);
            MAPIFreeBuffer(pEid);
            return sEid;
        }
    }
    return Platform::Mapi::MakeOneOffEntryId(wsName, L"SMTP", wsAddress);
}

void L2MContactConverter::AddContactEmail() {
    const wchar_t* pwszFullName = Attr(Contact::A_fullName);
    for (size_t i = 0; i < kEmailSlotCount; ++i) {
        const EmailSlot& slot = EmailSlots()[i];
        const wchar_t* pwszAddress = Attr(slot.pwszAttr);
        if (!pwszAddress || !*pwszAddress)
            continue;
        if (i > 0 && m_bAliasSlotsCheck) {
            int iEnabled = 0;
            try {
                iEnabled = Mapi::IsGalAliasSearchEnabled();
            } catch (const std::exception& e) {
                OSTLOG_ERROR(L"Cannot read the alias search setting: %hs", e.what());
            }
            if (!iEnabled)
                continue;
        }
        std::wstring wsName = pwszFullName && *pwszFullName ? pwszFullName : pwszAddress;
        m_bag.AddString(Named(slot.address, PT_UNICODE), pwszAddress);
        m_bag.AddString(Named(slot.addressType, PT_UNICODE), L"SMTP");
        m_bag.AddString(Named(slot.displayName, PT_UNICODE), wsName);
        m_bag.AddBinary(Named(slot.originalEntryId, PT_BINARY), OneOff(wsName, pwszAddress));
    }
}

void L2MContactConverter::AddBirthday(IMessage* pMsg) {
    AddDate(pMsg, Contact::A_birthday, NamedProps::ADDR_80DE, PR_BIRTHDAY);
}

void L2MContactConverter::AddWeddingAnniversary(IMessage* pMsg) {
    AddDate(pMsg, Contact::A_anniversary, NamedProps::ADDR_80DF, PR_WEDDING_ANNIVERSARY);
}

void L2MContactConverter::AddDate(IMessage* pMsg, const wchar_t* pwszAttr, NamedProps::PropIdx localIdx,
                                  ULONG ulUtcTag) {
    const wchar_t* pwszValue = Attr(pwszAttr);
    if (!pwszValue)
        return;
    std::optional<ContactDate> date = ParseContactDate(pwszValue);
    if (!date)
        return;
    ULONG ulLocalTag = Named(localIdx, PT_SYSTIME);
    bool bBirthday = localIdx == NamedProps::ADDR_80DE;
    LPSPropValue pOld = nullptr;
    if (!m_bNewMessage && PROP_ID(ulLocalTag) && SUCCEEDED(HrGetOneProp(pMsg, ulLocalTag, &pOld)) && pOld) {
        ContactDate old = FileTimeToContactDate(pOld->Value.ft);
        MAPIFreeBuffer(pOld);
        if (old.iYear == date->iYear && old.iMonth == date->iMonth && old.iDay == date->iDay) {
            OSTLOG_INFO(8, bBirthday ? L"OSV birthday date unchange" : L"OSV anniv date unchanged");
            m_keptTags.push_back(ulLocalTag);
            m_keptTags.push_back(ulUtcTag);
            return;
        }
    } else {
        MAPIFreeBuffer(pOld);
    }
    FILETIME ftLocal = ContactDateToFileTime(*date);
    FILETIME ftUtc{};
    if (!Util::LocalFileTimeToFileTime(&ftLocal, &ftUtc))
        ftUtc = ftLocal;
    SYSTEMTIME stLocal{}, stUtc{};
    Util::FileTimeToSystemTime(&ftLocal, &stLocal);
    Util::FileTimeToSystemTime(&ftUtc, &stUtc);
    OSTLOG_INFO(8,
                bBirthday ? L"Setting PR_BIRTHDAY_LOCAL: %d/%d/%2d %02d:%02d"
                          : L"Setting PR_ANNIVERSARY_LOCAL: %d/%d/%2d %02d:%02d",
                stLocal.wMonth, stLocal.wDay, stLocal.wYear, stLocal.wHour, stLocal.wMinute);
    OSTLOG_INFO(
        8, bBirthday ? L"Setting PR_BIRTHDAY: %d/%d/%2d %02d:%02d" : L"Setting PR_ANNIVERSARY: %d/%d/%2d %02d:%02d",
        stUtc.wMonth, stUtc.wDay, stUtc.wYear, stUtc.wHour, stUtc.wMinute);
    m_bag.AddTime(ulLocalTag, ftLocal);
    m_bag.AddTime(ulUtcTag, ftUtc);
}

void L2MContactConverter::AddNotes() {
    if (const wchar_t* pwsz = Attr(Contact::A_notes); pwsz && *pwsz)
        m_bag.AddString(PR_BODY_W, pwsz);
    if (const wchar_t* pwsz = Attr(Contact::A_notesHtml); pwsz && *pwsz) {
        m_bag.AddBinary(PR_HTML, Platform::ToUtf8(pwsz));
        m_bag.AddLong(PR_INTERNET_CPID_TAG, 65001);
    }
}

void L2MContactConverter::AddContactCertificates() {
    std::vector<std::string> values;
    int iIndex = 0;
    for (const wchar_t* pwszAttr : {Contact::A_userCertificate, Contact::A_userSMIMECertificate}) {
        bool bSigned = pwszAttr == Contact::A_userSMIMECertificate;
        auto [first, last] = m_pContact->Attributes().equal_range(pwszAttr);
        for (auto it = first; it != last; ++it, ++iIndex) {
            std::string sBytes;
            if (!Base64Decode(Platform::ToUtf8(it->second), sBytes)) {
                OSTLOG_ERROR(L"Failed to B64 decode cert attr %d", iIndex);
                continue;
            }
            // A record's length field has 16 bits and counts its 4-byte header.
            if (sBytes.size() > (bSigned ? kMaxCertificateBytes : kMaxCertificateBytes - 4)) {
                OSTLOG_ERROR(L"Certificate size too large!");
                continue;
            }
            if (bSigned) {
                OSTLOG_INFO(8, L"Adding userSMIMECertificate to PR_USER_X509_CERTIFICATE SignedData slot...");
                values.push_back(std::move(sBytes));
            } else {
                OSTLOG_INFO(8, L"Adding userCertificate to PR_USER_X509_CERTIFICATE nonSignedData slot...");
                values.push_back(MakeCertificateRecords(sBytes));
            }
        }
    }
    m_bag.AddMVBinary(PR_USER_X509_CERTIFICATE, values);
}

void L2MContactConverter::AddKeywords() {
    if (!m_pStore)
        return;
    SPropValue keywords{};
    void* pBuffer = nullptr;
    if (!m_pContact->TagNames().empty()) {
        std::vector<std::wstring> names(m_pContact->TagNames().begin(), m_pContact->TagNames().end());
        pBuffer = MapTagNamesToKeywordsProp(keywords, names, m_pStore);
    } else if (!m_pContact->TagIds().empty()) {
        std::vector<long> ids(m_pContact->TagIds().begin(), m_pContact->TagIds().end());
        pBuffer = MapTagIdsToKeywordsProp(keywords, ids, m_pStore);
    }
    if (PROP_TYPE(keywords.ulPropTag) == PT_MV_UNICODE) {
        std::vector<std::wstring> values;
        for (ULONG i = 0; i < keywords.Value.MVszW.cValues; ++i)
            values.push_back(keywords.Value.MVszW.lppszW[i] ? keywords.Value.MVszW.lppszW[i] : L"");
        m_bag.AddMVString(keywords.ulPropTag, values);
    }
    MAPIFreeBuffer(pBuffer);
}

}  // namespace Ostrel::Mapi
