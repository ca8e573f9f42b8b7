// The configuration store's file: read into a parsed snapshot, cached while
// the file stays the same, and rewritten whole in one locked transaction.
// registry.cpp builds the handles and the exported registry calls on it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/posix/regedit_format.h"
#include "platform/registry.h"

namespace tessary::regstore {

struct Snapshot {
  std::shared_ptr<const regedit::Store> store;
  int64_t mtime_ns = 0;
};

// The store as the file holds it now; a missing file is an empty store.
LSTATUS LoadSnapshot(Snapshot* out);

// Makes every write so far durable.
LSTATUS FlushStore();

// One read-modify-write transaction. `mutate` edits the freshly read store and
// sets `*changed` when there is something to write; what it returns is the
// result of the call when it is not ERROR_SUCCESS.
using Mutation = std::function<LSTATUS(regedit::Store& store, bool* changed)>;
LSTATUS Transact(const Mutation& mutate);

// Forgets the cached snapshot, so that the next read parses the file.
void DropCache();

}  // namespace tessary::regstore
