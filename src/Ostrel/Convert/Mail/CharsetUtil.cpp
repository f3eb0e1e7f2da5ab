#include "Ostrel/Convert/Mail/CharsetUtil.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "Platform/Mime/Coders.h"
#include "Util/Log/Log.h"

namespace Ostrel::Util {

namespace {

struct CodePageName {
    unsigned uCodePage;
    const char* pszName;
};

// The names Windows publishes for its code pages, sorted by number. Code pages not listed here
// (1250-1258 among them) are named "windows-<n>".
constexpr CodePageName kNames[] = {
    {37, "ebcdic-cp-us"},
    {437, "IBM437"},
    {500, "x-EBCDIC-International"},
    {708, "ASMO-708"},
    {720, "DOS-720"},
    {737, "ibm737"},
    {775, "ibm775"},
    {850, "ibm850"},
    {852, "ibm852"},
    {855, "IBM855"},
    {857, "ibm857"},
    {858, "IBM00858"},
    {860, "IBM860"},
    {861, "ibm861"},
    {862, "DOS-862"},
    {863, "IBM863"},
    {864, "IBM864"},
    {865, "IBM865"},
    {866, "cp866"},
    {869, "ibm869"},
    {870, "CP870"},
    {875, "x-EBCDIC-GreekModern"},
    {932, "shift_jis"},
    {936, "gb2312"},
    {949, "ks_c_5601-1987"},
    {950, "big5"},
    {1026, "CP1026"},
    {1047, "IBM01047"},
    {1140, "x-ebcdic-cp-us-euro"},
    {1141, "x-ebcdic-germany-euro"},
    {1142, "x-ebcdic-denmarknorway-euro"},
    {1143, "x-ebcdic-finlandsweden-euro"},
    {1144, "x-ebcdic-italy-euro"},
    {1145, "x-ebcdic-spain-euro"},
    {1146, "x-ebcdic-uk-euro"},
    {1147, "x-ebcdic-france-euro"},
    {1148, "x-ebcdic-international-euro"},
    {1149, "x-ebcdic-icelandic-euro"},
    {1200, "unicode"},
    {1201, "unicodeFFFE"},
    {1361, "Johab"},
    {10000, "macintosh"},
    {10001, "x-mac-japanese"},
    {10002, "x-mac-chinesetrad"},
    {10003, "x-mac-korean"},
    {10004, "x-mac-arabic"},
    {10005, "x-mac-hebrew"},
    {10006, "x-mac-greek"},
    {10007, "x-mac-cyrillic"},
    {10008, "x-mac-chinesesimp"},
    {10010, "x-mac-romanian"},
    {10017, "x-mac-ukrainian"},
    {10021, "x-mac-thai"},
    {10029, "x-mac-ce"},
    {10079, "x-mac-icelandic"},
    {10081, "x-mac-turkish"},
    {10082, "x-mac-croatian"},
    {20000, "x-Chinese-CNS"},
    {20001, "x-cp20001"},
    {20002, "x-Chinese-Eten"},
    {20003, "x-cp20003"},
    {20004, "x-cp20004"},
    {20005, "x-cp20005"},
    {20105, "x-IA5"},
    {20106, "x-IA5-German"},
    {20107, "x-IA5-Swedish"},
    {20108, "x-IA5-Norwegian"},
    {20127, "us-ascii"},
    {20261, "x-cp20261"},
    {20269, "x-cp20269"},
    {20273, "x-EBCDIC-Germany"},
    {20277, "x-EBCDIC-DenmarkNorway"},
    {20278, "x-EBCDIC-FinlandSweden"},
    {20280, "x-EBCDIC-Italy"},
    {20284, "x-EBCDIC-Spain"},
    {20285, "x-EBCDIC-UK"},
    {20290, "x-EBCDIC-JapaneseKatakana"},
    {20297, "x-EBCDIC-France"},
    {20420, "x-EBCDIC-Arabic"},
    {20423, "x-EBCDIC-Greek"},
    {20424, "x-EBCDIC-Hebrew"},
    {20833, "x-EBCDIC-KoreanExtended"},
    {20838, "x-EBCDIC-Thai"},
    {20866, "koi8-r"},
    {20871, "x-EBCDIC-Icelandic"},
    {20880, "x-EBCDIC-CyrillicRussian"},
    {20905, "x-EBCDIC-Turkish"},
    {20924, "IBM00924"},
    {20932, "EUC-JP"},
    {20936, "x-cp20936"},
    {20949, "x-cp20949"},
    {21025, "x-EBCDIC-CyrillicSerbianBulgarian"},
    {21866, "koi8-u"},
    {28591, "iso-8859-1"},
    {28592, "iso-8859-2"},
    {28593, "iso-8859-3"},
    {28594, "iso-8859-4"},
    {28595, "iso-8859-5"},
    {28596, "iso-8859-6"},
    {28597, "iso-8859-7"},
    {28598, "iso-8859-8"},
    {28599, "iso-8859-9"},
    {28603, "iso-8859-13"},
    {28605, "iso-8859-15"},
    {29001, "x-Europa"},
    {38598, "iso-8859-8-i"},
    {50220, "iso-2022-jp"},
    {50221, "csISO2022JP"},
    {50222, "iso-2022-jp"},
    {50225, "iso-2022-kr"},
    {50227, "x-cp50227"},
    {51932, "euc-jp"},
    {51936, "EUC-CN"},
    {51949, "euc-kr"},
    {52936, "hz-gb-2312"},
    {54936, "GB18030"},
    {57002, "x-iscii-de"},
    {57003, "x-iscii-be"},
    {57004, "x-iscii-ta"},
    {57005, "x-iscii-te"},
    {57006, "x-iscii-as"},
    {57007, "x-iscii-or"},
    {57008, "x-iscii-ka"},
    {57009, "x-iscii-ma"},
    {57010, "x-iscii-gu"},
    {57011, "x-iscii-pa"},
    {65000, "utf-7"},
    {65001, "utf-8"},
};

}  // namespace

MIME_ENCODING CharsetUtil::FindBestEncoding(const char* data, int length, bool checkPdf, bool loneLfCheck) {
    if (!data || length < 0)
        length = 0;
    if (checkPdf && length >= 4 && std::memcmp(data, "%PDF", 4) == 0) {
        OSTLOG_INFO(16, L"Forcing encoding to Base64 for PDF");
        return ME_BASE64;
    }
    // MulDiv rounds to the nearest integer.
    const int threshold = static_cast<int>((static_cast<long long>(length) * 17 + 50) / 100);
    int nonAscii = 0;
    int lineLength = 0;
    bool bNeedsWrapping = false;
    for (int i = 0; i < length && nonAscii < threshold; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (loneLfCheck && c == '\n' && (i == 0 || data[i - 1] != '\r')) {
            if (i == 0) {
                OSTLOG_INFO(16, L"Lone LF first byte -> force BASE64");
            } else {
                OSTLOG_INFO(16, L"Lone LF at index %d -> force BASE64", i);
            }
            return ME_BASE64;
        }
        if (c == '\r' && i + 1 < length && data[i + 1] == '\n') {
            // A CRLF pair is the line break 7bit text has; only lone CR and LF bytes count below.
            lineLength = 0;
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n') {
            lineLength = 0;
        } else if (++lineLength >= 77) {
            bNeedsWrapping = true;
        }
        if (c < 32 || c > 126)
            ++nonAscii;
    }
    const int percent = length ? static_cast<int>(static_cast<long long>(nonAscii) * 100 / length) : 0;
    OSTLOG_INFO(16, L"Chars: %d, NonAscii: %d(%d%%), OneOrMoreLinesNeedsWrapping: %s", length, nonAscii, percent,
                bNeedsWrapping ? L"Yes" : L"No");
    if (nonAscii >= threshold) {
        OSTLOG_INFO(16, L">=17%% NonAscii -> BASE64");
        return ME_BASE64;
    }
    if (nonAscii > 0) {
        OSTLOG_INFO(16, L"<17%% NonAscii -> QP");
        return ME_QUOTED_PRINTABLE;
    }
    if (bNeedsWrapping) {
        OSTLOG_INFO(16, L"Forcing 7BIT->QP due to OneOrMoreLinesNeedsWrapping");
        return ME_QUOTED_PRINTABLE;
    }
    OSTLOG_INFO(16, L"7BIT");
    return ME_7BIT;
}

MIME_ENCODING CharsetUtil::FindEncoding(const char* contentType) {
    if (contentType && mimepp::Strncasecmp(mimepp::String(contentType), "text/", 5) == 0)
        return ME_QUOTED_PRINTABLE;
    return ME_BASE64;
}

mimepp::TransferEncodingType::Type CharsetUtil::TEFromME(MIME_ENCODING encoding) {
    switch (encoding) {
        case ME_QUOTED_PRINTABLE:
            return mimepp::TransferEncodingType::QUOTED_PRINTABLE;
        case ME_BASE64:
            return mimepp::TransferEncodingType::BASE64;
        default:
            return mimepp::TransferEncodingType::SEVEN_BIT;
    }
}

bool CharsetUtil::EncodeBody(MIME_ENCODING encoding, const mimepp::String& in, mimepp::String& out) {
    return EncodeBody(encoding, in.data(), in.length(), out);
}

bool CharsetUtil::EncodeBody(MIME_ENCODING encoding, const char* data, size_t length, mimepp::String& out) {
    out.clear();
    switch (encoding) {
        case ME_QUOTED_PRINTABLE:
            return mimepp::QuotedPrintableEncoder().encode(data, length, out) == 0;
        case ME_BASE64:
            return mimepp::Base64Encoder().encode(data, length, out) == 0;
        default:
            out = mimepp::String(data, length);
            return true;
    }
}

bool CharsetUtil::NeedsEncoding(const char* text) {
    if (!text)
        return false;
    for (const char* p = text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 32 || c > 127)
            return true;
    }
    return false;
}

std::string CharsetUtil::CharsetStringFromCodePageId(unsigned codePage) {
    const auto* it = std::lower_bound(std::begin(kNames), std::end(kNames), codePage,
                                      [](const CodePageName& n, unsigned cp) { return n.uCodePage < cp; });
    if (it != std::end(kNames) && it->uCodePage == codePage)
        return it->pszName;
    return "windows-" + std::to_string(codePage);
}

}  // namespace Ostrel::Util
