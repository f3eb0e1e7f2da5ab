#include "Ostrel/Convert/Calendar/OstrelToOLAttach.h"

#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Ostrel/Convert/Mail/ConvertMimeToMessage.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Transport/Download.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/FileStream.h"
#include "Util/Log/Log.h"

#include <algorithm>
#include <memory>

namespace Ostrel::Mail {

namespace {

// PR_ATTACHMENT_FLAGS of the attachments that hold a series' modified instances.
constexpr ULONG kAfException = 0x2;
// Copies from the spool file go in pieces of this size.
constexpr ULONG kCopyPiece = 0x10000;
// Attached messages up to this size are converted back into embedded messages.
constexpr ULONGLONG kMaxEmbeddedMime = 32u << 20;

const wchar_t* NameOf(const InvAttachment& part) {
    return part.wsName.empty() ? L"attachment" : part.wsName.c_str();
}

// The extension of a file name with its dot, or empty.
std::wstring Extension(const std::wstring& wsName) {
    const size_t dot = wsName.rfind(L'.');
    return dot == std::wstring::npos || dot == 0 || dot + 1 == wsName.size() ? std::wstring() : wsName.substr(dot);
}

HRESULT SeekTo(IStream* pStream, ULONGLONG ullOffset) {
    LARGE_INTEGER li{};
    li.QuadPart = static_cast<LONGLONG>(ullOffset);
    return pStream->Seek(li, STREAM_SEEK_SET, nullptr);
}

}  // namespace

bool FetchedAttachments::Fetch(Rpc::OstrelConnection& oc, const Appointment& appointment, std::wstring& wsError,
                               std::wstring& wsWarning) {
    m_files.clear();
    m_ullSpooled = 0;
    const Inv* pDefault = appointment.GetDefaultInv();
    if (pDefault && !FetchOf(oc, appointment.GetId(), *pDefault, wsError, wsWarning))
        return false;
    for (int i = 0; i < appointment.NumExceptions(); ++i)
        if (const Inv* pInv = appointment.ExceptionAt(i);
            pInv && !FetchOf(oc, appointment.GetId(), *pInv, wsError, wsWarning))
            return false;
    return true;
}

bool FetchedAttachments::FetchOf(Rpc::OstrelConnection& oc, LONG lItemId, const Inv& inv, std::wstring& wsError,
                                 std::wstring& wsWarning) {
    std::vector<File>& files = m_files[&inv];
    for (const InvAttachment& part : inv.AttachmentParts()) {
        if (!part.bHasSize) {
            OSTLOG_WARN(L"attachment '%s' (part %s) of item %d not fetched: the server gave no size", NameOf(part),
                        part.wsPart.c_str(), lItemId);
            wsWarning += L"\nattachment '" + std::wstring(NameOf(part)) + L"' not fetched: the server gave no size\n";
            continue;
        }
        if (!m_pSpool) {
            if (HRESULT hr = Platform::CreateUniqueFileStream({}, "osn", true, m_pSpool.AddressOf()); FAILED(hr)) {
                OSTLOG_ERROR(L"no temporary file for the attachments of item %d: %08X", lItemId,
                             static_cast<unsigned>(hr));
                wsError += L"Could not store the attachments of this item.";
                return false;
            }
        }
        const std::wstring wsUrl = L"/service/content/get?id=" + std::to_wstring(lItemId) + L"&part=" +
                                   Rpc::EncodePathSegment(part.wsPart.c_str());
        Rpc::DownloadExpectation expect;
        expect.ullSize = part.ulSize;
        try {
            if (FAILED(SeekTo(m_pSpool.Get(), m_ullSpooled)))
                throw Rpc::FileDownloadFaultException("the temporary file cannot be written");
            const ULONGLONG ullSize =
                Rpc::DownloadToStream(oc, wsUrl.c_str(), m_pSpool.Get(), expect, __func__, __LINE__);
            files.push_back(File{&part, m_ullSpooled, ullSize});
            m_ullSpooled += ullSize;
        } catch (const Rpc::RpcException& e) {
            OSTLOG_ERROR(L"attachment '%s' (part %s) of item %d could not be downloaded: %s: %s", NameOf(part),
                         part.wsPart.c_str(), lItemId, e.ExcepType(), e.ExcepText() ? e.ExcepText() : L"");
            wsError += L"Could not download the attachment '" + std::wstring(NameOf(part)) + L"' of this item.";
            return false;
        }
    }
    return true;
}

HRESULT FetchedAttachments::WriteTo(const Inv& inv, IMessage* pMessage, IAddrBook* pAddrBook) const {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetAttachmentTable(0, pTable.AddressOf());
    SizedSPropTagArray(2, columns) = {2, {PR_ATTACH_NUM, PR_ATTACHMENT_FLAGS}};
    if (SUCCEEDED(hr))
        hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    LPSRowSet pRows = nullptr;
    if (SUCCEEDED(hr))
        hr = pTable->QueryRows(0x7FFFFFFF, 0, &pRows);
    std::vector<ULONG> stale;
    for (ULONG r = 0; SUCCEEDED(hr) && pRows && r < pRows->cRows; ++r) {
        const SRow& row = pRows->aRow[r];
        if (row.cValues != 2 || row.lpProps[0].ulPropTag != PR_ATTACH_NUM)
            continue;
        if (row.lpProps[1].ulPropTag == PR_ATTACHMENT_FLAGS && (row.lpProps[1].Value.ul & kAfException))
            continue;
        stale.push_back(row.lpProps[0].Value.ul);
    }
    FreeProws(pRows);
    for (ULONG ulNum : stale)
        if (SUCCEEDED(hr))
            hr = pMessage->DeleteAttach(ulNum, 0, nullptr, 0);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"the attachments an earlier sync wrote cannot be removed, hr: %x", static_cast<unsigned>(hr));
        return hr;
    }
    auto found = m_files.find(&inv);
    if (found == m_files.end())
        return S_OK;
    for (const File& file : found->second) {
        const bool bMessage = Platform::ToUtf8(file.pPart->wsContentType) == "message/rfc822" &&
                              file.ullSize <= kMaxEmbeddedMime && SUCCEEDED(AddMessage(pMessage, file, pAddrBook));
        if (!bMessage && FAILED(hr = AddFile(pMessage, file)))
            return hr;
    }
    return S_OK;
}

HRESULT FetchedAttachments::AddMessage(IMessage* pMessage, const File& file, IAddrBook* pAddrBook) const {
    const std::wstring wsName = NameOf(*file.pPart);
    std::string sMime(static_cast<size_t>(file.ullSize), '\0');
    ULONG cbRead = 0;
    HRESULT hr = SeekTo(m_pSpool.Get(), file.ullOffset);
    if (SUCCEEDED(hr))
        hr = m_pSpool->Read(sMime.data(), static_cast<ULONG>(sMime.size()), &cbRead);
    if (SUCCEEDED(hr) && cbRead != sMime.size())
        hr = E_FAIL;
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    if (SUCCEEDED(hr))
        hr = pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (FAILED(hr))
        return hr;
    SPropValue v[3]{};
    v[0].ulPropTag = PR_ATTACH_METHOD, v[0].Value.l = ATTACH_EMBEDDED_MSG;
    v[1].ulPropTag = PR_DISPLAY_NAME_W, v[1].Value.lpszW = const_cast<wchar_t*>(wsName.c_str());
    v[2].ulPropTag = PR_RENDERING_POSITION, v[2].Value.l = -1;
    hr = pAttach->SetProps(3, v, nullptr);
    Platform::ComPtr<IMessage> pEmbedded;
    if (SUCCEEDED(hr))
        hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                   reinterpret_cast<LPUNKNOWN*>(pEmbedded.AddressOf()));
    int bPartial = 0, bFailed = 0;
    std::wstring wsReport;
    if (SUCCEEDED(hr))
        hr = ConvertMimeToMessage(pEmbedded.Get(), pAddrBook, sMime.data(), static_cast<unsigned int>(sMime.size()),
                                  nullptr, bPartial, bFailed, wsReport);
    if (SUCCEEDED(hr) && !bFailed)
        hr = pEmbedded->SaveChanges(KEEP_OPEN_READWRITE);
    if (SUCCEEDED(hr) && !bFailed)
        hr = pAttach->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr) || bFailed) {
        OSTLOG_WARN(L"attached message '%s' kept as a file: it does not convert, hr: %x", wsName.c_str(),
                    static_cast<unsigned>(hr));
        pAttach.Reset();
        pMessage->DeleteAttach(ulNum, 0, nullptr, 0);
        return FAILED(hr) ? hr : E_FAIL;
    }
    return S_OK;
}

HRESULT FetchedAttachments::AddFile(IMessage* pMessage, const File& file) const {
    const InvAttachment& part = *file.pPart;
    const std::wstring wsName = NameOf(part);
    const std::wstring wsExtension = Extension(wsName);
    const std::wstring wsType = part.wsContentType.empty() ? L"application/octet-stream" : part.wsContentType;
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    HRESULT hr = pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    SPropValue v[6]{};
    v[0].ulPropTag = PR_ATTACH_METHOD, v[0].Value.l = ATTACH_BY_VALUE;
    v[1].ulPropTag = PR_ATTACH_LONG_FILENAME_W, v[1].Value.lpszW = const_cast<wchar_t*>(wsName.c_str());
    v[2].ulPropTag = PR_DISPLAY_NAME_W, v[2].Value.lpszW = const_cast<wchar_t*>(wsName.c_str());
    v[3].ulPropTag = PR_ATTACH_MIME_TAG_W, v[3].Value.lpszW = const_cast<wchar_t*>(wsType.c_str());
    v[4].ulPropTag = PR_RENDERING_POSITION, v[4].Value.l = -1;
    v[5].ulPropTag = PR_ATTACH_EXTENSION_W, v[5].Value.lpszW = const_cast<wchar_t*>(wsExtension.c_str());
    if (SUCCEEDED(hr))
        hr = pAttach->SetProps(wsExtension.empty() ? 5 : 6, v, nullptr);
    Platform::ComPtr<IStream> pData;
    if (SUCCEEDED(hr))
        hr = pAttach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY,
                                   reinterpret_cast<LPUNKNOWN*>(pData.AddressOf()));
    if (SUCCEEDED(hr))
        hr = SeekTo(m_pSpool.Get(), file.ullOffset);
    std::unique_ptr<char[]> buffer(SUCCEEDED(hr) ? new char[kCopyPiece] : nullptr);
    for (ULONGLONG ullLeft = file.ullSize; SUCCEEDED(hr) && ullLeft > 0;) {
        const ULONG cbWant = static_cast<ULONG>(std::min<ULONGLONG>(ullLeft, kCopyPiece));
        ULONG cbRead = 0, cbWritten = 0;
        hr = m_pSpool->Read(buffer.get(), cbWant, &cbRead);
        if (SUCCEEDED(hr) && cbRead != cbWant)
            hr = E_FAIL;
        if (SUCCEEDED(hr))
            hr = pData->Write(buffer.get(), cbRead, &cbWritten);
        if (SUCCEEDED(hr) && cbWritten != cbRead)
            hr = E_FAIL;
        ullLeft -= cbWant;
    }
    if (SUCCEEDED(hr))
        hr = pData->Commit(0);
    if (SUCCEEDED(hr))
        hr = pAttach->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"attachment '%s' cannot be written to the item, hr: %x", wsName.c_str(),
                     static_cast<unsigned>(hr));
    return hr;
}

bool OstrelToOL::FetchAttachments() {
    if (m_pAttachmentSource)
        return m_attachments.Fetch(*m_pAttachmentSource, *m_pAppointment, m_wsError, m_wsWarning);
    bool bListed = m_pAppointment->GetDefaultInv() && !m_pAppointment->GetDefaultInv()->AttachmentParts().empty();
    for (int i = 0; i < m_pAppointment->NumExceptions() && !bListed; ++i)
        bListed = m_pAppointment->ExceptionAt(i) && !m_pAppointment->ExceptionAt(i)->AttachmentParts().empty();
    if (bListed) {
        OSTLOG_WARN(L"the attachments of item %d are not fetched: no connection to the server",
                    m_pAppointment->GetId());
        AddWarning(L"\nthe attachments of this item were not fetched\n");
    }
    return true;
}

bool OstrelToOL::WriteAttachments(const Inv& inv, IMessage* pMessage) {
    const Comp* pComp = inv.CompAt(0);
    if (!m_pAttachmentSource || (pComp && !pComp->GetIsNoBlob() && (inv.GetMimeBuffer() || inv.GetMimeStream())))
        return true;
    if (FAILED(m_attachments.WriteTo(inv, pMessage, m_pAddrBook))) {
        AddError(L"Could not write the attachments of this item.");
        return false;
    }
    return true;
}

}  // namespace Ostrel::Mail
