#include "globe/fetcher.h"

#include <algorithm>
#include <set>

#include "globe/url.h"

namespace tivra::globe {

FetchOutcome fetchResource(const FetchJob& job, const SimGlobeDeps& deps,
                           const FetchLimits& limits) {
  FetchOutcome out;
  if (!isHttpUrl(job.url)) {
    out.error = "unsupported URL";
    return out;
  }
  if (!deps.httpGet) {
    out.error = "no HTTP client";
    return out;
  }
  try {
    out.answer = deps.httpGet(job.url);
  } catch (const std::exception& e) {
    out.error = std::string("fetch failed: ") + e.what();
    return out;
  }
  if (!out.answer.ok) {
    out.error = "no answer";
  } else if (out.answer.status < 200 || out.answer.status > 299) {
    out.error = "HTTP status " + std::to_string(out.answer.status);
  } else if (out.answer.body.size() > limits.maxDocumentBytes) {
    out.error = "too large";
  }
  if (!out.error.empty()) return out;

  const std::vector<std::uint8_t>& body = out.answer.body;
  try {
    if (job.purpose == FetchPurpose::Link) {
      out.kml = parseKml(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()),
                         job.url);
    } else if (job.purpose == FetchPurpose::Image) {
      std::optional<RgbaImage> img;
      if (deps.decodeImage) img = deps.decodeImage(body);
      if (!img || img->width <= 0 || img->height <= 0 ||
          static_cast<std::size_t>(img->width) * img->height > limits.maxImagePixels ||
          img->rgba.size() != static_cast<std::size_t>(img->width) * img->height * 4) {
        out.error = "image does not decode";
      } else {
        out.image = std::make_shared<const RgbaImage>(std::move(*img));
      }
    }
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  return out;
}

void FetchQueue::queueLink(std::uint64_t serial, std::string url) {
  m_jobs.push_back(FetchJob{serial, std::move(url), FetchPurpose::Link});
}

void FetchQueue::queueResource(const std::string& href, FetchPurpose purpose) {
  if (href.empty()) return;
  auto it = m_resources.find(href);
  if (it == m_resources.end()) {
    if (m_resources.size() >= kMaxResources) return;
    it = m_resources.emplace(href, Resource{}).first;
  } else if (it->second.state != Resource::State::Failed) {
    return;  // fetched once for this href already, or on its way
  }
  it->second.state = Resource::State::Queued;
  m_jobs.push_back(FetchJob{0, href, purpose});
}

void FetchQueue::queueResources(const KmlNode& node) {
  queueResource(node.iconHref, FetchPurpose::Image);
  for (const std::string& href : node.styleHrefs) queueResource(href, FetchPurpose::Image);
  if (node.model) queueResource(node.model->href, FetchPurpose::Model);
}

void FetchQueue::queueResources(const NodeList& nodes) {
  auto queue = [&](KmlNode& n, int, bool) { queueResources(n); };
  forEachNodeIn(nodes, 0, true, queue);
}

std::optional<FetchJob> FetchQueue::take() {
  while (!m_jobs.empty()) {
    FetchJob job = std::move(m_jobs.front());
    m_jobs.pop_front();
    if (job.purpose != FetchPurpose::Link) {
      auto it = m_resources.find(job.url);
      if (it == m_resources.end() || it->second.state != Resource::State::Queued) continue;
      it->second.state = Resource::State::InFlight;
    }
    ++m_running;
    return job;
  }
  return std::nullopt;
}

std::optional<bool> FetchQueue::finished(const FetchJob& job, FetchOutcome& outcome) {
  --m_running;
  if (job.purpose == FetchPurpose::Link) return std::nullopt;
  auto it = m_resources.find(job.url);
  if (it == m_resources.end()) return std::nullopt;  // no longer referred to
  const bool ok = outcome.error.empty();
  it->second.state = ok ? Resource::State::Ready : Resource::State::Failed;
  it->second.image = std::move(outcome.image);
  return ok;
}

void FetchQueue::keepOnlyUsed(const Scene& scene) {
  std::set<std::string, std::less<>> used;
  scene.forEachNode([&](KmlNode& n, int, bool) {
    used.insert(n.iconHref);
    used.insert(n.styleHrefs.begin(), n.styleHrefs.end());
    if (n.model) used.insert(n.model->href);
  });
  std::erase_if(m_resources, [&](const auto& kv) { return !used.contains(kv.first); });
}

bool FetchQueue::busy() const {
  if (!m_jobs.empty() || m_running != 0) return true;
  return std::any_of(m_resources.begin(), m_resources.end(), [](const auto& kv) {
    return kv.second.state == Resource::State::Queued ||
           kv.second.state == Resource::State::InFlight;
  });
}

const RgbaImage* FetchQueue::image(std::string_view href) const {
  auto it = m_resources.find(href);
  return it == m_resources.end() ? nullptr : it->second.image.get();
}

void FetchWorkers::start(int count, const std::function<void()>& loop) {
  for (int i = 0; i < count; ++i) m_threads.emplace_back(loop);
}

void FetchWorkers::join() {
  m_threads.clear();
}

}  // namespace tivra::globe
