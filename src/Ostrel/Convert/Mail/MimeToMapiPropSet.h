// The property values one conversion writes in a single SetProps call, with the storage their
// strings and MAPI buffers live in until the call is made.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "Ostrel/Convert/Mail/MimeToMapiConverter.h"

class MimeToMapiConverter::PropSet {
public:
    PropSet() = default;
    ~PropSet();
    PropSet(const PropSet&) = delete;
    PropSet& operator=(const PropSet&) = delete;

    // A value whose tag is PR_NULL or 0 (a named property the store could not resolve) is left out;
    // a second value of the same tag replaces the first.
    void Long(ULONG ulTag, LONG lValue);
    void Bool(ULONG ulTag, bool bValue);
    void Time(ULONG ulTag, const FILETIME& ft);
    void String(ULONG ulTag, std::wstring wsValue);
    // A value built elsewhere; pBuffer (a MAPI buffer holding its data, or null) is freed with
    // the set.
    void Adopt(const SPropValue& value, void* pBuffer);

    // The value of a tag added before, or null.
    const SPropValue* Find(ULONG ulTag) const;
    ULONG Count() const { return static_cast<ULONG>(m_values.size()); }
    SPropValue* Values() { return m_values.data(); }

private:
    void Put(const SPropValue& value);

    std::vector<SPropValue> m_values;
    std::deque<std::wstring> m_strings;
    std::vector<void*> m_buffers;
};
