#include "Output.h"

#include "Platform/Base/Utf.h"

#include <cmath>
#include <cstdio>

namespace OstrelCli {

namespace {

std::string Hex2(const char* prefix, unsigned char c) {
    char text[8];
    std::snprintf(text, sizeof text, "%s%02x", prefix, c);
    return text;
}

}  // namespace

std::string TsvField(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (u < 0x20 || u == 0x7F)
            out += Hex2("\\x", u);
        else
            out += c;
    }
    return out;
}

std::string TsvField(const std::wstring& text) {
    return TsvField(Platform::ToUtf8(text));
}

std::string JsonString(std::string_view utf8) {
    // JSON text must be UTF-8: bytes that are not (a file name, a header) become U+FFFD.
    bool bInvalid = false;
    const std::wstring wide = Platform::FromUtf8(utf8, &bInvalid);
    const std::string repaired = bInvalid ? Platform::ToUtf8(wide) : std::string();
    if (bInvalid)
        utf8 = repaired;
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (char c : utf8) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20)
                    out += Hex2("\\u00", static_cast<unsigned char>(c));
                else
                    out += c;
        }
    }
    return out + "\"";
}

std::string JsonString(const std::wstring& text) {
    return JsonString(Platform::ToUtf8(text));
}

std::string HumanBytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, value < 10 ? "%.2f %s" : "%.1f %s", value, units[unit]);
    return text;
}

std::string HumanSeconds(double seconds) {
    char text[32];
    if (seconds < 10)
        std::snprintf(text, sizeof text, "%.2f s", seconds);
    else if (seconds < 120)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else
        std::snprintf(text, sizeof text, "%d min %d s", static_cast<int>(seconds) / 60,
                      static_cast<int>(std::lround(seconds)) % 60);
    return text;
}

}  // namespace OstrelCli
