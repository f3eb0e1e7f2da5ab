// The files a server calendar item keeps with its series and with each modified instance, on the
// way into the store. The calendar reply lists them by part id (Inv::AttachmentParts); they are
// downloaded from the item's content, checked against the size the reply gave, before anything
// of the item is written, so that a file the server cannot deliver fails the item's conversion
// and leaves the store as it was. Writing then replaces the message's own attachments: what an
// earlier sync wrote goes, and a re-sync does not add a second copy. The modified instances a
// series keeps as attachments are the item's structure and are left alone.
//
// An attached message (message/rfc822) becomes an embedded message again, as it was in the store
// before it went up as MIME text; one that does not convert, or is too large to convert in
// memory, is kept as a file.
//
// The downloads wait in one self-deleting temporary file, one after the other, so that an item
// with many files holds one descriptor and no file content in memory.
#pragma once

#include "Ostrel/Model/Calendar/Appointment.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"

#include <map>
#include <string>
#include <vector>

namespace Ostrel::Rpc {
class OstrelConnection;
}

namespace Ostrel::Mail {

class FetchedAttachments {
public:
    // Downloads the files of the series and of each modified instance of the item. False on the
    // first that cannot be had (logged), with the sentence for the item's error text in wsError.
    // A file listed without a size is not fetched; it is named in wsWarning. RpcException does
    // not escape.
    bool Fetch(Rpc::OstrelConnection& oc, const Appointment& appointment, std::wstring& wsError,
               std::wstring& wsWarning);
    // Deletes the message's attachments other than the instances of a series and adds the files
    // fetched for inv. The message is not saved.
    HRESULT WriteTo(const Inv& inv, IMessage* pMessage, IAddrBook* pAddrBook) const;

private:
    struct File {
        const InvAttachment* pPart;
        ULONGLONG ullOffset;  // where its bytes start in the spool file
        ULONGLONG ullSize;
    };
    bool FetchOf(Rpc::OstrelConnection& oc, LONG lItemId, const Inv& inv, std::wstring& wsError,
                 std::wstring& wsWarning);
    HRESULT AddFile(IMessage* pMessage, const File& file) const;
    HRESULT AddMessage(IMessage* pMessage, const File& file, IAddrBook* pAddrBook) const;

    Platform::ComPtr<IStream> m_pSpool;
    ULONGLONG m_ullSpooled = 0;
    std::map<const Inv*, std::vector<File>> m_files;
};

}  // namespace Ostrel::Mail
