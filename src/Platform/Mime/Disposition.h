// DispositionType: the value of Content-Disposition ("inline" or "attachment" with parameters).
#pragma once

#include "Platform/Mime/Parameter.h"

namespace mimepp {

class DispositionType : public ParamFieldBody {
public:
    static constexpr Class kClass{"DispositionType", &ParamFieldBody::kClass};

    enum Type { NONE = 0, UNKNOWN, INLINE, ATTACHMENT };

    DispositionType() = default;
    explicit DispositionType(const String& text, Node* parent = nullptr) : ParamFieldBody(text, parent) {}
    const Class& class_() const override { return kClass; }

    Type asEnum() const;
    const String& type() const { return m_sType; }
    void setType(Type type);
    void setType(const String& type);

    // The "filename" parameter, decoded (UTF-8). A value without a type is written as attachment.
    String filename() const { return parameter("filename"); }
    void setFilename(const String& filenameUtf8) { setParameter("filename", filenameUtf8); }

    void parse() override;
    void assemble() override;
    Node* clone() const override { return new DispositionType(*this); }

private:
    String m_sType;
};

}  // namespace mimepp
