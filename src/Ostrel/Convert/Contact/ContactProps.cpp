#include "Ostrel/Convert/Contact/ContactProps.h"

#include <cstring>

namespace Ostrel::Mapi {

namespace {

using N = NamedProps;

ContactAttrRow Std(const wchar_t* pwszAttr, ULONG ulId, bool bToStoreOnly = false) {
    return {pwszAttr, PROP_TAG(PT_UNICODE, ulId), N::CONN_8000, bToStoreOnly};
}

ContactAttrRow Named(const wchar_t* pwszAttr, N::PropIdx idx) {
    return {pwszAttr, 0, idx, false};
}

}  // namespace

const std::vector<ContactAttrRow>& ContactAttrTable() {
    static const std::vector<ContactAttrRow> table = {
        Std(L"callbackPhone", 0x3A02),
        Std(L"carPhone", 0x3A1E),
        Std(L"company", 0x3A16),
        Std(L"companyPhone", 0x3A57),
        Std(L"department", 0x3A18, true),
        Std(L"office", 0x3A19, true),
        Std(L"firstName", 0x3A06),
        Std(L"fullName", 0x3001),
        Std(L"homeCity", 0x3A59),
        Std(L"homeCountry", 0x3A5A),
        Std(L"homeFax", 0x3A25),
        Std(L"homePhone", 0x3A09),
        Std(L"homePhone2", 0x3A2F),
        Std(L"homePostalCode", 0x3A5B),
        Std(L"homeState", 0x3A5C),
        Std(L"homeStreet", 0x3A5D),
        Std(L"jobTitle", 0x3A17),
        Std(L"lastName", 0x3A11),
        Std(L"middleName", 0x3A44),
        Std(L"nickname", 0x3A4F),
        Std(L"Radio", 0x3A1D),
        Std(L"mobilePhone", 0x3A1C),
        Std(L"namePrefix", 0x3A45),
        Std(L"nameSuffix", 0x3A05),
        Std(L"otherCity", 0x3A5F),
        Std(L"otherCountry", 0x3A60),
        Std(L"otherFax", 0x3A23),
        Std(L"otherPhone", 0x3A1F),
        Std(L"otherPostalCode", 0x3A61),
        Std(L"otherState", 0x3A62),
        Std(L"otherStreet", 0x3A63),
        Std(L"pager", 0x3A21),
        Std(L"workFax", 0x3A24),
        Std(L"workPhone", 0x3A08),
        Std(L"workPhone2", 0x3A1B),
        Std(L"workURL", 0x3A51),
        Std(L"homeURL", 0x3A50),
        Std(L"assistantPhone", 0x3A2E),
        Named(L"fileAs", N::ADDR_8005),
        Named(L"workURL", N::ADDR_802B),
        Named(L"workCity", N::ADDR_8046),
        Named(L"workCountry", N::ADDR_8049),
        Named(L"workPostalCode", N::ADDR_8048),
        Named(L"workState", N::ADDR_8047),
        Named(L"workStreet", N::ADDR_8045),
        Named(L"imAddress1", N::ADDR_8062),
        Named(L"outlookUserField1", N::ADDR_804F),
        Named(L"outlookUserField2", N::ADDR_8050),
        Named(L"outlookUserField3", N::ADDR_8051),
        Named(L"outlookUserField4", N::ADDR_8052),
    };
    return table;
}

ULONG ContactAttrTag(const ContactAttrRow& row, const NamedProps* pProps) {
    if (row.ulTag)
        return row.ulTag;
    ULONG ulTag = pProps ? pProps->GetPropTag(row.idx, PT_UNICODE) : PR_NULL;
    return PROP_ID(ulTag) ? ulTag : PR_NULL;
}

const EmailSlot* EmailSlots() {
    static const EmailSlot slots[kEmailSlotCount] = {
        {L"email", N::ADDR_8083, N::ADDR_8082, N::ADDR_8085, N::ADDR_8084},
        {L"email2", N::ADDR_8093, N::ADDR_8092, N::ADDR_8095, N::ADDR_8094},
        {L"email3", N::ADDR_80A3, N::ADDR_80A2, N::ADDR_80A5, N::ADDR_80A4},
    };
    return slots;
}

const AddressKind* AddressKinds() {
    static const AddressKind kinds[kAddressKindCount] = {
        {1, L"homeStreet", L"homeCity", L"homeState", L"homePostalCode", L"homeCountry", N::ADDR_801A},
        {2, L"workStreet", L"workCity", L"workState", L"workPostalCode", L"workCountry", N::ADDR_801B},
        {3, L"otherStreet", L"otherCity", L"otherState", L"otherPostalCode", L"otherCountry", N::ADDR_801C},
    };
    return kinds;
}

std::wstring ComposeAddress(std::wstring_view wsStreet, std::wstring_view wsCity, std::wstring_view wsState,
                            std::wstring_view wsPostalCode, std::wstring_view wsCountry) {
    std::wstring text;
    if (!wsStreet.empty()) {
        text += wsStreet;
        text += L"\r\n";
    }
    text += wsCity;
    if (!wsCity.empty() && !wsState.empty())
        text += L", ";
    if (!wsState.empty()) {
        text += wsState;
        text += L' ';
    }
    text += wsPostalCode;
    if (!wsCountry.empty()) {
        text += L"\r\n";
        text += wsCountry;
    }
    return text;
}

std::string WrapEntryId(BYTE bType, std::string_view sEntryId) {
    std::string wrapped(4, '\0');
    wrapped.append(reinterpret_cast<const char*>(kWrappedEidProvider), sizeof kWrappedEidProvider);
    wrapped += static_cast<char>(bType);
    wrapped.append(sEntryId);
    return wrapped;
}

bool UnwrapEntryId(std::string_view sWrapped, BYTE& bType, std::string& sEntryId) {
    if (sWrapped.size() < 21 || std::memcmp(sWrapped.data() + 4, kWrappedEidProvider, 16) != 0)
        return false;
    bType = static_cast<BYTE>(sWrapped[20]);
    sEntryId.assign(sWrapped.substr(21));
    return true;
}

}  // namespace Ostrel::Mapi
