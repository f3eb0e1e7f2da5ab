#include "Ostrel/Store/Attachments.h"

#include <mutex>
#include <string>
#include <string_view>

#include "Ostrel/Store/StoreText.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"

namespace Ostrel::Mapi {

namespace {

// PR_ATTACHMENT_FLAGS: the attachment holds an exception of a recurring item.
constexpr ULONG kAfException = 0x00000002;

struct RowsHolder {
    LPSRowSet p = nullptr;
    ~RowsHolder() { FreeProws(p); }
};

HRESULT AttachmentRows(IMessage* pMessage, ULONG ulTag, RowsHolder& rows) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pMessage->GetAttachmentTable(0, pTable.AddressOf());
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"GetAttachmentTable() failed, hr: %x", hr);
        return hr;
    }
    SizedSPropTagArray(2, cols) = {2, {PR_ATTACH_NUM, ulTag}};
    return QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p);
}

std::mutex g_converterMutex;
ContactToVCard g_converter;

// The embedded contact of attachment ulNum and its vCard; false when it is no contact or does not
// convert.
bool ContactVCard(IMessage* pMessage, ULONG ulNum, const ContactToVCard& converter, std::string& sVCard,
                  std::wstring& wsName, LONG& lPosition) {
    Platform::ComPtr<IAttach> pAttach;
    Platform::ComPtr<IMessage> pContact;
    if (FAILED(pMessage->OpenAttach(ulNum, nullptr, 0, pAttach.AddressOf())) ||
        FAILED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                                     reinterpret_cast<IUnknown**>(pContact.AddressOf()))))
        return false;
    SizedSPropTagArray(2, tags) = {2, {PR_MESSAGE_CLASS_W, PR_DISPLAY_NAME_W}};
    ULONG cValues = 0;
    LPSPropValue pValues = nullptr;
    bool bContact = false;
    if (SUCCEEDED(pContact->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pValues)) &&
        cValues == 2 && pValues[0].ulPropTag == PR_MESSAGE_CLASS_W) {
        const std::wstring_view wsClass(pValues[0].Value.lpszW);
        bContact = wsClass.size() >= 11 && EqualsNoCase(wsClass.substr(0, 11), L"IPM.Contact") &&
                   (wsClass.size() == 11 || wsClass[11] == L'.');
        wsName =
            pValues[1].ulPropTag == PR_DISPLAY_NAME_W && *pValues[1].Value.lpszW ? pValues[1].Value.lpszW : L"contact";
    }
    MAPIFreeBuffer(pValues);
    LPSPropValue pPosition = nullptr;
    lPosition = SUCCEEDED(HrGetOneProp(pAttach.Get(), PR_RENDERING_POSITION, &pPosition)) ? pPosition->Value.l : -1;
    MAPIFreeBuffer(pPosition);
    if (!bContact)
        return false;
    HRESULT hr = converter(pContact.Get(), sVCard);
    if (FAILED(hr))
        OSTLOG_ERROR(L"Failed to convert vCard : 0x%x", hr);
    return SUCCEEDED(hr);
}

HRESULT AddVCard(IMessage* pMessage, const std::string& sVCard, const std::wstring& wsName, LONG lPosition,
                 const wchar_t* pwszContentType) {
    Platform::ComPtr<IAttach> pAttach;
    ULONG ulNum = 0;
    HRESULT hr = pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (FAILED(hr))
        return hr;
    const std::wstring wsFile = wsName + L".vcf";
    SPropValue values[7]{};
    values[0] = {PR_ATTACH_METHOD, 0, {}};
    values[0].Value.l = ATTACH_BY_VALUE;
    values[1] = {PR_ATTACH_DATA_BIN, 0, {}};
    values[1].Value.bin = {static_cast<ULONG>(sVCard.size()),
                           reinterpret_cast<LPBYTE>(const_cast<char*>(sVCard.data()))};
    values[2] = {PR_ATTACH_LONG_FILENAME_W, 0, {}};
    values[2].Value.lpszW = const_cast<wchar_t*>(wsFile.c_str());
    values[3] = {PR_ATTACH_FILENAME_W, 0, {}};
    values[3].Value.lpszW = const_cast<wchar_t*>(wsFile.c_str());
    values[4] = {PR_DISPLAY_NAME_W, 0, {}};
    values[4].Value.lpszW = const_cast<wchar_t*>(wsFile.c_str());
    values[5] = {PR_ATTACH_MIME_TAG_W, 0, {}};
    values[5].Value.lpszW = const_cast<wchar_t*>(pwszContentType ? pwszContentType : L"text/x-vcard");
    values[6] = {PR_RENDERING_POSITION, 0, {}};
    values[6].Value.l = lPosition;
    hr = pAttach->SetProps(7, values, nullptr);
    if (SUCCEEDED(hr))
        hr = pAttach->SaveChanges(0);
    return hr;
}

}  // namespace

void SetContactAttachmentConverter(ContactToVCard converter) {
    std::lock_guard<std::mutex> lock(g_converterMutex);
    g_converter = std::move(converter);
}

ContactToVCard GetContactAttachmentConverter() {
    std::lock_guard<std::mutex> lock(g_converterMutex);
    return g_converter;
}

HRESULT ReplaceContactAttachments(IMessage* pMessage, const wchar_t* pwszContentType) {
    if (!pMessage) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    ContactToVCard converter;
    {
        std::lock_guard<std::mutex> lock(g_converterMutex);
        converter = g_converter;
    }
    if (!converter) {
        OSTLOG_ERROR(L"no contact converter installed");
        return MAPI_E_NO_SUPPORT;
    }
    std::vector<ULONG> nums;
    HRESULT hr = FindEmbeddedMsgAttachments(pMessage, nums);
    ULONG cReplaced = 0;
    for (ULONG ulNum : nums) {
        if (FAILED(hr))
            break;
        std::string sVCard;
        std::wstring wsName;
        LONG lPosition = -1;
        if (!ContactVCard(pMessage, ulNum, converter, sVCard, wsName, lPosition))
            continue;
        // The vCard goes in first, so that a failure leaves the contact where it was.
        hr = AddVCard(pMessage, sVCard, wsName, lPosition, pwszContentType);
        if (SUCCEEDED(hr))
            hr = pMessage->DeleteAttach(ulNum, 0, nullptr, 0);
        if (SUCCEEDED(hr))
            ++cReplaced;
    }
    if (SUCCEEDED(hr) && cReplaced)
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"could not replace the contact attachments, hr: %x", hr);
    return hr;
}

HRESULT FindEmbeddedMsgAttachments(IMessage* pMessage, std::vector<ULONG>& nums) {
    nums.clear();
    if (!pMessage) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    RowsHolder rows;
    HRESULT hr = AttachmentRows(pMessage, PR_ATTACH_METHOD, rows);
    for (ULONG i = 0; SUCCEEDED(hr) && i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        if (row.cValues == 2 && row.lpProps[0].ulPropTag == PR_ATTACH_NUM &&
            row.lpProps[1].ulPropTag == PR_ATTACH_METHOD && row.lpProps[1].Value.ul == ATTACH_EMBEDDED_MSG)
            nums.push_back(row.lpProps[0].Value.ul);
    }
    return hr;
}

HRESULT RemoveExceptionAttachments(IMessage* pMessage) {
    if (!pMessage) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_POINTER;
    }
    RowsHolder rows;
    HRESULT hr = AttachmentRows(pMessage, PR_ATTACHMENT_FLAGS, rows);
    if (FAILED(hr))
        return hr;
    ULONG cRemoved = 0;
    for (ULONG i = 0; SUCCEEDED(hr) && i < rows.p->cRows; ++i) {
        const SRow& row = rows.p->aRow[i];
        if (row.cValues != 2 || row.lpProps[0].ulPropTag != PR_ATTACH_NUM ||
            row.lpProps[1].ulPropTag != PR_ATTACHMENT_FLAGS || !(row.lpProps[1].Value.ul & kAfException))
            continue;
        hr = pMessage->DeleteAttach(row.lpProps[0].Value.ul, 0, nullptr, 0);
        if (FAILED(hr))
            OSTLOG_ERROR(L"DeleteAttach() failed, hr: %x", hr);
        else
            ++cRemoved;
    }
    if (SUCCEEDED(hr) && cRemoved) {
        hr = pMessage->SaveChanges(KEEP_OPEN_READWRITE);
        if (FAILED(hr))
            OSTLOG_ERROR(L"SaveChanges() failed, hr: %x", hr);
    }
    OSTLOG_INFO(16, L"removed %u exception attachments", cRemoved);
    return hr;
}

HRESULT HrCreateNonDeliveryReport(IMAPIFolder* pFolder, IMessage* pOriginal, ADRLIST* pFailed, IMessage** ppReport) {
    if (!pFolder || !pOriginal || !ppReport) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_INVALIDARG;
    }
    *ppReport = nullptr;
    SizedSPropTagArray(3, tags) = {3, {PR_SUBJECT_W, PR_MESSAGE_CLASS_W, PR_CLIENT_SUBMIT_TIME}};
    ULONG cValues = 0;
    LPSPropValue pOld = nullptr;
    HRESULT hr = pOriginal->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), MAPI_UNICODE, &cValues, &pOld);
    if (FAILED(hr) || cValues != 3) {
        MAPIFreeBuffer(pOld);
        OSTLOG_ERROR(L"GetProps() failed, hr: %x", hr);
        return FAILED(hr) ? hr : MAPI_E_CALL_FAILED;
    }
    const std::wstring wsSubject = pOld[0].ulPropTag == PR_SUBJECT_W ? pOld[0].Value.lpszW : L"";
    const std::wstring wsClass = pOld[1].ulPropTag == PR_MESSAGE_CLASS_W ? pOld[1].Value.lpszW : L"IPM.Note";
    const std::wstring wsReportSubject = L"Undeliverable: " + wsSubject;
    const std::wstring wsReportClass = L"REPORT." + wsClass + L".NDR";
    const FILETIME ftNow = Util::CurrentClock().GetSystemTimeAsFileTime();

    Platform::ComPtr<IMessage> pReport;
    hr = pFolder->CreateMessage(nullptr, 0, pReport.AddressOf());
    std::vector<SPropValue> values;
    auto text = [&](ULONG ulTag, const std::wstring& ws) {
        SPropValue v{ulTag, 0, {}};
        v.Value.lpszW = const_cast<wchar_t*>(ws.c_str());
        values.push_back(v);
    };
    auto time = [&](ULONG ulTag, const FILETIME& ft) {
        SPropValue v{ulTag, 0, {}};
        v.Value.ft = ft;
        values.push_back(v);
    };
    text(PR_MESSAGE_CLASS_W, wsReportClass);
    text(PR_SUBJECT_W, wsReportSubject);
    text(PR_ORIGINAL_SUBJECT_W, wsSubject);
    text(PR_ORIGINAL_MESSAGE_CLASS_W, wsClass);
    if (pOld[2].ulPropTag == PR_CLIENT_SUBMIT_TIME)
        time(PR_ORIGINAL_SUBMIT_TIME, pOld[2].Value.ft);
    time(PR_REPORT_TIME, ftNow);
    time(PR_MESSAGE_DELIVERY_TIME, ftNow);
    if (SUCCEEDED(hr))
        hr = pReport->SetProps(static_cast<ULONG>(values.size()), values.data(), nullptr);
    MAPIFreeBuffer(pOld);
    if (SUCCEEDED(hr) && pFailed && pFailed->cEntries)
        hr = pReport->ModifyRecipients(MODRECIP_ADD, pFailed);
    // The original travels inside the report.
    Platform::ComPtr<IAttach> pAttach;
    Platform::ComPtr<IMessage> pEmbedded;
    ULONG ulNum = 0;
    if (SUCCEEDED(hr))
        hr = pReport->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
    if (SUCCEEDED(hr)) {
        SPropValue method{PR_ATTACH_METHOD, 0, {}};
        method.Value.l = ATTACH_EMBEDDED_MSG;
        hr = HrSetOneProp(pAttach.Get(), &method);
    }
    if (SUCCEEDED(hr))
        hr = pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                   reinterpret_cast<IUnknown**>(pEmbedded.AddressOf()));
    if (SUCCEEDED(hr))
        hr = pOriginal->CopyTo(0, nullptr, nullptr, 0, nullptr, &IID_IMessage, pEmbedded.Get(), 0, nullptr);
    if (SUCCEEDED(hr))
        hr = pEmbedded->SaveChanges(0);
    if (SUCCEEDED(hr))
        hr = pAttach->SaveChanges(0);
    if (SUCCEEDED(hr))
        hr = pReport->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr)) {
        OSTLOG_ERROR(L"could not build the non-delivery report, hr: %x", hr);
        return hr;
    }
    *ppReport = pReport.Detach();
    return S_OK;
}

HRESULT HrAddNDRBody(IMessage* pReport, const wchar_t* pwszText) {
    if (!pReport) {
        OSTLOG_ERROR(L"invalid inner pointer");
        return E_INVALIDARG;
    }
    std::wstring wsBody;
    if (pwszText) {
        wsBody = pwszText;
    } else {
        wsBody = L"Your message did not reach some or all of the intended recipients.\r\n";
        Platform::ComPtr<IMAPITable> pTable;
        RowsHolder rows;
        SizedSPropTagArray(1, cols) = {1, {PR_DISPLAY_NAME_W}};
        if (SUCCEEDED(pReport->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())) &&
            SUCCEEDED(QueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), &rows.p)))
            for (ULONG i = 0; i < rows.p->cRows; ++i)
                if (const wchar_t* pwsz = RowString(rows.p->aRow[i], 0, PR_DISPLAY_NAME_W))
                    wsBody += L"\r\n      " + std::wstring(pwsz);
    }
    SPropValue body{PR_BODY_W, 0, {}};
    body.Value.lpszW = wsBody.data();
    HRESULT hr = HrSetOneProp(pReport, &body);
    if (SUCCEEDED(hr))
        hr = pReport->SaveChanges(KEEP_OPEN_READWRITE);
    if (FAILED(hr))
        OSTLOG_ERROR(L"could not set the report's body, hr: %x", hr);
    return hr;
}

}  // namespace Ostrel::Mapi
