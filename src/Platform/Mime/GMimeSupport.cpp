#include "Platform/Mime/GMimeSupport.h"

namespace mimepp::detail {

namespace {

struct Options {
    GMimeParserOptions* pParser;
    GMimeFormatOptions* pFormat;
};

// Built once and kept for the life of the process; GMime only reads them.
const Options& SharedOptions() {
    static const Options s_options = [] {
        g_mime_init();
        Options o{g_mime_parser_options_new(), g_mime_format_options_new()};
        static const char* s_fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(o.pParser, s_fallback);
        g_mime_parser_options_set_rfc2047_compliance_mode(o.pParser, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(o.pParser, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(o.pParser, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_allow_addresses_without_domain(o.pParser, TRUE);
        g_mime_format_options_set_newline_format(o.pFormat, GMIME_NEWLINE_FORMAT_DOS);
        g_mime_format_options_set_param_encoding_method(o.pFormat, GMIME_PARAM_ENCODING_METHOD_RFC2231);
        return o;
    }();
    return s_options;
}

}  // namespace

void EnsureGMime() {
    SharedOptions();
}

GMimeParserOptions* ParserOptions() {
    return SharedOptions().pParser;
}

GMimeFormatOptions* FormatOptions() {
    return SharedOptions().pFormat;
}

String Unfold(const String& value) {
    if (value.find('\n') == String::npos && value.find('\r') == String::npos)
        return value;
    String out;
    out.reserve(value.length());
    for (size_t i = 0; i < value.length(); ++i) {
        const char c = value[i];
        if (c != '\r' && c != '\n')
            out += c;
    }
    return out;
}

}  // namespace mimepp::detail
