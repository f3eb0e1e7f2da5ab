// A server's answer to GetAppointmentRequest or GetTaskRequest, read into the calendar model and
// written into a store item as the synchronisation does it, then read back from the store.
#include "Ostrel/Convert/Calendar/CalendarDump.h"
#include "Ostrel/Convert/Calendar/OstrelToOL.h"
#include "Ostrel/Rpc/Requests/CalendarReader.h"
#include "Platform/Mapi/Session/AddrBook.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Util/Text/Strings.h"

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

struct CalendarFuzzStore {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> store;
    Platform::ComPtr<IMAPIFolder> root;
    Platform::ComPtr<IAddrBook> addrBook;

    CalendarFuzzStore() {
        char pattern[] = "/dev/shm/calendar-fuzz-XXXXXX";
        char fallback[] = "/tmp/calendar-fuzz-XXXXXX";
        char* made = mkdtemp(pattern);  // created 0700
        if (!made)
            made = mkdtemp(fallback);
        if (!made || FAILED(Platform::OpenOsdStore(std::filesystem::path(made) / "fuzz.osd", true, L"Fuzz", true,
                                                   store.AddressOf())))
            std::abort();
        dir = made;
        ULONG ulType = 0;
        if (FAILED(store->OpenEntry(0, nullptr, nullptr, MAPI_MODIFY, &ulType,
                                    reinterpret_cast<IUnknown**>(root.AddressOf()))) ||
            FAILED(Platform::Mapi::CreateAddrBook(addrBook.AddressOf())))
            std::abort();
    }
    ~CalendarFuzzStore() {
        root.Reset();
        store.Reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb) {
    static CalendarFuzzStore s_store;
    std::wstring wsError;
    Ostrel::Mail::AppointmentPtr pAppt =
        Ostrel::Mail::ReadCalendarReplyXml(std::string_view(reinterpret_cast<const char*>(pData), cb), wsError);
    if (!pAppt)
        return 0;
    Platform::ComPtr<IMessage> pMessage;
    if (FAILED(s_store.root->CreateMessage(nullptr, 0, pMessage.AddressOf())))
        std::abort();
    wchar_t* pwszError = nullptr;
    wchar_t* pwszWarning = nullptr;
    int iResult = 0;
    if (pAppt->IsTask()) {
        Ostrel::Mail::OstrelToOLTask converter;
        iResult = converter.ConvertTask(s_store.store.Get(), *pAppt, pMessage.Get(), s_store.addrBook.Get(),
                                        L"user@ostrel.test", 1, &pwszError, &pwszWarning);
    } else {
        Ostrel::Mail::OstrelToOLAppt converter;
        iResult = converter.ConvertAppt(s_store.store.Get(), *pAppt, pMessage.Get(), s_store.addrBook.Get(),
                                        L"user@ostrel.test", {}, 1, &pwszError, &pwszWarning);
    }
    // A failed conversion must say why.
    if (!iResult && (!pwszError || !*pwszError))
        std::abort();
    Ostrel::Util::SafeDelete(pwszError);
    Ostrel::Util::SafeDelete(pwszWarning);
    if (iResult)
        Ostrel::Mail::DumpCalendarItem(pMessage.Get(), s_store.store.Get());
    return 0;
}
