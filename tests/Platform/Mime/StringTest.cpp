// mimepp::String: clamped positions on untrusted offsets and ASCII-only case folding.
#include "Platform/Mime/String.h"

#include <gtest/gtest.h>

using namespace mimepp;

TEST(MimeString, EditsAndSearches) {
    String s("Content-Type: text/plain");
    EXPECT_EQ(s.find(':'), 12u);
    EXPECT_EQ(s.substr(14), "text/plain");
    EXPECT_EQ(s.substr(100), "");  // past the end: empty, no exception
    s.replace(14, 4, "image");
    EXPECT_EQ(s, "Content-Type: image/plain");
    s.erase(19).append("/png");
    EXPECT_EQ(s, "Content-Type: image/png");
    s.insert(0, "X-").insert(1000, "!");
    EXPECT_EQ(s, "X-Content-Type: image/png!");
    s.erase(1000);
    EXPECT_EQ(s.length(), 26u);
    EXPECT_EQ(String(std::string("a\0b", 3)).length(), 3u);
}

TEST(MimeString, FoldsOnlyAsciiCase) {
    String s("MiXeD \xc3\x84 Case");
    s.convertToLowerCase();
    EXPECT_EQ(s, "mixed \xc3\x84 case");
    EXPECT_EQ(Strcasecmp("Content-TYPE", "content-type"), 0);
    EXPECT_LT(Strcasecmp("abc", "ABD"), 0);
    EXPECT_GT(Strcmp("b", "a"), 0);
    EXPECT_LT(Strcmp("A", "a"), 0);
    EXPECT_EQ(Strncasecmp("ipm.schedule.meeting.Request", "IPM.Schedule.Meeting", 20), 0);
    EXPECT_NE(Strncasecmp("ipm.note", "IPM.Schedule", 5), 0);
    EXPECT_LT(Strncasecmp("ab", "abc", 10), 0);
    EXPECT_NE(Strcasecmp("\xc3\x84", "\xc3\xa4"), 0);
}
