#include "Platform/Mime/String.h"

#include <algorithm>
#include <cstring>

namespace mimepp {

namespace {

unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

int Compare(std::string_view a, std::string_view b, bool bFoldCase, size_t limit) {
    const size_t n = std::min({a.size(), b.size(), limit});
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[i]);
        if (bFoldCase) {
            ca = Lower(ca);
            cb = Lower(cb);
        }
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    const size_t la = std::min(a.size(), limit);
    const size_t lb = std::min(b.size(), limit);
    return la == lb ? 0 : (la < lb ? -1 : 1);
}

std::string_view View(const char* text) {
    return text ? std::string_view(text) : std::string_view();
}

}  // namespace

String String::substr(size_t pos, size_t length) const {
    if (pos >= m_s.size())
        return String();
    return String(m_s.substr(pos, length));
}

String& String::insert(size_t pos, const String& text) {
    m_s.insert(std::min(pos, m_s.size()), text.m_s);
    return *this;
}

String& String::erase(size_t pos, size_t length) {
    if (pos < m_s.size())
        m_s.erase(pos, length);
    return *this;
}

String& String::replace(size_t pos, size_t length, const String& text) {
    m_s.replace(std::min(pos, m_s.size()), length, text.m_s);
    return *this;
}

void String::convertToLowerCase() {
    for (char& c : m_s)
        c = static_cast<char>(Lower(static_cast<unsigned char>(c)));
}

void String::convertToUpperCase() {
    for (char& c : m_s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - ('a' - 'A'));
    }
}

String operator+(const String& a, const String& b) {
    String r(a);
    return r.append(b);
}

String operator+(const String& a, const char* b) {
    String r(a);
    return r.append(b);
}

String operator+(const char* a, const String& b) {
    String r(a);
    return r.append(b);
}

int Strcmp(const String& a, const String& b) {
    return Compare(a, b, false, String::npos);
}
int Strcmp(const String& a, const char* b) {
    return Compare(a, View(b), false, String::npos);
}
int Strcasecmp(const String& a, const String& b) {
    return Compare(a, b, true, String::npos);
}
int Strcasecmp(const String& a, const char* b) {
    return Compare(a, View(b), true, String::npos);
}
int Strncasecmp(const String& a, const String& b, size_t n) {
    return Compare(a, b, true, n);
}
int Strncasecmp(const String& a, const char* b, size_t n) {
    return Compare(a, View(b), true, n);
}

}  // namespace mimepp
