// The small value types that travel with mail items: the kind of an item, the server's item flag
// string as a bit set, and the tag id and tag name lists with their comma-joined text forms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/Base/WinTypes.h"

namespace Ostrel::Mail {

// The kind of a server item.
enum MailItemType : int {
    MIT_FOLDER = 0,
    MIT_MESSAGE = 1,
    MIT_CONVERSATION = 2,  // never the subject of an item request
    MIT_CONTACT = 3,
    MIT_NOTE = 4,
    MIT_APPOINTMENT = 5,
    MIT_TASK = 6,
    MIT_DOCUMENT = 7,
};

class MessageFlags {
public:
    // The flag letters in bit order: letter i stands for bit 1 << i.
    static const wchar_t* const m_pcszwFlag;
    static const char* const m_pcszFlag;

    MessageFlags() = default;

    // Sets exactly the bits of the letters in the text (unknown letters are ignored); a null text
    // changes nothing.
    void FromString(const wchar_t* pwszFlags);
    void FromString(const char* pszFlags);
    // The letters of the set bits in table order; points into this object, valid until the next
    // call or the object's end.
    const wchar_t* AsString();

    ULONG Mask() const { return m_ulMask; }

    // Each pair: with an argument sets (non-zero) or clears the bit; without, returns the bit's value.
    void FromMe(int b) { Set(0x001, b); }
    ULONG FromMe() const { return m_ulMask & 0x001; }
    void Attach(int b) { Set(0x002, b); }
    ULONG Attach() const { return m_ulMask & 0x002; }
    void Replied(int b) { Set(0x004, b); }
    ULONG Replied() const { return m_ulMask & 0x004; }
    void Forwarded(int b) { Set(0x008, b); }
    ULONG Forwarded() const { return m_ulMask & 0x008; }
    void Unread(int b) { Set(0x010, b); }
    ULONG Unread() const { return m_ulMask & 0x010; }
    void Flagged(int b) { Set(0x020, b); }
    ULONG Flagged() const { return m_ulMask & 0x020; }
    void Draft(int b) { Set(0x040, b); }
    ULONG Draft() const { return m_ulMask & 0x040; }
    void IMAPDeleted(int b) { Set(0x080, b); }
    ULONG IMAPDeleted() const { return m_ulMask & 0x080; }
    void Notified(int b) { Set(0x100, b); }
    ULONG Notified() const { return m_ulMask & 0x100; }
    void IsNote(int b) { Set(0x200, b); }
    ULONG IsNote() const { return m_ulMask & 0x200; }
    void IsPost(int b) { Set(0x400, b); }
    ULONG IsPost() const { return m_ulMask & 0x400; }

private:
    static constexpr size_t kFlagCount = 11;

    void Set(ULONG ulBit, int b) { m_ulMask = b ? (m_ulMask | ulBit) : (m_ulMask & ~ulBit); }

    ULONG m_ulMask = 0;
    wchar_t m_wszBuffer[kFlagCount + 1] = {};
};

// The tag ids of an item, in the server's order.
class TagIdList : public std::vector<int32_t> {
public:
    using std::vector<int32_t>::vector;
    // The ids in decimal joined by "," ("3,17"); empty for no ids.
    std::wstring ToString() const;
};

// The tag names of an item, in the server's order.
class TagNameList : public std::vector<std::wstring> {
public:
    using std::vector<std::wstring>::vector;
    // The names joined by "," without spaces.
    std::wstring ToString() const;
};

}  // namespace Ostrel::Mail
