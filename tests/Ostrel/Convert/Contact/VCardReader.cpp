// The strict vCard reader of the tests (see ContactTestSupport.h).
#include "ContactTestSupport.h"

namespace ContactConvertTest {

namespace {

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!n || i + n > s.size())
            return false;
        for (size_t j = 1; j < n; ++j)
            if ((static_cast<unsigned char>(s[i + j]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

bool Fail(const std::string& why) {
    ADD_FAILURE() << "vCard: " << why;
    return false;
}

// Splits at unescaped separators, then unescapes each piece.
bool SplitValue(const std::string& raw, std::vector<std::vector<std::string>>& components) {
    components.assign(1, std::vector<std::string>(1));
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\\') {
            if (i + 1 == raw.size())
                return Fail("a backslash ends the value");
            char e = raw[++i];
            if (e == 'n' || e == 'N')
                components.back().back() += '\n';
            else if (e == '\\' || e == ';' || e == ',')
                components.back().back() += e;
            else
                return Fail(std::string("unknown escape \\") + e);
        } else if (c == ';') {
            components.emplace_back(1);
        } else if (c == ',') {
            components.back().emplace_back();
        } else if (c == '\r' || c == '\n') {
            return Fail("a raw line break in a value");
        } else {
            components.back().back() += c;
        }
    }
    return true;
}

}  // namespace

std::string VProp::Param(const std::string& sParam) const {
    for (const auto& [name, value] : params)
        if (name == sParam)
            return value;
    return std::string();
}

std::string VProp::Text() const {
    return components.empty() || components[0].empty() ? std::string() : components[0][0];
}

bool ReadVCard(const std::string& sText, std::vector<VProp>& props) {
    props.clear();
    if (!ValidUtf8(sText))
        return Fail("not UTF-8");
    std::vector<std::string> physical;
    size_t pos = 0;
    while (pos < sText.size()) {
        size_t end = sText.find("\r\n", pos);
        if (end == std::string::npos)
            return Fail("a line without CRLF");
        std::string line = sText.substr(pos, end - pos);
        if (line.find('\n') != std::string::npos || line.find('\r') != std::string::npos)
            return Fail("a bare CR or LF");
        if (line.size() > 75)
            return Fail("a line of " + std::to_string(line.size()) + " bytes");
        if (!ValidUtf8(line))
            return Fail("a fold inside a UTF-8 sequence");
        physical.push_back(std::move(line));
        pos = end + 2;
    }
    std::vector<std::string> logical;
    for (std::string& line : physical) {
        if (!line.empty() && line[0] == ' ') {
            if (logical.empty())
                return Fail("a continuation first");
            logical.back() += line.substr(1);
        } else {
            logical.push_back(std::move(line));
        }
    }
    if (logical.size() < 3 || logical.front() != "BEGIN:VCARD" || logical[1] != "VERSION:3.0" ||
        logical.back() != "END:VCARD")
        return Fail("no BEGIN, VERSION 3.0 and END");
    for (size_t i = 2; i + 1 < logical.size(); ++i) {
        const std::string& line = logical[i];
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            return Fail("no colon in " + line);
        VProp prop;
        std::string head = line.substr(0, colon);
        prop.sRaw = line.substr(colon + 1);
        size_t semi = head.find(';');
        prop.sName = head.substr(0, semi);
        if (prop.sName.empty() ||
            prop.sName.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-") != std::string::npos)
            return Fail("bad name " + prop.sName);
        while (semi != std::string::npos) {
            size_t next = head.find(';', semi + 1);
            std::string param = head.substr(semi + 1, next == std::string::npos ? std::string::npos : next - semi - 1);
            size_t eq = param.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == param.size())
                return Fail("bad parameter " + param);
            prop.params.emplace_back(param.substr(0, eq), param.substr(eq + 1));
            semi = next;
        }
        if (!SplitValue(prop.sRaw, prop.components))
            return false;
        props.push_back(std::move(prop));
    }
    return true;
}

}  // namespace ContactConvertTest
