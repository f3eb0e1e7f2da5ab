// The vCard 3.0 builder: properties with parameters and structured values, text escaping and
// line folding. All text is UTF-8.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::IcalVcard {

// NAME=VALUE, NAME="VALUE" when quoted, or the bare name when it has no value.
struct VParameter {
    std::string m_sName;
    std::string m_sValue;
    bool m_bQuoted = false;

    std::string ToString() const;
};

// Components joined by ";", the values of one component by ","; every value is escaped unless
// the whole value is raw (Base64 data, dates).
class VStructuredValue {
public:
    VStructuredValue() = default;
    // One component holding one value.
    static VStructuredValue Text(std::string_view sText);
    static VStructuredValue Raw(std::string_view sText);

    // Appends a component of one value.
    void AddComponent(std::string_view sValue);
    bool IsRaw() const { return m_bRaw; }
    const std::vector<std::vector<std::string>>& Components() const { return m_components; }
    std::string ToString() const;

private:
    std::vector<std::vector<std::string>> m_components;
    bool m_bRaw = false;
};

struct VProperty {
    std::string m_sName;
    std::vector<VParameter> m_params;
    VStructuredValue m_value;

    // The unfolded line without its line break.
    std::string ToString() const;
};

class VCard {
public:
    void Add(VProperty property) { m_properties.push_back(std::move(property)); }
    const std::vector<VProperty>& Properties() const { return m_properties; }
    // BEGIN, VERSION 3.0, every property folded, END; each line ends with CRLF.
    std::string ToString() const;

    // A line break becomes "\n", CR is dropped, and ",", ";" and backslash get a backslash.
    static std::string Escape(std::string_view sValue);
    // Lines longer than 75 bytes are cut into a first piece of at most 75 bytes and further pieces
    // of at most 74, joined by CRLF and a blank. A cut never falls inside a UTF-8 sequence.
    static std::string Fold(std::string_view sLine);

private:
    std::vector<VProperty> m_properties;
};

}  // namespace Ostrel::IcalVcard
