#include "Platform/Mime/Parameter.h"

#include "Platform/Mime/GMimeSupport.h"

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
        if (Strcasecmp(p.attribute(), attribute) == 0) return p.value();
    }
    return String();
}

bool ParamFieldBody::hasParameter(const String& attribute) const {
    for (const Parameter& p : m_params) {
        if (Strcasecmp(p.attribute(), attribute) == 0) return true;
    }
    return false;
}

bool ParamFieldBody::removeParameter(const String& attribute) {
    const size_t before = m_params.size();
    std::erase_if(m_params, [&](const Parameter& p) { return Strcasecmp(p.attribute(), attribute) == 0; });
    if (m_params.size() == before) return false;
    setModified();
    return true;
}

String ParamFieldBody::encodeParameters() const {
    detail::EnsureGMime();
    detail::GPtr<GMimeParamList> list(g_mime_param_list_new());
    for (const Parameter& p : m_params) {
        const String name = detail::OneLine(p.attribute());
        if (name.empty()) continue;
        const String value = detail::OneLine(p.value());
        g_mime_param_list_set_parameter(list.get(), name.c_str(), value.c_str());
        // GMime would otherwise pick the smallest charset that fits; UTF-8 is what readers expect.
        if (!detail::IsPlainAscii(value)) {
            g_mime_param_set_charset(g_mime_param_list_get_parameter(list.get(), name.c_str()), "utf-8");
        }
    }
    GString* out = g_string_new(nullptr);
    g_mime_param_list_encode(list.get(), detail::FormatOptions(), FALSE, out);
    String result(out->str, out->len);
    g_string_free(out, TRUE);
    return result;
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
