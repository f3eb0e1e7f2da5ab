// Arbitrary property sets on a message, its recipients and attachments (embedded messages too) into
// MIME text with any flags, encoding and save format. MAPIToMIMEStm must succeed or fail cleanly;
// its text must convert back into a store message.
//
// Input: byte 0 chooses the flags, byte 1 the encoding and save format; then operations of an
// operation byte (low two bits: message property, new recipient, new attachment, Internet header
// property), a tag index byte, a length byte and that many value bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzStore.h"
#include "Platform/Base/Utf.h"
#include "Platform/Com/MemStream.h"
#include "Platform/Mapi/Convert/ConvertTags.h"
#include "Platform/Mapi/Convert/ConverterSession.h"

namespace {

using namespace ConvertFuzz;
using namespace Platform::Mapi::Convert;

void Check(bool bOk) {
    if (!bOk)
        std::abort();
}

constexpr ULONG kMessageTags[] = {PR_SUBJECT_W,
                                  PR_SUBJECT_PREFIX_W,
                                  PR_NORMALIZED_SUBJECT_W,
                                  PR_BODY_W,
                                  PR_HTML,
                                  PR_INTERNET_CPID,
                                  PR_NATIVE_BODY_INFO,
                                  PR_MESSAGE_CLASS_W,
                                  PR_SENT_REPRESENTING_NAME_W,
                                  PR_SENT_REPRESENTING_ADDRTYPE_W,
                                  PR_SENT_REPRESENTING_EMAIL_ADDRESS_W,
                                  PR_SENT_REPRESENTING_ENTRYID,
                                  PR_SENDER_NAME_W,
                                  PR_SENDER_ADDRTYPE_W,
                                  PR_SENDER_EMAIL_ADDRESS_W,
                                  PR_SENDER_SMTP_ADDRESS_W,
                                  PR_REPLY_RECIPIENT_ENTRIES,
                                  PR_REPLY_RECIPIENT_NAMES_W,
                                  PR_INTERNET_MESSAGE_ID_W,
                                  PR_IN_REPLY_TO_ID_W,
                                  PR_INTERNET_REFERENCES_W,
                                  PR_CONVERSATION_TOPIC_W,
                                  PR_CONVERSATION_INDEX,
                                  PR_IMPORTANCE,
                                  PR_SENSITIVITY,
                                  PR_READ_RECEIPT_REQUESTED,
                                  PR_READ_RECEIPT_ENTRYID,
                                  PR_ORIGINATOR_DELIVERY_REPORT_REQUESTED,
                                  PR_CLIENT_SUBMIT_TIME,
                                  PR_MESSAGE_FLAGS,
                                  PR_LIST_HELP_W,
                                  PR_EXPIRY_TIME,
                                  PR_REPLY_TIME,
                                  PR_MESSAGE_DELIVERY_TIME};
constexpr ULONG kRecipientTags[] = {PR_DISPLAY_NAME_W, PR_ADDRTYPE_W, PR_EMAIL_ADDRESS_W,
                                    PR_SMTP_ADDRESS_W, PR_ENTRYID,    PR_RECIPIENT_TYPE};
constexpr ULONG kAttachTags[] = {
    PR_ATTACH_METHOD,   PR_ATTACH_LONG_FILENAME_W,    PR_ATTACH_FILENAME_W,           PR_ATTACH_MIME_TAG_W,
    PR_ATTACH_DATA_BIN, PR_ATTACH_CONTENT_ID_W,       PR_ATTACH_CONTENT_LOCATION_W,   PR_ATTACH_FLAGS,
    PR_DISPLAY_NAME_W,  PR_TEXT_ATTACHMENT_CHARSET_W, PR_ATTACH_CONTENT_DISPOSITION_W};

// One value of the tag's type from the bytes; the strings and bytes live in `keep`.
SPropValue Value(ULONG ulTag, const uint8_t* p, size_t n, std::vector<std::wstring>& strings,
                 std::vector<std::string>& bytes) {
    SPropValue v{ulTag, 0, {}};
    uint8_t buf[8] = {};
    std::memcpy(buf, p, std::min<size_t>(n, 8));
    switch (PROP_TYPE(ulTag)) {
        case PT_UNICODE:
            strings.push_back(Platform::FromUtf8(std::string_view(reinterpret_cast<const char*>(p), n)));
            v.Value.lpszW = strings.back().data();
            break;
        case PT_BINARY:
            bytes.emplace_back(reinterpret_cast<const char*>(p), n);
            v.Value.bin = {static_cast<ULONG>(n), reinterpret_cast<LPBYTE>(bytes.back().data())};
            break;
        case PT_LONG:
            std::memcpy(&v.Value.l, buf, 4);
            break;
        case PT_BOOLEAN:
            v.Value.b = buf[0] & 1;
            break;
        case PT_SYSTIME:
            std::memcpy(&v.Value.ft, buf, 8);
            break;
    }
    return v;
}

struct Builder {
    IMessage* pMessage;
    std::vector<std::wstring> strings;
    std::vector<std::string> bytes;
    std::vector<SPropValue> recipient;
    std::vector<std::vector<SPropValue>> recipients;
    std::vector<std::vector<SPropValue>> attachments;

    void Flush() {
        for (auto& row : recipients) {
            std::vector<char> buffer(CbNewADRLIST(1));
            auto* pList = reinterpret_cast<ADRLIST*>(buffer.data());
            pList->cEntries = 1;
            pList->aEntries[0] = {0, static_cast<ULONG>(row.size()), row.data()};
            pMessage->ModifyRecipients(MODRECIP_ADD, pList);
        }
        for (auto& props : attachments) {
            ComPtr<IAttach> pAttach;
            ULONG ulNum = 0;
            if (FAILED(pMessage->CreateAttach(nullptr, 0, &ulNum, pAttach.AddressOf())))
                continue;
            pAttach->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr);
            bool bEmbedded = false;
            for (const SPropValue& v : props)
                if (v.ulPropTag == PR_ATTACH_METHOD && v.Value.l == ATTACH_EMBEDDED_MSG)
                    bEmbedded = true;
            if (bEmbedded) {
                ComPtr<IUnknown> pUnk;
                if (SUCCEEDED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                                    pUnk.AddressOf()))) {
                    auto* pInner = static_cast<IMessage*>(pUnk.Get());
                    pInner->SetProps(static_cast<ULONG>(props.size()), props.data(), nullptr);
                    pInner->SaveChanges(0);
                }
            }
            pAttach->SaveChanges(0);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    FuzzStore& fs = FuzzStore::Get();
    ComPtr<IMessage> pMessage;
    Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, pMessage.AddressOf())));
    Builder b{pMessage.Get(), {}, {}, {}, {}, {}};
    b.strings.reserve(1024);
    b.bytes.reserve(1024);
    std::vector<SPropValue> messageProps;
    std::vector<std::pair<std::wstring, std::wstring>> headers;
    for (size_t pos = 2; pos + 3 <= size;) {
        const uint8_t op = data[pos];
        const uint8_t index = data[pos + 1];
        const size_t n = std::min<size_t>(data[pos + 2], size - pos - 3);
        const uint8_t* value = data + pos + 3;
        pos += 3 + n;
        if (b.strings.size() >= 1000)
            break;  // the reserved storage keeps every pointer valid
        switch (op & 3) {
            case 0:
                messageProps.push_back(
                    Value(kMessageTags[index % std::size(kMessageTags)], value, n, b.strings, b.bytes));
                break;
            case 1:
                if (op & 4 || b.recipients.empty())
                    b.recipients.emplace_back();
                b.recipients.back().push_back(
                    Value(kRecipientTags[index % std::size(kRecipientTags)], value, n, b.strings, b.bytes));
                break;
            case 2:
                if (op & 4 || b.attachments.empty())
                    b.attachments.emplace_back();
                b.attachments.back().push_back(
                    Value(kAttachTags[index % std::size(kAttachTags)], value, n, b.strings, b.bytes));
                break;
            case 3: {
                const std::string text(reinterpret_cast<const char*>(value), n);
                const size_t colon = text.find(':');
                headers.emplace_back(Platform::FromUtf8(text.substr(0, colon)),
                                     Platform::FromUtf8(colon == std::string::npos ? "" : text.substr(colon + 1)));
                break;
            }
        }
    }
    pMessage->SetProps(static_cast<ULONG>(messageProps.size()), messageProps.data(), nullptr);
    b.Flush();
    for (const auto& [name, value] : headers) {
        MAPINAMEID id{const_cast<GUID*>(&PS_INTERNET_HEADERS), MNID_STRING, {}};
        id.Kind.lpwstrName = const_cast<wchar_t*>(name.c_str());
        LPMAPINAMEID pId = &id;
        LPSPropTagArray pTags = nullptr;
        if (SUCCEEDED(pMessage->GetIDsFromNames(1, &pId, MAPI_CREATE, &pTags)) &&
            PROP_TYPE(pTags->aulPropTag[0]) != PT_ERROR) {
            SPropValue v{CHANGE_PROP_TYPE(pTags->aulPropTag[0], PT_UNICODE), 0, {}};
            v.Value.lpszW = const_cast<wchar_t*>(value.c_str());
            HrSetOneProp(pMessage.Get(), &v);
        }
        MAPIFreeBuffer(pTags);
    }

    static constexpr ULONG kFlags[] = {CCSF_SMTP,     CCSF_INCLUDE_BCC,     CCSF_8BITHEADERS,     CCSF_USE_RTF,
                                       CCSF_NO_MSGID, CCSF_PLAIN_TEXT_ONLY, CCSF_EMBEDDED_MESSAGE};
    ULONG ulFlags = 0;
    for (size_t i = 0; i < std::size(kFlags); ++i)
        if (data[0] & (1u << i))
            ulFlags |= kFlags[i];
    static constexpr ENCODINGTYPE kEncodings[] = {IET_UNKNOWN, IET_BASE64, IET_QP, IET_7BIT, IET_8BIT, IET_UUENCODE};
    ComPtr<IConverterSession> pSession;
    Check(SUCCEEDED(Platform::Mapi::CreateConverterSession(pSession.AddressOf())));
    const ENCODINGTYPE encoding = kEncodings[(data[1] & 0x7F) % std::size(kEncodings)];
    if (encoding != IET_UNKNOWN)
        Check(pSession->SetEncoding(encoding) == S_OK);
    Check(pSession->SetSaveFormat((data[1] & 0x80) ? SAVE_RFC822 : SAVE_RFC1521) == S_OK);
    ComPtr<Platform::MemStream> pOut = Platform::MemStream::Create();
    HRESULT hr = pSession->MAPIToMIMEStm(pMessage.Get(), pOut.Get(), ulFlags);
    Check(hr == S_OK || hr == MAPI_E_TOO_COMPLEX);
    if (FAILED(hr))
        return 0;

    ComPtr<IMessage> pBack;
    Check(SUCCEEDED(fs.inbox->CreateMessage(nullptr, 0, pBack.AddressOf())));
    LARGE_INTEGER start{};
    pOut->Seek(start, STREAM_SEEK_SET, nullptr);
    hr = pSession->MIMEToMAPI(pOut.Get(), pBack.Get(), nullptr, CCSF_SMTP | CCSF_INCLUDE_BCC);
    Check(hr == S_OK || hr == MAPI_W_PARTIAL_COMPLETION);
    Walk(pBack.Get());
    SPropValue* pId = nullptr;
    if (SUCCEEDED(HrGetOneProp(pBack.Get(), PR_ENTRYID, &pId))) {
        ENTRYLIST list{1, &pId->Value.bin};
        fs.inbox->DeleteMessages(&list, 0, nullptr, DELETE_HARD_DELETE);
    }
    MAPIFreeBuffer(pId);
    return 0;
}
