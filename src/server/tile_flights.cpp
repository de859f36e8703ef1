#include "server/tile_flights.h"

#include <algorithm>

namespace tivra::server {

TileBytes TileFlights::fetch(std::string_view key, std::stop_token stop,
                             const std::function<Outcome()>& run) {
  std::shared_ptr<Flight> flight;
  {
    std::unique_lock lock(m_mutex);
    auto it = m_slots.find(key);
    if (it != m_slots.end()) {
      if (TileBytes shared = it->second.shared.lock()) return shared;
      if (const auto running = it->second.flight) {
        if (!m_landed.wait(lock, stop, [&] { return running->done; })) return nullptr;
        return running->bytes;
      }
    } else {
      sweep();
      it = m_slots.emplace(std::string(key), Slot{}).first;
    }
    flight = std::make_shared<Flight>();
    it->second.flight = flight;
  }
  Outcome outcome;
  // Waiting connections are told of the end even when the fetch fails by an exception.
  struct Land {
    TileFlights& flights;
    std::string_view key;
    const std::shared_ptr<Flight>& flight;
    Outcome& outcome;
    ~Land() {
      {
        std::lock_guard lock(flights.m_mutex);
        flight->done = true;
        flight->bytes = outcome.bytes;
        const auto it = flights.m_slots.find(key);
        if (it != flights.m_slots.end()) {
          it->second.flight.reset();
          it->second.shared = outcome.kept ? outcome.bytes : nullptr;
        }
      }
      flights.m_landed.notify_all();
    }
  } land{*this, key, flight, outcome};
  outcome = run();
  return outcome.bytes;
}

std::size_t TileFlights::size() const {
  std::lock_guard lock(m_mutex);
  return std::count_if(m_slots.begin(), m_slots.end(), [](const auto& slot) {
    return slot.second.flight || !slot.second.shared.expired();
  });
}

void TileFlights::sweep() {
  if (m_slots.size() < m_sweepAt) return;
  std::erase_if(m_slots, [](const auto& slot) {
    return !slot.second.flight && slot.second.shared.expired();
  });
  m_sweepAt = std::max<std::size_t>(64, 2 * m_slots.size());
}

}  // namespace tivra::server
