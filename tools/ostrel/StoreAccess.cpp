#include "StoreAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"
#include "Platform/Mapi/Store/OsdStore.h"

namespace OstrelCli {

using Platform::ComPtr;

std::string HexBytes(const void* pv, size_t cb) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(2 * cb);
    const auto* p = static_cast<const unsigned char*>(pv);
    for (size_t i = 0; i < cb; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string HexBytes(const std::string& bytes) {
    return HexBytes(bytes.data(), bytes.size());
}

bool BytesFromHex(const std::string& text, std::string* pBytes) {
    const std::string s = text.rfind("0x", 0) == 0 ? text.substr(2) : text;
    if (s.size() % 2)
        return false;
    pBytes->clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        const char pair[3] = {s[i], s[i + 1], 0};
        char* end = nullptr;
        const long v = std::strtol(pair, &end, 16);
        if (*end || !std::isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        pBytes->push_back(static_cast<char>(v));
    }
    return true;
}

bool IsSameFile(const std::string& first, const std::string& second) {
    struct stat a {
    }, b{};
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

int StoreAccess::Fail(const std::string& what, HRESULT hr) {
    std::fprintf(m_context.err, "ostrel %s: %s (0x%08X)\n", m_pszCommand, what.c_str(), static_cast<unsigned>(hr));
    return kExitFailure;
}

int StoreAccess::Open(const std::string& file, bool bWritable) {
    // A file this user cannot read (or write, when asked to change it) says nothing about whether it
    // is a store: name the reason. O_NONBLOCK: a FIFO is refused as no store, not waited on.
    const int fd = ::open(file.c_str(), (bWritable ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) {
        std::fprintf(m_context.err, "ostrel %s: cannot %s %s: %s\n", m_pszCommand, bWritable ? "write to" : "read",
                     file.c_str(), std::strerror(errno));
        return kExitFailure;
    }
    if (fd >= 0) {
        struct stat st {};
        const bool bRegular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
        ::close(fd);
        if (!bRegular)
            return Fail("not a store, or a damaged one: " + file, MAPI_E_CORRUPT_STORE);
    }
    HRESULT hr = Platform::OpenOsdStore(file, false, L"", bWritable, m_store.AddressOf());
    if (hr == MAPI_E_NOT_FOUND)
        return Fail("no such store file: " + file, hr);
    if (hr == MAPI_E_CORRUPT_STORE)
        return Fail("not a store, or a damaged one: " + file, hr);
    if (FAILED(hr))
        return Fail("cannot open " + file, hr);
    if (bWritable) {
        // The file may be writable while its folder is not, which the store's journal needs.
        LPSPropValue pMask = nullptr;
        const bool bReadOnly = FAILED(HrGetOneProp(m_store.Get(), PR_STORE_SUPPORT_MASK, &pMask)) ||
                               (pMask->Value.l & STORE_READONLY) != 0;
        MAPIFreeBuffer(pMask);
        if (bReadOnly)
            return Fail("the store can only be read: " + file, MAPI_E_NO_ACCESS);
    }
    m_bWritable = bWritable;
    return kExitOk;
}

HRESULT StoreAccess::OpenEntry(const std::string& eid, ComPtr<IMAPIProp>& pProp, ULONG* pulType) {
    ComPtr<IUnknown> pUnk;
    HRESULT hr = m_store->OpenEntry(static_cast<ULONG>(eid.size()), (LPENTRYID)eid.data(), &IID_IMAPIProp,
                                    m_bWritable ? MAPI_MODIFY : 0, pulType, pUnk.AddressOf());
    if (SUCCEEDED(hr))
        pProp.Attach(static_cast<IMAPIProp*>(pUnk.Detach()));
    return hr;
}

HRESULT StoreAccess::FindFolder(const std::string& target, ComPtr<IMAPIFolder>& pFolder) {
    std::string eid;
    ComPtr<IMAPIProp> pProp;
    ULONG ulType = 0;
    if (BytesFromHex(target, &eid) && eid.size() == 24) {
        HRESULT hr = OpenEntry(eid, pProp, &ulType);
        if (FAILED(hr))
            return hr;
        if (ulType != MAPI_FOLDER)
            return MAPI_E_INVALID_ENTRYID;
        pFolder.Attach(static_cast<IMAPIFolder*>(pProp.Detach()));
        return S_OK;
    }
    HRESULT hr = OpenEntry(std::string(), pProp, &ulType);
    if (FAILED(hr))
        return hr;
    pFolder.Attach(static_cast<IMAPIFolder*>(pProp.Detach()));
    const std::wstring path = Platform::FromUtf8(target);
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find(L'/', start);
        const std::wstring part = path.substr(start, slash == std::wstring::npos ? std::wstring::npos : slash - start);
        start = slash == std::wstring::npos ? path.size() + 1 : slash + 1;
        if (part.empty())
            continue;
        hr = Child(pFolder, part);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT StoreAccess::FindMessage(const std::string& target, ComPtr<IMessage>& pMessage) {
    std::string eid;
    if (!BytesFromHex(target, &eid) || eid.empty())
        return MAPI_E_INVALID_ENTRYID;
    ComPtr<IMAPIProp> pProp;
    ULONG ulType = 0;
    HRESULT hr = OpenEntry(eid, pProp, &ulType);
    if (FAILED(hr))
        return hr;
    if (ulType != MAPI_MESSAGE)
        return MAPI_E_INVALID_ENTRYID;
    pMessage.Attach(static_cast<IMessage*>(pProp.Detach()));
    return S_OK;
}

HRESULT StoreAccess::Child(ComPtr<IMAPIFolder>& pFolder, const std::wstring& name) {
    ComPtr<IMAPITable> pTable;
    HRESULT hr = pFolder->GetHierarchyTable(0, pTable.AddressOf());
    if (FAILED(hr))
        return hr;
    SPropValue v{PR_DISPLAY_NAME_W, 0, {}};
    v.Value.lpszW = const_cast<wchar_t*>(name.c_str());
    SRestriction res{RES_CONTENT, {}};
    res.res.resContent = {FL_FULLSTRING | FL_IGNORECASE, PR_DISPLAY_NAME_W, &v};
    SizedSPropTagArray(1, cols) = {1, {PR_ENTRYID}};
    LPSRowSet pRows = nullptr;
    hr = HrQueryAllRows(pTable.Get(), (LPSPropTagArray)&cols, &res, nullptr, 0, &pRows);
    if (FAILED(hr))
        return hr;
    if (pRows->cRows == 0 || PROP_TYPE(pRows->aRow[0].lpProps[0].ulPropTag) != PT_BINARY) {
        FreeProws(pRows);
        return MAPI_E_NOT_FOUND;
    }
    const SBinary& bin = pRows->aRow[0].lpProps[0].Value.bin;
    const std::string eid(reinterpret_cast<const char*>(bin.lpb), bin.cb);
    FreeProws(pRows);
    ComPtr<IMAPIProp> pProp;
    ULONG ulType = 0;
    hr = OpenEntry(eid, pProp, &ulType);
    if (SUCCEEDED(hr))
        pFolder.Attach(static_cast<IMAPIFolder*>(pProp.Detach()));
    return hr;
}

}  // namespace OstrelCli
