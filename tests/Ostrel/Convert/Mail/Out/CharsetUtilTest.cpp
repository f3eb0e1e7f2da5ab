// Transfer encodings and charset names chosen for outgoing text, and the own converter's choice.
#include <gtest/gtest.h>

#include <string>

#include "Ostrel/Convert/Mail/AttachToMime.h"
#include "Ostrel/Convert/Mail/CharsetUtil.h"
#include "Ostrel/Convert/Mail/MimeConfig.h"
#include "Support/TempHome.h"
#include "Util/OstrelReg.h"

namespace {

using Ostrel::Util::CharsetUtil;
using Ostrel::Util::ME_7BIT;
using Ostrel::Util::ME_BASE64;
using Ostrel::Util::ME_QUOTED_PRINTABLE;

Ostrel::Util::MIME_ENCODING Best(const std::string& data, bool checkPdf = false, bool loneLf = false) {
    return CharsetUtil::FindBestEncoding(data.data(), static_cast<int>(data.size()), checkPdf, loneLf);
}

std::string Lines(size_t count, size_t width) {
    std::string out;
    for (size_t i = 0; i < count; ++i)
        out += std::string(width, 'a' + static_cast<char>(i % 26)) + "\r\n";
    return out;
}

}  // namespace

TEST(CharsetUtil, FindBestEncodingByShareOfEightBitBytesAndLineLength) {
    EXPECT_EQ(Best(Lines(10, 60)), ME_7BIT) << "CRLF line ends are not 8-bit data";
    EXPECT_EQ(Best(Lines(100, 8)), ME_7BIT) << "even short lines";
    std::string longLine = Lines(3, 60) + std::string(80, 'x') + "\r\n";
    EXPECT_EQ(Best(longLine), ME_QUOTED_PRINTABLE);
    std::string oneAccent = Lines(16, 60);
    oneAccent.resize(1000, 'a');
    oneAccent[500] = '\xE9';
    EXPECT_EQ(Best(oneAccent), ME_QUOTED_PRINTABLE);
    std::string manyAccents(1000, 'a');
    for (size_t i = 0; i < 200; ++i)
        manyAccents[i * 5] = '\xE9';
    EXPECT_EQ(Best(manyAccents), ME_BASE64);
    EXPECT_EQ(Best("ab"), ME_BASE64) << "a two-byte body has a threshold of 0";
    EXPECT_EQ(Best("%PDF-1.4 plain ascii text here", true), ME_BASE64);
    EXPECT_EQ(Best("%PDF-1.4 plain ascii text here", false), ME_7BIT);
    EXPECT_EQ(Best("a\nb", false, true), ME_BASE64);
    EXPECT_EQ(Best("\nabcdefghijklmnop", false, true), ME_BASE64);
    EXPECT_EQ(Best("abcdefghij\r\nabcdefghij\r\n", false, true), ME_7BIT);
    // Lone line breaks count as control bytes.
    EXPECT_EQ(Best(std::string(20, 'a') + "\n" + std::string(20, 'b')), ME_QUOTED_PRINTABLE);
}

TEST(CharsetUtil, EncodingsByTypeAndEncodedBodiesDecodeBack) {
    EXPECT_EQ(CharsetUtil::FindEncoding("TEXT/html"), ME_QUOTED_PRINTABLE);
    EXPECT_EQ(CharsetUtil::FindEncoding("image/png"), ME_BASE64);
    EXPECT_EQ(CharsetUtil::FindEncoding(nullptr), ME_BASE64);
    EXPECT_FALSE(CharsetUtil::NeedsEncoding(""));
    EXPECT_FALSE(CharsetUtil::NeedsEncoding("plain words ~"));
    EXPECT_TRUE(CharsetUtil::NeedsEncoding("tab\there"));
    EXPECT_TRUE(CharsetUtil::NeedsEncoding("caf\xC3\xA9"));

    const mimepp::String data(std::string("caf\xE9 = 100%\r\nline two\r\n"));
    mimepp::String qp, b64, seven;
    ASSERT_TRUE(CharsetUtil::EncodeBody(ME_QUOTED_PRINTABLE, data, qp));
    ASSERT_TRUE(CharsetUtil::EncodeBody(ME_BASE64, data, b64));
    ASSERT_TRUE(CharsetUtil::EncodeBody(ME_7BIT, data, seven));
    EXPECT_EQ(qp.str(), "caf=E9 =3D 100%\r\nline two\r\n");
    EXPECT_EQ(b64.str(), "Y2Fm6SA9IDEwMCUNCmxpbmUgdHdvDQo=\r\n");
    EXPECT_EQ(seven, data);
}

TEST(CharsetUtil, CharsetNamesOfCodePages) {
    const std::pair<unsigned, const char*> names[] = {{65001, "utf-8"},         {65000, "utf-7"},
                                                      {28591, "iso-8859-1"},    {20127, "us-ascii"},
                                                      {932, "shift_jis"},       {936, "gb2312"},
                                                      {949, "ks_c_5601-1987"},  {950, "big5"},
                                                      {1200, "unicode"},        {1201, "unicodeFFFE"},
                                                      {708, "ASMO-708"},        {437, "IBM437"},
                                                      {37, "ebcdic-cp-us"},     {1252, "windows-1252"},
                                                      {1250, "windows-1250"},   {874, "windows-874"},
                                                      {99999, "windows-99999"}, {28605, "iso-8859-15"},
                                                      {51936, "EUC-CN"},        {10004, "x-mac-arabic"},
                                                      {57011, "x-iscii-pa"},    {1149, "x-ebcdic-icelandic-euro"},
                                                      {20106, "x-IA5-German"}};
    for (const auto& [cp, name] : names)
        EXPECT_EQ(CharsetUtil::CharsetStringFromCodePageId(cp), name) << cp;
}

TEST(CharsetUtil, ByteOrderMarksLongestFirst) {
    EXPECT_STREQ(AttachToMime::SetBOM(std::string("\xFF\xFE\x00\x00h", 5)), "UTF-32LE");
    EXPECT_STREQ(AttachToMime::SetBOM(std::string("\xFF\xFEh\x00", 4)), "UTF-16LE");
    EXPECT_STREQ(AttachToMime::SetBOM(std::string("\x00\x00\xFE\xFF", 4)), "UTF-32BE");
    EXPECT_STREQ(AttachToMime::SetBOM("\xFE\xFF"), "UTF-16BE");
    EXPECT_STREQ(AttachToMime::SetBOM("\xEF\xBB\xBFtext"), "UTF-8");
    EXPECT_EQ(AttachToMime::SetBOM("\xFF"), nullptr);
    EXPECT_EQ(AttachToMime::SetBOM("plain"), nullptr);
}

TEST(MimeConfig, ClassesByEnabledAndDisabledPrefixes) {
    TestSupport::TempHome home;
    {
        MimeConfig unset;
        EXPECT_EQ(unset.UseOstrelMapiToMimeConverter(L"IPM.Note"), 0) << "no registry key: off";
    }
    Ostrel::Util::RegUtil reg(L"Mime", KEY_ALL_ACCESS, Ostrel::Util::kRegUtilSubkey);
    ASSERT_EQ(reg.CreateKey(), ERROR_SUCCESS);
    reg.SetName(L"MapiToMimeEnabledClasses");
    ASSERT_EQ(reg.SetValue(std::wstring(L"IPM.Note;IPM.Schedule")), ERROR_SUCCESS);
    reg.SetName(L"MapiToMimeDisabledClasses");
    ASSERT_EQ(reg.SetValue(std::wstring(L"IPM.Schedule.Meeting.Canceled")), ERROR_SUCCESS);
    {
        MimeConfig switchOff;
        EXPECT_EQ(switchOff.UseOstrelMapiToMimeConverter(L"IPM.Note"), 0) << "lists without the switch: off";
    }
    reg.SetName(L"OstrelMapiToMimeEnabled");
    ASSERT_EQ(reg.SetValue(DWORD{1}), ERROR_SUCCESS);
    MimeConfig config;
    EXPECT_NE(config.UseOstrelMapiToMimeConverter(L"IPM.Note.X"), 0);
    EXPECT_NE(config.UseOstrelMapiToMimeConverter(L"ipm.note"), 0);
    EXPECT_NE(config.UseOstrelMapiToMimeConverter(L"IPM.Schedule.Meeting.Request"), 0);
    EXPECT_EQ(config.UseOstrelMapiToMimeConverter(L"IPM.Schedule.Meeting.Canceled"), 0);
    EXPECT_EQ(config.UseOstrelMapiToMimeConverter(L"IPM.Contact"), 0);
    EXPECT_EQ(config.UseOstrelMapiToMimeConverter(L"IPM"), 0) << "shorter than the prefix";
    EXPECT_EQ(config.UseOstrelMapiToMimeConverter(nullptr), 0);

    // Read once: later changes do not reach an instance that has answered.
    reg.SetName(L"OstrelMapiToMimeEnabled");
    ASSERT_EQ(reg.SetValue(DWORD{0}), ERROR_SUCCESS);
    EXPECT_NE(config.UseOstrelMapiToMimeConverter(L"IPM.Note"), 0);
}
