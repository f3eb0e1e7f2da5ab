// The server state a store object was last written with. Whenever `ostrel sync` writes an item or
// a folder from the server, it stamps in the same SaveChanges what it wrote: the server folder
// (for a folder, its parent), the flag letters, the tag ids, the server's change sequence and, for
// folders, the name. Comparing the object's current values with its baseline tells local changes
// apart from what the server said: a read or flag change, new tags, a move (the parent folder's
// server id differs from the baseline's), a rename, or a content edit (PR_LAST_MODIFICATION_TIME
// later than the baseline's stamp: the stamp and the modification time are written equal). A
// message also keeps the server's size of it and all the server's flag letters, for `ostrel
// verify` and `ostrel export`; baselines written before these were kept lack them.
//
// The baseline lives in named properties of a property set of our own, so the converters' own
// properties never collide with it. An object without a baseline was never written by sync.
#pragma once

#include <cstdint>
#include <string>

#include "Platform/Mapi/Mapi.h"

namespace Ostrel::Mapi {
class TagCache;
}

namespace OstrelCli {

struct ItemBaseline {
    int32_t iFolder = 0;  // server id of the folder the item was written into
    std::string sFlags;   // server flag letters as written ("u" unread, "f" flagged ...), sorted
    std::string sTags;    // server tag ids as written, comma-separated, ascending
    int32_t iSeq = 0;     // the server's change sequence of the item ("ms")
    FILETIME ftStamp{};   // when it was written; PR_LAST_MODIFICATION_TIME was set to the same
    // Messages: the server's size in bytes ("s") of the text the message was converted from, and
    // every server flag letter as FlagBits. -1 when unknown: Stamp then leaves the stored value.
    int32_t iSize = -1;
    int32_t iFlagBits = -1;
};

struct FolderBaseline {
    int32_t iParent = 0;  // server id of the parent folder
    std::string sName;    // the store's display name as sync left it (a name collision can make it
                          // differ from the server's; system folders keep their store names)
    int32_t iSeq = 0;
    FILETIME ftStamp{};
};

// The local, user-changeable state of a message in the server's terms, for comparison with the
// baseline: the flag letters sync can tell from the store ('u' when unread, 'f' when flagged) and
// the tag ids of its categories that the server knows.
struct ItemState {
    std::string sFlags;
    std::string sTags;
};

class SyncBaseline {
public:
    // Looks the baseline's property names up in the store (creating them); IsValid() is false,
    // logged, when that fails.
    explicit SyncBaseline(IMsgStore* pStore);

    bool IsValid() const { return m_bValid; }

    // Sets the baseline (and PR_LAST_MODIFICATION_TIME to its stamp, the current time when the
    // stamp is zero) on the object without saving it: the caller's SaveChanges makes both durable
    // together.
    HRESULT Stamp(IMAPIProp* pObject, const ItemBaseline& baseline) const;
    HRESULT Stamp(IMAPIFolder* pFolder, const FolderBaseline& baseline) const;

    // False when the object carries no baseline.
    bool Read(IMAPIProp* pObject, ItemBaseline& baseline) const;
    bool Read(IMAPIFolder* pFolder, FolderBaseline& baseline) const;

    // The property tags, for reading the baseline as table columns: the server folder (items) or
    // parent (folders), PT_LONG; flags, PT_UNICODE; tags, PT_UNICODE; change sequence, PT_LONG;
    // stamp, PT_SYSTIME; folder name, PT_UNICODE; size and flag bits, PT_LONG.
    ULONG FolderTag() const { return m_ulFolder; }
    ULONG FlagsTag() const { return m_ulFlags; }
    ULONG TagsTag() const { return m_ulTags; }
    ULONG SeqTag() const { return m_ulSeq; }
    ULONG StampTag() const { return m_ulStamp; }
    ULONG NameTag() const { return m_ulName; }
    ULONG SizeTag() const { return m_ulSize; }
    ULONG FlagBitsTag() const { return m_ulFlagBits; }

    // The flag bits' tag in a store that is only read: PR_NULL when no message of it has them.
    static ULONG FindFlagBitsTag(IMsgStore* pStore);

private:
    HRESULT Set(IMAPIProp* pObject, int32_t iFolder, const std::string& sFlags, const std::string& sTags,
                const std::string* pName, int32_t iSeq, FILETIME ftStamp, int32_t iSize, int32_t iFlagBits) const;

    bool m_bValid = false;
    ULONG m_ulFolder = PR_NULL;
    ULONG m_ulFlags = PR_NULL;
    ULONG m_ulTags = PR_NULL;
    ULONG m_ulSeq = PR_NULL;
    ULONG m_ulStamp = PR_NULL;
    ULONG m_ulName = PR_NULL;
    ULONG m_ulSize = PR_NULL;
    ULONG m_ulFlagBits = PR_NULL;
};

// The flag letters of `sFlags` that a user can change in the store and sync writes back ('u', 'f'),
// sorted: the form ItemBaseline::sFlags and ItemState::sFlags are compared in.
std::string ChangeableFlags(const std::string& sFlags);
// The server's flag letters as the bits of its flag table (bit i for the i-th letter of
// "sarwufdxnt^"); unknown letters are left out.
int32_t FlagBits(const std::string& sFlags);
// Whether the letter's bit is set in FlagBits; false for unknown bits (-1) and letters.
bool HasFlagBit(int32_t iFlagBits, char letter);
// Tag ids sorted ascending without duplicates, comma-separated; unreadable parts are dropped.
std::string NormalTagIds(const std::string& sTags);

// The message's current state: unread from PR_MESSAGE_FLAGS, flagged from PR_FLAG_STATUS, the tag
// ids of its categories looked up in the store's tag list (read once by the caller).
ItemState CurrentItemState(IMsgStore* pStore, IMAPIProp* pObject, const Ostrel::Mapi::TagCache& tags);

}  // namespace OstrelCli
