// A download of messages from the server into a store folder: the ZIP archive read entry by
// entry, each message converted with the metadata entry before it. A message that cannot be
// converted leaves nothing half-written; a failure notice holding its MIME text takes its place,
// and the batch goes on.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "Ostrel/Convert/Mail/IncomingMeta.h"
#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"
#include "Platform/Com/ComPtr.h"

namespace Ostrel::Mapi {
class IdMapper;
}

namespace Ostrel::Convert {

struct IncomingBatchReport {
    ULONG cConverted = 0;    // converted completely
    ULONG cPartial = 0;      // converted from the part of the text the host's converter could read
    ULONG cFailed = 0;       // not converted (a failure notice stands in when it could be written)
    ULONG cUnavailable = 0;  // error entries: the server could not deliver the item
    ULONGLONG ullMimeBytes = 0;
    std::vector<LONG> failedIds;
    // Set when the archive itself is damaged: reading stopped there, what came before is kept.
    std::wstring wsArchiveError;
};

class IncomingBatch {
public:
    // pMapper, when given, learns each message's server id and entry id.
    IncomingBatch(IMsgStore* pStore, IMAPIFolder* pFolder, IMimeConvertSupport* pSupport,
                  std::map<LONG, std::wstring>& tagMap, Ostrel::Mapi::IdMapper* pMapper = nullptr);
    virtual ~IncomingBatch();
    IncomingBatch(const IncomingBatch&) = delete;
    IncomingBatch& operator=(const IncomingBatch&) = delete;

    // Every message of the archive into the folder. Never throws.
    IncomingBatchReport ConvertArchive(ISequentialStream* pArchive);

    // One message, held in memory or in a stream. S_OK, MAPI_W_PARTIAL_COMPLETION, or the
    // failure, counted in the report.
    HRESULT ConvertMessage(const IncomingMeta& meta, std::string_view mime, IncomingBatchReport& report);
    HRESULT ConvertMessage(const IncomingMeta& meta, IStream* pMime, IncomingBatchReport& report);

protected:
    // The new message a conversion writes into (a test puts one in that fails on demand).
    virtual HRESULT CreateTarget(IMessage** ppMessage);

private:
    HRESULT Convert(MimeToMapiConverter& converter, const IncomingMeta& meta, IncomingBatchReport& report);
    // Removes whatever a failed conversion saved of the message.
    void DiscardTarget(IMessage* pMessage);

    Platform::ComPtr<IMsgStore> m_pStore;
    Platform::ComPtr<IMAPIFolder> m_pFolder;
    IMimeConvertSupport* m_pSupport;
    std::map<LONG, std::wstring>& m_tagMap;
    Ostrel::Mapi::IdMapper* m_pMapper;
    // The store's named properties, looked up once for the whole batch.
    Ostrel::Mapi::NamedProps* m_pNamedProps;
};

// The class of a failure notice.
inline constexpr wchar_t kFailureNoticeClass[] = L"IPM.Note.Ostrel.ConversionFailure";

// Writes a failure notice for the server's message into the folder: the reason, the message's MIME
// text as an attachment ("<id>.eml"), stamped with its server id, conversation and received time
// so that later synchronisations treat it as the item. The caller's reference in *ppNotice.
HRESULT WriteFailureNotice(IMAPIFolder* pFolder, IMsgStore* pStore, const IncomingMeta& meta,
                           const std::wstring& wsReason, std::string_view mime, IMessage** ppNotice);

}  // namespace Ostrel::Convert
