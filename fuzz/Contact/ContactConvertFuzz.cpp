// Arbitrary bytes as a contact listing, read by the event-driven reader and written onto store
// contacts, read back and written out as vCards: a hostile reply must give an error or contacts,
// never a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "../Convert/FuzzStore.h"
#include "Ostrel/Convert/Contact/L2MContactConverter.h"
#include "Ostrel/Convert/Contact/M2LContactConverter.h"
#include "Ostrel/Convert/Contact/M2VCardConverter.h"
#include "Ostrel/Rpc/Requests/ContactReader.h"
#include "Ostrel/Store/NamedProps.h"
#include "Util/Log/Log.h"

namespace {

void Convert(const Ostrel::Mail::Contact& contact, bool bGal) {
    ConvertFuzz::FuzzStore& fs = ConvertFuzz::FuzzStore::Get();
    Platform::ComPtr<IMessage> msg;
    if (FAILED(fs.inbox->CreateMessage(nullptr, 0, msg.AddressOf())))
        return;
    Ostrel::Mapi::L2MContactConverter toStore(&contact, nullptr);
    toStore.SetPhoto(std::string("\xFF\xD8photo", 7), L"p.jpg");
    if (!toStore.Convert(msg.Get(), bGal, true))
        return;
    Ostrel::Mapi::M2LContactConverter(msg.Get(), fs.store.Get()).Convert();
    std::wstring wsName;
    std::string sVCard;
    Ostrel::Mapi::M2VCardConverter(msg.Get()).Convert(wsName, sVCard);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool bReady = [] {
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        return Ostrel::Mapi::NamedPropsManager::SetNamedProps(ConvertFuzz::FuzzStore::Get().store.Get()) != nullptr;
    }();
    if (!bReady)
        return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bool bGal = size && (data[0] & 1);
    Ostrel::Mail::ContactReader reader(true, 0, [bGal](std::unique_ptr<Ostrel::Mail::Contact> p) {
        Convert(*p, bGal);
        return S_OK;
    });
    reader.Read(bytes);
    return 0;
}
