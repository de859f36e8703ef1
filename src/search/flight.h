#pragma once

// The bird's-eye flight: a thread of its own that moves the globe's camera from instruction
// point to instruction point of a route.
//
// Threads: the page's thread creates, stops and destroys a FlightThread; the flight thread
// reads the legs (its own copy) and the shared FlightState, talks to the globe through its own
// Earth handle, and reaches the page only through post(). Everything the flight thread touches
// is owned by it or shared, so a flight that outlives its page's wait harms nothing.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "globe/earth.h"
#include "search/route.h"

namespace tivra::search {

// Messages from the flight to the navigation page (WM_USER + 204, WM_USER + 205).
inline constexpr int kFlightFinishedMessage = 1228;
inline constexpr int kReadControlsMessage = 1229;

// Arrival is polled every poll with at most maxReadings readings per step; tests shorten poll.
struct FlightTiming {
  std::chrono::milliseconds poll{50};
  int maxReadings = 101;
};

// The page's members that the flight reads while it runs.
struct FlightState {
  std::atomic<int> stopFlag{0};  // 1 asks the flight to end
  std::atomic<int> closing{0};   // 1 while the page is destroyed: no 1228 then
  std::atomic<int> speed{5};     // fly-to speed speed * 0.05
  std::atomic<int> height{8};    // camera range height * 100 metres
  std::atomic<int> angle{45};    // camera tilt in degrees
};

// Delivers a message to the page's thread under StateLock. Called on the flight thread; must
// post and return, never wait for the page.
using PostToPage = std::function<void(int message)>;

// Arrived when within 10 E5 units of the point in both directions.
inline constexpr double kArrivalTolerance = 10.0;

class FlightThread {
 public:
  // Starts the flight over legs at once, at idle priority.
  FlightThread(globe::EarthFactory earthFactory, std::vector<RouteLeg> legs,
               std::shared_ptr<FlightState> state, PostToPage post, FlightTiming timing = {});
  // Joins a flight that has ended; one still running is left to end on its own.
  ~FlightThread();
  FlightThread(const FlightThread&) = delete;
  FlightThread& operator=(const FlightThread&) = delete;

  // Waits at most timeout for the thread's end; true once it has ended.
  bool waitEnded(std::chrono::milliseconds timeout);

 private:
  struct Ending {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;  // guarded by mutex
  };
  std::shared_ptr<Ending> m_ending;
  std::thread m_thread;
};

}  // namespace tivra::search
