// What the mail benchmarks share: generated text that reads like mail, its transfer encodings, and
// a store file in a temporary folder with its inbox open, removed again at the end.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "Platform/Com/ComPtr.h"
#include "Platform/Mapi/Mapi.h"
#include "Platform/Mapi/Store/OsdStore.h"
#include "Platform/Mime/Coders.h"

namespace BenchSupport {

// About `bytes` of words (some of them not ASCII) in lines of at most 72 characters, CRLF-ended.
inline std::string Words(std::mt19937& random, size_t bytes) {
    static const char* const kWords[] = {"meeting",  "budget",   "report",  "the",    "and",      "quarterly",
                                         "review",   "customer", "invoice", "please", "schedule", "project",
                                         "für",      "Grüße",    "résumé",  "data",   "server",   "calendar",
                                         "attached", "numbers",  "draft",   "final",  "team",     "plan"};
    std::string out;
    size_t column = 0;
    while (out.size() < bytes) {
        const char* word = kWords[random() % std::size(kWords)];
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

// The data in Base64 or quoted-printable, as a body part carries it.
inline std::string Encode(const std::string& data, bool bBase64) {
    mimepp::String out;
    if (bBase64) {
        mimepp::Base64Encoder().encode(mimepp::String(data), out);
    } else {
        mimepp::QuotedPrintableEncoder().encode(mimepp::String(data), out);
    }
    return out.str();
}

// A new store in a fresh folder under /tmp, with the receive folder of IPM.Note open for writing.
struct TempInboxStore {
    std::filesystem::path dir;
    Platform::ComPtr<IMsgStore> store;
    Platform::ComPtr<IMAPIFolder> inbox;

    TempInboxStore() {
        char pattern[] = "/tmp/mail-bench-XXXXXX";
        if (!mkdtemp(pattern))
            std::abort();
        dir = pattern;
        ULONG cb = 0;
        LPENTRYID pEid = nullptr;
        Platform::ComPtr<IUnknown> pUnk;
        ULONG ulType = 0;
        if (FAILED(Platform::OpenOsdStore(dir / "bench.osd", true, L"Bench", true, store.AddressOf())) ||
            FAILED(store->GetReceiveFolder(const_cast<wchar_t*>(L"IPM.Note"), MAPI_UNICODE, &cb, &pEid, nullptr)) ||
            FAILED(store->OpenEntry(cb, pEid, &IID_IMAPIFolder, MAPI_MODIFY, &ulType, pUnk.AddressOf())))
            std::abort();
        MAPIFreeBuffer(pEid);
        inbox.Attach(static_cast<IMAPIFolder*>(pUnk.Detach()));
    }
    ~TempInboxStore() {
        inbox.Reset();
        store.Reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    TempInboxStore(const TempInboxStore&) = delete;
    TempInboxStore& operator=(const TempInboxStore&) = delete;
};

}  // namespace BenchSupport
