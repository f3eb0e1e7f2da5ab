#include "Ostrel/Convert/Calendar/OLToOstrelAttach.h"

#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Transport/Upload.h"
#include "Platform/Base/Utf.h"
#include "Util/Log/Log.h"

namespace Ostrel::Mail {

namespace {

enum Column : ULONG { kNum, kMethod, kFlags, kLongName, kShortName, kDisplayName, kMimeTag, kColumns };

// PR_ATTACHMENT_FLAGS of the attachments that hold a series' modified instances.
constexpr ULONG kAfException = 0x2;

const wchar_t* Text(const SRow& row, Column column) {
    const SPropValue& v = row.lpProps[column];
    return PROP_TYPE(v.ulPropTag) == PT_UNICODE && v.Value.lpszW && *v.Value.lpszW ? v.Value.lpszW : nullptr;
}

// The attachment's name as the user sees it: the long file name, else the short one, else the
// display name.
std::string FileName(const SRow& row) {
    for (Column c : {kLongName, kShortName, kDisplayName})
        if (const wchar_t* pwsz = Text(row, c))
            return Platform::ToUtf8(pwsz);
    return "attachment";
}

// The type/subtype of a MIME type text, without parameters; octet-stream when there is none.
std::string MediaType(const wchar_t* pwszType) {
    std::string s = pwszType ? Platform::ToUtf8(pwszType) : std::string();
    s = s.substr(0, s.find(';'));
    const size_t first = s.find_first_not_of(" \t"), last = s.find_last_not_of(" \t");
    s = first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
    return s.empty() ? "application/octet-stream" : s;
}

}  // namespace

InvitationAttachments::InvitationAttachments(Rpc::OstrelConnection& oc, IAddrBook* pAddrBook)
    : m_oc(oc), m_pAddrBook(pAddrBook) {}

InvitationAttachments::~InvitationAttachments() = default;

HRESULT InvitationAttachments::Upload(Appointment& appointment) {
    HRESULT hr = appointment.GetDefaultInv() ? UploadOf(*appointment.GetDefaultInv()) : S_OK;
    for (int i = 0; SUCCEEDED(hr) && i < appointment.NumExceptions(); ++i)
        if (Inv* pInv = appointment.ExceptionAt(i))
            hr = UploadOf(*pInv);
    return hr;
}

HRESULT InvitationAttachments::UploadOf(Inv& inv) {
    IMessage* pMessage = inv.GetMapiMsg();
    if (!pMessage)
        return S_OK;
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetAttachmentTable(MAPI_UNICODE, pTable.AddressOf());
    SizedSPropTagArray(kColumns, columns) = {
        kColumns,
        {PR_ATTACH_NUM, PR_ATTACH_METHOD, PR_ATTACHMENT_FLAGS, PR_ATTACH_LONG_FILENAME_W, PR_ATTACH_FILENAME_W,
         PR_DISPLAY_NAME_W, PR_ATTACH_MIME_TAG_W}};
    if (SUCCEEDED(hr))
        hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    LPSRowSet pRows = nullptr;
    if (SUCCEEDED(hr))
        hr = pTable->QueryRows(0x7FFFFFFF, 0, &pRows);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not read the attachment table, hr: %x", static_cast<unsigned>(hr));
        return hr;
    }
    for (ULONG r = 0; SUCCEEDED(hr) && pRows && r < pRows->cRows; ++r) {
        const SRow& row = pRows->aRow[r];
        if (row.cValues != kColumns || row.lpProps[kNum].ulPropTag != PR_ATTACH_NUM)
            continue;
        if (row.lpProps[kFlags].ulPropTag == PR_ATTACHMENT_FLAGS && (row.lpProps[kFlags].Value.ul & kAfException))
            continue;
        hr = UploadOne(pMessage, row, inv);
    }
    FreeProws(pRows);
    return hr;
}

HRESULT InvitationAttachments::UploadOne(IMessage* pMessage, const SRow& row, Inv& inv) {
    const ULONG ulNum = row.lpProps[kNum].Value.ul;
    const ULONG ulMethod =
        row.lpProps[kMethod].ulPropTag == PR_ATTACH_METHOD ? row.lpProps[kMethod].Value.ul : ATTACH_BY_VALUE;
    if (ulMethod != ATTACH_BY_VALUE && ulMethod != ATTACH_EMBEDDED_MSG) {
        OSTLOG_WARN(L"attachment %u not sent: the server takes no attachments of method %u", ulNum, ulMethod);
        return S_OK;
    }
    Platform::ComPtr<IAttach> pAttach;
    HRESULT hr = pMessage->OpenAttach(ulNum, nullptr, 0, pAttach.AddressOf());
    Platform::ComPtr<IStream> pStream;
    ULONGLONG ullSize = 0;
    std::string sType;
    if (SUCCEEDED(hr) && ulMethod == ATTACH_EMBEDDED_MSG) {
        Platform::ComPtr<IMessage> pEmbedded;
        hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                   reinterpret_cast<LPUNKNOWN*>(pEmbedded.AddressOf()));
        unsigned int cbMime = 0;
        if (SUCCEEDED(hr))
            hr = ConvertMessageToMime(pEmbedded.Get(), m_pAddrBook, pStream.AddressOf(), cbMime, nullptr);
        ullSize = cbMime;
        sType = "message/rfc822";
    } else if (SUCCEEDED(hr)) {
        hr = pAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, STGM_READ, 0,
                                   reinterpret_cast<LPUNKNOWN*>(pStream.AddressOf()));
        STATSTG stat{};
        if (SUCCEEDED(hr))
            hr = pStream->Stat(&stat, STATFLAG_NONAME);
        ullSize = stat.cbSize.QuadPart;
        sType = MediaType(Text(row, kMimeTag));
    }
    if (FAILED(hr) || !pStream) {
        OSTLOG_ERROR(L"attachment %u cannot be read, hr: %x", ulNum, static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_FAIL;
    }
    // The request names the size in 32 bits.
    if (ullSize > 0xFFFFFFFFull) {
        OSTLOG_ERROR(L"attachment %u is too big to send: %llu bytes", ulNum, static_cast<unsigned long long>(ullSize));
        return E_FAIL;
    }
    const std::string sName = FileName(row);
    std::string sPreamble;
    // A type that is not a plain type/subtype goes as bytes.
    if (!Rpc::Rfc1876Helper::BuildFilePreamble("file", sName, sType, sPreamble)) {
        sType = "application/octet-stream";
        Rpc::Rfc1876Helper::BuildFilePreamble("file", sName, sType, sPreamble);
    }
    std::wstring wsUploadId;
    try {
        if (!Rpc::DoPutSynchronousOC(m_oc, pStream.Get(), ullSize, L"/service/upload?fmt=raw", wsUploadId,
                                     sPreamble.c_str(), __func__, __LINE__)) {
            OSTLOG_ERROR(L"attachment %u: upload failed", ulNum);
            return E_FAIL;
        }
    } catch (const Rpc::RpcException& e) {
        OSTLOG_ERROR(L"attachment %u: upload failed: %s: %s", ulNum, e.ExcepType(),
                     e.ExcepText() ? e.ExcepText() : L"");
        return E_FAIL;
    }
    auto pDetails = std::make_unique<Rpc::AttachmentDetails>();
    pDetails->SetUploadToken(wsUploadId.c_str());
    pDetails->SetFileName(sName.c_str());
    pDetails->SetContentType(sType.c_str());
    m_map[&inv].push_back(pDetails.get());
    m_details.push_back(std::move(pDetails));
    return S_OK;
}

}  // namespace Ostrel::Mail
