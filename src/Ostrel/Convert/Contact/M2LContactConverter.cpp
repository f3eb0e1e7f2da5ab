#include "Ostrel/Convert/Contact/M2LContactConverter.h"

#include <charconv>
#include <cstdio>
#include <new>
#include <set>

#include "Ostrel/Convert/Contact/ContactValues.h"
#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Util/Log/Log.h"
#include "Util/Text/CodePage.h"
#include "Util/Time/TimeUtil.h"

namespace Ostrel::Mapi {

using Mail::Contact;

namespace {

struct MapiFree {
    void operator()(void* p) const { MAPIFreeBuffer(p); }
};
using PropPtr = std::unique_ptr<SPropValue, MapiFree>;

bool IsString(const SPropValue* p) {
    return p && PROP_TYPE(p->ulPropTag) == PT_UNICODE && p->Value.lpszW;
}

}  // namespace

M2LContactConverter::M2LContactConverter(IMessage* pMsg, IMsgStore* pStore) : m_pMsg(pMsg), m_pStore(pStore) {
    m_pProps = pMsg ? NamedPropsManager::GetNamedPropsFromMAPIProp(pMsg) : nullptr;
    if (!m_pProps)
        OSTLOG_ERROR(L"could not init name props...");
}

const std::vector<const ContactAttrRow*>& M2LContactConverter::ReadRows() {
    static const std::vector<const ContactAttrRow*> rows = [] {
        std::vector<const ContactAttrRow*> v;
        for (const ContactAttrRow& row : ContactAttrTable())
            if (!row.bToStoreOnly)
                v.push_back(&row);
        return v;
    }();
    return rows;
}

const wchar_t* M2LContactConverter::GetContactAttr(size_t index) {
    const auto& rows = ReadRows();
    return index < rows.size() ? rows[index]->pwszAttr : nullptr;
}

ULONG M2LContactConverter::Named(NamedProps::PropIdx idx, ULONG ulType) const {
    if (!m_pProps)
        return PR_NULL;
    ULONG ulTag = m_pProps->GetPropTag(idx, ulType);
    return PROP_ID(ulTag) ? ulTag : PR_NULL;
}

LPSPropValue M2LContactConverter::GetOne(ULONG ulTag) {
    LPSPropValue p = nullptr;
    if (!PROP_ID(ulTag) || FAILED(HrGetOneProp(m_pMsg, ulTag, &p))) {
        MAPIFreeBuffer(p);
        return nullptr;
    }
    return p;
}

std::unique_ptr<Contact> M2LContactConverter::Convert() {
    try {
        return DoConvert();
    } catch (const std::bad_alloc&) {
        OSTLOG_ERROR(L"Out of memory");
        return nullptr;
    }
}

std::unique_ptr<Contact> M2LContactConverter::DoConvert() {
    OSTLOG_BLOCK(8, Util::kLogCategoryInfo);
    if (!m_pMsg)
        return nullptr;
    auto pContact = std::make_unique<Contact>();
    PropPtr pClass(GetOne(PR_MESSAGE_CLASS_W));
    if (IsString(pClass.get()) && Platform::EqualsNoCase(pClass->Value.lpszW, L"ipm.distlist"))
        pContact->SetAttribute(L"type", L"group");
    PropPtr pId(GetOne(Named(NamedProps::OSTREL_ID, PT_LONG)));
    if (pId && PROP_TYPE(pId->ulPropTag) == PT_LONG)
        pContact->SetContId(pId->Value.l);

    AddContactAttrs(*pContact);
    AddContactEmail(*pContact);
    AddContactNotes(*pContact);
    AddContactNotesHtml(*pContact);
    AddDates(*pContact);
    AddContactCertificates(*pContact);
    if (pContact->Attributes().contains(L"type"))
        AddGroupMembers(*pContact);
    AddContactUDFs(*pContact);
    AddServerOnlyAttributes(*pContact);
    AddTags(*pContact);
    HRESULT hr = ReadPhoto();
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to add contact photo : 0x%x", hr);
    return pContact;
}

// The categories ("Keywords") go to the server as tags by name; the server creates the ones it
// does not know.
void M2LContactConverter::AddTags(Contact& contact) {
    PropPtr pKeywords(GetOne(Named(NamedProps::KEYWORDS, PT_MV_UNICODE)));
    if (!pKeywords || PROP_TYPE(pKeywords->ulPropTag) != PT_MV_UNICODE)
        return;
    for (ULONG i = 0; i < pKeywords->Value.MVszW.cValues; ++i) {
        const wchar_t* pwszName = pKeywords->Value.MVszW.lppszW[i];
        if (pwszName && *pwszName)
            contact.TagNames().emplace_back(pwszName);
    }
}

void M2LContactConverter::AddContactAttrs(Contact& contact) {
    const auto& rows = ReadRows();
    std::vector<ULONG> tags;
    for (const ContactAttrRow* pRow : rows) {
        ULONG ulTag = ContactAttrTag(*pRow, m_pProps);
        tags.push_back(PROP_ID(ulTag) ? ulTag : PR_NULL);
    }
    LPSPropTagArray pTags = nullptr;
    if (FAILED(Platform::Mapi::AllocTagArray(tags, &pTags)))
        return;
    ULONG cValues = 0;
    LPSPropValue pRaw = nullptr;
    HRESULT hr = m_pMsg->GetProps(pTags, MAPI_UNICODE, &cValues, &pRaw);
    MAPIFreeBuffer(pTags);
    PropPtr pValues(pRaw);
    if (FAILED(hr) || cValues != rows.size()) {
        OSTLOG_ERROR(L"Failed to GetProps: %08X", hr);
        return;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const SPropValue& v = pValues.get()[i];
        if (!IsString(&v) || !*v.Value.lpszW)
            continue;
        std::wstring_view name = rows[i]->pwszAttr;
        if (name == Contact::A_fileAs) {
            contact.SetAttribute(Contact::A_fileAs, std::wstring(L"8:") + v.Value.lpszW);
        } else if (name == Contact::A_workURL && contact.Attributes().contains(Contact::A_workURL)) {
            continue;  // the business home page and the web page entry carry the same address
        } else {
            contact.SetAttribute(name, v.Value.lpszW);
        }
    }
}

void M2LContactConverter::AddContactEmail(Contact& contact) {
    for (size_t i = 0; i < kEmailSlotCount; ++i) {
        const EmailSlot& slot = EmailSlots()[i];
        PropPtr pAddress(GetOne(Named(slot.address, PT_UNICODE)));
        if (!IsString(pAddress.get()) || !*pAddress->Value.lpszW)
            continue;
        PropPtr pType(GetOne(Named(slot.addressType, PT_UNICODE)));
        const wchar_t* pwszType = IsString(pType.get()) ? pType->Value.lpszW : L"";
        if (!Platform::EqualsNoCase(pwszType, L"SMTP")) {
            OSTLOG_INFO(8, L"Skipping non-SMTP address type - '%s'", pwszType);
            continue;
        }
        contact.SetAttribute(slot.pwszAttr, pAddress->Value.lpszW);
    }
}

void M2LContactConverter::AddContactNotes(Contact& contact) {
    PropPtr pBody(GetOne(PR_BODY_W));
    if (IsString(pBody.get()) && *pBody->Value.lpszW)
        contact.SetAttribute(Contact::A_notes, pBody->Value.lpszW);
}

void M2LContactConverter::AddContactNotesHtml(Contact& contact) {
    PropPtr pHtml(GetOne(PR_HTML));
    if (!pHtml || PROP_TYPE(pHtml->ulPropTag) != PT_BINARY || !pHtml->Value.bin.cb)
        return;
    PropPtr pCpid(GetOne(PR_INTERNET_CPID_TAG));
    UINT uiCodePage = pCpid && PROP_TYPE(pCpid->ulPropTag) == PT_LONG ? static_cast<UINT>(pCpid->Value.l) : 65001;
    std::string_view bytes(reinterpret_cast<const char*>(pHtml->Value.bin.lpb), pHtml->Value.bin.cb);
    std::wstring wsHtml;
    if (uiCodePage == 65001 || !Util::IsSupportedCodePage(uiCodePage) ||
        !Util::AnsiiToUnicode(bytes, uiCodePage, wsHtml))
        wsHtml = Platform::FromUtf8(bytes);
    if (!wsHtml.empty())
        contact.SetAttribute(Contact::A_notesHtml, wsHtml);
}

void M2LContactConverter::AddDates(Contact& contact) {
    struct DateProp {
        const wchar_t* pwszAttr;
        NamedProps::PropIdx localIdx;
        ULONG ulUtcTag;
        const wchar_t* pwszTrace;
    };
    const DateProp dates[] = {
        {Contact::A_birthday, NamedProps::ADDR_80DE, PR_BIRTHDAY,
         L"PR_BIRTHDAY_LOCAL not found... using PR_BIRTHDAY: %d/%d/%2d %02d:%02d"},
        {Contact::A_anniversary, NamedProps::ADDR_80DF, PR_WEDDING_ANNIVERSARY,
         L"PR_ANNIVERSARY_LOCAL not found... using PR_WEDDING_ANNIVERSARY: %d/%d/%2d %02d:%02d"},
    };
    for (const DateProp& d : dates) {
        PropPtr pLocal(GetOne(Named(d.localIdx, PT_SYSTIME)));
        FILETIME ftLocal{};
        if (pLocal && PROP_TYPE(pLocal->ulPropTag) == PT_SYSTIME) {
            ftLocal = pLocal->Value.ft;
        } else {
            PropPtr pUtc(GetOne(d.ulUtcTag));
            if (!pUtc || PROP_TYPE(pUtc->ulPropTag) != PT_SYSTIME)
                continue;
            if (!Util::FileTimeToLocalFileTime(&pUtc->Value.ft, &ftLocal))
                ftLocal = pUtc->Value.ft;
            SYSTEMTIME st{};
            Util::FileTimeToSystemTime(&ftLocal, &st);
            OSTLOG_INFO(8, d.pwszTrace, st.wMonth, st.wDay, st.wYear, st.wHour, st.wMinute);
        }
        contact.SetAttribute(d.pwszAttr, FormatContactDate(FileTimeToContactDate(ftLocal)));
    }
}

void M2LContactConverter::AddContactCertificates(Contact& contact) {
    PropPtr pCerts(GetOne(PR_USER_X509_CERTIFICATE));
    if (!pCerts || PROP_TYPE(pCerts->ulPropTag) != PT_MV_BINARY)
        return;
    for (ULONG i = 0; i < pCerts->Value.MVbin.cValues; ++i) {
        const SBinary& bin = pCerts->Value.MVbin.lpbin[i];
        std::string_view value(reinterpret_cast<const char*>(bin.lpb), bin.cb);
        if (IsSignedData(value)) {
            OSTLOG_INFO(8, L"Converting ASN.1 SignedData slot in PR_USER_X509_CERTIFICATE to userSMIMECertificate");
            contact.SetAttribute(Contact::A_userSMIMECertificate, Platform::FromUtf8(Base64Encode(value)));
            continue;
        }
        std::string sDer;
        switch (FindKeyExchangeCertificate(value, sDer)) {
            case CertScan::Found:
                contact.SetAttribute(Contact::A_userCertificate, Platform::FromUtf8(Base64Encode(sDer)));
                break;
            case CertScan::NoKeyExchange:
                OSTLOG_WARN(L"No KeyExchangeCertificate tag in certificate: %d", static_cast<int>(i));
                break;
            case CertScan::BadLength:
                OSTLOG_WARN(L"In certificate %d, <REC> len exceeds slot size", static_cast<int>(i));
                break;
        }
    }
}

void M2LContactConverter::AddServerOnlyAttributes(Contact& contact) {
    PropPtr pNames(GetOne(Named(kServerOnlyNames, PT_MV_UNICODE)));
    PropPtr pValues(GetOne(Named(kServerOnlyValues, PT_MV_UNICODE)));
    ULONG cNames = pNames && PROP_TYPE(pNames->ulPropTag) == PT_MV_UNICODE ? pNames->Value.MVszW.cValues : 0;
    ULONG cValues = pValues && PROP_TYPE(pValues->ulPropTag) == PT_MV_UNICODE ? pValues->Value.MVszW.cValues : 0;
    if (cNames != cValues) {
        OSTLOG_ERROR(L"Mismatched server-only attribute names (%d) and values (%d)", static_cast<int>(cNames),
                     static_cast<int>(cValues));
        return;
    }
    std::set<std::wstring> present;
    for (const auto& [name, value] : contact.Attributes())
        present.insert(name);
    for (ULONG i = 0; i < cNames; ++i) {
        const wchar_t* pwszName = pNames->Value.MVszW.lppszW[i];
        const wchar_t* pwszValue = pValues->Value.MVszW.lppszW[i];
        if (pwszName && *pwszName && pwszValue && !present.count(pwszName))
            contact.SetAttribute(pwszName, pwszValue);
    }
}

}  // namespace Ostrel::Mapi
