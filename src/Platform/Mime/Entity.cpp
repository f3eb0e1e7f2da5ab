#include "Platform/Mime/Entity.h"

#include "Platform/Mime/Builder.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

namespace mimepp {

namespace {

String NewBoundary() {
    static std::atomic<unsigned> s_counter{0};
    thread_local std::mt19937_64 t_random{
        std::random_device{}() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    char buf[64];
    std::snprintf(buf, sizeof buf, "=_Part_%u_%016llx", s_counter.fetch_add(1) + 1,
                  static_cast<unsigned long long>(t_random()));
    return String(buf);
}

// True when "--boundary" starts a line of the text.
bool ContainsBoundary(const String& text, const String& boundary) {
    const String dash = "--" + boundary;
    for (size_t p = text.find(dash); p != String::npos; p = text.find(dash, p + 1)) {
        if (p == 0 || text[p - 1] == '\n')
            return true;
    }
    return false;
}

}  // namespace

Entity::Entity() : m_headers(String(), this), m_body(String(), this) {}

Entity::Entity(const String& text, Node* parent)
    : Node(text, parent), m_headers(String(), this), m_body(String(), this) {}

Entity::Entity(const Entity& other) : Node(other), m_headers(other.m_headers), m_body(other.m_body) {
    m_headers.setParent(this);
    m_body.setParent(this);
}

Entity::~Entity() = default;

void Entity::parse() {
    detail::Builder::ParseEntity(*this, 0);
}

void Entity::assemble() {
    if (!m_bModified)
        return;
    // The body first: writing a multipart body may set the boundary in the headers.
    m_body.assemble();
    m_headers.assemble();
    String text;
    text.reserve(m_headers.getString().length() + m_body.getString().length());
    text += m_headers.getString();
    text += m_body.getString();
    setText(std::move(text));
    m_bModified = false;
}

void Entity::prepareMultipart() {
    for (auto& part : m_body.m_parts)
        part->assemble();
    // Readers disagree on which of several Content-Type fields counts; keep only the one written.
    const Field* first = m_headers.findField("Content-Type");
    for (int i = m_headers.numFields() - 1; i >= 0; --i) {
        const Field& field = m_headers.fieldAt(i);
        if (&field != first && Strcasecmp(field.fieldName(), "Content-Type") == 0)
            m_headers.removeFieldAt(i);
    }
    MediaType& type = m_headers.contentType();
    if (type.typeAsEnum() != MediaType::MULTIPART) {
        type.setType(MediaType::MULTIPART);
        type.setSubtype("mixed");
    }
    auto collides = [&](const String& boundary) {
        if (ContainsBoundary(m_body.m_sPreamble, boundary) || ContainsBoundary(m_body.m_sEpilogue, boundary)) {
            return true;
        }
        for (const auto& part : m_body.m_parts) {
            if (ContainsBoundary(part->getString(), boundary))
                return true;
        }
        return false;
    };
    String boundary = type.boundary();
    if (boundary.empty() || collides(boundary)) {
        do {
            boundary = NewBoundary();
        } while (collides(boundary));
        type.setBoundary(boundary);
    }
    if (Field* cte = m_headers.findField("Content-Transfer-Encoding")) {
        const auto encoding = static_cast<TransferEncodingType&>(cte->fieldBody()).asEnum();
        if (encoding == TransferEncodingType::BASE64 || encoding == TransferEncodingType::QUOTED_PRINTABLE) {
            m_headers.removeField("Content-Transfer-Encoding");
        }
    }
}

}  // namespace mimepp
