// A store message with the connector's view of it: its conversation id, and the server's tags
// and state written onto it.
#pragma once

#include <string>
#include <vector>

#include "Ostrel/Model/ItemTypes.h"
#include "Ostrel/Store/NamedProps.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Mapi {

class Message {
public:
    Message(IMessage* pMessage, IMsgStore* pStore);
    // Opens the message read-write; one that cannot be opened leaves the wrapper empty.
    Message(const SBinary* pEntryId, IMsgStore* pStore);
    virtual ~Message();
    Message(const Message&) = default;
    Message& operator=(const Message&) = default;

    bool IsValid() const { return m_pMessage != nullptr; }
    IMessage* MapiMessage() const { return m_pMessage.Get(); }

    // 0 when not set.
    LONG ConvId();
    HRESULT ConvId(LONG lConvId);

    // Writes a server message's state: its categories (the tag names; the names of the tag ids
    // when no names are given), its conversation id and its read and flagged state from the
    // server's flag letters, then saves. Only a change the user can see (categories, read,
    // flagged) gives the message a new change key; nothing is saved when nothing differs.
    HRESULT Update(const std::vector<LONG>& tagIds, const std::vector<std::wstring>& tagNames, LONG lConvId,
                   const wchar_t* pwszFlags);

private:
    Platform::ComPtr<IMessage> m_pMessage;
    Platform::ComPtr<IMsgStore> m_pStore;
    NamedProps* m_pNamedProps = nullptr;
};

}  // namespace Ostrel::Mapi
