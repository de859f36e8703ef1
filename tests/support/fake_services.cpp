#include "support/fake_services.h"

#include <gtest/gtest.h>

#include "platform/gbk.h"

namespace tivra::test {

namespace {

std::vector<std::string> targetsOf(const LoopbackHttpServer& server, std::string_view path) {
  std::vector<std::string> out;
  const std::size_t prefix = server.url("").size();
  for (const std::string& url : server.requestsFor(path)) out.push_back(url.substr(prefix));
  return out;
}

// The value of key=... in a query, up to the next "&".
std::string queryValue(std::string_view target, std::string_view key) {
  const std::string needle = "&" + std::string(key) + "=";
  const auto at = target.find(needle);
  if (at == std::string_view::npos) return {};
  const auto start = at + needle.size();
  return std::string(target.substr(start, target.find('&', start) - start));
}

// Status 0: the connection closes without an answer.
LoopbackResponse answer(int status, std::string body, const char* contentType) {
  if (status == 0) return LoopbackResponse{200, {}, contentType, true};
  return LoopbackResponse{status, std::move(body), contentType, false};
}

}  // namespace

std::string gbk(std::string_view utf8) {
  const auto bytes = platform::utf8ToGbk(utf8);
  EXPECT_TRUE(bytes.has_value()) << "no GBK form: " << utf8;
  return bytes.value_or(std::string{});
}

FakeSearchService::FakeSearchService() {
  m_server.serve("/LocalSearch", [this](const std::string&) {
    std::lock_guard lock(m_mutex);
    return answer(m_status, m_answer, "text/xml; charset=GBK");
  });
}

std::string FakeSearchService::host() const {
  return "127.0.0.1:" + std::to_string(m_server.port());
}

void FakeSearchService::setRawAnswer(std::string bytes, int status) {
  std::lock_guard lock(m_mutex);
  m_answer = std::move(bytes);
  m_status = status;
}

std::vector<std::string> FakeSearchService::targets() const {
  return targetsOf(m_server, "/LocalSearch");
}

FakeJsonService::FakeJsonService() {
  m_server.serve("*", [this](const std::string&) {
    std::lock_guard lock(m_mutex);
    return answer(m_status, m_answer, "application/json; charset=utf-8");
  });
}

void FakeJsonService::setAnswer(std::string body, int status) {
  std::lock_guard lock(m_mutex);
  m_answer = std::move(body);
  m_status = status;
}

std::vector<std::string> FakeJsonService::targets() const {
  std::vector<std::string> out;
  const std::size_t prefix = m_server.url("").size();
  for (const std::string& url : m_server.requests()) out.push_back(url.substr(prefix));
  return out;
}

FakeRouteService::FakeRouteService() {
  m_server.serve("/apisrv/nv", [this](const std::string& target) {
    const std::string leg = queryValue(target, "p1") + ";" + queryValue(target, "p2");
    std::lock_guard lock(m_mutex);
    if (const auto it = m_answers.find(leg); it != m_answers.end()) return it->second;
    if (m_hasDefault) return LoopbackResponse{200, m_default, "text/javascript", false};
    return LoopbackResponse{404, "no route\n", "text/plain", false};
  });
}

std::string FakeRouteService::host() const {
  return "127.0.0.1:" + std::to_string(m_server.port());
}

void FakeRouteService::setLegAnswer(std::string_view p1, std::string_view p2, std::string_view utf8,
                                    int status) {
  std::lock_guard lock(m_mutex);
  m_answers[std::string(p1) + ";" + std::string(p2)] =
      answer(status, gbk(utf8), "text/javascript; charset=GBK");
}

void FakeRouteService::setDefaultAnswer(std::string_view utf8) {
  std::lock_guard lock(m_mutex);
  m_default = gbk(utf8);
  m_hasDefault = true;
}

std::vector<std::string> FakeRouteService::targets() const {
  return targetsOf(m_server, "/apisrv/nv");
}

std::string routeAnswer(std::string_view steps, std::string_view polyline, std::string_view time,
                        std::string_view length, std::string_view unit) {
  std::string out = "var r = [\"";
  out += steps;
  out += "\",\"";
  out += polyline;
  out += "\",\"";
  out += time;
  out += "\",\"";
  out += length;
  out += "\",\"";
  out += unit;
  out += "\"];";
  return out;
}

}  // namespace tivra::test
