// Shared helpers of the converter tests: a store per test, conversions both ways, and the property
// dump that the golden files hold.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/MapiInterfaces.h"
#include "Support/InboxStore.h"

namespace ConvertTest {

using Platform::ComPtr;

class StoreFixture : public TestSupport::InboxStore {
protected:
    // MIME text into a new message (saved); *phr receives MIMEToMAPI's result.
    ComPtr<IMessage> FromMime(const std::string& text, ULONG ulFlags = CCSF_SMTP | CCSF_INCLUDE_BCC,
                              HRESULT* phr = nullptr);
    // The message as MIME text; *phr receives MAPIToMIMEStm's result.
    std::string ToMime(IMessage* pMessage, ULONG ulFlags = CCSF_INCLUDE_BCC | CCSF_NO_MSGID, HRESULT* phr = nullptr,
                       IConverterSession* pSession = nullptr);
};

// The message's properties, recipients and attachments (embedded messages nested) in the form of
// `ostrel store props`, without the values that differ from store to store (entry ids, keys, times
// of saving, sizes). Long texts and binary values show their length, a hash and their start.
std::string Dump(IMessage* pMessage);

std::string ReadFile(const std::filesystem::path& path);
std::filesystem::path CorpusDir();

// Property helpers.
std::wstring GetString(IMAPIProp* p, ULONG ulTag);
LONG GetLong(IMAPIProp* p, ULONG ulTag, LONG lDefault = -1);
std::string GetBinary(IMAPIProp* p, ULONG ulTag);
HRESULT SetString(IMAPIProp* p, ULONG ulTag, const std::wstring& value);
HRESULT SetLong(IMAPIProp* p, ULONG ulTag, LONG value);
HRESULT SetBinary(IMAPIProp* p, ULONG ulTag, const std::string& value);
ComPtr<IAttach> OpenAttachment(IMessage* pMessage, ULONG ulNum);
ComPtr<IMessage> OpenEmbedded(IAttach* pAttach);
ULONG AttachmentCount(IMessage* pMessage);
ULONG RecipientCount(IMessage* pMessage);

}  // namespace ConvertTest
