// Parses and walks 2,000 generated messages of about 50 KB, half of them with a 40 KB Base64
// attachment that is decoded, once through mimepp and once directly with GMime; reports MB/s of
// each and the ratio of mimepp's time to GMime's.
#include "Platform/Mime/Mime.h"

#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kMessages = 2000;

const char* const kWords[] = {"meeting", "budget",   "report",   "the",     "and",   "quarterly", "review", "customer",
                              "invoice", "please",   "schedule", "project", "für",   "Grüße",     "résumé", "data",
                              "server",  "calendar", "attached", "numbers", "draft", "final",     "team",   "plan"};

std::string Words(std::mt19937& random, size_t bytes) {
    std::string out;
    size_t column = 0;
    while (out.size() < bytes) {
        const char* word = kWords[random() % (sizeof kWords / sizeof kWords[0])];
        out += word;
        column += std::char_traits<char>::length(word) + 1;
        if (column > 66) {
            out += "\r\n";
            column = 0;
        } else {
            out += ' ';
        }
    }
    return out + "\r\n";
}

std::string Encode(const mimepp::String& data, bool bBase64) {
    mimepp::String out;
    if (bBase64) {
        mimepp::Base64Encoder().encode(data, out);
    } else {
        mimepp::QuotedPrintableEncoder().encode(data, out);
    }
    return out.str();
}

std::string Headers(std::mt19937& random, int index) {
    std::string h;
    h += "Received: from relay" + std::to_string(index % 7) +
         ".example.net (relay.example.net [198.51.100.7])\r\n"
         "\tby mx.example.com with ESMTPS id " +
         std::to_string(random()) +
         "\r\n"
         "\tfor <tom.hale@example.com>; Mon, 4 Dec 2023 09:00:03 +0000\r\n";
    h += "Message-ID: <" + std::to_string(random()) + "." + std::to_string(index) + "@example.net>\r\n";
    h += "Date: Mon, 4 Dec 2023 09:00:00 +0100\r\n";
    h += "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg" + std::to_string(index) + "@example.de>\r\n";
    h += "To: Tom Hale <tom.hale@example.com>, \"Wong, Lisa\" <lisa.wong@example.com>,\r\n"
         " =?utf-8?B?0JDQvdC90LAg0JrQsNGA0LXQvdC40L3QsA==?= <anna.k@example.ru>\r\n";
    h += "Subject: =?utf-8?q?Quartalsbericht_" + std::to_string(index) + "_=E2=80=94_Entwurf?=\r\n";
    h += "MIME-Version: 1.0\r\n";
    return h;
}

// Even messages: text (QP) and a 40 KB Base64 attachment; odd ones: text and HTML alternatives.
std::vector<std::string> Generate() {
    std::mt19937 random(20231204);
    std::vector<std::string> messages;
    messages.reserve(kMessages);
    for (int i = 0; i < kMessages; ++i) {
        std::string m = Headers(random, i);
        const std::string boundary = "----=_Part_" + std::to_string(i) + "_" + std::to_string(random());
        if (i % 2 == 0) {
            std::string binary(30000, '\0');
            for (char& c : binary)
                c = static_cast<char>(random());
            m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
            m += "--" + boundary +
                 "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                 "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                 Encode(Words(random, 8000), false) + "\r\n";
            m += "--" + boundary + "\r\nContent-Type: application/octet-stream; name=\"data-" + std::to_string(i) +
                 ".bin\"\r\nContent-Disposition: attachment;\r\n filename*=utf-8''Daten%20f%C3%BCr%20" +
                 std::to_string(i) + ".bin\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                 Encode(mimepp::String(binary), true);
            m += "--" + boundary + "--\r\n";
        } else {
            m += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
            m += "--" + boundary +
                 "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                 "Content-Transfer-Encoding: quoted-printable\r\n\r\n" +
                 Encode(Words(random, 20000), false) + "\r\n";
            m += "--" + boundary +
                 "\r\nContent-Type: text/html; charset=utf-8\r\n"
                 "Content-Transfer-Encoding: quoted-printable\r\n\r\n<html><body><p>" +
                 Encode(Words(random, 26000), false) + "</p></body></html>\r\n";
            m += "--" + boundary + "--\r\n";
        }
        messages.push_back(std::move(m));
    }
    return messages;
}

const std::vector<std::string>& Messages() {
    static const std::vector<std::string> s_messages = Generate();
    return s_messages;
}

int64_t TotalBytes() {
    int64_t total = 0;
    for (const auto& m : Messages())
        total += static_cast<int64_t>(m.size());
    return total;
}

// What both walks take from each message: subject, sender name, every part's type, attachment
// names and the decoded attachment.
struct Tally {
    size_t parts = 0;
    size_t decoded = 0;
    size_t text = 0;
};

void WalkMimepp(mimepp::Entity& entity, Tally& tally) {
    mimepp::Headers& headers = entity.headers();
    mimepp::MediaType& type = headers.contentType();
    ++tally.parts;
    if (type.typeAsEnum() == mimepp::MediaType::MULTIPART) {
        for (int i = 0; i < entity.body().numBodyParts(); ++i)
            WalkMimepp(entity.body().bodyPartAt(i), tally);
        return;
    }
    tally.text += type.subtype().length();
    if (headers.hasField("Content-Disposition") &&
        headers.contentDisposition().asEnum() == mimepp::DispositionType::ATTACHMENT) {
        tally.text += headers.contentDisposition().filename().length();
        mimepp::String data;
        mimepp::Base64Decoder().decode(entity.body().getString(), data);
        tally.decoded += data.length();
    }
}

void BM_Mimepp(benchmark::State& state) {
    const auto& messages = Messages();
    for (auto _ : state) {
        Tally tally;
        for (const auto& text : messages) {
            mimepp::Message message{mimepp::String(text)};
            message.parse();
            tally.text += message.headers().subject().textUtf8().length();
            tally.text += message.headers().from().mailboxAt(0).displayNameUtf8().length();
            WalkMimepp(message, tally);
        }
        benchmark::DoNotOptimize(tally);
    }
    state.SetBytesProcessed(state.iterations() * TotalBytes());
}

void WalkGMime(GMimeObject* object, Tally& tally) {
    ++tally.parts;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* multipart = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(multipart); ++i) {
            WalkGMime(g_mime_multipart_get_part(multipart, i), tally);
        }
        return;
    }
    tally.text +=
        std::char_traits<char>::length(g_mime_content_type_get_media_subtype(g_mime_object_get_content_type(object)));
    if (GMIME_IS_PART(object) && g_mime_part_is_attachment(GMIME_PART(object))) {
        const char* name = g_mime_part_get_filename(GMIME_PART(object));
        tally.text += name ? std::char_traits<char>::length(name) : 0;
        GMimeStream* out = g_mime_stream_mem_new();
        g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(object)), out);
        tally.decoded += g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(out))->len;
        g_object_unref(out);
    }
}

void BM_GMime(benchmark::State& state) {
    const auto& messages = Messages();
    for (auto _ : state) {
        Tally tally;
        for (const auto& text : messages) {
            GMimeStream* stream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
            GMimeParser* parser = g_mime_parser_new_with_stream(stream);
            GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
            const char* subject = g_mime_message_get_subject(message);
            tally.text += subject ? std::char_traits<char>::length(subject) : 0;
            InternetAddress* from = internet_address_list_get_address(g_mime_message_get_from(message), 0);
            const char* name = internet_address_get_name(from);
            tally.text += name ? std::char_traits<char>::length(name) : 0;
            WalkGMime(g_mime_message_get_mime_part(message), tally);
            g_object_unref(message);
            g_object_unref(parser);
            g_object_unref(stream);
        }
        benchmark::DoNotOptimize(tally);
    }
    state.SetBytesProcessed(state.iterations() * TotalBytes());
}

BENCHMARK(BM_GMime)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_Mimepp)->Unit(benchmark::kMillisecond)->MinTime(3.0);

// Keeps each benchmark's time per iteration to print the ratio at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            m_real[run.benchmark_name()] = run.GetAdjustedRealTime();
            m_cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    static double Find(const std::map<std::string, double>& times, const std::string& name) {
        auto it = times.find(name);
        return it == times.end() ? 0 : it->second;
    }
    double Real(const std::string& name) const { return Find(m_real, name); }
    double Cpu(const std::string& name) const { return Find(m_cpu, name); }

private:
    std::map<std::string, double> m_real;
    std::map<std::string, double> m_cpu;
};

}  // namespace

int main(int argc, char** argv) {
    g_mime_init();
    benchmark::Initialize(&argc, argv);
    Messages();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // Times are in milliseconds per pass over all messages. The CPU-time ratio is the one to
    // trust on a busy machine, where wall time includes waiting for a core.
    const double gmime = reporter.Real("BM_GMime/min_time:3.000");
    const double mimepp = reporter.Real("BM_Mimepp/min_time:3.000");
    const double gmimeCpu = reporter.Cpu("BM_GMime/min_time:3.000");
    const double mimeppCpu = reporter.Cpu("BM_Mimepp/min_time:3.000");
    if (gmime > 0 && mimepp > 0 && gmimeCpu > 0 && mimeppCpu > 0) {
        const double mb = static_cast<double>(TotalBytes()) / 1e6;
        std::printf("messages: %d, %.1f MB\n", kMessages, mb);
        std::printf("wall time: GMime %.1f MB/s, mimepp %.1f MB/s, ratio mimepp/GMime %.3f\n", mb / (gmime / 1e3),
                    mb / (mimepp / 1e3), mimepp / gmime);
        std::printf("CPU time:  GMime %.1f MB/s, mimepp %.1f MB/s, ratio mimepp/GMime %.3f (goal <= 1.2)\n",
                    mb / (gmimeCpu / 1e3), mb / (mimeppCpu / 1e3), mimeppCpu / gmimeCpu);
    }
    benchmark::Shutdown();
    return 0;
}
