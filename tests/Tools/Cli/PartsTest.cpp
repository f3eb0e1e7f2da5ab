// Option parsing, output escaping and the profile's server address: what every command relies on.
#include "CliTestSupport.h"

#include "ostrel/Args.h"
#include "ostrel/Output.h"
#include "ostrel/Profile.h"
#include "ostrel/Progress.h"

#include "Util/Time/Clock.h"

namespace CliTest {

namespace {

TEST(Parts, OptionsAndOperands) {
    OstrelCli::Context context;
    context.err = std::tmpfile();
    const std::vector<OstrelCli::OptionSpec> options = {{"--port", true}, {"--tls"}, {"--account", true}};
    OstrelCli::ParsedArgs parsed;
    int exitCode = 0;
    ASSERT_TRUE(OstrelCli::ParseArgs("t", {"--port", "80", "x", "--account=a=b", "--tls", "--", "--tls"}, options, 0, 2,
                                     context, parsed, exitCode));
    EXPECT_EQ(parsed.Value("--port"), std::string("80"));
    EXPECT_EQ(parsed.Value("--account"), std::string("a=b")) << "only the first '=' separates";
    EXPECT_TRUE(parsed.Has("--tls"));
    EXPECT_EQ(parsed.operands, (std::vector<std::string>{"x", "--tls"}));

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--port"}, {"--tls=1"}, {"--nope"}, {"a", "b", "c"}}) {
        OstrelCli::ParsedArgs again;
        EXPECT_FALSE(OstrelCli::ParseArgs("t", bad, options, 0, 2, context, again, exitCode)) << bad[0];
        EXPECT_EQ(exitCode, OstrelCli::kExitUsage);
    }
    std::fclose(context.err);

    EXPECT_EQ(OstrelCli::ParseInteger("65535", 1, 65535), 65535);
    EXPECT_FALSE(OstrelCli::ParseInteger("65536", 1, 65535));
    EXPECT_FALSE(OstrelCli::ParseInteger("12a", 0, 100));
    EXPECT_FALSE(OstrelCli::ParseInteger("", 0, 100));
    EXPECT_FALSE(OstrelCli::ParseInteger("99999999999999999999", 0, INT64_MAX));
}

TEST(Parts, FieldsAndStringsStayOnTheirLine) {
    EXPECT_EQ(OstrelCli::TsvField(std::string("a\tb\nc\rd\x01"
                                              "e\x7f")),
              "a\\tb\\nc\\rd\\x01e\\x7f");
    EXPECT_EQ(OstrelCli::TsvField(std::string("Grüße \\ C:\\x")), "Grüße \\ C:\\x");
    EXPECT_EQ(OstrelCli::JsonString(std::string("q\"b\\n\n\x1f")), "\"q\\\"b\\\\n\\n\\u001f\"");
    EXPECT_EQ(OstrelCli::JsonString(std::wstring(L"€")), "\"€\"");
    // Bytes that are not UTF-8 never reach the JSON text as they are.
    EXPECT_EQ(OstrelCli::JsonString(std::string("a\xff\xc3")), "\"a\xef\xbf\xbd\xef\xbf\xbd\"");
    EXPECT_EQ(OstrelCli::HumanBytes(1023), "1023 B");
    EXPECT_EQ(OstrelCli::HumanBytes(1536), "1.50 KiB");
    EXPECT_EQ(OstrelCli::HumanBytes(50ull << 20), "50.0 MiB");
}

TEST(Parts, ServerAddresses) {
    std::string why;
    auto https = OstrelCli::ParseServerUrl("https://mail.example.com/", why);
    ASSERT_TRUE(https);
    EXPECT_EQ(https->Url(), "https://mail.example.com:443");
    auto v6 = OstrelCli::ParseServerUrl("http://[::1]:8080", why);
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->sHost, "::1");
    EXPECT_EQ(v6->Url(), "http://[::1]:8080");
    for (const char* bad : {"mail.example.com", "https://", "https://h:0", "https://h:65536", "https://h:12x",
                            "https://user@h", "https://h/service", "https://[::1", "https://[::1]x"})
        EXPECT_FALSE(OstrelCli::ParseServerUrl(bad, why)) << bad;
    EXPECT_TRUE(OstrelCli::IsValidProxySetting("proxy.example.com:3128"));
    EXPECT_FALSE(OstrelCli::IsValidProxySetting("proxy.example.com"));
    EXPECT_FALSE(OstrelCli::IsValidProxySetting("http://proxy:3128"));
    EXPECT_FALSE(OstrelCli::IsValidProfileName(".hidden"));
    EXPECT_FALSE(OstrelCli::IsValidProfileName("a/b"));
    EXPECT_TRUE(OstrelCli::IsValidProfileName("work@example.com"));
}

TEST(Parts, ProfileKeepsLinesItDoesNotKnow) {
    TestSupport::TempHome home;
    std::filesystem::create_directories(OstrelCli::ProfileDir("p"));
    std::ofstream(OstrelCli::ProfileDir("p") / "profile.conf")
        << "# written by a newer ostrel\nserver=http://h:81\naccount=a@h\nproxy=system\nfuture-key=1\n";
    std::string why;
    auto profile = OstrelCli::LoadProfile("p", why);
    ASSERT_TRUE(profile) << why;
    EXPECT_EQ(profile->sProxy, "system");
    ASSERT_TRUE(OstrelCli::SaveProfile(*profile, why)) << why;
    const std::string text = ReadFile(OstrelCli::ProfileDir("p") / "profile.conf");
    EXPECT_NE(text.find("# written by a newer ostrel\n"), std::string::npos);
    EXPECT_NE(text.find("future-key=1\n"), std::string::npos);

    std::ofstream(OstrelCli::ProfileDir("p") / "profile.conf") << "server=ftp://h\naccount=a\n";
    EXPECT_FALSE(OstrelCli::LoadProfile("p", why));
    EXPECT_NE(why.find("http:// or https://"), std::string::npos) << why;
    why.clear();
    EXPECT_FALSE(OstrelCli::LoadProfile("none", why));
    EXPECT_EQ(why, "") << "a missing profile is no error";
}

}  // namespace

}  // namespace CliTest

namespace CliTest {

// Redrawn in place, the progress line and its bar keep one length from the first count to the last,
// while the rate appears and the numbers grow.
TEST(Parts, TheProgressBarKeepsItsWidth) {
    Ostrel::Util::ManualClock clock;
    Ostrel::Util::ScopedClock scoped(clock);
    char* pErr = nullptr;
    size_t cbErr = 0;
    std::FILE* err = open_memstream(&pErr, &cbErr);
    OstrelCli::Context context;
    context.err = err;
    context.bErrIsTerminal = true;
    {
        OstrelCli::Progress progress(context, true);
        progress.Start("downloading", 12000);
        for (int i = 0; i < 120; ++i) {
            clock.Advance(150);
            progress.Advance(100, 1500000ull * static_cast<uint64_t>(i));
        }
    }
    std::fclose(err);
    const std::string drawn(pErr, cbErr);
    std::free(pErr);

    std::set<size_t> lineLengths, barLengths;
    size_t pos = 0, lines = 0;
    while ((pos = drawn.find('\r', pos)) != std::string::npos) {
        const size_t end = drawn.find("\033[K", pos);
        const std::string line = drawn.substr(pos + 1, end - pos - 1);
        pos = end;
        if (line.empty())
            continue;  // the final clearing
        ++lines;
        lineLengths.insert(line.size());
        barLengths.insert(line.find(']') - line.find('['));
    }
    EXPECT_GT(lines, 100u);
    EXPECT_EQ(lineLengths.size(), 1u) << drawn;
    EXPECT_EQ(barLengths.size(), 1u);
    EXPECT_NE(drawn.find(" MiB "), std::string::npos);
}

}  // namespace CliTest
