#include "search/flight.h"

#include <cmath>
#include <string>

#include "platform/log.h"
#include "platform/thread_priority.h"
#include "search/route_kml.h"

namespace tivra::search {

namespace {

PointE5 position(const RouteStep& step) {
  return PointE5{step.x, step.y};
}

void fly(const globe::EarthFactory& earthFactory, const std::vector<RouteLeg>& legs,
         FlightState& state, const PostToPage& post, const FlightTiming& timing) {
  std::unique_ptr<globe::Earth> earth = earthFactory();
  if (!earth) throw globe::EarthError("no globe");
  globe::Camera camera = earth->GetCamera(true);
  for (const RouteLeg& leg : legs) {
    if (!leg.steps) continue;
    const std::vector<RouteStep>& steps = *leg.steps;
    for (std::size_t j = 0; j < steps.size() && state.stopFlag.load() == 0; ++j) {
      camera.FocusPointLongitude = steps[j].x * 0.00001;
      camera.FocusPointLatitude = steps[j].y * 0.00001;
      post(kReadControlsMessage);
      camera.Range = state.height.load() * 100;
      camera.Tilt = state.angle.load();
      // A leg of one step has no neighbour to face: north.
      if (j > 0) {
        camera.Azimuth = Heading(position(steps[j - 1]), position(steps[j]));
      } else {
        camera.Azimuth = steps.size() > 1 ? Heading(position(steps[0]), position(steps[1])) : 0.0;
      }
      if (state.stopFlag.load() == 1) return;
      earth->SetCamera(camera, state.speed.load() * 0.05);
      for (int readings = 1; state.stopFlag.load() == 0; ++readings) {
        const globe::TerrainPoint at = earth->GetPointOnTerrainFromScreenCoords(0.0, 0.0);
        std::this_thread::sleep_for(timing.poll);
        if (readings >= timing.maxReadings) break;
        if (std::fabs(at.Longitude * 100000 - steps[j].x) <= kArrivalTolerance &&
            std::fabs(at.Latitude * 100000 - steps[j].y) <= kArrivalTolerance)
          break;
      }
    }
    if (state.stopFlag.load() == 1) return;
  }
}

}  // namespace

FlightThread::FlightThread(globe::EarthFactory earthFactory, std::vector<RouteLeg> legs,
                           std::shared_ptr<FlightState> state, PostToPage post, FlightTiming timing)
    : m_ending(std::make_shared<Ending>()) {
  m_thread =
      std::thread([earthFactory = std::move(earthFactory), legs = std::move(legs),
                   state = std::move(state), post = std::move(post), timing, ending = m_ending] {
        platform::setIdlePriority();
        try {
          fly(earthFactory, legs, *state, post, timing);
        } catch (const std::exception& e) {
          // A failing globe ends the flight; the page still learns that it ended.
          platform::debugTrace(std::string("globe: flight: ") + e.what());
        }
        if (state->closing.load() == 0) post(kFlightFinishedMessage);
        std::lock_guard lock(ending->mutex);
        ending->done = true;
        ending->ended.notify_all();
      });
}

FlightThread::~FlightThread() {
  if (!m_thread.joinable()) return;
  if (waitEnded(std::chrono::milliseconds(0))) {
    m_thread.join();
  } else {
    m_thread.detach();
  }
}

bool FlightThread::waitEnded(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_ending->mutex);
  return m_ending->ended.wait_for(lock, timeout, [&] { return m_ending->done; });
}

}  // namespace tivra::search
