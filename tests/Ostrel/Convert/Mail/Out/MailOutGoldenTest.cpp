// Every store message described in tests/data/mail-out (NN-name.msg) goes out as MIME on both paths,
// matching the golden text beside it after normalising: NN-name.session.eml.ref (the converter
// session, the default) and NN-name.own.eml.ref (the own writer), both with the fix-ups.
// OSTREL_REGEN_MAIL_OUT_GOLDENS=1 rewrites the golden files instead (scripts/regen-mail-out-goldens.sh).
#include <algorithm>
#include <cstdlib>

#include "MailOutTestUtil.h"
#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"

namespace MailOutTest {

namespace {

class MailOutGolden : public StoreFixture {};

std::vector<std::filesystem::path> Descriptions() {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(DataDir()))
        if (entry.path().extension() == ".msg")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

void Check(const std::filesystem::path& ref, const std::string& actual) {
    if (std::getenv("OSTREL_REGEN_MAIL_OUT_GOLDENS")) {
        WriteFile(ref, actual);
        return;
    }
    ASSERT_TRUE(std::filesystem::exists(ref)) << ref;
    EXPECT_EQ(actual, ReadFile(ref)) << ref.filename();
}

}  // namespace

TEST_F(MailOutGolden, EveryDescribedMessageMatchesItsGoldenOnBothPaths) {
    const auto files = Descriptions();
    ASSERT_GE(files.size(), 10u);
    for (const auto& file : files) {
        SCOPED_TRACE(file.filename().string());
        ComPtr<IMessage> pMessage = FromDescription(ReadFile(file));
        std::filesystem::path base = file;
        base.replace_extension();

        IStream* pStream = nullptr;
        unsigned int size = 0;
        ASSERT_EQ(ConvertMessageToMime(pMessage.Get(), nullptr, &pStream, size, nullptr), S_OK);
        ComPtr<IStream> pHeld;
        pHeld.Attach(pStream);
        const std::string session = StreamText(pStream);
        EXPECT_EQ(size, session.size());
        Check(base.string() + ".session.eml.ref", Normalise(session));

        IStream* pOwnStream = nullptr;
        unsigned int ownSize = 0;
        ASSERT_EQ(ConvertMessageToMimeWith(true, pMessage.Get(), nullptr, &pOwnStream, ownSize, nullptr), S_OK);
        ComPtr<IStream> pOwnHeld;
        pOwnHeld.Attach(pOwnStream);
        const std::string own = StreamText(pOwnStream);
        EXPECT_EQ(ownSize, own.size());
        Check(base.string() + ".own.eml.ref", Normalise(own));
    }
}

}  // namespace MailOutTest
