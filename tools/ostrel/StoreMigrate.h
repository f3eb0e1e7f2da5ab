// Carries the copy an older version kept as files (LocalMailbox.h: folders.tsv, messages/) into the
// store without downloading anything: the folders are made, every message is converted from its
// .eml and .meta files into its folder. Then the files go, and with them the sync token, so that
// the next listing is a full one: it finds every message in the store by its id, and brings in
// what the files did not hold (contacts, appointments, tasks).
//
// A migration cut short is done again by the next run; messages already in the store are found by
// their ids, never written twice.
#pragma once

#include "StoreMailbox.h"

#include <cstddef>

namespace OstrelCli {

class StoreSync;

// The number of messages carried over. Throws std::runtime_error when the old copy cannot be read
// or removed.
size_t MigrateLegacyCopy(StoreMailbox& mailbox, StoreSync& sync);

}  // namespace OstrelCli
