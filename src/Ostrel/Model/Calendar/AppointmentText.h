// An owned, separately allocated copy of a zero-terminated text (or null), as the calendar model
// keeps its text fields: the getter hands out the stored pointer, a setter replaces the copy.
#pragma once

#include "Util/Text/Strings.h"

namespace Ostrel::Mail {

template <typename CharT>
class BasicOwnedText {
public:
    BasicOwnedText() = default;
    explicit BasicOwnedText(const CharT* psz) : m_psz(Util::CopyString(psz)) {}
    BasicOwnedText(const BasicOwnedText& other) : m_psz(Util::CopyString(other.m_psz)) {}
    BasicOwnedText(BasicOwnedText&& other) noexcept : m_psz(other.m_psz) { other.m_psz = nullptr; }
    BasicOwnedText& operator=(const BasicOwnedText& other) {
        Set(other.m_psz);
        return *this;
    }
    BasicOwnedText& operator=(BasicOwnedText&& other) noexcept {
        if (this != &other) {
            Util::SafeDelete(m_psz);
            m_psz = other.m_psz;
            other.m_psz = nullptr;
        }
        return *this;
    }
    ~BasicOwnedText() { Util::SafeDelete(m_psz); }

    // Copies before freeing, so that a text can be set from its own stored pointer.
    void Set(const CharT* psz) {
        CharT* pszNew = Util::CopyString(psz);
        Util::SafeDelete(m_psz);
        m_psz = pszNew;
    }
    const CharT* Get() const { return m_psz; }
    bool IsEmpty() const { return !m_psz || !*m_psz; }

private:
    CharT* m_psz = nullptr;
};

using OwnedText = BasicOwnedText<wchar_t>;
using OwnedTextA = BasicOwnedText<char>;

}  // namespace Ostrel::Mail
