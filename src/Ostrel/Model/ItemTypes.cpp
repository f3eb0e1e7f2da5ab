#include "Ostrel/Model/ItemTypes.h"

#include <cstring>
#include <cwchar>

namespace Ostrel::Mail {

const wchar_t* const MessageFlags::m_pcszwFlag = L"sarwufdxnt^";
const char* const MessageFlags::m_pcszFlag = "sarwufdxnt^";

void MessageFlags::FromString(const wchar_t* pwszFlags) {
    if (!pwszFlags)
        return;
    m_ulMask = 0;
    for (const wchar_t* p = pwszFlags; *p; ++p)
        if (const wchar_t* pFound = std::wcschr(m_pcszwFlag, *p))
            m_ulMask |= 1u << (pFound - m_pcszwFlag);
}

void MessageFlags::FromString(const char* pszFlags) {
    if (!pszFlags)
        return;
    m_ulMask = 0;
    for (const char* p = pszFlags; *p; ++p)
        if (const char* pFound = std::strchr(m_pcszFlag, *p))
            m_ulMask |= 1u << (pFound - m_pcszFlag);
}

const wchar_t* MessageFlags::AsString() {
    size_t n = 0;
    for (size_t i = 0; i < kFlagCount; ++i)
        if (m_ulMask & (1u << i))
            m_wszBuffer[n++] = m_pcszwFlag[i];
    m_wszBuffer[n] = L'\0';
    return m_wszBuffer;
}

std::wstring TagIdList::ToString() const {
    std::wstring text;
    for (size_t i = 0; i < size(); ++i) {
        if (i)
            text += L',';
        text += std::to_wstring((*this)[i]);
    }
    return text;
}

std::wstring TagNameList::ToString() const {
    std::wstring text;
    for (size_t i = 0; i < size(); ++i) {
        if (i)
            text += L',';
        text += (*this)[i];
    }
    return text;
}

}  // namespace Ostrel::Mail
