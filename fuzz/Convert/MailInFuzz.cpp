// A server message as a download carries it: the first line is its metadata element, the rest its
// MIME text. It must become exactly one store message, either the converted message stamped with
// its id or a failure notice, and never crash, hang or leave a half-written message behind. The
// header-driven path converts the same text a second time.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "FuzzStore.h"
#include "Ostrel/Convert/Mail/IncomingBatch.h"
#include "Ostrel/Store/NamedProps.h"

namespace {

void Check(bool bOk) {
    if (!bOk)
        std::abort();
}

ULONG Count(IMAPIFolder* pFolder) {
    Platform::ComPtr<IMAPITable> pTable;
    ULONG count = 0;
    Check(SUCCEEDED(pFolder->GetContentsTable(0, pTable.AddressOf())));
    Check(SUCCEEDED(pTable->GetRowCount(0, &count)));
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ConvertFuzz;
    FuzzStore& fs = FuzzStore::Get();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t eol = input.find('\n');
    const std::string_view metaText = input.substr(0, eol);
    const std::string_view mime = eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);

    Ostrel::Convert::IncomingMeta meta;
    std::wstring wsError;
    if (!Ostrel::Convert::ParseIncomingMeta(metaText, meta, wsError))
        meta.lId = 1;
    std::map<LONG, std::wstring> tagMap = {{3, L"Work"}};
    Ostrel::Convert::IncomingBatch batch(fs.store.Get(), fs.inbox.Get(), nullptr, tagMap);
    Ostrel::Convert::IncomingBatchReport report;
    const HRESULT hr = batch.ConvertMessage(meta, mime, report);
    Check(report.cConverted + report.cPartial + report.cFailed == 1);
    Check(Count(fs.inbox.Get()) == 1);
    Check(SUCCEEDED(hr) == (report.cFailed == 0));

    ComPtr<IMessage> pSecond;
    Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, pSecond.AddressOf())));
    MimeToMapiConverter converter(mime.data(), static_cast<int>(mime.size()), nullptr, tagMap, fs.store.Get(), 0);
    if (converter.ConvertViaMimePP(pSecond.Get(), meta.lId))
        Walk(pSecond.Get());
    else
        Check(converter.HasLocalFailure());
    pSecond.Reset();

    // Keep the store small.
    Check(SUCCEEDED(fs.inbox->EmptyFolder(0, nullptr, DELETE_HARD_DELETE)));
    return 0;
}
