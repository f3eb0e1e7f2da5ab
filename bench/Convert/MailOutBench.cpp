// 2,000 store messages (text with a 30 KB attachment, or text and HTML alternatives, about 25 KB
// each) into MIME on both outgoing paths, fix-ups included, next to GMime serialising the trees each
// path produced (parsed once, parts holding decoded content, so serialising encodes them; CRLF line
// ends, so GMime writes as many bytes as the writers), in the same run. Reports messages per second
// and the ratio of each path to its baseline (goal: at most 1.5). The benchmarks run three rounds in
// turn and each one's least CPU time counts, so that a change of load hits path and baseline alike.
#include <benchmark/benchmark.h>
#include <gmime/gmime.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/Mapi.h"
#include "Platform/Mime/Coders.h"
#include "Support/MailBench.h"

namespace {

using BenchSupport::Encode;
using BenchSupport::Words;
using Platform::ComPtr;

constexpr int kMessages = 2000;

std::string MimeOf(std::mt19937& random, int i) {
    std::string m = "Date: Mon, 4 Mar 2024 09:00:00 +0100\r\n";
    m += "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg" + std::to_string(i) + "@example.de>\r\n";
    m += "To: Tom Hale <tom.hale@example.com>, \"Wong, Lisa\" <lisa.wong@example.com>\r\n";
    m += "Bcc: Anna K <anna.k@example.ru>\r\n";
    m += "Subject: =?utf-8?q?Quartalsbericht_" + std::to_string(i) + "_=E2=80=94_Entwurf?=\r\nMIME-Version: 1.0\r\n";
    const std::string boundary = "----=_Part_" + std::to_string(i);
    if (i % 2 == 0) {
        std::string binary(30000, '\0');
        for (char& c : binary)
            c = static_cast<char>(random());
        return m + "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
               "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
               Encode(Words(random, 8000), false) + "\r\n--" + boundary +
               "\r\nContent-Type: application/octet-stream; name=\"data-" + std::to_string(i) +
               ".bin\"\r\nContent-Disposition: attachment; filename=\"data-" + std::to_string(i) +
               ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Encode(binary, true) + "--" + boundary +
               "--\r\n";
    }
    return m + "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
           Encode(Words(random, 10000), false) + "\r\n--" + boundary +
           "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
           Encode("<html><body><p>" + Words(random, 12000) + "</p></body></html>", false) + "\r\n--" + boundary +
           "--\r\n";
}

// The store messages, made once from generated MIME through the converter session.
struct BenchStore {
    BenchSupport::TempInboxStore temp;
    std::vector<ComPtr<IMessage>> messages;

    BenchStore() {
        ComPtr<IConverterSession> pSession;
        Platform::Mapi::CreateConverterSession(pSession.AddressOf());
        std::mt19937 random(20261206);
        for (int i = 0; i < kMessages; ++i) {
            ComPtr<IMessage> pMessage;
            temp.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf());
            ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(MimeOf(random, i));
            if (pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC) != S_OK)
                std::abort();
            messages.push_back(pMessage);
        }
    }

    static BenchStore& Get() {
        static BenchStore s_store;
        return s_store;
    }
};

std::string Convert(IMessage* pMessage, bool bOwn) {
    IStream* pStream = nullptr;
    unsigned int size = 0;
    if (ConvertMessageToMimeWith(bOwn, pMessage, nullptr, &pStream, size, nullptr) != S_OK)
        std::abort();
    std::string text(size, '\0');
    ULONG cbRead = 0;
    pStream->Read(text.data(), size, &cbRead);
    pStream->Release();
    return text;
}

// Gives a leaf part its decoded content, so that serialising it encodes the content again as the
// writers do (a parsed part would be copied out as it was read).
void DecodeContent(GMimeObject*, GMimeObject* pObject, gpointer) {
    if (!GMIME_IS_PART(pObject))
        return;
    GMimePart* pPart = GMIME_PART(pObject);
    GMimeDataWrapper* pContent = g_mime_part_get_content(pPart);
    if (!pContent)
        return;
    GMimeStream* pDecoded = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(pContent, pDecoded);
    g_mime_stream_reset(pDecoded);
    GMimeDataWrapper* pPlain = g_mime_data_wrapper_new_with_stream(pDecoded, GMIME_CONTENT_ENCODING_DEFAULT);
    const GMimeContentEncoding encoding = g_mime_part_get_content_encoding(pPart);
    g_mime_part_set_content(pPart, pPlain);
    g_mime_part_set_content_encoding(pPart, encoding);
    g_object_unref(pPlain);
    g_object_unref(pDecoded);
}

// GMime trees of what a path wrote, parsed once, their parts holding decoded content.
struct Trees {
    std::vector<GMimeMessage*> messages;
    size_t bytes = 0;

    explicit Trees(bool bOwn) {
        g_mime_init();
        for (const ComPtr<IMessage>& pMessage : BenchStore::Get().messages) {
            const std::string text = Convert(pMessage.Get(), bOwn);
            bytes += text.size();
            GMimeStream* pStream = g_mime_stream_mem_new_with_buffer(text.data(), text.size());
            GMimeParser* pParser = g_mime_parser_new_with_stream(pStream);
            GMimeMessage* pParsed = g_mime_parser_construct_message(pParser, nullptr);
            g_object_unref(pParser);
            g_object_unref(pStream);
            if (!pParsed)
                std::abort();
            g_mime_message_foreach(pParsed, DecodeContent, nullptr);
            messages.push_back(pParsed);
        }
    }
    ~Trees() {
        for (GMimeMessage* p : messages)
            g_object_unref(p);
    }

    static Trees& Get(bool bOwn) {
        static Trees s_session(false);
        static Trees s_own(true);
        return bOwn ? s_own : s_session;
    }
};

void BM_SessionPath(benchmark::State& state) {
    size_t bytes = 0;
    for (auto _ : state) {
        for (const ComPtr<IMessage>& pMessage : BenchStore::Get().messages)
            bytes += Convert(pMessage.Get(), false).size();
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_OwnPath(benchmark::State& state) {
    size_t bytes = 0;
    for (auto _ : state) {
        for (const ComPtr<IMessage>& pMessage : BenchStore::Get().messages)
            bytes += Convert(pMessage.Get(), true).size();
    }
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations() * kMessages);
}

// Bytes GMime wrote per path in one pass over the trees, to compare with what the writers wrote.
size_t g_gmimeBytes[2] = {0, 0};

void Serialise(benchmark::State& state, bool bOwn) {
    // CRLF line ends, as the writers write them: the same bytes out, not GMime's shorter LF text.
    GMimeFormatOptions* pOptions = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(pOptions, GMIME_NEWLINE_FORMAT_DOS);
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (GMimeMessage* pMessage : Trees::Get(bOwn).messages) {
            char* psz = g_mime_object_to_string(GMIME_OBJECT(pMessage), pOptions);
            bytes += std::char_traits<char>::length(psz);
            g_free(psz);
        }
    }
    g_gmimeBytes[bOwn ? 1 : 0] = bytes;
    g_mime_format_options_free(pOptions);
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_GMimeSerialiseSessionTrees(benchmark::State& state) {
    Serialise(state, false);
}

void BM_GMimeSerialiseOwnTrees(benchmark::State& state) {
    Serialise(state, true);
}

// Reading what the writers read: every property, the recipients, each attachment's properties.
void BM_StoreRead(benchmark::State& state) {
    size_t values = 0;
    for (auto _ : state) {
        for (const ComPtr<IMessage>& pMessage : BenchStore::Get().messages) {
            ULONG cValues = 0;
            LPSPropValue pValues = nullptr;
            pMessage->GetProps(nullptr, MAPI_UNICODE, &cValues, &pValues);
            values += cValues;
            MAPIFreeBuffer(pValues);
            ComPtr<IMAPITable> pTable;
            LPSRowSet pRows = nullptr;
            SizedSPropTagArray(2, cols) = {2, {PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W}};
            pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
            HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&cols), nullptr, nullptr, 0, &pRows);
            values += pRows ? pRows->cRows : 0;
            FreeProws(pRows);
            for (ULONG a = 0;; ++a) {
                ComPtr<IAttach> pAttach;
                if (FAILED(pMessage->OpenAttach(a, nullptr, 0, pAttach.AddressOf())))
                    break;
                pAttach->GetProps(nullptr, MAPI_UNICODE, &cValues, &pValues);
                values += cValues;
                MAPIFreeBuffer(pValues);
            }
        }
    }
    benchmark::DoNotOptimize(values);
    state.SetItemsProcessed(state.iterations() * kMessages);
}

constexpr int kRounds = 3;

}  // namespace

int main(int argc, char** argv) {
    BenchSupport::RegisterRounds(
        {{"BM_SessionPath", BM_SessionPath},
         {"BM_GMimeSerialiseSessionTrees", BM_GMimeSerialiseSessionTrees},
         {"BM_OwnPath", BM_OwnPath},
         {"BM_GMimeSerialiseOwnTrees", BM_GMimeSerialiseOwnTrees},
         {"BM_StoreRead", BM_StoreRead}},
        kRounds, [](benchmark::internal::Benchmark* pBench) { pBench->Unit(benchmark::kMillisecond)->Iterations(2); });
    benchmark::Initialize(&argc, argv);
    BenchStore::Get();
    Trees::Get(false);
    Trees::Get(true);
    BenchSupport::LeastTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time is the figure to trust on a shared machine; wall time also counts waiting for a core.
    const double session = reporter.Cpu("BM_SessionPath");
    const double own = reporter.Cpu("BM_OwnPath");
    const double gmimeSession = reporter.Cpu("BM_GMimeSerialiseSessionTrees");
    const double gmimeOwn = reporter.Cpu("BM_GMimeSerialiseOwnTrees");
    bool bMissed = false;
    if (session > 0 && own > 0 && gmimeSession > 0 && gmimeOwn > 0) {
        bMissed = session / gmimeSession > 1.5 || own / gmimeOwn > 1.5;
        std::printf("messages: %d; MIME out: session %.2f MB, own %.2f MB; GMime out: %.2f MB, %.2f MB\n", kMessages,
                    static_cast<double>(Trees::Get(false).bytes) / 1e6,
                    static_cast<double>(Trees::Get(true).bytes) / 1e6, static_cast<double>(g_gmimeBytes[0]) / 1e6,
                    static_cast<double>(g_gmimeBytes[1]) / 1e6);
        std::printf(
            "least CPU of %d rounds, per %d messages: session path %.0f ms (%.0f msg/s), own path %.0f ms (%.0f "
            "msg/s)\n",
            kRounds, kMessages, session, kMessages / (session / 1e3), own, kMessages / (own / 1e3));
        std::printf("GMime serialising the same trees: session %.0f ms, own %.0f ms\n", gmimeSession, gmimeOwn);
        std::printf("ratio session path / GMime: %.2f, own path / GMime: %.2f (goal <= 1.5)\n", session / gmimeSession,
                    own / gmimeOwn);
        const double read = reporter.Cpu("BM_StoreRead");
        if (read > 0)
            std::printf("store reads alone: %.0f ms; own path / (GMime + store reads): %.2f\n", read,
                        own / (gmimeOwn + read));
    }
    benchmark::Shutdown();
    return bMissed ? 1 : 0;
}
