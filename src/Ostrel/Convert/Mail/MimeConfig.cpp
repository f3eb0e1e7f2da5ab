#include "Ostrel/Convert/Mail/MimeConfig.h"

#include <cwctype>

#include "Util/Log/Log.h"
#include "Util/OstrelReg.h"

namespace {

std::vector<std::wstring> SplitClasses(const std::wstring& wsList) {
    std::vector<std::wstring> out;
    size_t start = 0;
    while (start <= wsList.size()) {
        size_t end = wsList.find(L';', start);
        if (end == std::wstring::npos)
            end = wsList.size();
        std::wstring entry = wsList.substr(start, end - start);
        while (!entry.empty() && std::iswspace(entry.back()))
            entry.pop_back();
        while (!entry.empty() && std::iswspace(entry.front()))
            entry.erase(entry.begin());
        // An empty entry would be a prefix of every class.
        if (!entry.empty())
            out.push_back(entry);
        start = end + 1;
    }
    return out;
}

bool StartsWithNoCase(const wchar_t* pwszText, const std::wstring& wsPrefix) {
    for (size_t i = 0; i < wsPrefix.size(); ++i) {
        if (!pwszText[i] || std::towlower(pwszText[i]) != std::towlower(wsPrefix[i]))
            return false;
    }
    return true;
}

bool StartsWithAny(const wchar_t* pwszText, const std::vector<std::wstring>& prefixes) {
    for (const std::wstring& prefix : prefixes) {
        if (StartsWithNoCase(pwszText, prefix))
            return true;
    }
    return false;
}

std::wstring ReadString(Ostrel::Util::RegUtil& reg, const wchar_t* pwszName) {
    std::wstring value;
    reg.SetName(pwszName);
    if (reg.QueryValue(value) != ERROR_SUCCESS)
        value.clear();
    return value;
}

}  // namespace

MimeConfig& MimeConfig::GetInstance() {
    static MimeConfig instance;
    return instance;
}

void MimeConfig::ReadOnce() {
    Ostrel::Util::AutoCriticalSection lock(m_cs);
    if (m_bRead)
        return;
    m_bRead = true;
    Ostrel::Util::RegUtil reg(L"Mime", KEY_READ, Ostrel::Util::kRegUtilSubkey);
    if (reg.OpenKey() != ERROR_SUCCESS)
        return;
    DWORD dwEnabled = 0;
    reg.SetName(L"OstrelMapiToMimeEnabled");
    if (reg.QueryValue(dwEnabled) != ERROR_SUCCESS)
        dwEnabled = 0;
    m_dwEnabled = dwEnabled;
    m_vecEnabledClasses = SplitClasses(ReadString(reg, L"MapiToMimeEnabledClasses"));
    m_vecDisabledClasses = SplitClasses(ReadString(reg, L"MapiToMimeDisabledClasses"));
    OSTLOG_INFO(4, L"OstrelMapiToMimeEnabled=%u, %u enabled and %u disabled class prefixes", m_dwEnabled,
                static_cast<unsigned>(m_vecEnabledClasses.size()), static_cast<unsigned>(m_vecDisabledClasses.size()));
}

int MimeConfig::UseOstrelMapiToMimeConverter(const wchar_t* pwszMessageClass) {
    ReadOnce();
    if (!m_dwEnabled || !pwszMessageClass)
        return 0;
    if (StartsWithAny(pwszMessageClass, m_vecDisabledClasses))
        return 0;
    return StartsWithAny(pwszMessageClass, m_vecEnabledClasses) ? 1 : 0;
}
