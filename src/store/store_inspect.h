#pragma once

// Read-only walks over an open store: the listing behind the store tool and the fuzz target,
// and a full consistency check.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"

namespace tivra::store {

struct EntryInfo {
  std::string name;
  std::int32_t node = 0;
  std::int32_t descriptor = 0;
  std::int32_t size = -1;  // -1 when the descriptor is not usable
  std::int32_t links = 0;
};

// Every name in the tree but the header's, in tree order. Damaged parts of the tree are
// skipped; `problems` (if given) gets one line per skipped part.
std::vector<EntryInfo> list_entries(Store* s, std::vector<std::string>* problems = nullptr);

// Walks the tree, the name chunks, the descriptors and the block chains, checks that every
// content lies inside the data file and matches its sum, and describes every inconsistency with
// where it was found. Empty when the store is sound.
std::vector<std::string> verify_store(Store* s);

// The whole content of a descriptor, read as an entry is read: its chain walked, its bytes
// inside the data file and matching their sum. Empty when any of that fails.
std::optional<std::vector<std::uint8_t>> read_content(Store* s, std::int32_t descriptor);

}  // namespace tivra::store
