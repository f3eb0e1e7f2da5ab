// Arbitrary bytes as an item mapper file. The format's own reader must classify every record
// and dump the file without reading past it; a mapper opened on the bytes, over a store whose
// objects carry known stamps, must come up and map an id to another object than the one stamped
// with it only where the input held a well-formed solid record saying so (a file that is whole
// is trusted; only damage can be found).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "Ostrel/IdMap/FileMapper.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Ostrel/IdMap/IdMapperFile.h"
#include "Ostrel/IdMap/IdmVerified.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Util/Log/Log.h"

namespace {

using namespace Ostrel::Mapi;

struct Fixture {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> pStore;
    std::map<LONG, ULONG> stamped;  // id -> node id of the object stamped with it

    Fixture() {
        dir = std::filesystem::temp_directory_path() / ("idmap_fuzz." + std::to_string(getpid()));
        std::filesystem::create_directories(dir / "run");
        std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        Platform::OpenOsdStore(dir / "fuzz.osd", true, L"Fuzz", true, pStore.AddressOf());
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        pStore->GetReceiveFolder((LPTSTR)L"", MAPI_UNICODE, &cb, &pEid, nullptr);
        Platform::ComPtr<IMAPIFolder> pInbox;
        ULONG ulType = 0;
        pStore->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_MODIFY, &ulType,
                          reinterpret_cast<IUnknown**>(pInbox.AddressOf()));
        MAPIFreeBuffer(pEid);
        const ULONG ulTag = GetIdMapperTags(pStore.Get()).ulOstIdTag;
        for (LONG id = 1; id <= 4; ++id) {
            Platform::ComPtr<IMessage> pMsg;
            pInbox->CreateMessage(nullptr, 0, pMsg.AddressOf());
            SPropValue value{};
            value.ulPropTag = ulTag;
            value.Value.l = id;
            HrSetOneProp(pMsg.Get(), &value);
            pMsg->SaveChanges(KEEP_OPEN_READWRITE);
            LPSPropValue pProp = nullptr;
            HrGetOneProp(pMsg.Get(), PR_ENTRYID, &pProp);
            ULONG ulPstId = 0;
            std::memcpy(&ulPstId, pProp->Value.bin.lpb + 20, 4);
            MAPIFreeBuffer(pProp);
            stamped[id] = ulPstId;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture fixture;
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    DumpIdMapperFile(copy.get(), size);

    {
        std::ofstream out(fixture.dir / "fuzz.idmv", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(copy.get()), std::streamsize(size));
    }
    std::filesystem::remove(fixture.dir / "fuzz.idm");
    // Both as the first process (which verifies every tentative record) and as a later one.
    const bool bFirst = size % 2 == 0;
    SetIdmVerified(bFirst ? 0 : 1);
    IdMapper mapper(nullptr, fixture.pStore.Get(), IdMapperTypeItem);
    if (FAILED(mapper.LoadCache()))
        abort();
    // A later process trusts the tentative records of live ones; only the first checks them all.
    if (!bFirst)
        return 0;
    std::set<std::pair<ULONG, ULONG>> wellFormed;
    const IdmLayoutCheck layout = CheckIdmLayout(copy.get(), size);
    if (layout.layout != IdmLayout::Damaged && layout.header.ulFlags == kIdmFlagRecordChecks)
        for (ULONG slot = 0; slot < layout.ulSlotsInFile; ++slot) {
            const IdmRecord r = ReadIdmRecord(copy.get(), slot);
            if (r.bTentative == 0 && ClassifyIdmRecord(r, true) == IdmRecordState::Valid)
                wellFormed.emplace(r.ulOstId, r.ulPstId);
        }
    auto* pImpl = dynamic_cast<FileMapper*>(mapper.GetImpl());
    for (const auto& [lOstId, ulPstId] : fixture.stamped) {
        const ULONG ulFound = pImpl->LookupPstId(lOstId);
        if (ulFound != 0 && ulFound != ulPstId && !wellFormed.count({ULONG(lOstId), ulFound}))
            abort();  // damage that mapped an id to an object not stamped with it
    }
    return 0;
}
