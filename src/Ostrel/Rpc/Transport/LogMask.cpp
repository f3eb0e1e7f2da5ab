#include "Ostrel/Rpc/Transport/LogMask.h"

#include "Platform/Base/Utf.h"

#include <cstring>

namespace Ostrel::Rpc {

namespace {

constexpr const char* kSecretElements[] = {"password", "oldPassword", "authToken", "trustedToken", "deviceId"};

// One asterisk per character (not per UTF-8 byte); returns where the masked text ends.
size_t Mask(std::string& text, size_t begin, size_t end) {
    size_t chars = 0;
    for (size_t i = begin; i < end; ++i)
        chars += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    text.replace(begin, end - begin, chars, '*');
    return begin + chars;
}

bool IsSecretElement(const std::string& name) {
    const size_t colon = name.find(':');
    const std::string local = colon == std::string::npos ? name : name.substr(colon + 1);
    for (const char* secret : kSecretElements) {
        if (local == secret)
            return true;
    }
    return false;
}

void MaskElements(std::string& text) {
    size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string::npos) {
        const size_t nameStart = pos + 1;
        const size_t nameEnd = text.find_first_of(" \t\r\n/>", nameStart);
        if (nameEnd == std::string::npos)
            return;
        const size_t close = text.find('>', nameEnd);
        if (close == std::string::npos)
            return;
        if (text[close - 1] != '/' && IsSecretElement(text.substr(nameStart, nameEnd - nameStart))) {
            size_t textEnd = text.find('<', close + 1);
            if (textEnd == std::string::npos)
                textEnd = text.size();  // a body cut short still hides what it has
            Mask(text, close + 1, textEnd);
        }
        pos = close + 1;  // the element's text holds no '<', masked or not
    }
}

// pw="…" or pw='…' as an attribute (preceded by white space).
void MaskPwAttributes(std::string& text) {
    size_t pos = 0;
    while ((pos = text.find("pw=", pos)) != std::string::npos) {
        const size_t valueStart = pos + 4;
        if (pos == 0 || !std::strchr(" \t\r\n", text[pos - 1]) || valueStart > text.size() ||
            (text[pos + 3] != '"' && text[pos + 3] != '\'')) {
            pos += 3;
            continue;
        }
        size_t valueEnd = text.find(text[pos + 3], valueStart);
        if (valueEnd == std::string::npos)
            valueEnd = text.size();
        pos = Mask(text, valueStart, valueEnd);
    }
}

void MaskCookies(std::string& text) {
    static constexpr char kCookie[] = "OS_AUTH_TOKEN=";
    size_t pos = 0;
    while ((pos = text.find(kCookie, pos)) != std::string::npos) {
        const size_t valueStart = pos + sizeof kCookie - 1;
        size_t valueEnd = text.find_first_of("; \t\r\n\"'<,", valueStart);
        if (valueEnd == std::string::npos)
            valueEnd = text.size();
        pos = Mask(text, valueStart, valueEnd);
    }
}

}  // namespace

void MaskSecretsForLog(std::string& text) {
    MaskElements(text);
    MaskPwAttributes(text);
    MaskCookies(text);
}

std::wstring MaskedForLog(const std::wstring& text) {
    std::string utf8 = Platform::ToUtf8(text);
    MaskSecretsForLog(utf8);
    return Platform::FromUtf8(utf8);
}

}  // namespace Ostrel::Rpc
