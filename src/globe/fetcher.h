#pragma once

// The simulated globe's fetching: what waits to be fetched, the images and models fetched by
// href, the fetch itself and the worker threads that run it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "globe/globe_deps.h"
#include "globe/kml_model.h"
#include "globe/scene.h"

namespace tivra::globe {

enum class FetchPurpose { Link, Image, Model };

struct FetchRecord {
  std::string url;
  FetchPurpose purpose = FetchPurpose::Link;
  int status = 0;
  bool ok = false;    // fetched and usable
  std::string error;  // why not, when !ok
};

struct FetchJob {
  std::uint64_t serial = 0;  // the link's node; 0 for images and models
  std::string url;
  FetchPurpose purpose = FetchPurpose::Link;
};

struct FetchOutcome {
  HttpAnswer answer;
  std::string error;  // empty when usable
  std::optional<ParsedKml> kml;
  std::shared_ptr<const RgbaImage> image;
};

struct FetchLimits {
  std::size_t maxDocumentBytes = 0;
  std::size_t maxImagePixels = 0;
};

// Fetches and parses (a link's document) or decodes (an image). Takes no lock: the fetched
// server may call back into the globe.
FetchOutcome fetchResource(const FetchJob& job, const SimGlobeDeps& deps,
                           const FetchLimits& limits);

// The fetches waiting for a worker, and the images and models by href: each href is fetched
// once, again only after it failed. Not thread-safe: the globe guards it with its lock.
class FetchQueue {
 public:
  static constexpr std::size_t kMaxResources = 4096;

  void queueLink(std::uint64_t serial, std::string url);
  void queueResource(const std::string& href, FetchPurpose purpose);
  // The icons, images and models the nodes refer to.
  void queueResources(const NodeList& nodes);
  void queueResources(const KmlNode& node);

  // The next fetch to run, counted as running until finished(); nullopt when none waits.
  std::optional<FetchJob> take();
  // A fetch has ended. For an image or a model still referred to: true when it is usable.
  std::optional<bool> finished(const FetchJob& job, FetchOutcome& outcome);
  // Forgets the images and models no node of the scene refers to any more.
  void keepOnlyUsed(const Scene& scene);

  bool empty() const { return m_jobs.empty(); }
  // Fetches wait or run, or an image or model has not arrived yet.
  bool busy() const;
  // The decoded image of an href; null while it is not there.
  const RgbaImage* image(std::string_view href) const;

 private:
  struct Resource {
    enum class State { Queued, InFlight, Ready, Failed };
    State state = State::Queued;
    std::shared_ptr<const RgbaImage> image;
  };

  std::deque<FetchJob> m_jobs;
  std::map<std::string, Resource, std::less<>> m_resources;
  int m_running = 0;
};

// The worker threads; each runs the loop it is given until that returns.
class FetchWorkers {
 public:
  void start(int count, const std::function<void()>& loop);
  // Joins every worker; the loops must have been told to end.
  void join();

 private:
  std::vector<std::jthread> m_threads;
};

}  // namespace tivra::globe
