// Internal: GMime initialisation, shared options and RAII holders for GObjects and g_malloc'd text.
#pragma once

#include "Platform/Mime/String.h"

#include <gmime/gmime.h>

#include <utility>

namespace mimepp::detail {

// Initialises GMime once per process (thread-safe); every entry point that touches GMime calls it.
void EnsureGMime();

// Parser options shared by every parse: loose RFC 2047/2231 handling and raw 8-bit header text
// read as UTF-8, else windows-1252.
GMimeParserOptions* ParserOptions();
// Format options for writing: CRLF line ends, RFC 2231 parameters.
GMimeFormatOptions* FormatOptions();

// Owns one reference to a GObject.
template <typename T>
class GPtr {
public:
    GPtr() = default;
    explicit GPtr(T* p) : m_p(p) {}
    ~GPtr() { reset(); }
    GPtr(const GPtr&) = delete;
    GPtr& operator=(const GPtr&) = delete;
    GPtr(GPtr&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    GPtr& operator=(GPtr&& o) noexcept {
        if (this != &o) {
            reset();
            m_p = std::exchange(o.m_p, nullptr);
        }
        return *this;
    }
    void reset(T* p = nullptr) {
        if (m_p)
            g_object_unref(m_p);
        m_p = p;
    }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};

// Takes a g_malloc'd C string and frees it; an absent string reads as empty.
class GText {
public:
    explicit GText(char* p) : m_p(p) {}
    ~GText() { g_free(m_p); }
    GText(const GText&) = delete;
    GText& operator=(const GText&) = delete;
    const char* get() const { return m_p ? m_p : ""; }
    bool isNull() const { return m_p == nullptr; }
    String str() const { return String(get()); }

private:
    char* m_p;
};

// Header values are stored folded as read; GMime's value parsers want one logical line.
String Unfold(const String& value);

}  // namespace mimepp::detail
