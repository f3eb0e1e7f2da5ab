// Value types for store identifiers: an owned entry id and a 16-byte MAPI UID.
#pragma once

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {

// An owned copy of an entry id. The bytes live in a buffer from the Memory routines.
class CEntryID {
public:
    CEntryID() = default;
    CEntryID(ULONG cb, const ENTRYID* pEntryId);
    explicit CEntryID(const SBinary& bin);
    CEntryID(const CEntryID& other);
    CEntryID(CEntryID&& other) noexcept;
    // The object's PR_ENTRYID, or the binary property ulTag; empty when it cannot be read.
    explicit CEntryID(IMAPIProp* pProp, ULONG ulTag = PR_ENTRYID);
    ~CEntryID();

    CEntryID& operator=(const CEntryID& other);
    CEntryID& operator=(CEntryID&& other) noexcept;
    CEntryID& operator=(const SBinary& bin);

    bool operator==(const SBinary& bin) const;
    bool operator==(const CEntryID& other) const;
    // Empty first; then by the bytes of the common length; then the shorter first.
    bool operator<(const CEntryID& other) const;

    // Null when empty. The pointer stays valid until the id changes.
    operator SBinary*() { return IsEmpty() ? nullptr : &m_bin; }
    const SBinary& Bin() const { return m_bin; }
    ULONG Size() const { return m_bin.cb; }
    ENTRYID* Get() const { return reinterpret_cast<ENTRYID*>(m_bin.lpb); }

    bool IsEmpty() const { return m_bin.cb == 0; }
    void Clear();
    // Replaces the id with a copy of the bytes; false (and empty) when memory runs out.
    bool InitEntry(ULONG cb, const BYTE* pb);
    // Replaces the id with the binary property ulTag of the object; the HRESULT of reading it.
    HRESULT ExtractEntryID(IMAPIProp* pProp, ULONG ulTag = PR_ENTRYID);

private:
    SBinary m_bin{0, nullptr};
};

class CMAPIUID {
public:
    CMAPIUID() : m_uid{} {}
    explicit CMAPIUID(const MAPIUID& uid) : m_uid(uid) {}

    const MAPIUID& Get() const { return m_uid; }
    bool operator==(const CMAPIUID& other) const;
    bool operator<(const CMAPIUID& other) const;

private:
    MAPIUID m_uid;
};

}  // namespace Ostrel::Mapi
