#include "Platform/Mapi/Convert/Reports.h"

#include <string_view>
#include <utility>

#include "Platform/Mapi/Convert/MimeParts.h"

namespace Platform::Mapi::Convert {

namespace {

std::string Trim(std::string_view text) {
    const size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos)
        return std::string();
    return std::string(text.substr(b, text.find_last_not_of(" \t\r\n") - b + 1));
}

// "dns; mx.example.com" without its type; a value without a type stays whole.
std::string WithoutType(const std::string& value) {
    const size_t semi = value.find(';');
    return semi == std::string::npos ? value : Trim(std::string_view(value).substr(semi + 1));
}

// The blocks of fields (separated by empty lines), each field unfolded, names in lower case.
std::vector<std::vector<std::pair<std::string, std::string>>> Blocks(const std::string& text) {
    std::vector<std::vector<std::pair<std::string, std::string>>> blocks(1);
    for (size_t p = 0; p < text.size();) {
        size_t nl = text.find('\n', p);
        if (nl == std::string::npos)
            nl = text.size();
        std::string_view line(text.data() + p, nl - p);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        p = nl + 1;
        if (Trim(line).empty()) {
            if (!blocks.back().empty())
                blocks.emplace_back();
            continue;
        }
        if ((line[0] == ' ' || line[0] == '\t') && !blocks.back().empty()) {
            blocks.back().back().second += " " + Trim(line);
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        blocks.back().emplace_back(LowerAscii(Trim(line.substr(0, colon))), Trim(line.substr(colon + 1)));
    }
    return blocks;
}

DeliveryAction ActionOf(const std::string& value) {
    static constexpr std::pair<const char*, DeliveryAction> kActions[] = {{"delivered", DeliveryAction::Delivered},
                                                                          {"expanded", DeliveryAction::Expanded},
                                                                          {"relayed", DeliveryAction::Relayed},
                                                                          {"delayed", DeliveryAction::Delayed},
                                                                          {"failed", DeliveryAction::Failed}};
    const std::string lower = LowerAscii(value);
    for (const auto& [name, action] : kActions)
        if (lower.rfind(name, 0) == 0)
            return action;
    return DeliveryAction::None;
}

}  // namespace

DeliveryStatus ReadDeliveryStatus(const std::string& text) {
    DeliveryStatus out;
    const auto blocks = Blocks(text);
    std::vector<DeliveryRecipient> all;
    for (size_t i = 0; i < blocks.size(); ++i) {
        std::string recipient, remote, status, diagnostic, info;
        DeliveryAction action = DeliveryAction::None;
        for (const auto& [name, value] : blocks[i]) {
            if (name == "reporting-mta" && out.wsReportingMta.empty())
                out.wsReportingMta = Utf8ToWide(WithoutType(value));
            else if (name == "final-recipient")
                recipient = WithoutType(value);
            else if (name == "action")
                action = ActionOf(value);
            else if (name == "remote-mta")
                remote = WithoutType(value);
            else if (name == "status")
                status = value;
            else if (name == "diagnostic-code")
                diagnostic = WithoutType(value);
            else if (name == "x-supplementary-info")
                info = value;
        }
        if (action > out.action)
            out.action = action;
        if (recipient.empty() || action == DeliveryAction::None)
            continue;
        if (info.empty() && !status.empty()) {
            info = "<" + (remote.empty() ? std::string() : remote + " ") + "#" + status +
                   (diagnostic.empty() ? std::string() : " " + diagnostic) + ">";
        }
        all.push_back({Utf8ToWide(recipient), action, Utf8ToWide(remote), Utf8ToWide(info)});
    }
    // Blocks of milder actions are not part of what the report says.
    for (DeliveryRecipient& r : all)
        if (r.action == out.action)
            out.recipients.push_back(std::move(r));
    return out;
}

const wchar_t* ReportClassSuffix(DeliveryAction action) {
    switch (action) {
        case DeliveryAction::Delivered:
            return L".DR";
        case DeliveryAction::Expanded:
            return L".Expanded.DR";
        case DeliveryAction::Relayed:
            return L".Relayed.DR";
        case DeliveryAction::Delayed:
            return L".Delayed.DR";
        case DeliveryAction::Failed:
            return L".NDR";
        case DeliveryAction::None:
            break;
    }
    return L"";
}

}  // namespace Platform::Mapi::Convert
