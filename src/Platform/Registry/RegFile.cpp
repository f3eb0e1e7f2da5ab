#include "Platform/Registry/RegFile.h"

#include "Platform/Base/Text.h"
#include "Platform/Base/Utf.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace Platform::RegFile {

namespace {

constexpr DWORD kRegSz = 1;
constexpr DWORD kRegBinary = 3;
constexpr DWORD kRegDword = 4;
constexpr size_t kMaxKeyName = 255;
constexpr size_t kMaxValueName = 16383;

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

std::vector<BYTE> WideToBytes(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    if (!text.empty())
        std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::wstring BytesToWide(const std::vector<BYTE>& bytes) {
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
    return text;
}

class Parser {
public:
    Parser(std::string_view text, std::wstring_view root) : m_rootFolded(RegTree::Fold(root)) {
        m_result.pRoot = std::make_unique<RegTree::Key>();
        m_result.pRoot->wsName = root;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos)
                end = text.size();
            m_lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    ParseResult Run() {
        bool bHeader = false;
        for (m_uLine = 0; m_uLine < m_lines.size(); ++m_uLine) {
            std::string_view line = Trim(m_lines[m_uLine]);
            if (m_uLine == 0 && StartsWith(line, "\xEF\xBB\xBF"))
                line.remove_prefix(3);
            if (!bHeader) {
                if (line.empty())
                    continue;
                if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00") {
                    Fail("missing REGEDIT4 header");
                    break;  // not a registry file at all: nothing in it can be trusted
                }
                bHeader = true;
                continue;
            }
            if (line.empty() || line[0] == ';')
                continue;
            if (line[0] == '[')
                ParseKeyLine(line);
            else
                ParseValueLine(line);
        }
        if (!bHeader && m_result.uErrorLine == 0) {
            m_uLine = 0;
            Fail("missing REGEDIT4 header");
        }
        return std::move(m_result);
    }

private:
    void Fail(std::string message) {
        if (m_result.uErrorLine == 0) {
            m_result.uErrorLine = static_cast<unsigned>(m_uLine + 1);
            m_result.sError = std::move(message);
        }
    }

    std::optional<std::wstring> Decode(std::string_view utf8) {
        bool bInvalid = false;
        std::wstring text = FromUtf8(utf8, &bInvalid);
        if (bInvalid) {
            Fail("invalid UTF-8");
            return std::nullopt;
        }
        return text;
    }

    void ParseKeyLine(std::string_view line) {
        m_pKey = nullptr;
        if (line.back() != ']')
            return Fail("key name without closing ']'");
        std::string_view inner = line.substr(1, line.size() - 2);
        if (!inner.empty() && inner[0] == '-')
            return Fail("key deletion does not belong in a hive file");
        auto name = Decode(inner);
        if (!name)
            return;
        std::vector<std::wstring> parts;
        size_t start = 0;
        while (true) {
            size_t end = name->find(L'\\', start);
            parts.push_back(name->substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
            if (end == std::wstring::npos)
                break;
            start = end + 1;
        }
        if (RegTree::Fold(parts[0]) != m_rootFolded)
            return Fail("key outside this hive");
        RegTree::Key* key = m_result.pRoot.get();
        for (size_t i = 1; i < parts.size(); ++i) {
            if (parts[i].empty() || parts[i].size() > kMaxKeyName)
                return Fail("bad key name");
            key = &key->AddChild(parts[i]);
        }
        m_pKey = key;
    }

    // A quoted text starting at s[pos] == '"', with \\ and \" escapes; pos ends after the quote.
    std::optional<std::string> Quoted(std::string_view s, size_t& pos) {
        std::string out;
        for (++pos; pos < s.size(); ++pos) {
            char c = s[pos];
            if (c == '"') {
                ++pos;
                return out;
            }
            if (c == '\\') {
                if (++pos >= s.size() || (s[pos] != '\\' && s[pos] != '"'))
                    break;
                c = s[pos];
            }
            out += c;
        }
        Fail("bad quoted text");
        return std::nullopt;
    }

    // Joins the continuation lines of a hex list ("..,\" at the end of a line).
    std::string HexList(std::string_view first) {
        std::string list(Trim(first));
        while (!list.empty() && list.back() == '\\' && m_uLine + 1 < m_lines.size()) {
            list.pop_back();
            list += Trim(m_lines[++m_uLine]);
        }
        return list;
    }

    std::optional<std::vector<BYTE>> HexBytes(std::string_view list) {
        std::vector<BYTE> bytes;
        list = Trim(list);
        if (list.empty())
            return bytes;
        size_t pos = 0;
        while (true) {
            std::string_view item = Trim(list.substr(pos, list.find(',', pos) - pos));
            if (item.size() != 2 || Platform::HexDigitValue(static_cast<unsigned char>(item[0])) < 0 ||
                Platform::HexDigitValue(static_cast<unsigned char>(item[1])) < 0) {
                Fail("bad hex byte list");
                return std::nullopt;
            }
            bytes.push_back(static_cast<BYTE>(Platform::HexDigitValue(static_cast<unsigned char>(item[0])) * 16 +
                                              Platform::HexDigitValue(static_cast<unsigned char>(item[1]))));
            pos = list.find(',', pos);
            if (pos == std::string_view::npos)
                break;
            ++pos;
            if (Trim(list.substr(pos)).empty())
                break;  // a trailing comma
        }
        return bytes;
    }

    void ParseValueLine(std::string_view line) {
        if (!m_pKey)
            return Fail("value outside a key");
        size_t pos = 0;
        std::wstring name;
        if (line[0] == '@') {
            pos = 1;
        } else if (line[0] == '"') {
            auto quoted = Quoted(line, pos);
            if (!quoted)
                return;
            auto decoded = Decode(*quoted);
            if (!decoded)
                return;
            name = std::move(*decoded);
            if (name.size() > kMaxValueName)
                return Fail("value name too long");
        } else {
            return Fail("expected a key or a value");
        }
        std::string_view rest = Trim(line.substr(pos));
        if (rest.empty() || rest[0] != '=')
            return Fail("expected '='");
        rest = Trim(rest.substr(1));

        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            auto quoted = Quoted(rest, p);
            if (!quoted)
                return;
            if (!Trim(rest.substr(p)).empty())
                return Fail("text after the value");
            auto text = Decode(*quoted);
            if (!text)
                return;
            text->push_back(L'\0');
            m_pKey->SetValue(name, kRegSz, WideToBytes(*text));
        } else if (StartsWith(rest, "dword:")) {
            std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8)
                return Fail("bad dword");
            DWORD value = 0;
            for (char c : digits) {
                if (Platform::HexDigitValue(static_cast<unsigned char>(c)) < 0)
                    return Fail("bad dword");
                value = value * 16 + static_cast<DWORD>(Platform::HexDigitValue(static_cast<unsigned char>(c)));
            }
            std::vector<BYTE> data(4);
            for (int i = 0; i < 4; ++i)
                data[i] = static_cast<BYTE>(value >> (8 * i));
            m_pKey->SetValue(name, kRegDword, std::move(data));
        } else if (StartsWith(rest, "hex")) {
            DWORD type = kRegBinary;
            size_t colon = 3;
            if (rest.size() > 3 && rest[3] == '(') {
                size_t close = rest.find(')');
                if (close == std::string_view::npos || close == 4 || close > 12)
                    return Fail("bad value type");
                type = 0;
                for (size_t i = 4; i < close; ++i) {
                    if (Platform::HexDigitValue(static_cast<unsigned char>(rest[i])) < 0)
                        return Fail("bad value type");
                    type = type * 16 + static_cast<DWORD>(Platform::HexDigitValue(static_cast<unsigned char>(rest[i])));
                }
                colon = close + 1;
            }
            if (colon >= rest.size() || rest[colon] != ':')
                return Fail("expected ':'");
            auto bytes = HexBytes(HexList(rest.substr(colon + 1)));
            if (!bytes)
                return;
            if (RegTree::IsStringType(type)) {
                bool bInvalid = false;
                std::wstring text = FromUtf16LEBytes(
                    std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), &bInvalid);
                if (bInvalid)
                    return Fail("bad UTF-16LE text");
                bytes = WideToBytes(text);
            }
            m_pKey->SetValue(name, type, std::move(*bytes));
        } else {
            Fail("unknown value data");
        }
    }

    std::wstring m_rootFolded;
    std::vector<std::string_view> m_lines;
    size_t m_uLine = 0;
    RegTree::Key* m_pKey = nullptr;
    ParseResult m_result;
};

std::string Escape(std::wstring_view text) {
    std::string out;
    for (char c : ToUtf8(text)) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// A REG_SZ that fits the quoted form: one terminator at the end and no control characters.
bool IsPlainText(const RegTree::Value& value) {
    if (value.dwType != kRegSz)
        return false;
    std::wstring text = BytesToWide(value.data);
    if (value.data.size() % sizeof(wchar_t) != 0 || text.empty() || text.back() != L'\0')
        return false;
    text.pop_back();
    for (wchar_t c : text) {
        if (static_cast<uint32_t>(c) < 0x20)
            return false;
    }
    return true;
}

void AppendHex(std::string& out, std::string_view prefix, const std::string& bytes) {
    out += prefix;
    size_t column = prefix.size();
    char item[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, "%02x", static_cast<unsigned char>(bytes[i]));
        out += item;
        column += 2;
        if (i + 1 < bytes.size()) {
            out += ',';
            ++column;
            if (column > 74) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    out += '\n';
}

void AppendValue(std::string& out, const RegTree::Value& value) {
    std::string line;
    if (value.wsName.empty()) {
        line = "@=";
    } else {
        line += '"';
        line += Escape(value.wsName);
        line += "\"=";
    }
    if (IsPlainText(value)) {
        std::wstring text = BytesToWide(value.data);
        text.pop_back();
        out += line;
        out += '"';
        out += Escape(text);
        out += "\"\n";
    } else if (value.dwType == kRegDword && value.data.size() == 4) {
        DWORD dw = 0;
        for (int i = 3; i >= 0; --i)
            dw = (dw << 8) | value.data[i];
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x\n", dw);
        out += line + digits;
    } else {
        std::string bytes(value.data.begin(), value.data.end());
        if (RegTree::IsStringType(value.dwType))
            bytes = ToUtf16LEBytes(BytesToWide(value.data));
        char type[16];
        if (value.dwType == kRegBinary)
            std::snprintf(type, sizeof type, "hex:");
        else
            std::snprintf(type, sizeof type, "hex(%x):", value.dwType);
        AppendHex(out, line + type, bytes);
    }
}

void AppendKey(std::string& out, const RegTree::Key& key, const std::wstring& path, bool bRoot) {
    if (!bRoot || !key.values.empty()) {
        out += '[';
        out += ToUtf8(path);
        out += "]\n";
        for (const auto& value : key.values)
            AppendValue(out, value);
        out += '\n';
    }
    for (const auto& [folded, child] : key.subkeys)
        AppendKey(out, *child, path + L"\\" + child->wsName, false);
}

}  // namespace

ParseResult Parse(std::string_view text, std::wstring_view wsRootName) {
    return Parser(text, wsRootName).Run();
}

std::string Format(const RegTree::Key& root, std::wstring_view wsRootName) {
    std::string out = "REGEDIT4\n\n";
    AppendKey(out, root, std::wstring(wsRootName), true);
    return out;
}

}  // namespace Platform::RegFile
