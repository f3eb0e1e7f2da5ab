#include "Platform/Mime/Builder.h"

#include "Platform/Mime/Entity.h"
#include "Platform/Mime/GMimeSupport.h"
#include "Platform/Mime/MediaType.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace mimepp::detail {

namespace {

struct Delimiter {
    size_t lineStart;
    size_t lineEnd;  // after the line break, or the end of the range
    bool bClose;
};

struct Range {
    size_t s;
    size_t e;
};

}  // namespace

class Builder::Tree {
public:
    explicit Tree(std::shared_ptr<const std::string> text) : m_pText(std::move(text)), m_text(*m_pText) {
        EnsureGMime();
        // GMime reads the text in place: the array only lends it the bytes and is never written.
        m_pArray = g_byte_array_new_take(reinterpret_cast<guint8*>(const_cast<char*>(m_text.data())), m_text.size());
        m_stream.reset(g_mime_stream_mem_new_with_byte_array(m_pArray));
        g_mime_stream_mem_set_owner(GMIME_STREAM_MEM(m_stream.get()), FALSE);
        GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(m_stream.get()));
        g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
        m_root.reset(g_mime_parser_construct_part(parser.get(), ParserOptions()));
    }
    ~Tree() {
        m_root.reset();
        m_stream.reset();
        g_byte_array_free(m_pArray, FALSE);
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    const std::string& text() const { return m_text; }
    GMimeObject* root() const { return m_root.get(); }

    void BuildEntity(Entity& entity, size_t s, size_t e, GMimeObject* obj, int depth);
    void BuildHeaders(Headers& headers, size_t s, size_t hb, const std::vector<size_t>& offsets);
    void BuildBody(Body& body, size_t s, size_t e, GMimeObject* shape, int depth);

    std::vector<size_t> Offsets(GMimeObject* obj, size_t s, size_t e) const;

private:
    String Sub(size_t s, size_t e) const { return String(m_text.data() + s, e - s); }
    static GMimeObject* Shape(GMimeObject* obj);
    bool ContentRange(GMimeObject* shape, size_t& b, size_t& e) const;
    size_t HeaderEnd(size_t s, size_t e, const std::vector<size_t>& offsets) const;
    std::vector<Delimiter> Scan(size_t s, size_t e, const std::string& boundary) const;
    std::vector<Range> Ranges(const std::vector<Delimiter>& delims, size_t e) const;
    void SetPreambleEpilogue(Body& body, size_t s, size_t e, const std::string& boundary,
                             const std::vector<Delimiter>& delims) const;
    void BuildMultipart(Body& body, size_t s, size_t e, GMimeMultipart* mp, int depth);
    void BuildFromLines(Body& body, size_t s, size_t e, const std::string& boundary,
                        const std::vector<Delimiter>& delims, int depth);
    void BuildFallback(Body& body, GMimeMultipart* mp, int depth);
    static bool ReusesBoundary(GMimeObject* obj, const std::string& boundary);

    std::shared_ptr<const std::string> m_pText;
    const std::string& m_text;
    GByteArray* m_pArray = nullptr;
    GPtr<GMimeStream> m_stream;
    GPtr<GMimeObject> m_root;
};

GMimeObject* Builder::Tree::Shape(GMimeObject* obj) {
    if (obj && GMIME_IS_MESSAGE(obj))
        return g_mime_message_get_mime_part(GMIME_MESSAGE(obj));
    return obj;
}

// Offsets of the object's header lines inside [s, e); a message's headers are split by GMime
// between the message and its top part, so both lists are merged.
std::vector<size_t> Builder::Tree::Offsets(GMimeObject* obj, size_t s, size_t e) const {
    std::vector<size_t> out;
    auto collect = [&](GMimeObject* o) {
        GMimeHeaderList* list = o ? g_mime_object_get_header_list(o) : nullptr;
        const int n = list ? g_mime_header_list_get_count(list) : 0;
        for (int i = 0; i < n; ++i) {
            const gint64 off = g_mime_header_get_offset(g_mime_header_list_get_header_at(list, i));
            if (off >= 0 && static_cast<size_t>(off) >= s && static_cast<size_t>(off) < e) {
                out.push_back(static_cast<size_t>(off));
            }
        }
    };
    collect(obj);
    if (obj && GMIME_IS_MESSAGE(obj))
        collect(Shape(obj));
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

bool Builder::Tree::ContentRange(GMimeObject* shape, size_t& b, size_t& e) const {
    if (!shape || !GMIME_IS_PART(shape))
        return false;
    GMimeDataWrapper* wrapper = g_mime_part_get_content(GMIME_PART(shape));
    GMimeStream* stream = wrapper ? g_mime_data_wrapper_get_stream(wrapper) : nullptr;
    if (!stream || stream->super_stream != m_stream.get() || stream->bound_start < 0 ||
        stream->bound_end < stream->bound_start) {
        return false;
    }
    b = static_cast<size_t>(stream->bound_start);
    e = std::min(static_cast<size_t>(stream->bound_end), m_text.size());
    return b <= e;
}

// End of the header block that starts at s: just after the first empty line following the last
// header, or e when there is none.
size_t Builder::Tree::HeaderEnd(size_t s, size_t e, const std::vector<size_t>& offsets) const {
    const std::string& t = m_text;
    if (offsets.empty()) {
        if (s < e && t[s] == '\n')
            return s + 1;
        if (s + 1 < e && t[s] == '\r' && t[s + 1] == '\n')
            return s + 2;
        return s;
    }
    for (size_t p = offsets.back(); p < e;) {
        const size_t nl = t.find('\n', p);
        if (nl == std::string::npos || nl >= e)
            return e;
        if (nl + 1 < e && t[nl + 1] == '\n')
            return nl + 2;
        if (nl + 2 < e && t[nl + 1] == '\r' && t[nl + 2] == '\n')
            return nl + 3;
        p = nl + 1;
    }
    return e;
}

// Boundary lines inside [s, e): "--boundary" at the start of a line, optionally "--", then only
// blanks; the scan stops at the first closing line, as GMime does.
std::vector<Delimiter> Builder::Tree::Scan(size_t s, size_t e, const std::string& boundary) const {
    std::vector<Delimiter> out;
    const std::string dash = "--" + boundary;
    const std::string_view t(m_text.data(), e);
    for (size_t p = t.find(dash, s); p != std::string_view::npos; p = t.find(dash, p + 1)) {
        if (p != s && t[p - 1] != '\n')
            continue;
        size_t q = p + dash.size();
        bool bClose = false;
        if (q + 1 < e && t[q] == '-' && t[q + 1] == '-') {
            bClose = true;
            q += 2;
        }
        while (q < e && (t[q] == ' ' || t[q] == '\t' || t[q] == '\r'))
            ++q;
        if (q < e && t[q] != '\n')
            continue;
        out.push_back({p, q < e ? q + 1 : e, bClose});
        if (bClose)
            break;
    }
    return out;
}

// The parts' ranges: from after each opening line to the line break before the next boundary
// line (that line break belongs to the boundary), the last part to the end when nothing closes.
std::vector<Range> Builder::Tree::Ranges(const std::vector<Delimiter>& delims, size_t e) const {
    std::vector<Range> ranges;
    for (size_t i = 0; i < delims.size() && !delims[i].bClose; ++i) {
        const size_t cs = delims[i].lineEnd;
        size_t ce = e;
        if (i + 1 < delims.size()) {
            ce = delims[i + 1].lineStart;
            if (ce > cs && m_text[ce - 1] == '\n')
                --ce;
            if (ce > cs && m_text[ce - 1] == '\r')
                --ce;
        }
        ranges.push_back({cs, std::max(ce, cs)});
    }
    return ranges;
}

void Builder::Tree::SetPreambleEpilogue(Body& body, size_t s, size_t e, const std::string& boundary,
                                        const std::vector<Delimiter>& delims) const {
    body.m_sPreamble = Sub(s, delims.empty() ? e : delims.front().lineStart);
    if (!delims.empty() && delims.back().bClose) {
        body.m_sEpilogue = Sub(std::min(delims.back().lineStart + boundary.size() + 4, e), e);
    }
}

void Builder::Tree::BuildEntity(Entity& entity, size_t s, size_t e, GMimeObject* obj, int depth) {
    entity.setSlice(m_pText, s, e - s);
    entity.m_bModified = false;
    const std::vector<size_t> offsets = Offsets(obj, s, e);
    GMimeObject* shape = Shape(obj);
    size_t cb = 0;
    size_t ce = 0;
    size_t hb = 0;
    if (ContentRange(shape, cb, ce) && cb >= s && cb <= e && (offsets.empty() || cb > offsets.back())) {
        hb = cb;
    } else {
        hb = HeaderEnd(s, e, offsets);
    }
    BuildHeaders(entity.m_headers, s, hb, offsets);
    BuildBody(entity.m_body, hb, e, shape, depth);
}

void Builder::Tree::BuildHeaders(Headers& headers, size_t s, size_t hb, const std::vector<size_t>& offsets) {
    const std::string& t = m_text;
    headers.setSlice(m_pText, s, hb - s);
    headers.m_fields.clear();
    headers.m_pending.clear();
    headers.m_sEnd.clear();
    headers.m_bModified = false;
    // The empty line that ends the block belongs to no field.
    size_t fieldsEnd = hb;
    if (hb > s && t[hb - 1] == '\n') {
        if (hb - s >= 2 && t[hb - 2] == '\r' && (hb - 2 == s || t[hb - 3] == '\n')) {
            fieldsEnd = hb - 2;
        } else if (hb - 1 == s || t[hb - 2] == '\n') {
            fieldsEnd = hb - 1;
        }
        headers.m_sEnd = Sub(fieldsEnd, hb);
    }
    for (size_t i = 0; i < offsets.size(); ++i) {
        const size_t fs = offsets[i];
        if (fs < s || fs >= fieldsEnd)
            continue;
        const size_t fe = std::min(i + 1 < offsets.size() ? offsets[i + 1] : fieldsEnd, fieldsEnd);
        if (fe <= fs)
            continue;
        auto field = std::make_unique<Field>(Sub(fs, fe), &headers);
        field->parse();
        headers.m_fields.push_back(std::move(field));
    }
}

void Builder::Tree::BuildBody(Body& body, size_t s, size_t e, GMimeObject* shape, int depth) {
    body.setSlice(m_pText, s, e - s);
    body.clearParts();
    body.m_sPreamble.clear();
    body.m_sEpilogue.clear();
    body.m_bModified = false;
    if (!shape || depth >= Entity::kMaxDepth)
        return;
    if (GMIME_IS_MULTIPART(shape)) {
        body.m_bMultipart = true;
        BuildMultipart(body, s, e, GMIME_MULTIPART(shape), depth);
    } else if (GMIME_IS_MESSAGE_PART(shape)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(shape));
        if (!inner)
            return;
        auto message = std::make_unique<Message>();
        message->setParent(&body);
        BuildEntity(*message, s, e, GMIME_OBJECT(inner), depth + 1);
        body.m_pMessage = std::move(message);
    }
}

// True when a multipart inside obj uses the same boundary, which only GMime's nesting rule reads
// right.
bool Builder::Tree::ReusesBoundary(GMimeObject* obj, const std::string& boundary) {
    obj = Shape(obj);
    if (!obj)
        return false;
    if (GMIME_IS_MESSAGE_PART(obj)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
        return inner && ReusesBoundary(GMIME_OBJECT(inner), boundary);
    }
    if (!GMIME_IS_MULTIPART(obj))
        return false;
    const char* b = g_mime_object_get_content_type_parameter(obj, "boundary");
    if (b && boundary == b)
        return true;
    const int count = g_mime_multipart_get_count(GMIME_MULTIPART(obj));
    for (int i = 0; i < count; ++i) {
        if (ReusesBoundary(g_mime_multipart_get_part(GMIME_MULTIPART(obj), i), boundary))
            return true;
    }
    return false;
}

// Gives each part its exact range between boundary lines and builds it from GMime's reading.
// When the lines do not match GMime's parts (GMime drops a part whose headers run into the next
// boundary), the lines decide and each part is parsed from its own text; only when a nested
// multipart reuses the boundary is GMime's nesting taken as it is.
void Builder::Tree::BuildMultipart(Body& body, size_t s, size_t e, GMimeMultipart* mp, int depth) {
    const char* b = g_mime_object_get_content_type_parameter(GMIME_OBJECT(mp), "boundary");
    const std::string boundary = b ? b : "";
    const int count = g_mime_multipart_get_count(mp);
    if (boundary.empty()) {
        if (count > 0)
            BuildFallback(body, mp, depth);
        return;
    }
    const std::vector<Delimiter> delims = Scan(s, e, boundary);
    const std::vector<Range> ranges = Ranges(delims, e);

    bool bMatches = ranges.size() == static_cast<size_t>(count);
    for (size_t i = 0; bMatches && i < ranges.size(); ++i) {
        GMimeObject* child = g_mime_multipart_get_part(mp, static_cast<int>(i));
        for (size_t off : Offsets(child, 0, m_text.size())) {
            if (off < ranges[i].s || off >= ranges[i].e)
                bMatches = false;
        }
        size_t cb = 0;
        size_t ce = 0;
        if (ContentRange(Shape(child), cb, ce) && (cb < ranges[i].s || ce > ranges[i].e))
            bMatches = false;
    }
    if (!bMatches) {
        bool bReused = false;
        for (int i = 0; i < count && !bReused; ++i)
            bReused = ReusesBoundary(g_mime_multipart_get_part(mp, i), boundary);
        if (bReused) {
            BuildFallback(body, mp, depth);
        } else {
            BuildFromLines(body, s, e, boundary, delims, depth);
        }
        return;
    }
    SetPreambleEpilogue(body, s, e, boundary, delims);
    for (size_t i = 0; i < ranges.size(); ++i) {
        auto part = std::make_unique<BodyPart>();
        part->setParent(&body);
        BuildEntity(*part, ranges[i].s, ranges[i].e, g_mime_multipart_get_part(mp, static_cast<int>(i)), depth + 1);
        body.m_parts.push_back(std::move(part));
    }
}

void Builder::Tree::BuildFromLines(Body& body, size_t s, size_t e, const std::string& boundary,
                                   const std::vector<Delimiter>& delims, int depth) {
    SetPreambleEpilogue(body, s, e, boundary, delims);
    for (const Range& range : Ranges(delims, e)) {
        auto part = std::make_unique<BodyPart>(Sub(range.s, range.e), &body);
        Builder::ParseEntity(*part, depth + 1);
        body.m_parts.push_back(std::move(part));
    }
}

// Boundaries GMime read differently from the plain line rule (for example a nested multipart
// reusing its parent's boundary): each part is taken as GMime writes it and parsed on its own.
void Builder::Tree::BuildFallback(Body& body, GMimeMultipart* mp, int depth) {
    const char* prologue = g_mime_multipart_get_prologue(mp);
    const char* epilogue = g_mime_multipart_get_epilogue(mp);
    body.m_sPreamble = prologue && *prologue ? String(prologue) + "\r\n" : String();
    body.m_sEpilogue = epilogue && *epilogue ? String("\r\n") + epilogue : String();
    const int count = g_mime_multipart_get_count(mp);
    for (int i = 0; i < count; ++i) {
        GText text(g_mime_object_to_string(g_mime_multipart_get_part(mp, i), FormatOptions()));
        auto part = std::make_unique<BodyPart>(text.str(), &body);
        Builder::ParseEntity(*part, depth + 1);
        body.m_parts.push_back(std::move(part));
    }
}

void Builder::ParseEntity(Entity& entity, int depth) {
    // The entity's own text becomes the shared text of the new tree, without a copy.
    std::shared_ptr<const std::string> text;
    if (entity.m_pSlice && entity.m_sliceStart == 0 && entity.m_sliceLength == entity.m_pSlice->size()) {
        text = entity.m_pSlice;
    } else {
        entity.getString();
        text = std::make_shared<const std::string>(std::move(entity.m_string.str()));
    }
    Tree tree(std::move(text));
    tree.BuildEntity(entity, 0, tree.text().size(), tree.root(), depth);
}

void Builder::ParseHeaders(Headers& headers) {
    Tree tree(std::make_shared<const std::string>(headers.getString().str()));
    tree.BuildHeaders(headers, 0, tree.text().size(), tree.Offsets(tree.root(), 0, tree.text().size()));
}

void Builder::ParseBody(Body& body) {
    const auto* entity = dynamic_cast<const Entity*>(body.parent());
    const Field* ct = entity ? entity->headers().findField("Content-Type") : nullptr;
    if (!ct) {
        Tree tree(std::make_shared<const std::string>(body.getString().str()));
        tree.BuildBody(body, 0, tree.text().size(), nullptr, 0);
        return;
    }
    // The body is read under a header block holding only the owner's Content-Type, so that GMime
    // knows how to split it.
    Field copy(*ct);
    copy.assemble();
    std::string text = "Content-Type: " + detail::Unfold(copy.fieldBody().getString()).str() + "\r\n\r\n";
    const size_t prefix = text.size();
    text += body.getString().str();
    Tree tree(std::make_shared<const std::string>(std::move(text)));
    tree.BuildBody(body, prefix, tree.text().size(), tree.root(), 0);
}

}  // namespace mimepp::detail
