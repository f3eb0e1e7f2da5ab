// Arbitrary bytes as a GAL mapper file. A mapper opened on them must come up (or refuse a file
// that is not its own), take a few puts and removes derived from the input, and leave a file that
// still walks. Where the input held each reference and object once, every reference the file
// then holds must be found with its object: the index reads the references from the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Ostrel/IdMap/GalMapperFile.h"
#include "Ostrel/IdMap/IdMapper.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Util/Log/Log.h"

namespace {

using namespace Ostrel::Mapi;

struct Fixture {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> pStore;

    Fixture() {
        dir = std::filesystem::temp_directory_path() / ("galmap_fuzz." + std::to_string(getpid()));
        std::filesystem::create_directories(dir / "run");
        std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all);
        setenv("XDG_RUNTIME_DIR", (dir / "run").c_str(), 1);
        Ostrel::Util::g_logger.SetLoggingEnabled(false);
        if (FAILED(Platform::OpenOsdStore(dir / "fuzz.osd", true, L"Fuzz", true, pStore.AddressOf())))
            abort();
    }
};

std::vector<BYTE> ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

// The first block of each reference: what a load maps. False when the bytes do not walk.
bool Mappings(const std::vector<BYTE>& bytes, std::map<std::string, ULONG>* pRefs, bool* pbUnique) {
    std::set<ULONG> objects;
    *pbUnique = true;
    std::wstring wsProblem;
    return WalkGalBlocks(
        bytes.data(), bytes.size(),
        [&](const GalBlock& b) {
            if (!b.bUsed)
                return;
            if (!pRefs->emplace(b.sRef, b.ulPstId).second || !objects.insert(b.ulPstId).second)
                *pbUnique = false;
        },
        &wsProblem);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture fixture;
    const std::filesystem::path file = fixture.dir / "fuzz_GAL2.idm";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    std::map<std::string, ULONG> before;
    bool bUnique = false;
    const bool bWalks = Mappings(std::vector<BYTE>(data, data + size), &before, &bUnique);
    IdMapper mapper(nullptr, fixture.pStore.Get(), IdMapperTypeGalRefs);
    if (FAILED(mapper.LoadCache())) {
        if (size == 0 || (size >= kGalHeaderSize && std::memcmp(data, "NAPI", 4) == 0))
            abort();  // its own file (or none) must load, repaired where damaged
        return 0;
    }
    for (size_t i = 0; i < size && i < 8; ++i) {
        const std::wstring ref = L"r" + std::to_wstring(data[i] % 16);
        const ULONG ulPstId = 0x24 + (data[i] % 8) * 0x20;
        if (data[i] & 0x80) {
            mapper.Remove(ref);
        } else {
            std::string eid(24, '\0');
            std::memcpy(eid.data() + 20, &ulPstId, 4);
            mapper.Put(ref, LONG(data[i] % 3), ULONG(eid.size()), reinterpret_cast<BYTE*>(eid.data()));
        }
    }
    std::map<std::string, ULONG> after;
    bool bUniqueAfter = false;
    if (!Mappings(ReadAll(file), &after, &bUniqueAfter))
        abort();  // the mapper left a file that does not walk
    if (!bWalks || !bUnique)
        return 0;  // damaged or doubled input: the first of two blocks is not always the one kept
    if (!bUniqueAfter || mapper.Size() != after.size())
        abort();
    for (const auto& [ref, ulPstId] : after) {
        const std::wstring wsRef = Platform::FromUtf8(ref);
        if (Platform::ToUtf8(wsRef) != ref)
            continue;  // not UTF-8: no caller can name it
        ULONG cb = 0;
        BYTE* pEid = nullptr;
        if (!mapper.Get(wsRef, &cb, &pEid))
            abort();
        ULONG ulFound = 0;
        std::memcpy(&ulFound, pEid + 20, 4);
        MAPIFreeBuffer(pEid);
        if (ulFound != ulPstId)
            abort();
    }
    return 0;
}
