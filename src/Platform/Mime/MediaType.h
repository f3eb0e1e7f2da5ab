// MediaType: the value of Content-Type ("type/subtype; parameters").
#pragma once

#include "Platform/Mime/Parameter.h"

namespace mimepp {

class MediaType : public ParamFieldBody {
public:
    static constexpr Class kClass{"MediaType", &ParamFieldBody::kClass};

    enum Type { NONE = 0, UNKNOWN, TEXT, MULTIPART, MESSAGE, APPLICATION, IMAGE, AUDIO, VIDEO, MODEL, FONT };

    MediaType() = default;
    explicit MediaType(const String& text, Node* parent = nullptr) : ParamFieldBody(text, parent) {}
    const Class& class_() const override { return kClass; }

    // Empty for an empty value (a missing Content-Type field).
    const String& type() const { return m_sType; }
    const String& subtype() const { return m_sSubtype; }
    // NONE when the type is empty, UNKNOWN when it is not one of the registered top-level types.
    Type typeAsEnum() const;

    void setType(const String& type);
    void setType(Type type);
    void setSubtype(const String& subtype);

    // The "name", "boundary" and "charset" parameters.
    String name() const { return parameter("name"); }
    void setName(const String& nameUtf8) { setParameter("name", nameUtf8); }
    String boundary() const { return parameter("boundary"); }
    void setBoundary(const String& boundary) { setParameter("boundary", boundary); }
    String charset() const { return parameter("charset"); }
    void setCharset(const String& charset) { setParameter("charset", charset); }

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new MediaType(*this); }

private:
    String m_sType;
    String m_sSubtype;
};

}  // namespace mimepp
