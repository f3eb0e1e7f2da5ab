#include "Platform/Mime/Parameter.h"

#include "Platform/Mime/GMimeSupport.h"

#include <cstring>
#include <string>

namespace mimepp {

void ParamFieldBody::addParameter(const Parameter& param) {
    m_params.push_back(param);
    setModified();
}

void ParamFieldBody::setParameter(const String& attribute, const String& value) {
    for (Parameter& p : m_params) {
        if (Strcasecmp(p.attribute(), attribute) == 0) {
            p.setValue(value);
            setModified();
            return;
        }
    }
    addParameter(Parameter(attribute, value));
}

String ParamFieldBody::parameter(const String& attribute) const {
    for (const Parameter& p : m_params) {
        if (Strcasecmp(p.attribute(), attribute) == 0)
            return p.value();
    }
    return String();
}

bool ParamFieldBody::hasParameter(const String& attribute) const {
    for (const Parameter& p : m_params) {
        if (Strcasecmp(p.attribute(), attribute) == 0)
            return true;
    }
    return false;
}

bool ParamFieldBody::removeParameter(const String& attribute) {
    const size_t before = m_params.size();
    std::erase_if(m_params, [&](const Parameter& p) { return Strcasecmp(p.attribute(), attribute) == 0; });
    if (m_params.size() == before)
        return false;
    setModified();
    return true;
}

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool IsTSpecial(unsigned char c) {
    return std::strchr("()<>@,;:\\\"/[]?=", c) != nullptr;
}

bool IsToken(const String& s) {
    if (s.empty())
        return false;
    for (size_t i = 0; i < s.length(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c <= 32 || c >= 127 || IsTSpecial(c))
            return false;
    }
    return true;
}

// Characters that stand for themselves in an RFC 2231 value; everything else is %XX.
bool IsAttributeChar(unsigned char c) {
    return c > 32 && c < 127 && !IsTSpecial(c) && c != '*' && c != '\'' && c != '%';
}

// Percent-encoded pieces of a UTF-8 value of at most maxLength characters, cut between characters.
std::vector<String> EncodedSegments(const String& value, size_t maxLength) {
    std::vector<String> segments(1);
    for (size_t i = 0; i < value.length();) {
        size_t next = i + 1;
        while (next < value.length() && (static_cast<unsigned char>(value[next]) & 0xC0) == 0x80)
            ++next;
        String piece;
        for (size_t k = i; k < next; ++k) {
            const unsigned char c = static_cast<unsigned char>(value[k]);
            if (IsAttributeChar(c)) {
                piece += static_cast<char>(c);
            } else {
                piece += '%';
                piece += kHex[c >> 4];
                piece += kHex[c & 15];
            }
        }
        if (!segments.back().empty() && segments.back().length() + piece.length() > maxLength)
            segments.emplace_back();
        segments.back() += piece;
        i = next;
    }
    return segments;
}

}  // namespace

// Written here rather than by GMime, whose encoder loops without end on long parameter names.
String ParamFieldBody::encodeParameters() const {
    String out;
    for (const Parameter& p : m_params) {
        // A name that is not a token cannot be written as a parameter; it is left out.
        if (!IsToken(p.attribute()) || p.attribute().find('*') != String::npos)
            continue;
        const String& name = p.attribute();
        const String value = detail::OneLine(p.value());
        if (IsToken(value)) {
            out += "; " + name + "=" + value;
        } else if (detail::IsPlainAscii(value)) {
            out += "; " + name + "=\"";
            for (size_t i = 0; i < value.length(); ++i) {
                if (value[i] == '"' || value[i] == '\\')
                    out += '\\';
                out += value[i];
            }
            out += "\"";
        } else {
            // Each segment on a folded line of its own: " name*N*=utf-8''" + segment + ";" in 78
            // characters, unless the name alone takes most of a line.
            const size_t room = name.length() < 33 ? 63 - name.length() : 30;
            const std::vector<String> segments = EncodedSegments(value, room);
            if (segments.size() == 1) {
                out += "; " + name + "*=utf-8''" + segments[0];
                continue;
            }
            for (size_t i = 0; i < segments.size(); ++i) {
                out += "; " + name + "*" + String(std::to_string(i)) + "*=" + (i == 0 ? "utf-8''" : "") + segments[i];
            }
        }
    }
    return out;
}

namespace detail {

std::vector<Parameter> FromGMime(void* gmimeParamList) {
    auto* list = static_cast<GMimeParamList*>(gmimeParamList);
    std::vector<Parameter> params;
    const int n = list ? g_mime_param_list_length(list) : 0;
    params.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        GMimeParam* p = g_mime_param_list_get_parameter_at(list, i);
        const char* name = g_mime_param_get_name(p);
        const char* value = g_mime_param_get_value(p);
        params.emplace_back(String(name ? name : ""), String(value ? value : ""));
    }
    return params;
}

}  // namespace detail

}  // namespace mimepp
