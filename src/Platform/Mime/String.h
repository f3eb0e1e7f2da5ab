// mimepp::String: the 8-bit work string of the MIME layer (bytes, not characters).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace mimepp {

class String {
public:
    static constexpr size_t npos = std::string::npos;

    String() = default;
    String(const char* text) : m_s(text ? text : "") {}
    String(const char* data, size_t length) : m_s(data, length) {}
    String(size_t count, char c) : m_s(count, c) {}
    String(const std::string& text) : m_s(text) {}
    String(std::string&& text) : m_s(std::move(text)) {}
    explicit String(std::string_view text) : m_s(text) {}

    const char* c_str() const { return m_s.c_str(); }
    const char* data() const { return m_s.data(); }
    size_t length() const { return m_s.length(); }
    size_t size() const { return m_s.size(); }
    bool empty() const { return m_s.empty(); }
    void clear() { m_s.clear(); }
    void reserve(size_t n) { m_s.reserve(n); }

    char operator[](size_t pos) const { return m_s[pos]; }
    char& operator[](size_t pos) { return m_s[pos]; }

    size_t find(const String& what, size_t pos = 0) const { return m_s.find(what.m_s, pos); }
    size_t find(const char* what, size_t pos = 0) const { return m_s.find(what, pos); }
    size_t find(char c, size_t pos = 0) const { return m_s.find(c, pos); }
    size_t rfind(const String& what, size_t pos = npos) const { return m_s.rfind(what.m_s, pos); }
    size_t rfind(const char* what, size_t pos = npos) const { return m_s.rfind(what, pos); }
    size_t rfind(char c, size_t pos = npos) const { return m_s.rfind(c, pos); }

    // Positions beyond the end are clamped instead of throwing, as callers work on untrusted text.
    String substr(size_t pos = 0, size_t length = npos) const;
    String& insert(size_t pos, const String& text);
    String& erase(size_t pos = 0, size_t length = npos);
    String& replace(size_t pos, size_t length, const String& text);

    String& append(const String& text) {
        m_s.append(text.m_s);
        return *this;
    }
    String& append(const char* text) {
        m_s.append(text ? text : "");
        return *this;
    }
    String& append(const char* data, size_t length) {
        m_s.append(data, length);
        return *this;
    }
    String& append(size_t count, char c) {
        m_s.append(count, c);
        return *this;
    }
    String& operator+=(const String& text) { return append(text); }
    String& operator+=(const char* text) { return append(text); }
    String& operator+=(char c) {
        m_s.push_back(c);
        return *this;
    }

    // ASCII case mapping only: bytes above 127 belong to some charset and are left alone.
    void convertToLowerCase();
    void convertToUpperCase();

    const std::string& str() const { return m_s; }
    std::string& str() { return m_s; }
    operator std::string_view() const { return m_s; }

    friend bool operator==(const String& a, const String& b) { return a.m_s == b.m_s; }
    friend bool operator==(const String& a, const char* b) { return a.m_s == (b ? b : ""); }
    friend auto operator<=>(const String& a, const String& b) { return a.m_s <=> b.m_s; }

private:
    std::string m_s;
};

String operator+(const String& a, const String& b);
String operator+(const String& a, const char* b);
String operator+(const char* a, const String& b);

// Byte comparisons returning <0, 0 or >0; the case-insensitive ones fold ASCII letters only.
int Strcmp(const String& a, const String& b);
int Strcmp(const String& a, const char* b);
int Strcasecmp(const String& a, const String& b);
int Strcasecmp(const String& a, const char* b);
int Strncasecmp(const String& a, const String& b, size_t n);
int Strncasecmp(const String& a, const char* b, size_t n);

}  // namespace mimepp
