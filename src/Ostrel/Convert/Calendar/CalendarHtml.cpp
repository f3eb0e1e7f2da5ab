// The server writes an HTML description with span styles that the store's editor does not
// show; they become plain tags here.
#include "Ostrel/Convert/Calendar/OstrelToOL.h"

#include "Util/Log/Log.h"

#include <cwchar>
#include <cwctype>
#include <functional>
#include <regex>

namespace Ostrel::Mail {

namespace {

void ReplaceAll(std::wstring& ws, const std::wstring& from, const std::wstring& to) {
    for (size_t pos = ws.find(from); pos != std::wstring::npos; pos = ws.find(from, pos + to.size()))
        ws.replace(pos, from.size(), to);
}

void MakeAllSpansLC(std::wstring& ws) {
    ReplaceAll(ws, L"<SPAN", L"<span");
    ReplaceAll(ws, L"</SPAN>", L"</span>");
}

// The position of the "</span>" that closes the span whose start tag ends before `from`,
// counting nested spans; npos when there is none.
size_t FindPairedSpanEnd(const std::wstring& ws, size_t from) {
    int depth = 1;
    for (size_t pos = from; pos < ws.size();) {
        const size_t open = ws.find(L"<span", pos);
        const size_t close = ws.find(L"</span>", pos);
        if (close == std::wstring::npos)
            return std::wstring::npos;
        if (open != std::wstring::npos && open < close) {
            ++depth;
            pos = open + 5;
            continue;
        }
        if (--depth == 0)
            return close;
        pos = close + 7;
    }
    return std::wstring::npos;
}

// Replaces each span start tag whose style matches with the opening tag (built from the match by
// makeOpen) and its paired end tag with the closing tag. Tags are matched one at a time, and
// overlong ones are left alone, so a hostile description cannot make the matcher run away.
void SubstituteHTMLStyle(std::wstring& ws, const std::wstring& wsStyle,
                         const std::function<std::wstring(const std::wsmatch&)>& makeOpen,
                         const std::wstring& wsClose) {
    constexpr size_t kMaxTagChars = 4096;
    const std::wregex re(L"<span [^>]*style=\"[^\"-]*(" + wsStyle + L")[^>]*>");
    for (size_t start = ws.find(L"<span "); start != std::wstring::npos; start = ws.find(L"<span ", start + 1)) {
        const size_t gt = ws.find(L'>', start);
        if (gt == std::wstring::npos)
            return;
        if (gt - start >= kMaxTagChars)
            continue;
        const std::wstring wsTag = ws.substr(start, gt - start + 1);
        std::wsmatch match;
        if (!std::regex_match(wsTag, match, re))
            continue;
        const size_t end = FindPairedSpanEnd(ws, gt + 1);
        if (end == std::wstring::npos) {
            OSTLOG_WARN(L"Unpaired <span> for '%s' - broken HTMLDesc ?", wsStyle.c_str());
            return;
        }
        const std::wstring wsOpen = makeOpen(match);
        ws.replace(end, 7, wsClose);
        ws.replace(start, wsTag.size(), wsOpen);
    }
}

void RemoveEmptySpans(std::wstring& ws) {
    const std::wstring wsEmpty = L"<span style=\"\">";
    for (size_t pos = ws.find(wsEmpty); pos != std::wstring::npos; pos = ws.find(wsEmpty, pos)) {
        const size_t end = FindPairedSpanEnd(ws, pos + wsEmpty.size());
        if (end == std::wstring::npos) {
            OSTLOG_WARN(L"Unpaired empty <span> - broken HTMLDesc ?");
            return;
        }
        ws.erase(end, 7);
        ws.erase(pos, wsEmpty.size());
    }
}

}  // namespace

std::wstring OstrelToOL::CleanUpCalendarHTML(const std::wstring& wsHtml) {
    OSTLOG_INFO(16, L"BEFORE:\n%s", wsHtml.c_str());
    std::wstring ws = wsHtml;
    MakeAllSpansLC(ws);
    auto Fixed = [](const wchar_t* pwsz) { return [pwsz](const std::wsmatch&) { return std::wstring(pwsz); }; };
    SubstituteHTMLStyle(ws, L"text-decoration: underline;", Fixed(L"<u>"), L"</u>");
    SubstituteHTMLStyle(ws, L"text-decoration: line-through;", Fixed(L"<strike>"), L"</strike>");
    SubstituteHTMLStyle(
        ws, L"color: rgb\\(([\\d]{1,3}), ([\\d]{1,3}), ([\\d]{1,3})\\);",
        [](const std::wsmatch& m) {
            wchar_t buf[32];
            auto Part = [&](size_t i) { return std::min(255, std::stoi(m[i].str())); };
            std::swprintf(buf, 32, L"\"#%02X%02X%02X\">", Part(2), Part(3), Part(4));
            return std::wstring(L"<font color=") + buf;
        },
        L"</font>");
    RemoveEmptySpans(ws);
    OSTLOG_INFO(16, L"AFTER:\n%s", ws.c_str());
    return ws;
}

}  // namespace Ostrel::Mail
