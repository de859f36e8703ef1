#include "platform/resources.h"

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/png_reader.h"
#include "support/zip_archive.h"

namespace tivra::platform {
namespace {

using test::PngImage;
using test::readPng;
using test::ZipArchive;

// ---- images ---------------------------------------------------------------------------------

struct PngCase {
  int id;
  std::uint32_t width;
  std::uint32_t height;
  int colourType;
};

class BuiltinPng : public ::testing::TestWithParam<PngCase> {};

TEST_P(BuiltinPng, IsAValidPngOfTheRightSizeAndColourType) {
  const auto& c = GetParam();
  const auto bytes = findResource(ResourceType::Png, c.id);
  ASSERT_FALSE(bytes.empty());
  const PngImage img = readPng(bytes);
  EXPECT_EQ(img.width, c.width);
  EXPECT_EQ(img.height, c.height);
  EXPECT_EQ(img.colourType, c.colourType);
}

INSTANTIATE_TEST_SUITE_P(Resources, BuiltinPng,
                         ::testing::Values(PngCase{kResourceDefaultTile, 200, 200, 2},
                                           PngCase{kResourceLogo, 75, 18, 6},
                                           PngCase{kResourceCross, 32, 32, 6},
                                           PngCase{kResourceSamplePicture, 200, 201, 2},
                                           PngCase{kResourceSampleTile, 200, 200, 2}));

int alphaCount(const PngImage& img, int alpha) {
  int n = 0;
  for (std::uint32_t y = 0; y < img.height; ++y) {
    for (std::uint32_t x = 0; x < img.width; ++x) n += img.at(x, y)[3] == alpha;
  }
  return n;
}

TEST(BuiltinImages, OverlaysAreTransparentAroundTheirMark) {
  const PngImage cross = readPng(findResource(ResourceType::Png, kResourceCross));
  EXPECT_EQ(cross.at(0, 0)[3], 0);
  EXPECT_EQ(cross.at(31, 31)[3], 0);
  EXPECT_EQ(cross.at(16, 16)[3], 255);  // the centre dot
  EXPECT_GT(alphaCount(cross, 0), 32 * 32 / 2);

  const PngImage logo = readPng(findResource(ResourceType::Png, kResourceLogo));
  EXPECT_EQ(logo.at(74, 0)[3], 0);
  EXPECT_GT(alphaCount(logo, 0), 100);
  EXPECT_GT(alphaCount(logo, 255), 100);
}

// The map background colours that the tile processing turns transparent.
bool isMapBackground(const std::uint8_t* p) {
  static constexpr std::uint8_t kColours[][3] = {
      {235, 230, 220}, {232, 227, 216}, {166, 203, 148}, {152, 178, 203}, {235, 231, 221},
      {241, 238, 232}, {239, 240, 241}, {239, 236, 229}, {248, 251, 244}, {243, 227, 243},
      {244, 244, 251}, {250, 245, 250}, {230, 226, 217}, {230, 227, 218}, {230, 231, 233},
      {235, 232, 227}, {99, 158, 189},  {226, 227, 228}, {235, 231, 231}, {232, 233, 234},
      {233, 233, 233}, {217, 217, 217}};
  return std::any_of(std::begin(kColours), std::end(kColours),
                     [&](const auto& c) { return c[0] == p[0] && c[1] == p[1] && c[2] == p[2]; });
}

double backgroundShare(const PngImage& img) {
  int n = 0;
  for (std::uint32_t y = 0; y < img.height; ++y) {
    for (std::uint32_t x = 0; x < img.width; ++x) n += isMapBackground(img.at(x, y));
  }
  return static_cast<double>(n) / (img.width * img.height);
}

TEST(BuiltinImages, TileLikeImagesUseTheMapBackgroundColours) {
  // The preview tile must show the effect of transparency, and the placeholder must vanish in
  // transparent mode except for its mark; the aerial photo must not be mistaken for a map.
  EXPECT_GT(backgroundShare(readPng(findResource(ResourceType::Png, kResourceSampleTile))), 0.6);
  EXPECT_GT(backgroundShare(readPng(findResource(ResourceType::Png, kResourceDefaultTile))), 0.8);
  EXPECT_LT(backgroundShare(readPng(findResource(ResourceType::Png, kResourceSamplePicture))),
            0.01);
}

// The checks above rely on the readers refusing damaged data.
TEST(ResourceReaders, RefuseDamagedCopies) {
  const auto png = findResource(ResourceType::Png, kResourceCross);
  std::vector<std::uint8_t> bad(png.begin(), png.end());
  bad[40] ^= 0x01;  // inside the image data: CRC fails
  EXPECT_THROW(readPng(bad), std::runtime_error);
  EXPECT_THROW(readPng(png.first(png.size() - 12)), std::runtime_error);  // no IEND

  const auto kmz = findResource(ResourceType::Kmz, kResourceCarModel);
  std::vector<std::uint8_t> zip(kmz.begin(), kmz.end());
  const ZipArchive good(zip);
  const auto& doc = good.members().front();
  zip[doc.localOffset + 30 + doc.name.size() + 5] ^= 0x20;
  EXPECT_THROW(ZipArchive(zip).read(doc.name), std::runtime_error);
  EXPECT_THROW(ZipArchive(kmz.first(kmz.size() - 10)), std::runtime_error);
}

// ---- lookup ---------------------------------------------------------------------------------

struct LookupCase {
  ResourceType type;
  int id;
  bool found;
};

class ResourceLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ResourceLookup, FindsOnlyTheBuiltInTypeAndIdPairs) {
  const auto& c = GetParam();
  EXPECT_EQ(!findResource(c.type, c.id).empty(), c.found);
}

INSTANTIATE_TEST_SUITE_P(
    Resources, ResourceLookup,
    ::testing::Values(
        LookupCase{ResourceType::Png, 151, true}, LookupCase{ResourceType::Png, 150, true},
        LookupCase{ResourceType::Png, 155, true}, LookupCase{ResourceType::Png, 135, true},
        LookupCase{ResourceType::Png, 136, true}, LookupCase{ResourceType::Kmz, 156, true},
        LookupCase{ResourceType::Kmz, 158, true}, LookupCase{ResourceType::Nmea, 160, true},
        LookupCase{ResourceType::Kmz, 151, false},  // right id, wrong type
        LookupCase{ResourceType::Png, 156, false}, LookupCase{ResourceType::Png, 160, false},
        LookupCase{ResourceType::Nmea, 156, false}, LookupCase{ResourceType::Png, 0, false},
        LookupCase{ResourceType::Png, -151, false}, LookupCase{ResourceType::Kmz, 157, false},
        LookupCase{ResourceType::Nmea, std::numeric_limits<int>::max(), false}));

TEST(ResourceLookup, EveryResourceHasItsOwnBytes) {
  const std::vector<std::span<const std::uint8_t>> all = {
      findResource(ResourceType::Png, 151), findResource(ResourceType::Png, 150),
      findResource(ResourceType::Png, 155), findResource(ResourceType::Png, 135),
      findResource(ResourceType::Png, 136), findResource(ResourceType::Kmz, 156),
      findResource(ResourceType::Kmz, 158), findResource(ResourceType::Nmea, 160)};
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) {
      EXPECT_FALSE(std::equal(all[i].begin(), all[i].end(), all[j].begin(), all[j].end()))
          << i << " and " << j;
    }
  }
}

// ---- model archives -------------------------------------------------------------------------

struct KmzCase {
  int id;
  const char* placemark;
  const char* model;
  const char* texture;
  bool textureIsPng;
  // Rough extents of the model in metres (x, y, z) it must stay within.
  double maxExtent;
};

class BuiltinKmz : public ::testing::TestWithParam<KmzCase> {
 protected:
  ZipArchive archive() const { return ZipArchive(findResource(ResourceType::Kmz, GetParam().id)); }
};

TEST_P(BuiltinKmz, HoldsExactlyTheFourMembersDeflated) {
  const auto& c = GetParam();
  const ZipArchive zip = archive();
  std::vector<std::string> names;
  for (const auto& m : zip.members()) {
    names.push_back(m.name);
    EXPECT_EQ(m.method, 8) << m.name;
    EXPECT_NO_THROW(zip.read(m.name)) << m.name;
  }
  const std::vector<std::string> expected = {"doc.kml", c.model, std::string("images/") + c.texture,
                                             "textures.txt"};
  EXPECT_EQ(names, expected);
}

TEST_P(BuiltinKmz, DocumentNamesThePlacemarkAndLinksTheModel) {
  const auto& c = GetParam();
  const std::string kml = archive().readText("doc.kml");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(kml.c_str())) << kml;
  const auto root = doc.child("kml");
  EXPECT_STREQ(root.attribute("xmlns").value(), "http://earth.google.com/kml/2.1");
  const auto placemarks = root.select_nodes("//Placemark");
  ASSERT_EQ(placemarks.size(), 1u);
  const auto pm = placemarks.first().node();
  EXPECT_STREQ(pm.child_value("name"), c.placemark);
  const auto model = pm.child("Model");
  EXPECT_STREQ(model.child_value("altitudeMode"), "relativeToGround");
  EXPECT_STREQ(model.child("Link").child_value("href"), c.model);
  for (const char* f : {"longitude", "latitude", "altitude"}) {
    EXPECT_EQ(std::atof(model.child("Location").child_value(f)), 0.0) << f;
  }
  for (const char* f : {"heading", "tilt", "roll"}) {
    EXPECT_EQ(std::atof(model.child("Orientation").child_value(f)), 0.0) << f;
  }
  for (const char* f : {"x", "y", "z"}) {
    EXPECT_EQ(std::atof(model.child("Scale").child_value(f)), 1.0) << f;
  }
}

TEST_P(BuiltinKmz, TextureListMapsTheTextureToItself) {
  const auto& c = GetParam();
  const std::string ref = std::string("<../images/") + c.texture + ">";
  EXPECT_EQ(archive().readText("textures.txt"), ref + " " + ref + "\n");
}

// Walks the JPEG marker segments up to the scan; returns the frame size, or (0, 0).
std::pair<int, int> jpegFrameSize(const std::vector<std::uint8_t>& b) {
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return {0, 0};
  if (b[b.size() - 2] != 0xFF || b[b.size() - 1] != 0xD9) return {0, 0};
  std::pair<int, int> size{0, 0};
  std::size_t at = 2;
  while (at + 4 <= b.size() && b[at] == 0xFF) {
    const int marker = b[at + 1];
    const std::size_t len = (b[at + 2] << 8) | b[at + 3];
    if (len < 2 || at + 2 + len > b.size()) return {0, 0};
    if (marker == 0xC0 && len >= 8)
      size = {(b[at + 7] << 8) | b[at + 8], (b[at + 5] << 8) | b[at + 6]};
    if (marker == 0xDA) return size;  // entropy-coded data follows
    at += 2 + len;
  }
  return {0, 0};
}

TEST_P(BuiltinKmz, TextureIsAnImageOfItsFormat) {
  const auto& c = GetParam();
  const auto bytes = archive().read(std::string("images/") + c.texture);
  if (c.textureIsPng) {
    // The car wears the program's logo: the very same bytes.
    const auto logo = findResource(ResourceType::Png, kResourceLogo);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), logo.begin(), logo.end()));
    EXPECT_NO_THROW(readPng(bytes));
  } else {
    const auto [w, h] = jpegFrameSize(bytes);
    EXPECT_GT(w, 0);
    EXPECT_GT(h, 0);
    // Texture sides must be powers of two for old graphics cards.
    EXPECT_EQ(w & (w - 1), 0);
    EXPECT_EQ(h & (h - 1), 0);
  }
}

std::vector<double> floats(const char* s) {
  std::vector<double> v;
  std::istringstream in(s);
  double d;
  while (in >> d) v.push_back(d);
  return v;
}

TEST_P(BuiltinKmz, ModelIsConsistentCollada) {
  const auto& c = GetParam();
  const std::string dae = archive().readText(c.model);
  pugi::xml_document doc;
  const auto parsed = doc.load_string(dae.c_str());
  ASSERT_TRUE(parsed) << parsed.description();
  const auto root = doc.child("COLLADA");
  ASSERT_TRUE(root);
  EXPECT_STREQ(root.attribute("version").value(), "1.4.1");
  EXPECT_STREQ(root.child("asset").child_value("up_axis"), "Z_UP");
  EXPECT_EQ(root.child("asset").child("unit").attribute("meter").as_double(), 1.0);

  // Every "#id" reference names an element of the document.
  std::set<std::string> ids;
  for (const auto& n : doc.select_nodes("//*[@id]")) ids.insert(n.node().attribute("id").value());
  for (const char* attr : {"url", "source", "target"}) {
    const std::string q = std::string("//*[@") + attr + "]";
    for (const auto& n : doc.select_nodes(q.c_str())) {
      const std::string ref = n.node().attribute(attr).value();
      ASSERT_FALSE(ref.empty());
      EXPECT_EQ(ref[0], '#') << ref;
      EXPECT_TRUE(ids.count(ref.substr(1))) << ref;
    }
  }
  // The texture is found where textures.txt says.
  EXPECT_STREQ(doc.select_node("//library_images/image/init_from").node().child_value(),
               (std::string("../images/") + c.texture).c_str());

  // Every triangle list indexes inside its sources; gather the model's extent.
  double lo[3] = {1e9, 1e9, 1e9}, hi[3] = {-1e9, -1e9, -1e9};
  std::size_t triangles = 0;
  for (const auto& g : doc.select_nodes("//geometry")) {
    const auto mesh = g.node().child("mesh");
    std::map<std::string, std::size_t> counts;
    std::map<std::string, std::vector<double>> values;
    for (const auto& s : mesh.children("source")) {
      const auto array = s.child("float_array");
      const auto v = floats(array.child_value());
      EXPECT_EQ(v.size(), array.attribute("count").as_ullong());
      const auto acc = s.child("technique_common").child("accessor");
      EXPECT_EQ(acc.attribute("count").as_ullong() * acc.attribute("stride").as_ullong(), v.size());
      counts[s.attribute("id").value()] = acc.attribute("count").as_ullong();
      values[s.attribute("id").value()] = v;
    }
    const std::string positions =
        std::string(mesh.child("vertices").child("input").attribute("source").value()).substr(1);
    ASSERT_TRUE(values.count(positions));
    const auto& xyz = values[positions];
    for (std::size_t i = 0; i + 2 < xyz.size(); i += 3) {
      for (int k = 0; k < 3; ++k) {
        lo[k] = std::min(lo[k], xyz[i + k]);
        hi[k] = std::max(hi[k], xyz[i + k]);
      }
    }
    for (const auto& t : mesh.children("triangles")) {
      std::size_t stride = 0;
      std::vector<std::pair<std::size_t, std::size_t>> inputs;  // offset, element count
      for (const auto& in : t.children("input")) {
        const std::size_t off = in.attribute("offset").as_ullong();
        stride = std::max(stride, off + 1);
        const std::string src = std::string(in.attribute("source").value()).substr(1);
        const std::string sem = in.attribute("semantic").value();
        inputs.push_back({off, sem == "VERTEX" ? counts[positions] : counts[src]});
      }
      const auto idx = floats(t.child_value("p"));
      const std::size_t n = t.attribute("count").as_ullong();
      ASSERT_EQ(idx.size(), n * 3 * stride);
      for (std::size_t i = 0; i < idx.size(); ++i) {
        for (const auto& [off, count] : inputs) {
          if (i % stride == off) {
            ASSERT_LT(idx[i], static_cast<double>(count));
          }
        }
      }
      // The material symbol is bound in the scene.
      const std::string q =
          std::string("//instance_material[@symbol='") + t.attribute("material").value() + "']";
      EXPECT_TRUE(doc.select_node(q.c_str())) << q;
      triangles += n;
    }
  }
  EXPECT_GT(triangles, 100u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_LT(hi[k] - lo[k], c.maxExtent) << k;
    EXPECT_GT(hi[k] - lo[k], 0.5) << k;
  }
  if (std::string(c.placemark) == "TivraCar") {
    // Wheels on the ground, front to +Y (heading 0 is north): longer than wide.
    EXPECT_NEAR(lo[2], 0.0, 1e-3);
    EXPECT_GT(hi[1] - lo[1], 3.0);
    EXPECT_GT(hi[1] - lo[1], 1.8 * (hi[0] - lo[0]));
  }
}

INSTANTIATE_TEST_SUITE_P(Resources, BuiltinKmz,
                         ::testing::Values(KmzCase{kResourceCarModel, "TivraCar",
                                                   "models/TivraCar.dae", "logo.png", true, 6.0},
                                           KmzCase{kResourceSatelliteModel, "sat", "models/sat.dae",
                                                   "Mini_Blinds.jpg", false, 15.0}));

// ---- demo recording -------------------------------------------------------------------------

std::vector<std::string> splitFields(const std::string& body) {
  std::vector<std::string> f;
  std::size_t start = 0;
  for (;;) {
    const auto comma = body.find(',', start);
    f.push_back(body.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return f;
}

struct NmeaLine {
  std::string type;                 // "GPGGA"
  std::vector<std::string> fields;  // after the type
};

// The recording's sentences, each checked for form and checksum.
std::vector<NmeaLine> demoSentences() {
  const auto bytes = findResource(ResourceType::Nmea, kResourceDemoRecording);
  const std::string all(bytes.begin(), bytes.end());
  std::vector<NmeaLine> out;
  std::size_t at = 0;
  while (at < all.size()) {
    const auto end = all.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << "line without CRLF at " << at;
    if (end == std::string::npos) break;
    const std::string line = all.substr(at, end - at);
    at = end + 2;
    EXPECT_LE(line.size() + 2, 82u) << line;  // the standard's longest sentence
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    const auto star = line.rfind('*');
    if (line.empty() || line[0] != '$' || star == std::string::npos || star + 3 != line.size()) {
      ADD_FAILURE() << "not an NMEA sentence: " << line;
      continue;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(line[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    EXPECT_EQ(line.substr(star + 1), hex) << line;
    auto fields = splitFields(line.substr(1, star - 1));
    NmeaLine s{fields.front(), {fields.begin() + 1, fields.end()}};
    out.push_back(std::move(s));
  }
  return out;
}

double nmeaDegrees(const std::string& v, int degDigits) {
  return std::stod(v.substr(0, degDigits)) + std::stod(v.substr(degDigits)) / 60.0;
}

int secondsOfDay(const std::string& hhmmss) {
  return std::stoi(hhmmss.substr(0, 2)) * 3600 + std::stoi(hhmmss.substr(2, 2)) * 60 +
         std::stoi(hhmmss.substr(4, 2));
}

double metresBetween(double lat1, double lon1, double lat2, double lon2) {
  constexpr double kRad = 3.14159265358979323846 / 180.0;
  const double dy = (lat2 - lat1) * kRad * 6378137.0;
  const double dx = (lon2 - lon1) * kRad * 6378137.0 * std::cos(lat1 * kRad);
  return std::hypot(dx, dy);
}

TEST(DemoRecording, SentenceCountsPerType) {
  std::map<std::string, int> counts;
  for (const auto& s : demoSentences()) ++counts[s.type];
  const std::map<std::string, int> expected = {
      {"GPGGA", 791}, {"GPRMC", 791}, {"GPVTG", 790}, {"GPGSA", 158}, {"GPGSV", 474}};
  EXPECT_EQ(counts, expected);
}

TEST(DemoRecording, OneFixASecondMovingPlausibly) {
  const auto sentences = demoSentences();
  int lastTime = -1;
  std::string date;
  double lastLat = 0, lastLon = 0;
  std::string ggaTime;
  int fixes = 0, moving = 0;
  double maxSpeed = 0;
  for (const auto& s : sentences) {
    if (s.type == "GPGGA") {
      ASSERT_GE(s.fields.size(), 14u);
      const int t = secondsOfDay(s.fields[0]);
      if (lastTime >= 0) {
        EXPECT_EQ(t, lastTime + 1) << s.fields[0];
      }
      lastTime = t;
      ggaTime = s.fields[0];
      EXPECT_EQ(s.fields[2], "N");
      EXPECT_EQ(s.fields[4], "E");
      EXPECT_EQ(s.fields[5], "1");
      EXPECT_GE(std::stoi(s.fields[6]), 4);
      const double lat = nmeaDegrees(s.fields[1], 2), lon = nmeaDegrees(s.fields[3], 3);
      // Central Beijing.
      EXPECT_NEAR(lat, 39.91, 0.05);
      EXPECT_NEAR(lon, 116.40, 0.05);
      if (fixes > 0) {
        EXPECT_LT(metresBetween(lastLat, lastLon, lat, lon), 30.0) << ggaTime;
      }
      lastLat = lat;
      lastLon = lon;
      ++fixes;
    } else if (s.type == "GPRMC") {
      ASSERT_GE(s.fields.size(), 9u);
      EXPECT_EQ(s.fields[0], ggaTime) << "RMC must complete the GGA epoch";
      EXPECT_EQ(s.fields[1], "A");
      EXPECT_NEAR(nmeaDegrees(s.fields[2], 2), lastLat, 1e-6);
      if (date.empty()) date = s.fields[8];
      EXPECT_EQ(s.fields[8], date);
      const double kmh = std::stod(s.fields[6]) * 1.852;
      maxSpeed = std::max(maxSpeed, kmh);
      moving += kmh > 5.0;
      const double course = std::stod(s.fields[7]);
      EXPECT_GE(course, 0.0);
      EXPECT_LT(course, 360.0);
    } else if (s.type == "GPVTG") {
      ASSERT_GE(s.fields.size(), 8u);
      EXPECT_NEAR(std::stod(s.fields[6]), std::stod(s.fields[4]) * 1.852, 0.02);
    }
  }
  EXPECT_EQ(fixes, 791);
  EXPECT_EQ(date.size(), 6u);
  EXPECT_LE(maxSpeed, 66.0);
  EXPECT_GT(maxSpeed, 40.0);
  // A drive with stops: mostly moving, but not all the time.
  EXPECT_GT(moving, 400);
  EXPECT_LT(moving, 760);
}

TEST(DemoRecording, ReportedSpeedMatchesTheDistanceDriven) {
  double lastLat = 0, lastLon = 0, lat = 0, lon = 0;
  int n = 0, disagreements = 0;
  for (const auto& s : demoSentences()) {
    if (s.type == "GPGGA") {
      lastLat = lat;
      lastLon = lon;
      lat = nmeaDegrees(s.fields[1], 2);
      lon = nmeaDegrees(s.fields[3], 3);
    } else if (s.type == "GPRMC" && n++ > 0) {
      const double reported = std::stod(s.fields[6]) * 1.852 / 3.6;  // m/s
      const double driven = metresBetween(lastLat, lastLon, lat, lon);
      // Receiver noise of a metre or two aside, speed and displacement agree.
      disagreements += std::abs(reported - driven) > 3.0;
    }
  }
  EXPECT_LT(disagreements, 10);
}

TEST(DemoRecording, SatelliteReportsAreConsistent) {
  const auto sentences = demoSentences();
  std::set<int> tracked;  // PRNs with an SNR in the current GSV cycle
  std::vector<int> usedPrns;
  int expectedPage = 1;
  int cycles = 0;
  for (const auto& s : sentences) {
    if (s.type == "GPGSA") {
      ASSERT_EQ(s.fields.size(), 17u);
      EXPECT_EQ(s.fields[1], "3");
      usedPrns.clear();
      for (int i = 2; i < 14; ++i) {
        if (!s.fields[i].empty()) usedPrns.push_back(std::stoi(s.fields[i]));
      }
      EXPECT_GE(usedPrns.size(), 4u);
      const double pdop = std::stod(s.fields[14]), hdop = std::stod(s.fields[15]),
                   vdop = std::stod(s.fields[16]);
      EXPECT_NEAR(pdop, std::hypot(hdop, vdop), 0.1);  // each printed to 0.1
      EXPECT_LT(hdop, 5.0);
    } else if (s.type == "GPGSV") {
      EXPECT_EQ(s.fields[0], "3");
      EXPECT_EQ(std::stoi(s.fields[1]), expectedPage);
      const int inView = std::stoi(s.fields[2]);
      const int groups = std::min(4, inView - 4 * (expectedPage - 1));
      ASSERT_EQ(s.fields.size(), 3u + 4u * groups);
      for (int g = 0; g < groups; ++g) {
        const int prn = std::stoi(s.fields[3 + 4 * g]);
        const int el = std::stoi(s.fields[4 + 4 * g]);
        const int az = std::stoi(s.fields[5 + 4 * g]);
        EXPECT_GE(prn, 1);
        EXPECT_LE(prn, 32);
        EXPECT_GE(el, 0);
        EXPECT_LE(el, 90);
        EXPECT_GE(az, 0);
        EXPECT_LT(az, 360);
        const std::string& snr = s.fields[6 + 4 * g];
        if (!snr.empty()) {
          EXPECT_GE(std::stoi(snr), 10);
          EXPECT_LE(std::stoi(snr), 55);
          tracked.insert(prn);
        }
      }
      if (expectedPage == 3) {
        // Every satellite used in the fix was reported with a signal.
        for (int prn : usedPrns) EXPECT_TRUE(tracked.count(prn)) << prn;
        tracked.clear();
        expectedPage = 1;
        ++cycles;
      } else {
        ++expectedPage;
      }
    }
  }
  EXPECT_EQ(cycles, 158);
}

}  // namespace
}  // namespace tivra::platform
