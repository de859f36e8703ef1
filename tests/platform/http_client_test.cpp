#include "platform/http_client.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "support/fake_tile_server.h"

namespace tivra::platform {
namespace {

using test::FakeTileServer;

class HttpClientTest : public ::testing::Test {
 protected:
  FakeTileServer m_server;
  HttpClient m_client;
};

TEST_F(HttpClientTest, DeliversHeadThenBodyPieces) {
  std::vector<HttpHead> heads;
  std::vector<std::uint8_t> body;
  const auto result = m_client.get(
      m_server.url("/bytes?n=70000"), {},
      [&](const HttpHead& head) {
        EXPECT_TRUE(body.empty());
        heads.push_back(head);
        return true;
      },
      [&](std::span<const std::uint8_t> piece) {
        body.insert(body.end(), piece.begin(), piece.end());
        return true;
      });
  EXPECT_EQ(result.error, HttpError::None);
  EXPECT_TRUE(result.headComplete);
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0].status, 200);
  EXPECT_EQ(heads[0].contentLength, 70000u);
  EXPECT_TRUE(heads[0].rawHeaders.starts_with("HTTP/1.1 200 OK\r\n"));
  EXPECT_NE(heads[0].rawHeaders.find("\r\nContent-Length: 70000\r\n"), std::string::npos);
  EXPECT_EQ(body, FakeTileServer::generatedBody(70000));
}

TEST_F(HttpClientTest, MissingContentLengthIsReportedAsAbsent) {
  const auto result = m_client.get(m_server.url("/no-length?n=5"), {}, {}, {});
  EXPECT_EQ(result.error, HttpError::None);
  EXPECT_EQ(result.head.status, 200);
  EXPECT_FALSE(result.head.contentLength);
}

TEST_F(HttpClientTest, StoppingAtTheHeadSkipsTheBody) {
  bool bodySeen = false;
  const auto result = m_client.get(
      m_server.url("/bytes?n=5000"), {}, [](const HttpHead&) { return false; },
      [&](std::span<const std::uint8_t>) {
        bodySeen = true;
        return true;
      });
  EXPECT_EQ(result.error, HttpError::Stopped);
  EXPECT_TRUE(result.headComplete);
  EXPECT_EQ(result.head.status, 200);
  EXPECT_FALSE(bodySeen);
}

TEST_F(HttpClientTest, RedirectsAreNotFollowed) {
  const auto result = m_client.get(m_server.url("/redirect"), {}, {}, {});
  EXPECT_EQ(result.error, HttpError::None);
  EXPECT_EQ(result.head.status, 302);
  EXPECT_EQ(m_server.requestCount("/404.png"), 0u);
}

TEST_F(HttpClientTest, TotalTimeoutEndsASlowAnswer) {
  HttpGetOptions options;
  options.totalTimeout = std::chrono::milliseconds(200);
  const auto result = m_client.get(m_server.url("/slow?ms=5000"), options, {}, {});
  EXPECT_EQ(result.error, HttpError::Timeout);
  EXPECT_FALSE(result.errorText.empty());
}

TEST_F(HttpClientTest, CutBodyIsATransferError) {
  const auto result = m_client.get(m_server.url("/cut?n=100"), {}, {}, {});
  EXPECT_EQ(result.error, HttpError::Transfer);
  EXPECT_EQ(result.head.status, 200);
}

TEST_F(HttpClientTest, RefererAndHeaderLinesAreSent) {
  HttpGetOptions options;
  options.headerLines = {"X-One: 1", "Accept: a/b"};
  options.referer = "http://ref.example/";
  m_client.get(m_server.url("/empty"), options, {}, {});
  const auto requests = m_server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_NE(requests[0].head.find("\r\nX-One: 1\r\n"), std::string::npos);
  EXPECT_NE(requests[0].head.find("\r\nAccept: a/b\r\n"), std::string::npos);
  EXPECT_NE(requests[0].head.find("\r\nReferer: http://ref.example/\r\n"), std::string::npos);
}

TEST_F(HttpClientTest, OtherSchemesAreRefused) {
  const auto result = m_client.get("file:///etc/hostname", {}, {}, {});
  EXPECT_EQ(result.error, HttpError::Setup);
}

TEST_F(HttpClientTest, OneClientServesSeveralRequests) {
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(m_client.get(m_server.url("/bytes?n=10"), {}, {}, {}).error, HttpError::None);
  }
  EXPECT_EQ(m_server.requestCount("/bytes"), 3u);
}

struct HeaderCase {
  std::string_view head;
  std::string_view name;
  std::optional<std::string_view> expected;
};

class HeaderValueTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderValueTest, FindsTheNamedLineOnly) {
  EXPECT_EQ(headerValue(GetParam().head, GetParam().name), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, HeaderValueTest,
    ::testing::Values(
        HeaderCase{"HTTP/1.1 302 Found\r\nLocation: http://a/b\r\n", "Location", "http://a/b"},
        HeaderCase{"HTTP/1.1 302 Found\r\nlocation:http://a/b  \r\n", "Location", "http://a/b"},
        HeaderCase{"HTTP/1.1 302 Found\r\nContent-Location: http://a/c\r\n", "Location",
                   std::nullopt},
        HeaderCase{"HTTP/1.1 302 Found\r\nContent-Location: http://a/c\r\nLocation: "
                   "http://a/d\r\nLocation: http://a/e\r\n",
                   "Location", "http://a/d"},
        HeaderCase{"HTTP/1.1 302 Found\r\nLocation: \r\n", "Location", ""},
        HeaderCase{"HTTP/1.1 302 Found\r\nX-Location: http://a/\r\n", "Location", std::nullopt},
        HeaderCase{"Location http://a/\nLocation\n", "Location", std::nullopt},
        HeaderCase{"Content-Length:\t70000\n", "content-length", "70000"},
        HeaderCase{"Content-Length: 5", "Content-Length", "5"},
        HeaderCase{"", "Location", std::nullopt}));

}  // namespace
}  // namespace tivra::platform
