#include "Platform/Mime/Entity.h"

#include "Platform/Mime/Builder.h"
#include "Platform/Mime/MediaType.h"
#include "Platform/Mime/TransferEncoding.h"

#include <algorithm>
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

// Looks for "--boundary" at the start of a line of a text that comes in pieces, so that a part's
// text need not be put together to be searched.
class BoundaryScan {
public:
    explicit BoundaryScan(const String& boundary) : m_sDash("--" + boundary.str()) {}

    bool found() const { return m_bFound; }

    void feed(std::string_view piece) {
        if (m_bFound || piece.empty())
            return;
        const std::string_view dash = m_sDash;
        // Matches that start in the text before this piece and end in it.
        if (!m_sTail.empty()) {
            m_sJoin.assign(m_sTail).append(piece.substr(0, dash.size() - 1));
            for (size_t p = m_sJoin.find(dash); p != std::string::npos && p < m_sTail.size();
                 p = m_sJoin.find(dash, p + 1)) {
                if (p == 0 ? m_bTailAtLineStart : m_sJoin[p - 1] == '\n') {
                    m_bFound = true;
                    return;
                }
            }
        }
        const bool bLineStart = m_sTail.empty() ? m_bTailAtLineStart : m_sTail.back() == '\n';
        for (size_t p = piece.find(dash); p != std::string_view::npos; p = piece.find(dash, p + 1)) {
            if (p == 0 ? bLineStart : piece[p - 1] == '\n') {
                m_bFound = true;
                return;
            }
        }
        // Keep the last bytes, too few for a whole match, for the next piece.
        const size_t keep = dash.size() - 1;
        if (piece.size() > keep) {
            m_bTailAtLineStart = piece[piece.size() - keep - 1] == '\n';
            m_sTail.assign(piece.substr(piece.size() - keep));
            return;
        }
        m_sTail.append(piece);
        if (m_sTail.size() > keep) {
            const size_t drop = m_sTail.size() - keep;
            m_bTailAtLineStart = m_sTail[drop - 1] == '\n';
            m_sTail.erase(0, drop);
        }
    }

private:
    std::string m_sDash;
    std::string m_sTail;             // the end of the text so far, shorter than m_sDash
    std::string m_sJoin;             // the tail and the start of the next piece
    bool m_bTailAtLineStart = true;  // the tail starts a line (the start of the text does)
    bool m_bFound = false;
};

// True when "--boundary" starts a line of the text.
bool ContainsBoundary(const Node& node, const String& boundary) {
    BoundaryScan scan(boundary);
    node.forEachPiece([&](std::string_view piece) { scan.feed(piece); });
    return scan.found();
}

bool ContainsBoundary(const String& text, const String& boundary) {
    BoundaryScan scan(boundary);
    scan.feed(text);
    return scan.found();
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
    setComposed();
    m_bModified = false;
}

void Entity::forEachPiece(const std::function<void(std::string_view)>& sink) const {
    if (!isComposed()) {
        Node::forEachPiece(sink);
        return;
    }
    m_headers.forEachPiece(sink);
    m_body.forEachPiece(sink);
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
            if (ContainsBoundary(*part, boundary))
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
