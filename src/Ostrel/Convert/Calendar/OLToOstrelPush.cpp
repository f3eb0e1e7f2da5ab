#include "Ostrel/Convert/Calendar/OLToOstrelPush.h"

#include "Ostrel/Convert/Calendar/OLToOstrel.h"
#include "Ostrel/Convert/Calendar/OLToOstrelAttach.h"
#include "Ostrel/Rpc/Requests/ActionRequest.h"
#include "Ostrel/Rpc/Requests/CalendarRequests.h"
#include "Ostrel/Rpc/Soap/RPCExceptions.h"
#include "Ostrel/Rpc/Soap/RPCResponses.h"
#include "Ostrel/Rpc/Transport/OstrelConnection.h"
#include "Ostrel/Store/MailItem.h"
#include "Ostrel/Store/OutlookUid.h"
#include "Ostrel/Store/StoreWrap.h"
#include "Util/Log/Log.h"
#include "Util/Time/Clock.h"
#include "Util/Time/TimeUtil.h"

#include <atomic>
#include <memory>

namespace Ostrel::Mail {

using N = Mapi::NamedProps;

namespace {

bool IsTaskItem(IMessage* pItem) {
    LPSPropValue pClass = nullptr;
    const bool bTask = SUCCEEDED(HrGetOneProp(pItem, PR_MESSAGE_CLASS_W, &pClass)) && pClass &&
                       Mapi::MsgClassToItemType(pClass->Value.lpszW) == MIT_TASK;
    MAPIFreeBuffer(pClass);
    return bTask;
}

// A mark no earlier push of this item carried.
std::wstring NewPendingMark(const std::wstring& wsLast) {
    static std::atomic<unsigned> s_uCount{0};
    const ULONGLONG ullNow = Util::FileTimeToUInt64(Util::CurrentClock().GetSystemTimeAsFileTime());
    std::wstring ws = std::to_wstring(ullNow) + L"-" + std::to_wstring(++s_uCount);
    if (ws == wsLast)
        ws += L"+";
    return ws;
}

// A new global object id for an item that has none: written as the clean id and the id.
HRESULT GiveUid(IMessage* pItem, N* pProps) {
    LPSPropValue pEntryId = nullptr;
    HRESULT hr = HrGetOneProp(pItem, PR_ENTRYID, &pEntryId);
    if (FAILED(hr))
        return hr;
    ULONG cb = 0;
    BYTE* pb = nullptr;
    hr = Mapi::CreateOutlookUid(&cb, &pb, pEntryId->Value.bin, 0);
    MAPIFreeBuffer(pEntryId);
    if (FAILED(hr))
        return hr;
    SPropValue values[2]{};
    values[0].ulPropTag = NAMED_PROP(N::MEETING_0023, PT_BINARY, pProps);
    values[0].Value.bin = SBinary{cb, pb};
    values[1].ulPropTag = NAMED_PROP(N::MEETING_0003, PT_BINARY, pProps);
    values[1].Value.bin = SBinary{cb, pb};
    hr = pItem->SetProps(2, values, nullptr);
    MAPIFreeBuffer(pb);
    return hr;
}

}  // namespace

CalendarPusher::CalendarPusher(Rpc::OstrelConnection& oc, IMsgStore* pStore, IAddrBook* pAddrBook,
                               std::wstring wsOwnerName, std::wstring wsOwnerEmail)
    : m_oc(oc),
      m_pStore(pStore),
      m_pAddrBook(pAddrBook),
      m_wsOwnerName(std::move(wsOwnerName)),
      m_wsOwnerEmail(std::move(wsOwnerEmail)) {}

HRESULT CalendarPusher::Push(IMessage* pItem, LONG* plServerId) {
    LONG lId = 0;
    HRESULT hr = Prepare(pItem);
    if (SUCCEEDED(hr))
        hr = Send(pItem, &lId);
    if (SUCCEEDED(hr))
        hr = Complete(pItem, lId);
    if (SUCCEEDED(hr) && plServerId)
        *plServerId = lId;
    return hr;
}

HRESULT CalendarPusher::Prepare(IMessage* pItem) {
    Mapi::Appt appt(pItem, m_pStore);
    if (!appt.Props())
        return E_FAIL;
    HRESULT hr = S_OK;
    if (appt.Uid().empty() && FAILED(hr = GiveUid(pItem, appt.Props()))) {
        OSTLOG_ERROR(L"CalendarPusher::Prepare() - could not give the item a uid, hr: %x", static_cast<unsigned>(hr));
        return hr;
    }
    Mapi::OstrelMailItemBase item(pItem);
    if (FAILED(hr = item.ReplicationId(NewPendingMark(item.LastServerReplicationId()).c_str())))
        return hr;
    return Mapi::WrapSaveChanges(pItem, KEEP_OPEN_READWRITE, 0);
}

HRESULT CalendarPusher::Send(IMessage* pItem, LONG* plServerId) {
    struct Destroy {
        void operator()(Appointment* p) const { Appointment::destroy(p); }
    };
    std::unique_ptr<Appointment, Destroy> pAppointment(Appointment::createAppointment());
    if (!pAppointment)
        return E_OUTOFMEMORY;
    const bool bTask = IsTaskItem(pItem);
    HRESULT hr = S_OK;
    if (bTask) {
        Mapi::Task task(pItem, m_pStore);
        hr = OLToOstrelTask().ConvertTask(m_pAddrBook, m_pStore, task, *pAppointment, m_wsOwnerName.c_str(),
                                          m_wsOwnerEmail.c_str());
    } else {
        Mapi::Appt appt(pItem, m_pStore);
        hr = OLToOstrelAppt().ConvertAppt(m_pAddrBook, m_pStore, appt, *pAppointment, m_wsOwnerName.c_str(),
                                          m_wsOwnerEmail.c_str());
    }
    if (FAILED(hr))
        return hr;
    try {
        InvitationAttachments attachments(m_oc, m_pAddrBook);
        if (FAILED(hr = attachments.Upload(*pAppointment)))
            return hr;
        Rpc::SetAppointmentRequest request(*pAppointment, bTask ? MIT_TASK : MIT_APPOINTMENT, attachments.Map(),
                                           pAppointment->TagIds(), pAppointment->TagNames(),
                                           pAppointment->GetParentFolder());
        Rpc::Response* pResponse = nullptr;
        m_oc.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        std::unique_ptr<Rpc::Response> pOwned(pResponse);
        auto* pSet = dynamic_cast<Rpc::SetAppointmentResponse*>(pResponse);
        if (!pSet || pSet->ApptDefaultId() <= 0) {
            OSTLOG_ERROR(L"CalendarPusher::Send() - the server named no item id");
            return E_FAIL;
        }
        *plServerId = pSet->ApptDefaultId();
        return S_OK;
    } catch (const Rpc::RpcException& e) {
        OSTLOG_ERROR(L"CalendarPusher::Send() - %s: %s", e.ExcepType(), e.ExcepText() ? e.ExcepText() : L"");
        return E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CalendarPusher::Complete(IMessage* pItem, LONG lServerId) {
    Mapi::OstrelMailItemBase item(pItem);
    HRESULT hr = item.StampOstrelId(lServerId);
    if (SUCCEEDED(hr))
        hr = item.LastServerReplicationId(item.ReplicationId().c_str());
    if (SUCCEEDED(hr))
        hr = Mapi::WrapSaveChanges(pItem, KEEP_OPEN_READWRITE, 0);
    return hr;
}

HRESULT CalendarPusher::Delete(LONG lServerId, bool bTask) {
    try {
        Rpc::ActionRequest request(bTask ? MIT_TASK : MIT_APPOINTMENT, lServerId, Rpc::ActionRequest::OP_DELETE);
        Rpc::Response* pResponse = nullptr;
        m_oc.SendRequestSynchronousOC(&request, pResponse, __func__, __LINE__);
        std::unique_ptr<Rpc::Response> pOwned(pResponse);
        return S_OK;
    } catch (const Rpc::RpcException& e) {
        OSTLOG_ERROR(L"CalendarPusher::Delete() - %s: %s", e.ExcepType(), e.ExcepText() ? e.ExcepText() : L"");
        return E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

bool CalendarPusher::IsPending(IMessage* pItem) {
    Mapi::OstrelMailItemBase item(pItem);
    const std::wstring wsMark = item.ReplicationId();
    return !wsMark.empty() && wsMark != item.LastServerReplicationId();
}

HRESULT CalendarPusher::PendingItems(IMAPIFolder* pFolder, std::vector<std::vector<BYTE>>& entryIds) {
    Platform::ComPtr<IMAPITable> pTable;
    HRESULT hr = pFolder->GetContentsTable(0, pTable.AddressOf());
    SizedSPropTagArray(1, columns) = {1, {PR_ENTRYID}};
    if (SUCCEEDED(hr))
        hr = pTable->SetColumns(reinterpret_cast<LPSPropTagArray>(&columns), 0);
    LPSRowSet pRows = nullptr;
    if (SUCCEEDED(hr))
        hr = pTable->QueryRows(0x7FFFFFFF, 0, &pRows);
    if (FAILED(hr))
        return hr;
    for (ULONG r = 0; pRows && r < pRows->cRows; ++r) {
        const SPropValue& v = pRows->aRow[r].lpProps[0];
        if (PROP_TYPE(v.ulPropTag) != PT_BINARY)
            continue;
        ULONG ulType = 0;
        Platform::ComPtr<IMessage> pItem;
        if (SUCCEEDED(pFolder->OpenEntry(v.Value.bin.cb, reinterpret_cast<LPENTRYID>(v.Value.bin.lpb), nullptr, 0,
                                         &ulType, reinterpret_cast<LPUNKNOWN*>(pItem.AddressOf()))) &&
            IsPending(pItem.Get()))
            entryIds.emplace_back(v.Value.bin.lpb, v.Value.bin.lpb + v.Value.bin.cb);
    }
    FreeProws(pRows);
    return S_OK;
}

}  // namespace Ostrel::Mail
