// Shared pieces of the incoming-mail tests: a store with an inbox, archives built the way the
// server writes its downloads, a message that fails on demand, and the dump of what a conversion
// wrote on top of the host converter's result.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Ostrel/Convert/Mail/IncomingBatch.h"
#include "Platform/Com/ComPtr.h"
#include "Support/Files.h"
#include "Support/InboxStore.h"

namespace MailInTest {

using Platform::ComPtr;

// One archive entry pair as the server writes it: "<id>.meta" then "<id>.eml".
struct ArchiveItem {
    LONG lId = 0;
    std::string sMeta;
    std::string sMime;
    bool bDeflate = false;
    bool bError = false;  // "<id>.err" holding sMime as its text, instead of the pair
};
std::string BuildArchive(const std::vector<ArchiveItem>& items);
// The metadata element of a message.
std::string MetaXml(LONG lId, const std::string& sFlags, const std::string& sTagIds, const std::string& sTagNames,
                    const std::string& sReceived, const std::string& sConvId);

class StoreFixture : public TestSupport::InboxStore {
protected:
    // Every message of the inbox, in creation order.
    std::vector<ComPtr<IMessage>> InboxMessages();
    ULONG InboxCount();

    std::map<LONG, std::wstring> m_tagMap;
};

// A message that passes every call to the real one, except that the SaveChanges call numbered
// ulFailSave (from 1) fails with hrFail.
ComPtr<IMessage> FailingMessage(IMessage* pInner, ULONG ulFailSave, HRESULT hrFail);

// The properties of pMessage that differ from pBase ("+" added or changed, "-" removed), sorted,
// one per line, leaving out what changes from save to save.
std::string DiffDump(IMessage* pMessage, IMessage* pBase);

using TestSupport::ReadFile;
LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault = -1);
std::wstring GetString(IMAPIProp* p, ULONG ulTag);
bool HasProp(IMAPIProp* p, ULONG ulTag);

}  // namespace MailInTest
