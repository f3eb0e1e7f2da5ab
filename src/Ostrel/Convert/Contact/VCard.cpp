#include "Ostrel/Convert/Contact/VCard.h"

namespace Ostrel::IcalVcard {

std::string VParameter::ToString() const {
    if (m_sValue.empty() && !m_bQuoted)
        return m_sName;
    return m_bQuoted ? m_sName + "=\"" + m_sValue + "\"" : m_sName + "=" + m_sValue;
}

VStructuredValue VStructuredValue::Text(std::string_view sText) {
    VStructuredValue value;
    value.AddComponent(sText);
    return value;
}

VStructuredValue VStructuredValue::Raw(std::string_view sText) {
    VStructuredValue value = Text(sText);
    value.m_bRaw = true;
    return value;
}

void VStructuredValue::AddComponent(std::string_view sValue) {
    m_components.push_back({std::string(sValue)});
}

std::string VStructuredValue::ToString() const {
    std::string out;
    for (size_t i = 0; i < m_components.size(); ++i) {
        if (i)
            out += ';';
        for (size_t j = 0; j < m_components[i].size(); ++j) {
            if (j)
                out += ',';
            out += m_bRaw ? m_components[i][j] : VCard::Escape(m_components[i][j]);
        }
    }
    return out;
}

std::string VProperty::ToString() const {
    std::string line = m_sName;
    for (const VParameter& param : m_params) {
        line += ';';
        line += param.ToString();
    }
    line += ':';
    line += m_value.ToString();
    return line;
}

std::string VCard::Escape(std::string_view sValue) {
    std::string out;
    out.reserve(sValue.size());
    for (char c : sValue) {
        switch (c) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                break;
            case ',':
            case ';':
            case '\\':
                out += '\\';
                out += c;
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string VCard::Fold(std::string_view sLine) {
    std::string out;
    out.reserve(sLine.size() + sLine.size() / 37 + 3);
    size_t pos = 0;
    size_t limit = 75;
    while (sLine.size() - pos > limit) {
        size_t cut = pos + limit;
        // Back off to the start of a UTF-8 sequence (continuation bytes are 10xxxxxx).
        while (cut > pos + 1 && (static_cast<unsigned char>(sLine[cut]) & 0xC0) == 0x80)
            --cut;
        out.append(sLine.substr(pos, cut - pos));
        out += "\r\n ";
        pos = cut;
        limit = 74;
    }
    out.append(sLine.substr(pos));
    return out;
}

std::string VCard::ToString() const {
    std::string out = "BEGIN:VCARD\r\nVERSION:3.0\r\n";
    for (const VProperty& property : m_properties) {
        out += Fold(property.ToString());
        out += "\r\n";
    }
    out += "END:VCARD\r\n";
    return out;
}

}  // namespace Ostrel::IcalVcard
