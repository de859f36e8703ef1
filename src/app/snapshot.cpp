#include "app/snapshot.h"

#include <memory>

#include "platform/read_file.h"

namespace tivra::app {

namespace detail {

struct SnapshotState {
  SnapshotRequest request;
  SnapshotDone done;
  std::chrono::steady_clock::time_point deadline;
  platform::EventLoop::TimerId timer = 0;
  bool finished = false;
};

std::string writeFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes) {
  std::string error;
  if (!platform::writeRegularFile(file, bytes, error))
    return "cannot write " + file.string() + ": " + error;
  return {};
}

}  // namespace detail

globe::Camera snapshotCamera(const MainSettings& settings, const std::optional<LookAtArg>& lookAt) {
  globe::Camera camera;
  camera.FocusPointLongitude = lookAt ? lookAt->longitude : settings.cameraLongitude;
  camera.FocusPointLatitude = lookAt ? lookAt->latitude : settings.cameraLatitude;
  camera.Range = lookAt ? lookAt->range : settings.cameraRange;
  return camera;
}

void startSnapshot(globe::SimGlobe* globe, globe::Earth* earth, platform::EventLoop& loop,
                   SnapshotRequest request, SnapshotDone done) {
  auto state = std::make_shared<detail::SnapshotState>();
  state->request = std::move(request);
  state->done = std::move(done);
  state->deadline = std::chrono::steady_clock::now() + state->request.bound;

  const auto finish = [&loop](const std::shared_ptr<detail::SnapshotState>& s, int code,
                              const std::string& message) {
    if (s->finished) return;
    s->finished = true;
    if (s->timer != 0) loop.cancelTimer(s->timer);
    s->done(code, message);
  };

  if (globe == nullptr || earth == nullptr) {
    loop.post([state, finish] { finish(state, kSnapshotFailed, "the globe is not running"); });
    return;
  }
  try {
    earth->SetCamera(state->request.camera, globe::kInstantSpeed);
  } catch (const globe::EarthError& e) {
    loop.post([state, finish, why = std::string(e.what())] {
      finish(state, kSnapshotFailed, "cannot move the camera: " + why);
    });
    return;
  }
  // The timer holds the state; it is cancelled when finished.
  state->timer = loop.addTimer(
      state->request.pollInterval,
      [state, finish, globe] {
        if (state->finished) return;
        if (!globe->waitIdle(std::chrono::milliseconds(0))) {
          if (std::chrono::steady_clock::now() >= state->deadline) {
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(state->request.bound).count();
            finish(state, kSnapshotFailed,
                   "the view was not complete within " + std::to_string(seconds) + " s");
          }
          return;
        }
        try {
          const auto png = globe->renderPng();
          if (png.empty()) {
            finish(state, kSnapshotFailed, "cannot encode the view");
            return;
          }
          const std::string error = detail::writeFile(state->request.file, png);
          finish(state, error.empty() ? 0 : kSnapshotFailed, error);
        } catch (const std::exception& e) {
          finish(state, kSnapshotFailed, std::string("cannot draw the view: ") + e.what());
        }
      },
      true);
}

}  // namespace tivra::app
