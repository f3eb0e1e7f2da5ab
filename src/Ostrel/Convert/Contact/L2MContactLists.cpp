// The list side of writing a contact: distribution-list members, the members kept whole, the
// properties a contact no longer has, and the photo attachment.
#include <zlib.h>

#include <set>

#include "Ostrel/Convert/Contact/ContactProps.h"
#include "Ostrel/Convert/Contact/L2MContactConverter.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Platform/Base/Text.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mapi {

using Mail::Contact;

namespace {

std::string EntryIdOf(IMAPIProp* pProp) {
    LPSPropValue pValue = nullptr;
    std::string sEid;
    if (SUCCEEDED(HrGetOneProp(pProp, PR_ENTRYID, &pValue)) && pValue)
        sEid.assign(reinterpret_cast<const char*>(pValue->Value.bin.lpb), pValue->Value.bin.cb);
    MAPIFreeBuffer(pValue);
    return sEid;
}

std::wstring StringOf(IMAPIProp* pProp, ULONG ulTag) {
    LPSPropValue pValue = nullptr;
    std::wstring ws;
    if (PROP_ID(ulTag) && SUCCEEDED(HrGetOneProp(pProp, ulTag, &pValue)) && pValue &&
        PROP_TYPE(pValue->ulPropTag) == PT_UNICODE && pValue->Value.lpszW)
        ws = pValue->Value.lpszW;
    MAPIFreeBuffer(pValue);
    return ws;
}

// "Name <address>" gives both; a bare text is the address and the name.
void SplitAddress(std::wstring_view wsText, std::wstring& wsName, std::wstring& wsAddress) {
    size_t lt = wsText.rfind(L'<');
    size_t gt = wsText.rfind(L'>');
    if (lt != std::wstring_view::npos && gt != std::wstring_view::npos && gt > lt) {
        wsAddress = Platform::Trim(wsText.substr(lt + 1, gt - lt - 1));
        std::wstring_view name = Platform::Trim(wsText.substr(0, lt));
        if (name.size() >= 2 && name.front() == L'"' && name.back() == L'"')
            name = name.substr(1, name.size() - 2);
        wsName = name.empty() ? wsAddress : std::wstring(name);
        return;
    }
    wsName = wsAddress = Platform::Trim(wsText);
}

}  // namespace

bool L2MContactConverter::ResolveMember(IdMapper* pMapper, const std::wstring& wsKey, bool bByRef, std::string& sEid,
                                        std::string& sOneOff) {
    if (!pMapper)
        return false;
    ULONG ulType = 0;
    Platform::ComPtr<IUnknown> pObj;
    BOOL bFound = bByRef ? pMapper->Get(wsKey, 0, &ulType, pObj.AddressOf(), 0)
                         : pMapper->Get(Platform::ReadLeadingDecimal(wsKey), &ulType, pObj.AddressOf());
    if (!bFound || !pObj)
        return false;
    auto* pProp = static_cast<IMAPIProp*>(pObj.Get());
    sEid = EntryIdOf(pProp);
    if (sEid.empty())
        return false;
    std::wstring wsName = StringOf(pProp, PR_DISPLAY_NAME_W);
    std::wstring wsAddress = StringOf(pProp, Named(EmailSlots()[0].address, PT_UNICODE));
    sOneOff = OneOff(wsName.empty() ? wsAddress : wsName, wsAddress);
    return true;
}

void L2MContactConverter::AddListMembers() {
    std::vector<std::string> members, oneOffs;
    std::wstring wsListName;
    if (m_kind == Kind::PersonalDL) {
        if (m_pContact->GroupMembers().size())
            AddPersContactGroupMembers(members, oneOffs);
        else
            AddPersContactGroupMembers_dlist(members, oneOffs);
        for (const wchar_t* pwsz : {FileUnderText(), Attr(Contact::A_fullName), Attr(Contact::A_nickname)})
            if (pwsz && *pwsz && wsListName.empty())
                wsListName = pwsz;
    } else {
        AddGalContactDLMembers(members, oneOffs);
        if (const wchar_t* pwsz = Attr(Contact::A_uid))
            wsListName = pwsz;
    }
    if (!wsListName.empty())
        m_bag.AddString(Named(NamedProps::ADDR_8053, PT_UNICODE), wsListName);
    m_bag.AddMVBinary(Named(NamedProps::ADDR_8055, PT_MV_BINARY), members);
    m_bag.AddMVBinary(Named(NamedProps::ADDR_8054, PT_MV_BINARY), oneOffs);
    if (!members.empty()) {
        std::string all;
        for (const std::string& member : members)
            all += member;
        m_bag.AddLong(
            Named(NamedProps::ADDR_804C, PT_LONG),
            static_cast<LONG>(crc32(0, reinterpret_cast<const Bytef*>(all.data()), static_cast<uInt>(all.size()))));
    }
}

void L2MContactConverter::AddPersContactGroupMembers_dlist(std::vector<std::string>& members,
                                                           std::vector<std::string>& oneOffs) {
    const wchar_t* pwszList = Attr(L"dlist");
    if (!pwszList)
        return;
    OSTLOG_INFO(8, L"Parsed DL: %s", pwszList);
    std::wstring_view list = pwszList;
    size_t pos = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(L',', pos);
        std::wstring_view item =
            list.substr(pos, comma == std::wstring_view::npos ? std::wstring_view::npos : comma - pos);
        pos = comma == std::wstring_view::npos ? list.size() + 1 : comma + 1;
        std::wstring wsName, wsAddress;
        SplitAddress(item, wsName, wsAddress);
        if (wsAddress.empty())
            continue;
        std::string sOneOff = OneOff(wsName, wsAddress);
        if (sOneOff.empty()) {
            OSTLOG_ERROR(L"Failed to create OneOff entry for %ls", wsAddress.c_str());
            continue;
        }
        members.push_back(sOneOff);
        oneOffs.push_back(std::move(sOneOff));
    }
}

void L2MContactConverter::AddPersContactGroupMembers(std::vector<std::string>& members,
                                                     std::vector<std::string>& oneOffs) {
    for (const Mail::ContactGroupMembers::Member& member : m_pContact->GroupMembers()) {
        std::string sEid, sOneOff;
        if (member.type == L'C' || member.type == L'G') {
            bool bGal = member.type == L'G';
            if (!ResolveMember(bGal ? m_pGalMapper : m_pItemMapper, member.value, bGal, sEid, sOneOff)) {
                OSTLOG_WARN(L"Group member '%lc:%ls' is not in the store -- not listed", member.type,
                            member.value.c_str());
                continue;
            }
            members.push_back(WrapEntryId(bGal ? kWrappedGalUser : kWrappedContact, sEid));
            oneOffs.push_back(std::move(sOneOff));
        } else {
            std::wstring wsName, wsAddress;
            SplitAddress(member.value, wsName, wsAddress);
            // The whole text is kept as the name, so that it comes back as it was sent.
            sOneOff = OneOff(member.value, wsAddress);
            members.push_back(sOneOff);
            oneOffs.push_back(std::move(sOneOff));
        }
    }
}

void L2MContactConverter::AddGalContactDLMembers(std::vector<std::string>& members, std::vector<std::string>& oneOffs) {
    std::set<std::wstring> seen;
    auto [first, last] = m_pContact->Attributes().equal_range(Contact::A_member);
    for (auto it = first; it != last; ++it) {
        if (!seen.insert(Platform::FoldCase(it->second)).second) {
            OSTLOG_INFO(8, L"Address already present - skipping");
            continue;
        }
        std::string sEid, sOneOff;
        if (ResolveMember(m_pGalMapper, it->second, true, sEid, sOneOff)) {
            members.push_back(WrapEntryId(kWrappedGalUser, sEid));
            oneOffs.push_back(std::move(sOneOff));
            continue;
        }
        std::wstring wsName, wsAddress;
        SplitAddress(it->second, wsName, wsAddress);
        sOneOff = OneOff(wsName, wsAddress);
        members.push_back(sOneOff);
        oneOffs.push_back(std::move(sOneOff));
    }
}

void L2MContactConverter::AddPersContactGroupMembersPersist_m_nodes() {
    std::vector<std::wstring> nodes;
    for (const Mail::ContactGroupMembers::Member& member : m_pContact->GroupMembers())
        nodes.push_back(std::wstring(1, member.type) + member.value);
    m_bag.AddMVString(Named(NamedProps::CONTACT_GROUP_MEMBERS, PT_MV_UNICODE), nodes);
}

void L2MContactConverter::DeleteStaleProps(IMessage* pMsg) {
    std::vector<ULONG> owned;
    for (const ContactAttrRow& row : ContactAttrTable())
        owned.push_back(ContactAttrTag(row, m_pProps));
    for (size_t i = 0; i < kEmailSlotCount; ++i) {
        const EmailSlot& slot = EmailSlots()[i];
        owned.push_back(Named(slot.address, PT_UNICODE));
        owned.push_back(Named(slot.addressType, PT_UNICODE));
        owned.push_back(Named(slot.displayName, PT_UNICODE));
        owned.push_back(Named(slot.originalEntryId, PT_BINARY));
    }
    for (size_t k = 0; k < kAddressKindCount; ++k)
        owned.push_back(Named(AddressKinds()[k].composed, PT_UNICODE));
    for (ULONG ulTag : {PR_DISPLAY_NAME_W, PR_BODY_W, PR_HTML, PR_INTERNET_CPID_TAG, PR_BIRTHDAY,
                        PR_WEDDING_ANNIVERSARY, PR_USER_X509_CERTIFICATE})
        owned.push_back(ulTag);
    owned.push_back(Named(NamedProps::ADDR_80DE, PT_SYSTIME));
    owned.push_back(Named(NamedProps::ADDR_80DF, PT_SYSTIME));
    owned.push_back(Named(NamedProps::ADDR_8053, PT_UNICODE));
    owned.push_back(Named(NamedProps::ADDR_8054, PT_MV_BINARY));
    owned.push_back(Named(NamedProps::ADDR_8055, PT_MV_BINARY));
    owned.push_back(Named(NamedProps::ADDR_804C, PT_LONG));
    owned.push_back(Named(NamedProps::CONTACT_GROUP_MEMBERS, PT_MV_UNICODE));
    owned.push_back(Named(kServerOnlyNames, PT_MV_UNICODE));
    owned.push_back(Named(kServerOnlyValues, PT_MV_UNICODE));
    if (m_pStore)
        owned.push_back(Named(NamedProps::KEYWORDS, PT_MV_UNICODE));

    std::vector<ULONG> stale;
    for (ULONG ulTag : owned) {
        if (!PROP_ID(ulTag) || m_bag.Has(ulTag))
            continue;
        bool bKept = false;
        for (ULONG ulKept : m_keptTags)
            bKept = bKept || PROP_ID(ulKept) == PROP_ID(ulTag);
        bool bDuplicate = false;
        for (ULONG ulSeen : stale)
            bDuplicate = bDuplicate || PROP_ID(ulSeen) == PROP_ID(ulTag);
        if (!bKept && !bDuplicate)
            stale.push_back(ulTag);
    }
    if (stale.empty())
        return;
    LPSPropTagArray pTags = nullptr;
    if (FAILED(Platform::Mapi::AllocTagArray(stale, &pTags)))
        return;
    LPSPropProblemArray pProblems = nullptr;
    HRESULT hr = pMsg->DeleteProps(pTags, &pProblems);
    if (FAILED(hr))
        OSTLOG_ERROR(L"DeleteProps of the properties the contact no longer has failed: %08x", hr);
    MAPIFreeBuffer(pProblems);
    MAPIFreeBuffer(pTags);
}

HRESULT L2MContactConverter::WritePhoto(IMessage* pMsg) {
    // One photo attachment: an older one is replaced.
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMsg->GetAttachmentTable(0, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    std::vector<ULONG> cols = {PR_ATTACH_NUM, PR_ATTACHMENT_CONTACTPHOTO};
    LPSPropTagArray pCols = nullptr;
    if (FAILED(hr = Platform::Mapi::AllocTagArray(cols, &pCols)))
        return hr;
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &pRows);
    MAPIFreeBuffer(pCols);
    if (FAILED(hr))
        return hr;
    for (ULONG i = 0; i < pRows->cRows; ++i) {
        const SRow& row = pRows->aRow[i];
        if (row.cValues == 2 && row.lpProps[1].ulPropTag == PR_ATTACHMENT_CONTACTPHOTO && row.lpProps[1].Value.b)
            pMsg->DeleteAttach(static_cast<ULONG>(row.lpProps[0].Value.l), 0, nullptr, 0);
    }
    FreeProws(pRows);

    ULONG ulNum = 0;
    Platform::ComPtr<IAttach> pAttach;
    if (FAILED(hr = pMsg->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf())))
        return hr;
    // The client shows JPEG pictures; other images keep their own extension.
    bool bJpeg = m_sPhoto.size() >= 2 && static_cast<unsigned char>(m_sPhoto[0]) == 0xFF &&
                 static_cast<unsigned char>(m_sPhoto[1]) == 0xD8;
    std::wstring wsExt = L".jpg";
    if (!bJpeg) {
        size_t dot = m_wsPhotoName.rfind(L'.');
        wsExt = dot == std::wstring::npos ? L"" : m_wsPhotoName.substr(dot);
    }
    std::wstring wsName = L"ContactPicture" + wsExt;
    PropBag bag;
    bag.AddLong(PR_ATTACH_METHOD, ATTACH_BY_VALUE);
    bag.AddBool(PR_ATTACHMENT_CONTACTPHOTO, true);
    bag.AddString(PR_ATTACH_EXTENSION_W, wsExt);
    bag.AddString(PR_ATTACH_FILENAME_W, wsName);
    bag.AddString(PR_DISPLAY_NAME_W, wsName);
    bag.AddBinary(PR_ATTACH_DATA_BIN, m_sPhoto);
    if (FAILED(hr = pAttach->SetProps(bag.Count(), bag.Values().data(), nullptr)))
        return hr;
    return pAttach->SaveChanges(KEEP_OPEN_READWRITE);
}

}  // namespace Ostrel::Mapi
