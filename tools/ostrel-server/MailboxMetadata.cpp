// Mailbox metadata sections. A section may arrive as one entry "compressed": the hex text of the
// deflated `meta` element (a zlib stream flushed with a sync marker, without its final block).
// It is inflated and read as if it had been sent plainly; a corrupt one changes nothing.
#include "MailboxData.h"

#include "Endpoint.h"
#include "Soap.h"

#include <zlib.h>

namespace OstrelServer {

namespace {

const std::string kMeta = "/soap:Envelope/soap:Body/*[1]/*[local-name()='meta']";
constexpr size_t kMaxInflated = 16 << 20;

using Pairs = std::map<std::string, std::string>;

[[noreturn]] void Corrupt(const std::string& why) {
    throw MailboxError("service.INVALID_REQUEST", "corrupt compressed metadata: " + why);
}

std::string Unhex(const std::string& hex) {
    if (hex.size() % 2)
        Corrupt("odd number of hex digits");
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        Corrupt(std::string("not a hex digit: '") + c + "'");
    };
    std::string bytes(hex.size() / 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(digit(hex[2 * i]) * 16 + digit(hex[2 * i + 1]));
    return bytes;
}

std::string Inflate(const std::string& bytes) {
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        Corrupt("cannot start inflating");
    std::string out;
    char buffer[16384];
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        rc = inflate(&stream, Z_SYNC_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (out.size() > kMaxInflated) {
            inflateEnd(&stream);
            Corrupt("inflates to more than 16 MiB");
        }
        // Without a final block the data simply ends: all input used and nothing more to write.
        if (rc == Z_OK && stream.avail_in == 0 && stream.avail_out > 0)
            break;
    }
    inflateEnd(&stream);
    // Z_BUF_ERROR with all input used: the last round had filled the buffer exactly.
    if (rc == Z_BUF_ERROR && stream.avail_in == 0)
        rc = Z_OK;
    if (rc != Z_OK && rc != Z_STREAM_END)
        Corrupt(stream.msg ? stream.msg : "deflate data damaged");
    return out;
}

Pairs ReadPairs(const SoapDocument& doc, const std::string& meta) {
    Pairs pairs;
    std::string a = meta + "/*[local-name()='a']";
    size_t count = doc.Count(a);
    for (size_t i = 1; i <= count; ++i) {
        std::string entry = "(" + a + ")[" + std::to_string(i) + "]";
        auto name = doc.Text(entry + "/@n");
        if (!name || name->empty())
            throw MailboxError("service.INVALID_REQUEST", "metadata entry without a name");
        pairs[*name] = doc.Text(entry).value_or("");
    }
    return pairs;
}

// The pairs of the `meta` element a compressed entry holds.
Pairs Decompress(const std::string& hex, const std::string& section) {
    std::string xml = Inflate(Unhex(hex));
    std::string error;
    auto doc = SoapDocument::Parse(SoapEnvelope(xml), &error);
    const std::string meta = "/soap:Envelope/soap:Body/meta";
    if (!doc || doc->Count("/soap:Envelope/soap:Body/*") != 1 || doc->Count(meta) != 1)
        Corrupt(doc ? "not a meta element" : "not XML: " + error);
    if (doc->Text(meta + "/@section").value_or("") != section)
        Corrupt("the section does not match");
    return ReadPairs(*doc, meta);
}

}  // namespace

SoapReply Mailbox::SoapGetMetadata(const SoapDocument& doc) const {
    std::string section = doc.Text(kMeta + "/@section").value_or("");
    Pairs pairs = Metadata(section);
    std::string xml =
        "<GetMailboxMetadataResponse xmlns=\"urn:ostrelMail\"><meta section=\"" + XmlEscape(section) + "\">";
    for (const auto& [name, value] : pairs)
        xml += PairXml(name, value);
    SoapReply reply = SoapReply::Body(xml + "</meta></GetMailboxMetadataResponse>");
    reply.contextXml = ChangeContext();
    return reply;
}

SoapReply Mailbox::SoapSetMetadata(const SoapDocument& doc) {
    std::string section = doc.Text(kMeta + "/@section").value_or("");
    if (section.empty())
        throw MailboxError("service.INVALID_REQUEST", "missing metadata section");
    Pairs pairs = ReadPairs(doc, kMeta);
    if (pairs.size() == 1 && pairs.begin()->first == "compressed")
        pairs = Decompress(pairs.begin()->second, section);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pData->metadata[section] = std::move(pairs);
    }
    SoapReply reply = SoapReply::Body("<SetMailboxMetadataResponse xmlns=\"urn:ostrelMail\"/>");
    reply.contextXml = ChangeContext();
    return reply;
}

}  // namespace OstrelServer
