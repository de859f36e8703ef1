#include "tiles/fetch_url.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <future>
#include <string>
#include <thread>

#include "platform/http_client.h"
#include "support/fake_tile_server.h"
#include "support/process.h"

namespace tivra::tiles {
namespace {

using test::FakeTileServer;
using Bytes = std::vector<std::uint8_t>;

Bytes textBytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

class FetchUrl : public ::testing::Test {
 protected:
  FakeTileServer m_server;
};

// One row of the behaviour table: what the server answers and what fetch_url returns.
struct FetchCase {
  const char* name;
  const char* target;
  // The expected body, made only when the case runs (some are large); nullopt: no body.
  std::function<std::optional<Bytes>()> body;
  int status;
};

void PrintTo(const FetchCase& c, std::ostream* os) {
  *os << c.name;
}

class FetchTable : public FetchUrl, public ::testing::WithParamInterface<FetchCase> {};

TEST_P(FetchTable, BodyAndStatus) {
  const FetchCase& c = GetParam();
  const FetchResult result = fetch_url(m_server.url(c.target));
  EXPECT_EQ(result.status, c.status);
  const std::optional<Bytes> expected = c.body();
  ASSERT_EQ(result.body.has_value(), expected.has_value());
  if (expected) {
    EXPECT_EQ(result.body->size(), expected->size());
    EXPECT_TRUE(*result.body == *expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Server, FetchTable,
    ::testing::Values(
        FetchCase{"small_body", "/bytes?n=1000",
                  [] { return std::optional<Bytes>(FakeTileServer::generatedBody(1000)); }, 200},
        FetchCase{"content_length_zero", "/empty", [] { return std::optional<Bytes>(Bytes{}); },
                  200},
        FetchCase{"body_above_first_guess", "/bytes?n=150000",
                  [] { return std::optional<Bytes>(FakeTileServer::generatedBody(150000)); }, 200},
        FetchCase{"no_length_50000", "/no-length?n=50000",
                  [] { return std::optional<Bytes>(FakeTileServer::generatedBody(50000)); }, 200},
        FetchCase{"no_length_150000", "/no-length?n=150000",
                  [] { return std::optional<Bytes>(FakeTileServer::generatedBody(150000)); }, 200},
        FetchCase{"no_length_empty", "/no-length?n=0", [] { return std::optional<Bytes>(Bytes{}); },
                  200},
        FetchCase{"png_tile", "/googlechina/maptile?x=123%34&y=56%36&zoom=12",
                  [] { return std::optional<Bytes>(FakeTileServer::tileBytes(1234, 566, 12)); },
                  200},
        FetchCase{"jpeg_tile", "/googlechina/maptile?x=123%34&y=56%37&zoom=12",
                  [] { return std::optional<Bytes>(FakeTileServer::tileBytes(1234, 567, 12)); },
                  200},
        FetchCase{"missing_tile_redirect", "/googlechina/maptile?x=1&y=2&zoom=19",
                  [] { return std::optional<Bytes>(FakeTileServer::notFoundPng()); }, 302},
        FetchCase{"redirect_302", "/redirect",
                  [] { return std::optional<Bytes>(FakeTileServer::notFoundPng()); }, 302},
        FetchCase{"redirect_301", "/redirect-301",
                  [] { return std::optional<Bytes>(FakeTileServer::notFoundPng()); }, 301},
        FetchCase{"redirect_303", "/redirect-303",
                  [] { return std::optional<Bytes>(FakeTileServer::notFoundPng()); }, 303},
        FetchCase{"redirect_relative", "/redirect-relative",
                  [] { return std::optional<Bytes>(FakeTileServer::notFoundPng()); }, 302},
        FetchCase{"redirect_without_location", "/redirect-no-location",
                  [] { return std::optional<Bytes>(std::nullopt); }, 302},
        FetchCase{"redirect_to_404", "/redirect-to-404",
                  [] { return std::optional<Bytes>(std::nullopt); }, 302},
        FetchCase{"redirect_to_ftp", "/redirect-to-ftp",
                  [] { return std::optional<Bytes>(std::nullopt); }, 302},
        FetchCase{"redirect_chain", "/redirect-to-redirect",
                  [] { return std::optional<Bytes>(std::nullopt); }, 302},
        FetchCase{"not_found_with_body", "/not-found",
                  [] { return std::optional<Bytes>(textBytes("no such tile\n")); }, 404},
        FetchCase{"bad_request_with_body", "/googlechina/maptile?zoom=3",
                  [] { return std::optional<Bytes>(textBytes("bad query\n")); }, 400},
        FetchCase{"unauthorized", "/unauthorized",
                  [] { return std::optional<Bytes>(std::nullopt); }, 401},
        FetchCase{"forbidden", "/forbidden", [] { return std::optional<Bytes>(std::nullopt); },
                  403},
        FetchCase{"cut_body", "/cut?n=400", [] { return std::optional<Bytes>(std::nullopt); }, 200},
        FetchCase{"huge_content_length", "/huge-length",
                  [] { return std::optional<Bytes>(std::nullopt); }, 200},
        FetchCase{"body_over_cap", "/no-length?n=16777217",
                  [] { return std::optional<Bytes>(std::nullopt); }, 200},
        FetchCase{"body_at_cap", "/bytes?n=16777216",
                  [] { return std::optional<Bytes>(FakeTileServer::generatedBody(16777216)); },
                  200}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(FetchUrl, RedirectFetchesTargetOnceWithReferer) {
  const FetchResult result = fetch_url(m_server.url("/redirect"));
  ASSERT_TRUE(result.body);
  EXPECT_EQ(m_server.requestCount("/redirect"), 1u);
  EXPECT_EQ(m_server.requestCount("/404.png"), 1u);
  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].head.find("Referer:"), std::string::npos);
  EXPECT_NE(requests[1].head.find("\r\nReferer: http://www.sina.com.cn/\r\n"), std::string::npos);
}

TEST_F(FetchUrl, RedirectWithOnlyContentLocationIsNotFollowed) {
  const FetchResult result = fetch_url(m_server.url("/redirect-no-location"));
  EXPECT_FALSE(result.body);
  EXPECT_EQ(m_server.requestCount("/404.png"), 0u);
}

TEST_F(FetchUrl, RefusalMakesOneRequestOnly) {
  EXPECT_FALSE(fetch_url(m_server.url("/forbidden")).body);
  EXPECT_EQ(m_server.requests().size(), 1u);
}

TEST_F(FetchUrl, SendsTheBrowserHeaderLinesOnce) {
  ASSERT_TRUE(fetch_url(m_server.url("/bytes?n=10")).body);
  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& head = requests[0].head;
  EXPECT_TRUE(head.starts_with("GET /bytes?n=10 HTTP/1.1\r\n")) << head;
  const std::string accept = "\r\n" + std::string(kFetchAcceptHeader) + "\r\n";
  const std::string agent = "\r\n" + std::string(kFetchUserAgentHeader) + "\r\n";
  EXPECT_NE(head.find(accept), std::string::npos) << head;
  EXPECT_NE(head.find(agent), std::string::npos) << head;
  // Exactly one of each: the client's own defaults are replaced, not added to.
  EXPECT_EQ(head.find("Accept:"), head.rfind("Accept:"));
  EXPECT_EQ(head.find("User-Agent:"), head.rfind("User-Agent:"));
  EXPECT_EQ(head.find("Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
                      "application/vnd.ms-excel, application/vnd.ms-powerpoint, "
                      "application/msword, application/x-shockwave-flash, */*\r\n"),
            head.find("Accept:"));
  EXPECT_NE(head.find("User-Agent: Mozilla/4.0 (compatible; MSIE 6.0)\r\n"), std::string::npos);
}

TEST_F(FetchUrl, SchemeIsMatchedWithoutRegardToCase) {
  std::string url = m_server.url("/bytes?n=3");
  url.replace(0, 4, "HTTP");
  const FetchResult result = fetch_url(url);
  ASSERT_TRUE(result.body);
  EXPECT_EQ(result.body->size(), 3u);
}

class UnusableUrl : public FetchUrl, public ::testing::WithParamInterface<std::string> {};

TEST_P(UnusableUrl, GivesNothingAndStatusZero) {
  std::string url = GetParam();
  const auto at = url.find("PORT");
  if (at != std::string::npos) url.replace(at, 4, std::to_string(m_server.port()));
  const FetchResult result = fetch_url(url);
  EXPECT_FALSE(result.body);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(m_server.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Urls, UnusableUrl,
                         ::testing::Values("", "not a url", "https://127.0.0.1:PORT/bytes?n=1",
                                           "ftp://127.0.0.1:PORT/bytes", "file:///etc/hostname",
                                           "http://", "http:///path", "http://:PORT/",
                                           "http://127.0.0.1:99999/", "http://127.0.0.1:0/",
                                           "http://127.0.0.1:12ab/", "http://127.0.0.1:PORT/a b",
                                           "http://127.0.0.1:PORT/a\r\nX-Evil: 1",
                                           "http://bad host/", "http://[::1/"));

TEST(FetchUrlNoServer, ConnectionRefusedGivesStatusZero) {
  // Take a free port and close it again: nobody listens there.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
  ::close(fd);
  const FetchResult result =
      fetch_url("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x");
  EXPECT_FALSE(result.body);
  EXPECT_EQ(result.status, 0);
}

TEST_F(FetchUrl, AtMostFourDownloadsRunAtOnce) {
  std::vector<std::thread> threads;
  std::vector<FetchResult> results(6);
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] { results[i] = fetch_url(m_server.url("/slow?ms=1000")); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(m_server.requestCount("/slow"), 6u);
  EXPECT_EQ(m_server.maxConcurrent(), kMaxDownloads);
  for (const auto& result : results) {
    ASSERT_TRUE(result.body);
    EXPECT_EQ(*result.body, textBytes("slow"));
  }
  EXPECT_EQ(detail::downloadTurns().inUse(), 0);
}

TEST_F(FetchUrl, TurnsAreGivenBackOnEveryPath) {
  for (const char* target : {"/forbidden", "/redirect-no-location", "/cut?n=10", "/bytes?n=1"}) {
    fetch_url(m_server.url(target));
    ASSERT_EQ(detail::downloadTurns().inUse(), 0) << target;
  }
  fetch_url("ftp://nowhere/");
  EXPECT_EQ(detail::downloadTurns().inUse(), 0);
}

// A source that takes the request and never answers.
class HangingSource : public FetchUrl {
 protected:
  void SetUp() override {
    m_server.setTileAnswer([](long, long, long) -> std::optional<std::string> {
      return std::string(FakeTileServer::kHang);
    });
  }
  std::string tile() const { return m_server.url("/googlechina/maptile?x=1&y=2&zoom=3"); }
};

TEST_F(HangingSource, NoFirstByteInTimeIsNoBody) {
  FetchOptions options;
  options.firstByteTimeout = std::chrono::milliseconds(300);
  EXPECT_FALSE(fetch_url(tile(), options).body);
  EXPECT_EQ(m_server.requestCount("/googlechina/maptile"), 1u);
}

TEST_F(HangingSource, StopGivesUpTheDownloadAndTheWaitForATurn) {
  std::stop_source stop;
  FetchOptions options;
  options.stop = stop.get_token();
  // Every turn is taken by a hung download, and one more waits for a turn.
  std::vector<std::future<FetchResult>> fetches;
  for (int i = 0; i <= kMaxDownloads; ++i)
    fetches.push_back(std::async(std::launch::async, [&] { return fetch_url(tile(), options); }));
  ASSERT_TRUE(test::eventually(
      [&] { return m_server.requestCount("/googlechina/maptile") == kMaxDownloads; },
      std::chrono::seconds(10)));
  stop.request_stop();
  // Long before the first-byte limit.
  for (auto& fetch : fetches) {
    ASSERT_EQ(fetch.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_FALSE(fetch.get().body);
  }
  EXPECT_EQ(m_server.requestCount("/googlechina/maptile"), std::size_t{kMaxDownloads});
}

// ---------------------------------------------------------------- URL helpers

TEST(SplitHttpUrl, Parts) {
  const auto plain = detail::splitHttpUrl("http://mt.example.com/googlechina/maptile?x=1&y=2");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->authority, "mt.example.com");
  EXPECT_EQ(plain->pathAndQuery, "/googlechina/maptile?x=1&y=2");
  const auto bare = detail::splitHttpUrl("http://host:8080");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->authority, "host:8080");
  EXPECT_EQ(bare->pathAndQuery, "/");
  const auto query = detail::splitHttpUrl("http://host?a=1#frag");
  ASSERT_TRUE(query);
  EXPECT_EQ(query->pathAndQuery, "/?a=1");
  const auto v6 = detail::splitHttpUrl("http://[::1]:81/p");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->authority, "[::1]:81");
}

TEST(ResolveLocation, PathsAreTakenRelativeToTheFirstUrl) {
  const auto base = *detail::splitHttpUrl("http://tiles:81/a/b?c");
  EXPECT_EQ(detail::resolveLocation(base, "/404.png"), "http://tiles:81/404.png");
  EXPECT_EQ(detail::resolveLocation(base, "http://other/x"), "http://other/x");
  EXPECT_EQ(detail::resolveLocation(base, "//other/x"), std::nullopt);
  EXPECT_EQ(detail::resolveLocation(base, "https://other/x"), std::nullopt);
  EXPECT_EQ(detail::resolveLocation(base, "relative.png"), std::nullopt);
}

}  // namespace
}  // namespace tivra::tiles
