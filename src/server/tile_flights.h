#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace tivra::server {

// A tile's bytes, shared by every answer that sends them.
using TileBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

// Connections that want the same tile at the same time share one fetch (one store read, one
// download): the first runs it, the others wait for its outcome. A tile kept in the store is
// shared on for as long as an answer still sends it, so a burst of requests for one large tile
// holds it in memory once. Thread-safe.
class TileFlights {
 public:
  struct Outcome {
    TileBytes bytes;    // null: no tile
    bool kept = false;  // the bytes are the store's: later requests may share them
  };

  // The bytes for key: shared from an answer still in progress, else fetched here when no other
  // connection is fetching key, else that connection's outcome. Null when there is no tile, or
  // stop was requested while waiting.
  TileBytes fetch(std::string_view key, std::stop_token stop, const std::function<Outcome()>& run);

  // Keys with a fetch running or bytes still shared (tests).
  std::size_t size() const;

 private:
  struct Flight {
    bool done = false;
    TileBytes bytes;
  };
  struct Slot {
    std::shared_ptr<Flight> flight;  // a fetch running
    std::weak_ptr<const std::vector<std::uint8_t>> shared;
  };
  void sweep();  // m_mutex held

  mutable std::mutex m_mutex;
  std::condition_variable_any m_landed;
  std::map<std::string, Slot, std::less<>> m_slots;
  std::size_t m_sweepAt = 64;
};

}  // namespace tivra::server
