#pragma once

// Fake local-search and route services on 127.0.0.1 for tests. They answer in code page 936, as
// the real services do: answers are given here as UTF-8 and sent as GBK bytes (or as raw bytes).
//
// Service  request target                     answer
// -------  ---------------------------------  ----------------------------------------------
// search   /LocalSearch?LocalSearch&...       the answer set last (200 unless set, GBK)
// route    /apisrv/nv?...&p1=X,Y&p2=X,Y       the answer set for "X,Y;X,Y" (map frame), else
//                                             the default answer; an unset default is a 404
// An answer of status 0 is no answer: the connection closes without a byte.

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/loopback_http_server.h"

namespace tivra::test {

// UTF-8 text as GBK bytes; the test fails loudly when the text has no GBK form.
std::string gbk(std::string_view utf8);

class FakeSearchService {
 public:
  FakeSearchService();
  // "127.0.0.1:PORT", as a SearchHost setting names it.
  std::string host() const;
  void setAnswer(std::string_view utf8, int status = 200) { setRawAnswer(gbk(utf8), status); }
  void setRawAnswer(std::string bytes, int status = 200);
  // Request targets ("/LocalSearch?..."), oldest first, exactly as received.
  std::vector<std::string> targets() const;

 private:
  mutable std::mutex m_mutex;
  std::string m_answer;
  int m_status = 200;
  LoopbackHttpServer m_server;  // last: stopped before what its handler reads goes away
};

class FakeRouteService {
 public:
  FakeRouteService();
  std::string host() const;
  // The answer to the leg from p1 to p2 (map frame, "x,y").
  void setLegAnswer(std::string_view p1, std::string_view p2, std::string_view utf8,
                    int status = 200);
  void setDefaultAnswer(std::string_view utf8);
  std::vector<std::string> targets() const;

 private:
  mutable std::mutex m_mutex;
  std::map<std::string, LoopbackResponse, std::less<>> m_answers;
  std::string m_default;
  bool m_hasDefault = false;
  LoopbackHttpServer m_server;  // last: stopped before what its handler reads goes away
};

// A JSON service of today on 127.0.0.1 (Nominatim's /search, Photon's /api, OSRM's
// /route/v1/...): every request gets the answer set last (UTF-8, 200 unless set).
class FakeJsonService {
 public:
  FakeJsonService();
  // "http://127.0.0.1:PORT", the BASE of a "nominatim:BASE" setting.
  std::string base() const { return m_server.url(""); }
  void setAnswer(std::string body, int status = 200);
  // Request targets, oldest first, exactly as received; the last request's head.
  std::vector<std::string> targets() const;
  std::string lastRequestHead() const { return m_server.lastRequestHead(); }

 private:
  mutable std::mutex m_mutex;
  std::string m_answer;
  int m_status = 200;
  LoopbackHttpServer m_server;  // last: stopped before what its handler reads goes away
};

// A route answer in the service's grammar: var r = ["steps","polyline","time","length","unit"],
// whose pieces between quotes are 1, 3, 5, 7 and 9 (an empty one shifts the rest).
std::string routeAnswer(std::string_view steps, std::string_view polyline, std::string_view time,
                        std::string_view length, std::string_view unit);

}  // namespace tivra::test
