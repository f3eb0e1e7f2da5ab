// GUID values: creation, comparison and the text forms the system reads and writes.
#pragma once

#include <string>
#include <string_view>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Util {

class Guid {
public:
    Guid() : m_guid{} {}
    Guid(const GUID& guid) : m_guid(guid) {}

    // A new random (version 4) GUID.
    static Guid NewGuid();

    // Accepts "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and the same without braces, hex digits of
    // either case. Anything else (other lengths, stray characters, one brace only) gives false.
    static bool TryParse(std::wstring_view wsText, Guid* pGuid);
    static bool TryParse(std::string_view sText, Guid* pGuid);

    // Registry form with braces and upper-case digits, as StringFromGUID2 writes it.
    std::wstring ToString() const;
    // The same digits without braces.
    std::wstring ToStringNoBraces() const;
    // Lower-case without braces: the form the server gives its account and item ids in, used
    // wherever such an id is sent back (e.g. an account element with by="id").
    std::wstring ToIdString() const;

    const GUID& Get() const { return m_guid; }
    GUID* Ptr() { return &m_guid; }
    bool IsNull() const;

    friend bool operator==(const Guid& a, const Guid& b) { return a.m_guid == b.m_guid; }
    friend bool operator!=(const Guid& a, const Guid& b) { return !(a == b); }
    friend bool operator<(const Guid& a, const Guid& b);

private:
    GUID m_guid;
};

// Free forms of the conversions for plain GUIDs.
std::wstring GuidToString(const GUID& guid);
std::wstring GuidToIdString(const GUID& guid);

}  // namespace Ostrel::Util
