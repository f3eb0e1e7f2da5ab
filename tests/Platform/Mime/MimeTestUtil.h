// Helpers shared by the MIME tests: corpus files and a compact description of a tree.
#pragma once

#include "Platform/Mime/Mime.h"
#include "Support/TempHome.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace MimeTest {

inline std::filesystem::path CorpusDir() {
    return TestSupport::DataDir() / "mime";
}

inline mimepp::String ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return mimepp::String(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

inline mimepp::String Corpus(const char* name) {
    return ReadFile(CorpusDir() / name);
}

inline mimepp::Message Parsed(const mimepp::String& text) {
    mimepp::Message message(text);
    message.parse();
    return message;
}

// "type/subtype" of each entity, children in brackets, an encapsulated message in braces.
inline mimepp::String Shape(mimepp::Entity& entity) {
    mimepp::String out;
    if (entity.headers().hasField("Content-Type")) {
        mimepp::MediaType& type = entity.headers().contentType();
        out = type.type() + "/" + type.subtype();
        out.convertToLowerCase();
    } else {
        out = "-";
    }
    mimepp::Body& body = entity.body();
    if (body.numBodyParts() > 0) {
        out += "[";
        for (int i = 0; i < body.numBodyParts(); ++i) {
            if (i)
                out += ",";
            out += Shape(body.bodyPartAt(i));
        }
        out += "]";
    }
    if (body.message())
        out += "{" + Shape(*body.message()) + "}";
    return out;
}

// The first entity in depth-first order that has neither parts nor an encapsulated message.
inline mimepp::Entity* FirstLeaf(mimepp::Entity& entity) {
    if (entity.body().numBodyParts() > 0)
        return FirstLeaf(entity.body().bodyPartAt(0));
    if (entity.body().message())
        return FirstLeaf(*entity.body().message());
    return &entity;
}

}  // namespace MimeTest
