#pragma once

// `--snapshot`: move the globe's camera, wait until the view's overlay has been requested and
// every image of it fetched or failed, and write the drawn view as PNG.

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/command_line.h"
#include "app/settings.h"
#include "globe/earth.h"
#include "globe/sim_globe.h"
#include "platform/event_loop.h"

namespace tivra::app {

// Exit code of a snapshot that could not be taken.
inline constexpr int kSnapshotFailed = 4;

struct SnapshotRequest {
  std::filesystem::path file;
  globe::Camera camera;
  std::chrono::milliseconds bound{60'000};
  std::chrono::milliseconds pollInterval{50};
};

// The camera looking straight down at the given place, else at the stored camera.
globe::Camera snapshotCamera(const MainSettings& settings, const std::optional<LookAtArg>& lookAt);

using SnapshotDone = std::function<void(int code, const std::string& message)>;

// Main thread only, once the program has started with the built-in globe (null globe or earth:
// the snapshot fails). The waiting runs on the loop's timers, so the loop goes on serving the
// globe's requests; done is called once from the loop, with 0 or kSnapshotFailed and the reason.
void startSnapshot(globe::SimGlobe* globe, globe::Earth* earth, platform::EventLoop& loop,
                   SnapshotRequest request, SnapshotDone done);

}  // namespace tivra::app
