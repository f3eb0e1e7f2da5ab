// Recurrence blobs from the store: a malformed blob is refused with MAPI_E_CORRUPT_DATA without
// reading past its end; one that is accepted and written back reads again to the same bytes.
// The first input byte chooses the appointment or the task form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Ostrel/Store/Calendar/RecurrencePattern.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/MapiDefs.h"
#include "Util/Log/Log.h"

using Ostrel::Mapi::COutlookRecurrencePattern;

namespace {

// The written bytes; empty when the writer refuses a pattern that would not read back.
std::string Write(const COutlookRecurrencePattern& pattern) {
    auto pStream = Platform::MemStream::Create();
    const HRESULT hr = pattern.WriteRecurrenceStream(pStream.Get());
    if (hr == E_INVALIDARG)
        return {};
    if (hr != S_OK)
        std::abort();
    return pStream->CopyContent();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bQuiet = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return true;
    }();
    (void)bQuiet;
    if (size == 0)
        return 0;
    const bool bTask = data[0] & 1;
    auto pStream = Platform::MemStream::Create(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
    COutlookRecurrencePattern pattern;
    pattern.SetIsTask(bTask);
    const HRESULT hr = pattern.InitFromRecurrenceStream(pStream.Get());
    if (hr != S_OK) {
        if (hr != MAPI_E_CORRUPT_DATA || pattern.IsLoaded())
            std::abort();
        return 0;
    }
    // What was accepted writes back, unless the writer refuses it, to a blob that reads again and
    // writes the same bytes.
    const std::string sWritten = Write(pattern);
    if (sWritten.empty())
        return 0;
    auto pAgain = Platform::MemStream::Create(sWritten);
    COutlookRecurrencePattern again;
    again.SetIsTask(bTask);
    if (again.InitFromRecurrenceStream(pAgain.Get()) != S_OK || Write(again) != sWritten)
        std::abort();
    std::vector<ULONG> vecDates;
    pattern.ExpandOccurrences(pattern.m_ulStartDate, pattern.m_ulStartDate + 400 * 1440, vecDates);
    return 0;
}
