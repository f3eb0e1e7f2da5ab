#include "Platform/Mapi/Convert/Addresses.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/Session/AddrBook.h"

namespace Platform::Mapi::Convert {

namespace {

void PutU32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t GetU32(std::string_view bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
    return v;
}

}  // namespace

std::string AddressEntryId(IAddrBook* pAdrBook, const Address& address) {
    if (pAdrBook) {
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        HRESULT hr = pAdrBook->CreateOneOff(const_cast<wchar_t*>(address.wsName.c_str()),
                                            const_cast<wchar_t*>(address.wsType.c_str()),
                                            const_cast<wchar_t*>(address.wsAddress.c_str()), MAPI_UNICODE, &cb, &pEid);
        if (SUCCEEDED(hr) && pEid) {
            std::string eid(reinterpret_cast<const char*>(pEid), cb);
            MAPIFreeBuffer(pEid);
            return eid;
        }
    }
    return MakeOneOffEntryId(address.wsName, address.wsType, address.wsAddress);
}

std::string AddressSearchKey(const Address& address) {
    std::wstring key = address.wsType + L":" + address.wsAddress;
    for (wchar_t& c : key)
        c = static_cast<wchar_t>(std::towupper(c));
    return Platform::ToUtf8(key) + std::string(1, '\0');
}

bool AddressFromEntryId(std::string_view entryId, Address* pAddress) {
    return ParseOneOffEntryId(static_cast<ULONG>(entryId.size()), entryId.data(), &pAddress->wsName, &pAddress->wsType,
                              &pAddress->wsAddress);
}

std::string MakeFlatEntryList(const std::vector<std::string>& entryIds) {
    std::string entries;
    for (const std::string& eid : entryIds) {
        PutU32(entries, static_cast<uint32_t>(eid.size()));
        entries += eid;
        entries.append((4 - eid.size() % 4) % 4, '\0');
    }
    std::string out;
    PutU32(out, static_cast<uint32_t>(entryIds.size()));
    PutU32(out, static_cast<uint32_t>(entries.size()));
    return out + entries;
}

bool ParseFlatEntryList(std::string_view bytes, std::vector<std::string>* pEntryIds) {
    pEntryIds->clear();
    if (bytes.size() < 8)
        return false;
    const uint32_t count = GetU32(bytes, 0);
    const uint32_t total = GetU32(bytes, 4);
    if (total > bytes.size() - 8)
        return false;
    size_t at = 8;
    const size_t end = 8 + static_cast<size_t>(total);
    for (uint32_t i = 0; i < count; ++i) {
        if (end - at < 4)
            return false;
        const uint32_t cb = GetU32(bytes, at);
        at += 4;
        if (cb > end - at)
            return false;
        pEntryIds->emplace_back(bytes.substr(at, cb));
        at += cb;
        at = std::min(end, at + (4 - cb % 4) % 4);
    }
    return true;
}

}  // namespace Platform::Mapi::Convert
