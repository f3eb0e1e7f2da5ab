#include "SeedGenerator.h"

#include "Mailbox.h"

#include <atomic>
#include <cctype>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace OstrelServer {

namespace {

constexpr const char* kSelfName = "Demo User";
constexpr const char* kSelfAddress = "user@ostrel.test";
// Messages are dated back from here, so that the same seed gives the same mailbox on any day.
constexpr int64_t kNewestDateMs = 1717236000000;  // 2024-06-01 10:00 UTC

struct Correspondent {
    const char* name;
    const char* address;
};

const std::vector<Correspondent>& People() {
    static const std::vector<Correspondent> people = {
        {"Jürgen Weiß", "juergen.weiss@example.de"}, {"Zoë Lindqvist", "zoe@example.se"},
        {"Ana María Núñez", "ana.nunez@example.es"}, {"Олег Петров", "oleg@example.ru"},
        {"田中 花子", "hanako.tanaka@example.jp"},   {"Ingrid Østby", "ingrid@example.no"},
        {"Chloé Dubois", "chloe.dubois@example.fr"}, {"Mark Taylor", "mark.taylor@example.com"},
        {"Priya Raman", "priya@example.in"},         {"Kevin O'Brien", "kevin.obrien@example.ie"},
        {"Build Robot", "noreply@ci.example.org"},   {"Łukasz Wróbel", "lukasz@example.pl"},
    };
    return people;
}

const std::vector<std::string> kSubjects = {
    "Quarterly report",
    "Grüße aus München",
    "Réunion de projet jeudi",
    "Привет из Москвы",
    "会議の議題について",
    "Budget 2024 ✔",
    "Lunch tomorrow?",
    "Server maintenance window",
    "Photos from the trip 📷",
    "Año nuevo, planes nuevos",
    "Draft contract for review",
    "Your build #%N failed",
    "Invoice %N",
    "Re-org: who owns what",
    "Smørrebrød on Friday",
    "Notes from the workshop",
    "Zażółć gęślą jaźń",
    "Release checklist",
};

const std::vector<std::string> kWords = {
    "the",      "project", "server",  "schedule", "review", "budget", "meeting", "update", "mailbox", "report",
    "we",       "should",  "discuss", "tomorrow", "please", "check",  "numbers", "draft",  "team",    "customer",
    "Grüße",    "schön",   "naïve",   "café",     "déjà",   "über",   "Straße",  "año",    "smörgås", "ça",
    "deadline", "plan",    "quickly", "attached", "notes",  "and",    "with",    "for",    "before",  "after",
};

const std::vector<std::string> kKinds = {"plain", "html", "attachment", "invitation", "reply", "large"};
// Out of 100: plain, HTML, attachment, invitation, reply, large.
const int kKindWeights[] = {34, 25, 16, 8, 16, 1};

bool IsAscii(const std::string& text) {
    for (unsigned char c : text) {
        if (c >= 0x80 || (c < 0x20 && c != '\t'))
            return false;
    }
    return true;
}

std::string Base64(const std::string& data, bool bWrap) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(data.size() * 4 / 3 + data.size() / 38 + 8);
    size_t line = 0;
    for (size_t i = 0; i < data.size(); i += 3) {
        const uint32_t n = (static_cast<unsigned char>(data[i]) << 16) |
                           (i + 1 < data.size() ? static_cast<unsigned char>(data[i + 1]) << 8 : 0) |
                           (i + 2 < data.size() ? static_cast<unsigned char>(data[i + 2]) : 0);
        out += digits[(n >> 18) & 63];
        out += digits[(n >> 12) & 63];
        out += i + 1 < data.size() ? digits[(n >> 6) & 63] : '=';
        out += i + 2 < data.size() ? digits[n & 63] : '=';
        if (bWrap && (line += 4) >= 76) {
            out += "\r\n";
            line = 0;
        }
    }
    if (bWrap && line)
        out += "\r\n";
    return out;
}

// Quoted-printable with soft breaks; the text's LF become CR LF.
std::string QuotedPrintable(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    size_t line = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            out += "\r\n";
            line = 0;
            continue;
        }
        std::string piece;
        const bool bTrailingSpace = (c == ' ' || c == '\t') && (i + 1 == text.size() || text[i + 1] == '\n');
        if (c == '=' || c >= 0x7F || (c < 0x20 && c != '\t') || bTrailingSpace)
            piece = {'=', hex[c >> 4], hex[c & 15]};
        else
            piece = std::string(1, static_cast<char>(c));
        if (line + piece.size() > 75) {
            out += "=\r\n";
            line = 0;
        }
        out += piece;
        line += piece.size();
    }
    return out;
}

// A header text as RFC 2047 encoded words when it is not plain ASCII; words split between
// characters, folded onto continuation lines.
std::string EncodeHeaderText(const std::string& text) {
    if (IsAscii(text))
        return text;
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.size(), start + 45);
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            --end;  // never inside a UTF-8 sequence
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + Base64(text.substr(start, end - start), false) + "?=";
        start = end;
    }
    return out;
}

std::string AddressHeader(const std::string& name, const std::string& address) {
    if (!IsAscii(name))
        return EncodeHeaderText(name) + " <" + address + ">";
    if (name.find_first_of("()<>@,;:\\\".[]'") != std::string::npos)
        return "\"" + name + "\" <" + address + ">";
    return name + " <" + address + ">";
}

std::string RfcDate(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

std::string IcalDate(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string HtmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\n':
                out += "<br>\n";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Crlf(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 40);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string TextPart(const std::string& text) {
    const bool bAscii = IsAscii(text);
    return std::string("Content-Type: text/plain; charset=") + (bAscii ? "us-ascii" : "UTF-8") +
           "\r\nContent-Transfer-Encoding: " + (bAscii ? "7bit" : "quoted-printable") + "\r\n\r\n" +
           (bAscii ? Crlf(text) : QuotedPrintable(text)) + "\r\n";
}

std::string HtmlPart(const std::string& subject, const std::string& text) {
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(subject) +
                       "</title></head>\n<body style=\"font-family: sans-serif\">\n<h2>" + HtmlEscape(subject) +
                       "</h2>\n<p>" + HtmlEscape(text) +
                       "</p>\n<table border=\"1\"><tr><th>Item</th><th>Status</th></tr>\n"
                       "<tr><td>Plan</td><td style=\"color:green\">done</td></tr>\n"
                       "<tr><td>Review</td><td style=\"color:orange\">open</td></tr></table>\n</body></html>\n";
    return "Content-Type: text/html; charset=UTF-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
           QuotedPrintable(html) + "\r\n";
}

std::string Multipart(const std::string& type, const std::string& boundary, const std::vector<std::string>& parts) {
    std::string out = "Content-Type: multipart/" + type + "; boundary=\"" + boundary + "\"\r\n\r\n" +
                      "This is a multi-part message in MIME format.\r\n";
    for (const auto& part : parts)
        out += "--" + boundary + "\r\n" + part;
    return out + "--" + boundary + "--\r\n";
}

// A file name parameter, RFC 2231 encoded when it is not plain ASCII.
std::string FileNameParameter(const char* attribute, const std::string& name) {
    if (IsAscii(name))
        return std::string(attribute) + "=\"" + name + "\"";
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_')
            encoded += static_cast<char>(c);
        else
            encoded += {'%', hex[c >> 4], hex[c & 15]};
    }
    return std::string(attribute) + "*=UTF-8''" + encoded;
}

std::string AttachmentPart(const std::string& type, const std::string& name, const std::string& data) {
    return "Content-Type: " + type + "; " + FileNameParameter("name", name) +
           "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; " +
           FileNameParameter("filename", name) + "\r\n\r\n" + Base64(data, true);
}

constexpr size_t kGenerateBatch = 1024;

// Makes the kept deflate stream of each item's body, on as many threads as there are cores.
void DeflateAll(const std::vector<MailItem>& items) {
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
        try {
            for (size_t i; (i = next++) < items.size();)
                items[i].body->Deflated();
        } catch (...) {
            std::lock_guard<std::mutex> lock(failureMutex);
            failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < std::thread::hardware_concurrency(); ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (failure)
        std::rethrow_exception(failure);
}

}  // namespace

MessageGenerator::MessageGenerator(uint32_t seed) : m_random(seed) {}

const std::vector<GeneratedFolder>& MessageGenerator::Folders() {
    static const std::vector<GeneratedFolder> folders = {
        {500, 1, "Projects 2024"},   {501, 500, "Alpha"},  {502, 500, "Beta"}, {503, 1, "Newsletters"},
        {504, 1, "Reisen & Ferien"}, {505, 1, "Old mail"}, {506, 505, "2023"},
    };
    return folders;
}

const std::vector<GeneratedTag>& MessageGenerator::Tags() {
    static const std::vector<GeneratedTag> tags = {
        {"Work", "#3366CC"}, {"Personal", "#33AA33"}, {"Wichtig", "#CC0000"}, {"Später", "#999999"}};
    return tags;
}

int MessageGenerator::Range(int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(m_random);
}

std::string MessageGenerator::Pick(const std::vector<std::string>& choices) {
    return choices[static_cast<size_t>(Range(0, static_cast<int>(choices.size()) - 1))];
}

std::string MessageGenerator::Sentence() {
    std::string sentence;
    const int words = Range(5, 14);
    for (int i = 0; i < words; ++i) {
        std::string word = Pick(kWords);
        if (i == 0 && !word.empty() && word[0] >= 'a' && word[0] <= 'z')
            word[0] = static_cast<char>(word[0] - 'a' + 'A');
        sentence += (i ? " " : "") + word;
    }
    return sentence + (Range(0, 5) ? "." : "?");
}

std::string MessageGenerator::Paragraphs(int count) {
    std::string text;
    for (int p = 0; p < count; ++p) {
        if (p)
            text += "\n\n";
        const int sentences = Range(2, 6);
        for (int s = 0; s < sentences; ++s)
            text += (s ? " " : "") + Sentence();
    }
    return text + "\n";
}

std::string MessageGenerator::Person(bool bSelf) {
    if (bSelf)
        return AddressHeader(kSelfName, kSelfAddress);
    const auto& people = People();
    const Correspondent& p = people[static_cast<size_t>(Range(0, static_cast<int>(people.size()) - 1))];
    return AddressHeader(p.name, p.address);
}

GeneratedMessage MessageGenerator::Next() {
    GeneratedMessage message;
    const uint64_t index = m_index++;

    int roll = Range(0, 99);
    size_t kind = 0;
    while (roll >= kKindWeights[kind]) {
        roll -= kKindWeights[kind];
        ++kind;
    }
    if (kKinds[kind] == "reply" && m_subjects.empty())
        kind = 0;
    message.kind = kKinds[kind];

    // Folder, flags and tags.
    const int place = Range(0, 99);
    const bool bSent = place >= 55 && place < 65;
    if (place < 55) {
        message.folderId = 2;
    } else if (bSent) {
        message.folderId = 5;
    } else {
        const auto& folders = Folders();
        message.folderId = folders[static_cast<size_t>(Range(0, static_cast<int>(folders.size()) - 1))].id;
    }
    if (bSent)
        message.flags += "s";
    else if (Range(0, 99) < 40)
        message.flags += "u";
    if (Range(0, 99) < 10)
        message.flags += "f";
    if (!bSent && Range(0, 99) < 15)
        message.flags += "a";
    for (const auto& tag : Tags()) {
        if (Range(0, 99) < 12)
            message.tags.push_back(tag.name);
    }
    message.dateMs = kNewestDateMs - static_cast<int64_t>(index) * 3600000 - Range(0, 3599) * 1000;

    std::string subject;
    std::string references;
    if (message.kind == "reply") {
        const std::string& earlier = m_subjects[static_cast<size_t>(Range(0, static_cast<int>(m_subjects.size()) - 1))];
        subject = (earlier.rfind("Re: ", 0) == 0 ? "" : "Re: ") + earlier;
        references = "<gen-" + std::to_string(Range(0, static_cast<int>(index))) + "@ostrel.test>";
    } else {
        subject = Pick(kSubjects);
        const size_t at = subject.find("%N");
        if (at != std::string::npos)
            subject.replace(at, 2, std::to_string(1000 + index));
    }
    if (m_subjects.size() < 64)
        m_subjects.push_back(subject);
    else
        m_subjects[index % 64] = subject;

    std::string headers = "Return-Path: <" + std::string(bSent ? kSelfAddress : "sender@example.com") + ">\r\n";
    headers += "From: " + Person(bSent) + "\r\n";
    headers += "To: " + Person(!bSent) + "\r\n";
    if (Range(0, 3) == 0)
        headers += "Cc: " + Person(false) + ", " + Person(false) + "\r\n";
    headers += "Subject: " + EncodeHeaderText(subject) + "\r\n";
    headers += "Date: " + RfcDate(message.dateMs) + "\r\n";
    headers += "Message-ID: <gen-" + std::to_string(index) + "@ostrel.test>\r\n";
    if (!references.empty())
        headers += "In-Reply-To: " + references + "\r\nReferences: " + references + "\r\n";
    headers += "MIME-Version: 1.0\r\n";

    const std::string text = Paragraphs(Range(1, 4));
    const std::string boundary = "=_gen_" + std::to_string(index) + "_" + std::to_string(Range(100000, 999999));
    std::string body;
    if (message.kind == "plain" || message.kind == "reply") {
        std::string quoted = text;
        if (message.kind == "reply")
            quoted += "\n> " + Sentence() + "\n> " + Sentence() + "\n";
        body = TextPart(quoted);
    } else if (message.kind == "html") {
        body = Multipart("alternative", boundary, {TextPart(text), HtmlPart(subject, text)});
    } else if (message.kind == "attachment" || message.kind == "large") {
        std::vector<std::string> parts = {TextPart(text)};
        const int files = message.kind == "large" ? 1 : Range(1, 3);
        for (int f = 0; f < files; ++f) {
            const int type = Range(0, 2);
            const size_t size = message.kind == "large" ? static_cast<size_t>(Range(150, 300)) * 1024
                                                        : static_cast<size_t>(Range(2, 24)) * 1024;
            std::string data;
            data.reserve(size);
            if (type == 2) {
                data = "Name;Menge;Preis\n";
                while (data.size() < size)
                    data += "Äpfel;" + std::to_string(Range(1, 99)) + ";" + std::to_string(Range(1, 999)) + ",50\n";
            } else {
                data = type == 0 ? "%PDF-1.4\n" : "\x89PNG\r\n\x1a\n";
                while (data.size() < size)
                    data += static_cast<char>(Range(0, 255));
            }
            const std::string name = type == 0   ? "Bericht " + std::to_string(index) + ".pdf"
                                     : type == 1 ? "photo-" + std::to_string(f) + ".png"
                                                 : "Übersicht März.csv";
            const std::string mimeType = type == 0 ? "application/pdf" : type == 1 ? "image/png" : "text/csv";
            parts.push_back(AttachmentPart(mimeType, name, data));
        }
        body = Multipart("mixed", boundary, parts);
    } else {  // invitation
        const int64_t start = message.dateMs + static_cast<int64_t>(Range(1, 14)) * 86400000;
        std::string ical =
            "BEGIN:VCALENDAR\r\nPRODID:-//Ostrel//Seed Generator//EN\r\nVERSION:2.0\r\nMETHOD:REQUEST\r\n"
            "BEGIN:VEVENT\r\nUID:gen-" +
            std::to_string(index) +
            "@ostrel.test\r\n"
            "DTSTAMP:" +
            IcalDate(message.dateMs) + "\r\nDTSTART:" + IcalDate(start) + "\r\nDTEND:" + IcalDate(start + 3600000) +
            "\r\nSUMMARY:" + subject +
            "\r\nLOCATION:Raum 4.01 – Besprechung\r\n"
            "ORGANIZER;CN=Mark Taylor:mailto:mark.taylor@example.com\r\n"
            "ATTENDEE;CN=Demo User;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:mailto:" +
            std::string(kSelfAddress) + "\r\nSEQUENCE:0\r\nSTATUS:CONFIRMED\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n";
        body = Multipart("alternative", boundary,
                         {TextPart(text),
                          "Content-Type: text/calendar; charset=UTF-8; method=REQUEST\r\n"
                          "Content-Transfer-Encoding: 8bit\r\n\r\n" +
                              ical});
    }
    message.subject = subject;
    message.mime = headers + body;
    return message;
}

void WriteSeedMailbox(const std::filesystem::path& dir, size_t count, uint32_t seed) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error("cannot create " + dir.string() + ": " + ec.message());
    auto write = [](const std::filesystem::path& path, const std::string& data) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        if (!out)
            throw std::runtime_error("cannot write " + path.string());
    };
    auto attr = [](const std::string& text) {
        std::string out;
        for (char c : text) {
            switch (c) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '"':
                    out += "&quot;";
                    break;
                default:
                    out += c;
            }
        }
        return out;
    };
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<mailbox>\n";
    for (const auto& tag : MessageGenerator::Tags())
        xml += "  <tag name=\"" + attr(tag.name) + "\" rgb=\"" + tag.rgb + "\"/>\n";
    for (const auto& folder : MessageGenerator::Folders())
        xml += "  <folder id=\"" + std::to_string(folder.id) + "\" l=\"" + std::to_string(folder.parentId) +
               "\" name=\"" + attr(folder.name) + "\" view=\"message\" f=\"#\"/>\n";
    MessageGenerator generator(seed);
    for (size_t i = 0; i < count; ++i) {
        GeneratedMessage message = generator.Next();
        const std::string file = "msg" + std::to_string(i + 1) + ".eml";
        write(dir / file, message.mime);
        std::string tags;
        for (const auto& tag : message.tags)
            tags += (tags.empty() ? "" : ",") + tag;
        xml += "  <m l=\"" + std::to_string(message.folderId) + "\"";
        if (!message.flags.empty())
            xml += " f=\"" + message.flags + "\"";
        if (!tags.empty())
            xml += " tn=\"" + attr(tags) + "\"";
        xml += " d=\"" + std::to_string(message.dateMs) + "\" file=\"" + file + "\"/>\n";
    }
    write(dir / "mailbox.xml", xml + "</mailbox>\n");
}

size_t GenerateInto(Mailbox& mailbox, size_t count, uint32_t seed) {
    // The generator's folders, where their ids and names are free; messages for a folder that
    // could not be made go to the Inbox.
    std::map<int32_t, int32_t> folderIds = {{2, 2}, {5, 5}};
    for (const auto& folder : MessageGenerator::Folders()) {
        const auto parent = folderIds.find(folder.parentId);
        const int32_t parentId = parent == folderIds.end() ? FolderId::Root : parent->second;
        MailFolder f;
        f.parentId = parentId;
        f.name = folder.name;
        f.view = "message";
        f.flags = "#";
        if (auto existing = mailbox.Folder(folder.id); existing && existing->name == f.name) {
            folderIds[folder.id] = folder.id;
            continue;
        }
        f.id = mailbox.Folder(folder.id) ? 0 : folder.id;
        try {
            folderIds[folder.id] = mailbox.AddFolder(f);
        } catch (const MailboxError&) {
            folderIds[folder.id] = FolderId::Inbox;
        }
    }
    std::map<std::string, int32_t> tagIds;
    for (const auto& tag : MessageGenerator::Tags()) {
        auto existing = mailbox.TagByName(tag.name);
        tagIds[tag.name] = existing ? existing->id : mailbox.AddTag(tag.name, tag.rgb);
    }
    // Messages are made a batch at a time, their bodies compressed on every core, and then added
    // in order, so that the mailbox serves archives at full speed from the start.
    MessageGenerator generator(seed);
    std::vector<MailItem> batch;
    for (size_t done = 0; done < count;) {
        batch.clear();
        for (; batch.size() < kGenerateBatch && done < count; ++done) {
            GeneratedMessage message = generator.Next();
            MailItem& item = batch.emplace_back();
            item.kind = ItemKind::Message;
            item.folderId = folderIds.count(message.folderId) ? folderIds[message.folderId] : FolderId::Inbox;
            item.flags = message.flags;
            for (const auto& tag : message.tags)
                item.tags.push_back(tagIds[tag]);
            item.date = message.dateMs;
            item.body = MessageBody::Make(std::move(message.mime));
        }
        DeflateAll(batch);
        for (MailItem& item : batch)
            mailbox.AddItem(std::move(item));
    }
    return count;
}

}  // namespace OstrelServer
