#include "Support/InboxStore.h"

#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/Store/OsdStore.h"

namespace TestSupport {

void InboxStore::SetUp() {
    ASSERT_EQ(Platform::OpenOsdStore(m_home.Path() / "inbox.osd", true, L"Inbox", true, m_store.AddressOf()), S_OK);
    ULONG cb = 0;
    LPENTRYID pEid = nullptr;
    ASSERT_EQ(m_store->GetReceiveFolder(const_cast<wchar_t*>(L"IPM.Note"), MAPI_UNICODE, &cb, &pEid, nullptr), S_OK);
    Platform::ComPtr<IUnknown> pUnk;
    ULONG ulType = 0;
    const HRESULT hr = m_store->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf());
    MAPIFreeBuffer(pEid);
    ASSERT_EQ(hr, S_OK);
    m_inbox.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
}

Platform::ComPtr<IMessage> InboxStore::NewMessage() {
    Platform::ComPtr<IMessage> pMessage;
    EXPECT_EQ(m_inbox->CreateMessage(nullptr, 0, pMessage.AddressOf()), S_OK);
    return pMessage;
}

}  // namespace TestSupport
