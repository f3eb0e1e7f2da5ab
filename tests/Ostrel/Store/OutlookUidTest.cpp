// Global object ids against golden data (tests/data/store/goid: each .uid file beside its .ref;
// regenerate.sh rewrites the references), and the rules the golden cases do not show.
#include <cstdlib>
#include <sstream>

#include "Ostrel/Store/OutlookUid.h"
#include "StoreTestUtil.h"
#include "Support/Files.h"
#include "Support/TempHome.h"
#include "Util/Text/Strings.h"
#include "Util/Time/Clock.h"

namespace StoreTest {
namespace {

using namespace Ostrel::Mapi;

std::string Hex(const SBinary& bin) {
    std::wstring ws = Ostrel::Util::HexEncode(bin.lpb, bin.cb);
    return std::string(ws.begin(), ws.end());
}

// What the .ref file holds for a UID: the id, the UID read back from it, and the id with an
// instance date.
std::string Describe(const std::string& sUid) {
    std::ostringstream out;
    SBinary id{};
    if (!ICalUidToOlkUid(sUid.c_str(), id))
        return "refused\n";
    out << "id: " << Hex(id) << "\n";
    char* pszBack = OlkUidToICalUid(id);
    out << "back: " << (pszBack ? pszBack : "(null)") << "\n";
    MAPIFreeBuffer(pszBack);
    MAPIFreeBuffer(id.lpb);
    SBinary dated{};
    ICalUidToOlkUid(sUid.c_str(), dated, 2024, 3, 15);
    out << "dated: " << Hex(dated) << "\n";
    MAPIFreeBuffer(dated.lpb);
    return out.str();
}

TEST(OutlookUidTest, GoldenCases) {
    const std::filesystem::path dir = TestSupport::DataDir() / "store" / "goid";
    const bool bRegenerate = std::getenv("OSTREL_REGENERATE") != nullptr;
    int cCases = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".uid")
            continue;
        ++cCases;
        const std::string sActual = Describe(TestSupport::ReadFile(entry.path()));
        std::filesystem::path ref = entry.path();
        ref += ".ref";
        if (bRegenerate) {
            TestSupport::WriteFile(ref, sActual);
            continue;
        }
        EXPECT_EQ(sActual, TestSupport::ReadFile(ref)) << entry.path();
    }
    EXPECT_GE(cCases, 8);
}

TEST(OutlookUidTest, NewIdsAndPlainIds) {
    Ostrel::Util::ManualClock clock;  // 2024-01-01: FILETIME 0x01DA3C43_04B7C000... as the clock says
    Ostrel::Util::ScopedClock scoped(clock);
    const FILETIME ft = clock.GetSystemTimeAsFileTime();
    BYTE data[] = {1, 2, 3};
    SBinary bin{3, data};
    ULONG cb = 0;
    BYTE* pb = nullptr;
    ASSERT_EQ(CreateOutlookUid(&cb, &pb, bin, 0), S_OK);
    ASSERT_EQ(cb, 43u);
    EXPECT_EQ(pb[20] | pb[21] << 8 | pb[22] << 16 | static_cast<ULONG>(pb[23]) << 24, ft.dwLowDateTime);
    EXPECT_EQ(pb[36], 3);
    EXPECT_EQ(pb[42], 3);
    MAPIFreeBuffer(pb);
    ASSERT_EQ(CreateOutlookUid(&cb, &pb, bin, 1), S_OK);
    EXPECT_EQ(std::string((const char*)pb + 16, 24), std::string(20, '\0') + std::string("\x03\0\0\0", 4));
    MAPIFreeBuffer(pb);

    // 48 bytes without the marker read back as 96 hexadecimal digits.
    BYTE plain[48] = {0x04, 0x00, 0x00, 0x00, 0x82};
    char* psz = OlkUidToICalUid(SBinary{48, plain});
    ASSERT_NE(psz, nullptr);
    EXPECT_EQ(strlen(psz), 96u);
    MAPIFreeBuffer(psz);
    // A marker that claims more than the id holds is read only up to the id's end.
    std::string sCut(40, '\0');
    sCut += std::string("vCal-Uid\x01\0\0\0abc", 15);
    psz = OlkUidToICalUid(SBinary{static_cast<ULONG>(sCut.size()), (LPBYTE)sCut.data()});
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "abc");
    MAPIFreeBuffer(psz);
    SBinary out{};
    EXPECT_FALSE(ICalUidToOlkUid(nullptr, out));
}

}  // namespace
}  // namespace StoreTest
