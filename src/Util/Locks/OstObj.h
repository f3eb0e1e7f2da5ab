// Base of the data classes: a name that identifies the object in log lines.
#pragma once

#include <string>
#include <string_view>

namespace Ostrel::Util {

class OstObj {
public:
    explicit OstObj(std::wstring_view wsName = {}) : m_wsName(wsName) {}
    virtual ~OstObj() = default;
    OstObj(const OstObj&) = default;
    OstObj& operator=(const OstObj&) = default;

    // Set while the object is being built; not meant to change while other threads log with it.
    const std::wstring& GetName() const { return m_wsName; }
    const wchar_t* GetNameSz() const { return m_wsName.c_str(); }
    void SetName(std::wstring_view wsName) { m_wsName = wsName; }
    void AppendToName(std::wstring_view wsSuffix) { m_wsName += wsSuffix; }

protected:
    std::wstring m_wsName;
};

}  // namespace Ostrel::Util
