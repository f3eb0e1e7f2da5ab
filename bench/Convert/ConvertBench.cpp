// 2,000 generated messages of about 50 KB converted into a store with MIMEToMAPI, next to the two
// parts of that work done directly in the same run: parsing and decoding the messages with the MIME
// layer alone, and writing the properties the conversion produced straight into a store. Reports
// messages per second and the ratio of the conversion to the sum of the two (goal: at most 1.5).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConverterSession.h"
#include "Platform/Mapi/Mapi.h"
#include "Platform/Mime/Mime.h"
#include "Support/MailBench.h"
#include "Support/RatioReporter.h"

namespace {

using BenchSupport::Encode;
using BenchSupport::Words;
using Platform::ComPtr;

constexpr int kMessages = 2000;

// Even messages: a text body and a 30 KB attachment; odd ones: text and HTML alternatives.
std::vector<std::string> Generate() {
    std::mt19937 random(20240306);
    std::vector<std::string> messages;
    for (int i = 0; i < kMessages; ++i) {
        std::string m =
            "Received: from relay.example.net (relay.example.net [198.51.100.7])\r\n\tby mx.example.com; "
            "Mon, 4 Mar 2024 09:00:03 +0000\r\n";
        m += "Message-ID: <" + std::to_string(random()) + "." + std::to_string(i) + "@example.net>\r\n";
        m += "Date: Mon, 4 Mar 2024 09:00:00 +0100\r\n";
        m += "From: =?utf-8?q?J=C3=B6rg_M=C3=BCller?= <joerg" + std::to_string(i) + "@example.de>\r\n";
        m += "To: Tom Hale <tom.hale@example.com>, \"Wong, Lisa\" <lisa.wong@example.com>\r\n";
        m += "Cc: =?utf-8?B?0JDQvdC90LAg0JrQsNGA0LXQvdC40L3QsA==?= <anna.k@example.ru>\r\n";
        m += "Subject: =?utf-8?q?RE:_Quartalsbericht_" + std::to_string(i) + "_=E2=80=94_Entwurf?=\r\n";
        m += "X-Mailer: Bench Mail 1.0\r\nMIME-Version: 1.0\r\n";
        const std::string boundary = "----=_Part_" + std::to_string(i);
        if (i % 2 == 0) {
            std::string binary(30000, '\0');
            for (char& c : binary)
                c = static_cast<char>(random());
            m += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
                 "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                 Encode(Words(random, 8000), false) + "\r\n--" + boundary +
                 "\r\nContent-Type: application/octet-stream; name=\"data-" + std::to_string(i) +
                 ".bin\"\r\nContent-Disposition: attachment; filename=\"data-" + std::to_string(i) +
                 ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Encode(binary, true) + "--" + boundary +
                 "--\r\n";
        } else {
            m += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n--" + boundary +
                 "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                 Encode(Words(random, 20000), false) + "\r\n--" + boundary +
                 "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                 Encode("<html><body><p>" + Words(random, 24000) + "</p></body></html>", false) + "\r\n--" + boundary +
                 "--\r\n";
        }
        messages.push_back(std::move(m));
    }
    return messages;
}

const std::vector<std::string>& Messages() {
    static const std::vector<std::string> s_messages = Generate();
    return s_messages;
}

using BenchStore = BenchSupport::TempInboxStore;

// What a conversion wrote into one message, kept to be written again directly.
struct Written {
    LPSPropValue pProps = nullptr;
    ULONG cProps = 0;
    LPSRowSet pRecipients = nullptr;
    std::vector<std::pair<LPSPropValue, ULONG>> attachments;
};

bool IsComputed(ULONG ulTag) {
    switch (PROP_ID(ulTag)) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_INSTANCE_KEY):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_STORE_RECORD_KEY):
        case PROP_ID(PR_MAPPING_SIGNATURE):
        case PROP_ID(PR_OBJECT_TYPE):
        case PROP_ID(PR_ACCESS):
        case PROP_ID(PR_ACCESS_LEVEL):
        case PROP_ID(PR_HASATTACH):
        case PROP_ID(PR_MESSAGE_SIZE):
        case PROP_ID(PR_ATTACH_NUM):
        case PROP_ID(PR_ATTACH_SIZE):
        case PROP_ID(PR_ROWID):
            return true;
        default:
            return PROP_TYPE(ulTag) == PT_ERROR;
    }
}

void Compact(LPSPropValue p, ULONG& c) {
    ULONG out = 0;
    for (ULONG i = 0; i < c; ++i)
        if (!IsComputed(p[i].ulPropTag))
            p[out++] = p[i];
    c = out;
}

const std::vector<Written>& WrittenProps() {
    static const std::vector<Written> s_written = [] {
        BenchStore bs;
        ComPtr<IConverterSession> pSession;
        Platform::Mapi::CreateConverterSession(pSession.AddressOf());
        std::vector<Written> out;
        for (const std::string& text : Messages()) {
            ComPtr<IMessage> pMessage;
            bs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf());
            ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(text);
            pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, 0x22);
            Written w;
            pMessage->GetProps(nullptr, MAPI_UNICODE, &w.cProps, &w.pProps);
            Compact(w.pProps, w.cProps);
            ComPtr<IMAPITable> pTable;
            LPSPropTagArray pCols = nullptr;
            pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf());
            pTable->QueryColumns(TBL_ALL_COLUMNS, &pCols);
            HrQueryAllRows(pTable.Get(), pCols, nullptr, nullptr, 0, &w.pRecipients);
            MAPIFreeBuffer(pCols);
            for (ULONG r = 0; r < w.pRecipients->cRows; ++r)
                Compact(w.pRecipients->aRow[r].lpProps, w.pRecipients->aRow[r].cValues);
            for (ULONG a = 0;; ++a) {
                ComPtr<IAttach> pAttach;
                if (FAILED(pMessage->OpenAttach(a, nullptr, 0, pAttach.AddressOf())))
                    break;
                std::pair<LPSPropValue, ULONG> props{nullptr, 0};
                pAttach->GetProps(nullptr, MAPI_UNICODE, &props.second, &props.first);
                Compact(props.first, props.second);
                w.attachments.push_back(props);
            }
            out.push_back(w);
        }
        return out;
    }();
    return s_written;
}

void BM_Convert(benchmark::State& state) {
    BenchStore bs;
    ComPtr<IConverterSession> pSession;
    Platform::Mapi::CreateConverterSession(pSession.AddressOf());
    for (auto _ : state) {
        for (const std::string& text : Messages()) {
            ComPtr<IMessage> pMessage;
            bs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf());
            ComPtr<Platform::MemStream> pStream = Platform::MemStream::Create(text);
            if (pSession->MIMEToMAPI(pStream.Get(), pMessage.Get(), nullptr, 0x22) != S_OK)
                std::abort();
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void Walk(mimepp::Entity& entity, size_t& tally) {
    mimepp::Headers& headers = entity.headers();
    for (int i = 0; i < headers.numFields(); ++i) {
        mimepp::FieldBody& value = headers.fieldAt(i).fieldBody();
        if (value.class_().isA(mimepp::Text::kClass))
            tally += static_cast<mimepp::Text&>(value).textUtf8().length();
        if (value.class_().isA(mimepp::AddressList::kClass))
            tally += static_cast<mimepp::AddressList&>(value).numAddresses();
    }
    mimepp::Body& body = entity.body();
    if (body.numBodyParts() > 0) {
        for (int i = 0; i < body.numBodyParts(); ++i)
            Walk(body.bodyPartAt(i), tally);
        return;
    }
    mimepp::String decoded;
    const auto encoding = headers.hasField("Content-Transfer-Encoding") ? headers.contentTransferEncoding().asEnum()
                                                                        : mimepp::TransferEncodingType::NONE;
    if (encoding == mimepp::TransferEncodingType::BASE64)
        mimepp::Base64Decoder().decode(body.getString(), decoded);
    if (encoding == mimepp::TransferEncodingType::QUOTED_PRINTABLE)
        mimepp::QuotedPrintableDecoder().decode(body.getString(), decoded);
    tally += decoded.length();
}

void BM_MimeParse(benchmark::State& state) {
    size_t tally = 0;
    for (auto _ : state) {
        for (const std::string& text : Messages()) {
            mimepp::Message message{mimepp::String(text)};
            message.parse();
            Walk(message, tally);
        }
    }
    benchmark::DoNotOptimize(tally);
    state.SetItemsProcessed(state.iterations() * kMessages);
}

void BM_StoreWrite(benchmark::State& state) {
    const std::vector<Written>& written = WrittenProps();
    BenchStore bs;
    for (auto _ : state) {
        for (const Written& w : written) {
            ComPtr<IMessage> pMessage;
            bs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf());
            pMessage->SetProps(w.cProps, w.pProps, nullptr);
            std::vector<char> buffer(CbNewADRLIST(w.pRecipients->cRows));
            auto* pList = reinterpret_cast<ADRLIST*>(buffer.data());
            pList->cEntries = w.pRecipients->cRows;
            for (ULONG r = 0; r < w.pRecipients->cRows; ++r)
                pList->aEntries[r] = {0, w.pRecipients->aRow[r].cValues, w.pRecipients->aRow[r].lpProps};
            pMessage->ModifyRecipients(MODRECIP_ADD, pList);
            for (const auto& [pProps, cProps] : w.attachments) {
                ComPtr<IAttach> pAttach;
                ULONG ulNum = 0;
                pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf());
                pAttach->SetProps(cProps, pProps, nullptr);
                pAttach->SaveChanges(0);
            }
            if (pMessage->SaveChanges(KEEP_OPEN_READWRITE) != S_OK)
                std::abort();
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}

BENCHMARK(BM_Convert)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_MimeParse)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_StoreWrite)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Messages();
    WrittenProps();
    BenchSupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // CPU time is the figure to trust on a shared machine; wall time also counts waiting for a core.
    const double convert = reporter.Cpu("BM_Convert");
    const double parse = reporter.Cpu("BM_MimeParse");
    const double write = reporter.Cpu("BM_StoreWrite");
    bool bMissed = false;
    if (convert > 0 && parse > 0 && write > 0) {
        size_t bytes = 0;
        for (const std::string& m : Messages())
            bytes += m.size();
        std::printf("messages: %d, %.1f MB\n", kMessages, static_cast<double>(bytes) / 1e6);
        std::printf("CPU per %d messages: convert %.0f ms (%.0f msg/s), MIME parse %.0f ms, store write %.0f ms\n",
                    kMessages, convert, kMessages / (convert / 1e3), parse, write);
        std::printf("ratio convert / (parse + write): %.2f (goal <= 1.5)\n", convert / (parse + write));
        bMissed = convert / (parse + write) > 1.5;
    }
    benchmark::Shutdown();
    return bMissed ? 1 : 0;
}
