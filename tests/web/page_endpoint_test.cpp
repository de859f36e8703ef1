// The page's requests below /globe/: its files, refused paths, and the endpoints reached with
// full envelopes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>

#include "server/router.h"
#include "support/temp_dir.h"
#include "web/browser_globe.h"
#include "web/page_endpoint.h"

namespace tivra::web {
namespace {

void writeFile(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

class PageEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto page = dir.path() / "page";
    const auto library = dir.path() / "lib";
    writeFile(page / "index.html", "<html>page</html>");
    writeFile(page / "globe.js", "var a;");
    writeFile(page / "globe.css", "body{}");
    writeFile(page / ".hidden", "hidden");
    writeFile(library / "Cesium.js", "var Cesium;");
    for (const char* name : {"a.json", "a.png", "a.jpg", "a.xml", "a.wasm", "a.glb"})
      writeFile(library / "Assets" / name, name);
    writeFile(dir.path() / "outside" / "secret.txt", "secret");
    std::filesystem::create_directory_symlink(dir.path() / "outside", page / "out");
    context.root = {page, library};
    context.port = 11000;
    context.entryDocument = [] { return std::string("<kml>entry</kml>"); };
    context.route = [this](std::string_view request, std::string& out) {
      routed = request;
      out = answer;
    };
  }
  std::string get(std::string_view target, std::string_view method = "GET") {
    std::string out;
    PageEndpoint(context,
                 std::string(method) + " " + std::string(target) +
                     " HTTP/1.1\r\nHost: 127.0.0.1\r\nReferer: http://127.0.0.1/GPSServer\r\n\r\n",
                 out);
    return out;
  }

  test::TempDir dir;
  PageContext context;
  std::string routed;
  std::string answer;
};

struct FileCase {
  const char* target;
  const char* type;
  const char* body;
  bool library;
};

void PrintTo(const FileCase& c, std::ostream* out) {
  *out << c.target;
}

class PageFileTest : public PageEndpointTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(PageFileTest, IsServedWholeWithItsTypeAndCaching) {
  const FileCase& c = GetParam();
  const std::string body = c.body;
  const std::string expected = "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(c.type) +
                               "\r\nContent-Length: " + std::to_string(body.size()) +
                               "\r\nConnection: close\r\n" +
                               (c.library ? "Cache-Control: public, max-age=31536000, immutable\r\n"
                                          : "Cache-Control: no-cache\r\n") +
                               "\r\n";
  EXPECT_EQ(get(c.target), expected + body);
  EXPECT_EQ(get(c.target, "HEAD"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, PageFileTest,
    ::testing::Values(
        FileCase{"/globe/", "text/html; charset=utf-8", "<html>page</html>", false},
        FileCase{"/globe/globe.js", "text/javascript; charset=utf-8", "var a;", false},
        FileCase{"/globe/globe.css?v=1", "text/css; charset=utf-8", "body{}", false},
        FileCase{"/globe/cesium/Cesium.js", "text/javascript; charset=utf-8", "var Cesium;", true},
        FileCase{"/globe/cesium/Assets/a.json", "application/json", "a.json", true},
        FileCase{"/globe/cesium/Assets/a.png", "image/png", "a.png", true},
        FileCase{"/globe/cesium/Assets/a.jpg", "image/jpeg", "a.jpg", true},
        FileCase{"/globe/cesium/Assets/a.xml", "application/xml", "a.xml", true},
        FileCase{"/globe/cesium/Assets/a.wasm", "application/wasm", "a.wasm", true},
        FileCase{"/globe/cesium/Assets/a.glb", "model/gltf-binary", "a.glb", true}));

class RefusedPathTest : public PageEndpointTest,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedPathTest, IsNotFoundAndShowsNothingOutside) {
  const std::string out = get(GetParam());
  EXPECT_TRUE(out.starts_with("HTTP/1.1 404 Not Found\r\n")) << out;
  EXPECT_EQ(out.find("secret"), std::string::npos);
  EXPECT_EQ(out.find("hidden"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Traversal, RefusedPathTest,
                         ::testing::Values("/globe/../outside/secret.txt",
                                           "/globe/%2e%2e/outside/secret.txt",
                                           "/globe/%2E%2E%2Foutside%2Fsecret.txt",
                                           "/globe/cesium/../../outside/secret.txt",
                                           "/globe/cesium/%2e%2e/page/index.html",
                                           "/globe/out/secret.txt", "/globe/index.html%00.js",
                                           "/globe/.hidden", "/globe/%", "/globe/a%zz",
                                           "/globe/missing.js"));

TEST_F(PageEndpointTest, OnlyGetAndHeadReachFiles) {
  const std::string out = get("/globe/index.html", "POST");
  EXPECT_TRUE(out.starts_with("HTTP/1.1 405 Method Not Allowed\r\n")) << out;
  EXPECT_NE(out.find("Allow: GET, HEAD\r\n"), std::string::npos);
  EXPECT_EQ(out.find("page"), std::string::npos);
}

TEST_F(PageEndpointTest, EndpointAnswersGetEnvelopesAndStayOnThePagesOrigin) {
  // A bare KML body gets status line, type and length; headers of the page never travel on.
  answer = "<kml>overlay</kml>\n";
  EXPECT_EQ(get("/globe/GPSServer/Track.kml"),
            "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.google-earth.kml+xml\r\n"
            "Content-Length: 19\r\nConnection: close\r\n\r\n<kml>overlay</kml>\n");
  EXPECT_EQ(routed, "GET /GPSServer/Track.kml HTTP/1.1\r\n\r\n");
  // A full answer passes as it is, but its redirect back to this server stays below /globe/.
  answer =
      "HTTP/1.1 302 Found\r\nLocation: http://localhost:11000/ImageServer/F00/default.png"
      "\r\n\r\n";
  EXPECT_EQ(get("/globe/ImageServer/F00/x=1&y=2&zoom=3"),
            "HTTP/1.1 302 Found\r\nLocation: /globe/ImageServer/F00/default.png\r\n\r\n");
  EXPECT_EQ(routed, "GET /ImageServer/F00/x=1&y=2&zoom=3 HTTP/1.1\r\n\r\n");
  answer = "HTTP/1.1 200 OK\r\nContent-Length:3\r\nContent-Type: image/png\r\n\r\nPNG";
  EXPECT_EQ(get("/globe/ImageServer/F00/a.png", "HEAD"),
            "HTTP/1.1 200 OK\r\nContent-Length:3\r\nContent-Type: image/png\r\n\r\n");
  EXPECT_EQ(get("/globe/entry.kml"),
            "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.google-earth.kml+xml\r\n"
            "Content-Length: 16\r\nConnection: close\r\nCache-Control: no-cache\r\n\r\n"
            "<kml>entry</kml>");
}

struct ViewCase {
  const char* page;   // as the page's globe asks
  const char* earth;  // what KmlServer is handed
};

void PrintTo(const ViewCase& c, std::ostream* out) {
  *out << c.page;
}

class ViewQueryTest : public ::testing::TestWithParam<ViewCase> {};

TEST_P(ViewQueryTest, ReadsThePagesConvention) {
  EXPECT_EQ(googleEarthViewQuery(GetParam().page), GetParam().earth);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ViewQueryTest,
    ::testing::Values(
        // Recorded from the page at Beijing, 3 km, looking straight down.
        ViewCase{"BBOX=116.36974050177054%2C39.88829718766817%2C116.41025949853693%2C39."
                 "91169925073551%2C116.39000000000698%2C39.90000000006207%2C2999.999999999302%"
                 "2C-89.9999107898458%2C360%2C59.99999999999999%2C45%2C640%2C480",
                 "BBOX=116.36974050177054,39.88829718766817,116.41025949853693,39.91169925073551,"
                 "116.39000000000698,39.90000000006207,2999.999999999302,0.000089,0.000000,"
                 "59.99999999999999,45,640,480"},
        ViewCase{"BBOX=1%2C2%2C3%2C4%2C5%2C6%2C7%2C-30%2C-10%2C60%2C45%2C800%2C600",
                 "BBOX=1,2,3,4,5,6,7,60.000000,350.000000,60,45,800,600"},
        // Google Earth's own form passes unchanged but for the two reals written anew.
        ViewCase{"BBOX=1,2,3,4,5,6,7,0,90,60,45,800,600",
                 "BBOX=1,2,3,4,5,6,7,90.000000,90.000000,60,45,800,600"},
        ViewCase{"BBOX=", "BBOX="}));

TEST(PageRoutingTest, OnlyThePrefixReachesThePageAndGoogleEarthsRoutingStays) {
  server::Router router;
  std::string last;
  router.setHandler(server::Endpoint::KmlServer,
                    [&](std::string_view, std::string& out) { out = "kml"; });
  router.setHandler(server::Endpoint::GPSServer,
                    [&](std::string_view, std::string& out) { out = "gps"; });
  router.setPrefixHandler(std::string(kPagePrefix),
                          [&](std::string_view, std::string& out) { out = "page"; });
  const auto route = [&](std::string_view request) {
    std::string out;
    router.RouteRequest(request, out);
    return out;
  };
  EXPECT_EQ(route("GET /globe/KmlServer?BBOX=1 HTTP/1.1\r\n\r\n"), "page");
  EXPECT_EQ(route("GET /ImageServer/F00/KmlServer.png HTTP/1.1\r\n\r\n"), "kml");
  EXPECT_EQ(route("GET /x HTTP/1.1\r\nReferer: http://127.0.0.1:11000/globe/GPSServer\r\n\r\n"),
            "gps");
  EXPECT_EQ(route("GET /globeKmlServer HTTP/1.1\r\n\r\n"), "kml");
}

// A page's last poll can reach the program after its goodbye; the page stays gone.
TEST(BrowserGlobeTest, APollArrivingAfterTheGoodbyeDoesNotBringThePageBack) {
  BrowserGlobe globe;
  const auto api = [&](std::string_view method, std::string_view target) {
    std::string out;
    globe.handleApi(method, target, out);
    return out;
  };
  EXPECT_NE(api("GET", "poll?page=a").find("\"role\":\"drive\""), std::string::npos);
  EXPECT_TRUE(globe.attached());
  api("POST", "bye?page=a");
  EXPECT_FALSE(globe.attached());
  const std::string late = api("GET", "poll?page=a");
  EXPECT_NE(late.find("\"role\":\"gone\""), std::string::npos) << late;
  EXPECT_FALSE(globe.attached());
  EXPECT_NE(api("GET", "poll?page=b").find("\"role\":\"drive\""), std::string::npos);
}

}  // namespace
}  // namespace tivra::web
