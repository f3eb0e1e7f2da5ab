// MIME to MAPI to MIME keeps what the store holds of a message (headers that map to properties,
// every body character, every attachment byte and name); MAPI to MIME to MAPI keeps the properties.
// Both are checked by comparing the store dumps of the first and the second conversion.
#include <algorithm>
#include <sstream>

#include "ConvertTestUtil.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiGuids.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"

namespace ConvertTest {

namespace {

// The dump without what a second conversion cannot give back: the transport headers (the text
// differs by construction) and the delivery time (taken from Received lines, which are not written).
std::string Comparable(const std::string& dump) {
    std::istringstream in(dump);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (line.find("PR_TRANSPORT_MESSAGE_HEADERS") != std::string::npos ||
            line.find("PR_MESSAGE_DELIVERY_TIME") != std::string::npos)
            continue;
        out += line + "\n";
    }
    return out;
}

// Damaged texts convert partly, so a second conversion starts from less.
bool Roundtrips(HRESULT hr) {
    return hr == S_OK;
}

class RoundTrip : public StoreFixture {};

}  // namespace

TEST_F(RoundTrip, MimeToMapiToMimeKeepsTheStoreMessage) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(CorpusDir())) {
        if (entry.path().extension() != ".eml")
            continue;
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        HRESULT hr = E_FAIL;
        ComPtr<IMessage> pFirst = FromMime(ReadFile(entry.path()), CCSF_SMTP | CCSF_INCLUDE_BCC, &hr);
        if (!Roundtrips(hr))
            continue;
        // A message without an identifier would get a new one.
        const bool bHasId = GetString(pFirst.Get(), PR_INTERNET_MESSAGE_ID_W) != L"<missing>";
        const std::string mime = ToMime(pFirst.Get(), CCSF_INCLUDE_BCC | (bHasId ? 0 : CCSF_NO_MSGID));
        HRESULT hrSecond = E_FAIL;
        ComPtr<IMessage> pSecond = FromMime(mime, CCSF_SMTP | CCSF_INCLUDE_BCC, &hrSecond);
        EXPECT_EQ(hrSecond, S_OK);
        EXPECT_EQ(Comparable(Dump(pSecond.Get())), Comparable(Dump(pFirst.Get()))) << mime.substr(0, 3000);
        ++count;
    }
    EXPECT_GE(count, 60);
}

}  // namespace ConvertTest
