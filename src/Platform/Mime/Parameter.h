// Parameters of Content-Type and Content-Disposition, and the field body that carries them.
// Values are held decoded, as UTF-8; RFC 2231 and RFC 2047 forms are decoded when read, and
// non-ASCII values are written in RFC 2231 form with the UTF-8 charset.
#pragma once

#include "Platform/Mime/FieldBody.h"

#include <vector>

namespace mimepp {

class Parameter {
public:
    Parameter() = default;
    Parameter(const String& attribute, const String& value) : m_sAttribute(attribute), m_sValue(value) {}

    const String& attribute() const { return m_sAttribute; }
    void setAttribute(const String& attribute) { m_sAttribute = attribute; }
    const String& value() const { return m_sValue; }
    void setValue(const String& value) { m_sValue = value; }

private:
    String m_sAttribute;
    String m_sValue;
};

// A field body of the form "token; attribute=value; ...".
class ParamFieldBody : public FieldBody {
public:
    static constexpr Class kClass{"ParamFieldBody", &FieldBody::kClass};
    const Class& class_() const override { return kClass; }

    int numParameters() const { return static_cast<int>(m_params.size()); }
    const Parameter& parameterAt(int index) const { return m_params.at(static_cast<size_t>(index)); }
    void addParameter(const Parameter& param);
    void addParameter(const String& attribute, const String& value) { addParameter(Parameter(attribute, value)); }
    // Replaces the first parameter of that name (compared case-insensitively), or adds it.
    void setParameter(const String& attribute, const String& value);
    // The value of the first parameter of that name; empty when absent.
    String parameter(const String& attribute) const;
    bool hasParameter(const String& attribute) const;
    // Removes every parameter of that name; true when one was removed.
    bool removeParameter(const String& attribute);

protected:
    ParamFieldBody() = default;
    explicit ParamFieldBody(const String& text, Node* parent) : FieldBody(text, parent) {}

    // "; a=b; c=\"d e\"; f*=utf-8''..." for the current parameters; long encoded values are split
    // into RFC 2231 continuations.
    String encodeParameters() const;

    std::vector<Parameter> m_params;
};

namespace detail {
// Copies GMime's decoded parameters.
std::vector<Parameter> FromGMime(void* gmimeParamList);
}  // namespace detail

}  // namespace mimepp
