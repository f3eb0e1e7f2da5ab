// Corpus messages (tests/data/convert/*.eml) into the store through the converter session and out
// again on both paths, then in once more: what [MS-OXCMAIL] maps to properties (class, subject,
// date, importance, sender, recipients, body text, HTML, attachments with their names and bytes)
// must come back. The differences that remain are listed, with their reasons, in the table of
// tests/data/mail-out/README.md; a difference not listed there fails, and so does a listed one that
// no longer occurs.
#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "MailOutTestUtil.h"
#include "Ostrel/Convert/Mail/ConvertMessageToMime.h"
#include "Platform/Base/Utf.h"
#include "Platform/Mapi/MapiAlloc.h"
#include "Platform/Mapi/MapiTags.h"
#include "Platform/Mapi/MapiUtil.h"

namespace MailOutTest {

namespace {

struct Buf {
    void* p = nullptr;
    ~Buf() { MAPIFreeBuffer(p); }
};

std::string Str(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    if (FAILED(HrGetOneProp(p, CHANGE_PROP_TYPE(ulTag, PT_UNICODE), reinterpret_cast<LPSPropValue*>(&v.p))))
        return "-";
    return Platform::ToUtf8(static_cast<LPSPropValue>(v.p)->Value.lpszW);
}

std::string Num(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return "-";
    const SPropValue* pv = static_cast<LPSPropValue>(v.p);
    if (PROP_TYPE(ulTag) == PT_SYSTIME)
        return std::to_string(
            (static_cast<unsigned long long>(pv->Value.ft.dwHighDateTime) << 32 | pv->Value.ft.dwLowDateTime) /
            10000000ULL);
    return std::to_string(pv->Value.l);
}

std::string Bin(IMAPIProp* p, ULONG ulTag) {
    Buf v;
    if (FAILED(HrGetOneProp(p, ulTag, reinterpret_cast<LPSPropValue*>(&v.p))))
        return std::string();
    const SBinary& bin = static_cast<LPSPropValue>(v.p)->Value.bin;
    return std::string(reinterpret_cast<const char*>(bin.lpb), bin.cb);
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hash(const std::string& bytes) {
    unsigned long long h = 1469598103934665603ULL;
    for (unsigned char c : bytes)
        h = (h ^ c) * 1099511628211ULL;
    std::ostringstream out;
    out << bytes.size() << ":" << std::hex << h;
    return out.str();
}

// Text compared without trailing blanks on lines and without trailing line breaks.
std::string Text(std::string text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        out += line + "\n";
    }
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return Hash(out);
}

// The properties the conversion keeps, one field per entry.
std::map<std::string, std::string> Kept(IMessage* pMessage, int depth = 0) {
    std::map<std::string, std::string> kept;
    kept["class"] = Str(pMessage, PR_MESSAGE_CLASS_W);
    kept["subject"] = Str(pMessage, PR_SUBJECT_W);
    kept["date"] = Num(pMessage, PR_CLIENT_SUBMIT_TIME);
    kept["importance"] = Num(pMessage, PR_IMPORTANCE);
    kept["from"] = Str(pMessage, PR_SENT_REPRESENTING_NAME_W) + " <" +
                   Lower(Str(pMessage, PR_SENT_REPRESENTING_EMAIL_ADDRESS_W)) + ">";
    kept["body"] = Text(Str(pMessage, PR_BODY_W));
    kept["html"] = Bin(pMessage, PR_HTML).empty() ? "no" : "yes";

    ComPtr<IMAPITable> pTable;
    LPSRowSet pRows = nullptr;
    SizedSPropTagArray(3, rcols) = {3, {PR_RECIPIENT_TYPE, PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W}};
    std::vector<std::string> recipients;
    if (SUCCEEDED(pMessage->GetRecipientTable(MAPI_UNICODE, pTable.AddressOf())) &&
        SUCCEEDED(
            HrQueryAllRows(pTable.Get(), reinterpret_cast<LPSPropTagArray>(&rcols), nullptr, nullptr, 0, &pRows))) {
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            const SRow& row = pRows->aRow[i];
            std::string entry;
            for (ULONG j = 0; j < row.cValues; ++j) {
                const SPropValue& v = row.lpProps[j];
                entry += PROP_TYPE(v.ulPropTag) == PT_LONG      ? std::to_string(v.Value.l)
                         : PROP_TYPE(v.ulPropTag) == PT_UNICODE ? Platform::ToUtf8(v.Value.lpszW)
                                                                : std::string("-");
                entry += "|";
            }
            recipients.push_back(Lower(entry));
        }
    }
    FreeProws(pRows);
    std::sort(recipients.begin(), recipients.end());
    for (const std::string& r : recipients)
        kept["recipients"] += r + ";";

    ComPtr<IMAPITable> pAttachments;
    pRows = nullptr;
    SizedSPropTagArray(1, acols) = {1, {PR_ATTACH_NUM}};
    std::vector<std::string> attachments;
    if (SUCCEEDED(pMessage->GetAttachmentTable(0, pAttachments.AddressOf())) &&
        SUCCEEDED(HrQueryAllRows(pAttachments.Get(), reinterpret_cast<LPSPropTagArray>(&acols), nullptr, nullptr, 0,
                                 &pRows))) {
        for (ULONG i = 0; i < pRows->cRows; ++i) {
            ComPtr<IAttach> pAttach;
            if (FAILED(pMessage->OpenAttach(static_cast<ULONG>(pRows->aRow[i].lpProps[0].Value.l), nullptr, 0,
                                            pAttach.AddressOf())))
                continue;
            std::string entry = Str(pAttach.Get(), PR_ATTACH_LONG_FILENAME_W) + "|";
            if (Num(pAttach.Get(), PR_ATTACH_METHOD) == std::to_string(ATTACH_EMBEDDED_MSG)) {
                ComPtr<IUnknown> pUnk;
                if (depth < 8 &&
                    SUCCEEDED(pAttach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, pUnk.AddressOf()))) {
                    for (const auto& [key, value] : Kept(static_cast<IMessage*>(pUnk.Get()), depth + 1))
                        entry += key + "=" + value + "|";
                }
            } else {
                entry += Hash(Bin(pAttach.Get(), PR_ATTACH_DATA_BIN));
            }
            attachments.push_back(entry);
        }
    }
    FreeProws(pRows);
    std::sort(attachments.begin(), attachments.end());
    for (const std::string& a : attachments)
        kept["attachments"] += a + ";";
    return kept;
}

// (message, path, field) rows of the README's table of differences.
std::set<std::string> ListedDifferences() {
    std::set<std::string> listed;
    std::ifstream in(DataDir() / "README.md");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("| ", 0) != 0 || line.find(".eml") == std::string::npos)
            continue;
        std::vector<std::string> cells;
        std::istringstream row(line.substr(1));
        for (std::string cell; std::getline(row, cell, '|');) {
            const size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
            cells.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
        }
        if (cells.size() >= 3) {
            std::istringstream fields(cells[2]);
            for (std::string field; std::getline(fields, field, ',');) {
                field.erase(0, field.find_first_not_of(' '));
                listed.insert(cells[0] + " " + cells[1] + " " + field);
            }
        }
    }
    return listed;
}

class MailOutRoundTrip : public StoreFixture {};

}  // namespace

TEST_F(MailOutRoundTrip, CorpusMessagesKeepWhatTheStoreHolds) {
    const std::set<std::string> listed = ListedDifferences();
    std::set<std::string> found;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(TestSupport::DataDir() / "convert"))
        if (entry.path().extension() == ".eml")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 60u);
    for (const auto& file : files) {
        const std::string name = file.filename().string();
        SCOPED_TRACE(name);
        ComPtr<IMessage> pFirst = FromMime(ReadFile(file));
        const auto before = Kept(pFirst.Get());
        for (const bool bOwn : {false, true}) {
            const std::string path = bOwn ? "own" : "session";
            IStream* pStream = nullptr;
            unsigned int size = 0;
            ASSERT_EQ(ConvertMessageToMimeWith(bOwn, pFirst.Get(), nullptr, &pStream, size, nullptr), S_OK);
            const std::string mime = StreamText(pStream);
            pStream->Release();
            ComPtr<IMessage> pSecond = FromMime(mime);
            const auto after = Kept(pSecond.Get());
            for (const auto& [field, value] : before) {
                const std::string key = name + " " + path + " " + field;
                if (after.at(field) == value)
                    continue;
                found.insert(key);
                EXPECT_TRUE(listed.count(key)) << key << "\n  before: " << value << "\n  after:  " << after.at(field);
            }
        }
    }
    for (const std::string& key : listed)
        EXPECT_TRUE(found.count(key)) << "listed but not found: " << key;
}

}  // namespace MailOutTest
