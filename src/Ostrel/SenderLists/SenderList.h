// Sender lists as the synchronisation compares them: ordered lists of addresses and domains, the
// stored form (entries separated by ";"), the comparison key and the differences between lists.
//
// Entries are compared by key, not by text: case is folded (Unicode simple folding), surrounding
// blanks are ignored, and the three ways of naming a whole domain ("example.com", "@example.com",
// "*@example.com") are one entry. Other wildcards compare as text. The text of an entry is never
// changed; only the comparison uses the key.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::Mapi {

using SenderList = std::vector<std::wstring>;

enum class SenderChangeOp { Add, Delete };

struct SenderChange {
    std::wstring wsEntry;
    SenderChangeOp op = SenderChangeOp::Add;
};

// Splits at ";", drops leading and trailing blanks of each entry and empty entries.
SenderList SplitSenderList(std::wstring_view wsStored);
std::wstring JoinSenderList(const SenderList& list);

std::wstring SenderKey(std::wstring_view wsEntry);

// Whether an entry can be kept in every form the lists take (the stored form and the lists
// file): not empty, no ";" and nothing the lists file cannot hold.
bool IsKeepableSender(std::wstring_view wsEntry);

// The entries of `list` whose key `other` lacks, each key once, in the order of `list`.
SenderList MissingFrom(const SenderList& list, const SenderList& other);

// What turned `snapshot` into `current`: adds (in the order of `current`) for entries the snapshot
// lacks, deletes (in the order of `snapshot`, with its text) for entries `current` lacks.
std::vector<SenderChange> CalcSenderChanges(const SenderList& current, const SenderList& snapshot);

// Fits the adds of `changes` to a server list of at most `cMax` entries (0: no limit) that now
// holds `serverList`: the deletes are counted first, adds the server has already need no room,
// and the adds beyond the room are taken out of `changes` and returned, in their order.
SenderList HoldBackOverLimit(std::vector<SenderChange>& changes, const SenderList& serverList, size_t cMax);

}  // namespace Ostrel::Mapi
