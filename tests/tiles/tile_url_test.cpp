#include "tiles/tile_url.h"

#include <gtest/gtest.h>

namespace tivra::tiles {
namespace {

struct Expansion {
  const char* urlTemplate;
  TileXYZ tile;
  const char* subdomains;
  const char* expected;
};

class TileUrlExpansion : public ::testing::TestWithParam<Expansion> {};

TEST_P(TileUrlExpansion, Expands) {
  const Expansion& e = GetParam();
  EXPECT_EQ(expandTileUrl(e.urlTemplate, e.tile, e.subdomains), e.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Templates, TileUrlExpansion,
    ::testing::Values(
        // {s}: (x + y) mod the letter count.
        Expansion{"https://{s}.tile.example.org/{z}/{x}/{y}.png",
                  {3, 5, 4},
                  "abc",
                  "https://c.tile.example.org/4/3/5.png"},
        Expansion{"https://{s}.tile.example.org/{z}/{x}/{y}.png",
                  {4, 5, 4},
                  "abc",
                  "https://a.tile.example.org/4/4/5.png"},
        // The quadkey of tile (3, 5) at level 3 is 213.
        Expansion{"http://t{s}.example.org/tiles/a{q}.png?g=1",
                  {3, 5, 3},
                  "0123",
                  "http://t0.example.org/tiles/a213.png?g=1"},
        Expansion{"{q}|{z}/{x}/{y}", {0, 0, 0}, "", "|0/0/0"},
        Expansion{"{q}", {131071, 0, 17}, "", "11111111111111111"},
        Expansion{"{z}/{x}/{y}/{x}", {131071, 131070, 17}, "", "17/131071/131070/131071"},
        Expansion{"http://h/{s}/{x}", {1, 0, 1}, "", "http://h//1"},
        // Not ours: left as written.
        Expansion{"http://h/{foo}/{X}/{x}{", {7, 0, 3}, "ab", "http://h/{foo}/{X}/7{"},
        Expansion{"file:///srv/tiles/{z}/{x}/{y}.png",
                  {18, 10, 5},
                  "abc",
                  "file:///srv/tiles/5/18/10.png"}));

struct Query {
  const char* text;
  std::optional<TileXYZ> tile;
};

class TileQueryParsing : public ::testing::TestWithParam<Query> {};

TEST_P(TileQueryParsing, Parses) {
  EXPECT_EQ(parseTileQuery(GetParam().text), GetParam().tile) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Queries, TileQueryParsing,
    ::testing::Values(
        // As the overlay writes it: the last digit percent-encoded, z = 17 - zoom.
        Query{"x=1%38&y=1%30&zoom=12", TileXYZ{18, 10, 5}},
        Query{"x=18&y=10&zoom=12", TileXYZ{18, 10, 5}},
        Query{"zoom=12&y=1%30&x=1%38", TileXYZ{18, 10, 5}},
        Query{"x=0%30&y=0%30&zoom=17", TileXYZ{0, 0, 0}},
        Query{"x=13107%31&y=13107%31&zoom=0", TileXYZ{131071, 131071, 17}},
        // East of the last column is the first again.
        Query{"x=3%32&y=0%37&zoom=12", TileXYZ{0, 7, 5}}, Query{"default.png", std::nullopt},
        Query{"5/0301/1409/5497977570280.png", std::nullopt}, Query{"x=1&y=2", std::nullopt},
        Query{"x=1&y=2&zoom=18", std::nullopt}, Query{"x=1&y=3%32&zoom=12", std::nullopt},
        Query{"x=0%3-1&y=0&zoom=12", std::nullopt}, Query{"x=1&y=2&zoom=3&x=4", std::nullopt},
        Query{"x=1&y=2&zoom=3&w=1", std::nullopt}, Query{"x=&y=1&zoom=3", std::nullopt},
        Query{"x=1%&y=1&zoom=3", std::nullopt}, Query{"x=1&y=1&zoom=3&", TileXYZ{1, 1, 14}},
        Query{"", std::nullopt}, Query{"x=9999999999999&y=0&zoom=12", std::nullopt}));

struct Shape {
  const char* text;
  bool tileQuery;
};
class TileQueryShape : public ::testing::TestWithParam<Shape> {};

TEST_P(TileQueryShape, OnlyTheOverlaysGrammar) {
  EXPECT_EQ(isTileQuery(GetParam().text), GetParam().tileQuery) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Queries, TileQueryShape,
    ::testing::Values(Shape{"x=123%34&y=56%37&zoom=12", true}, Shape{"zoom=5&y=10&x=18", true},
                      // Beyond the world's edge, as the overlay writes it there (E(-1), E(-12)).
                      Shape{"x=0%3-1&y=-1%3-2&zoom=17", true}, Shape{"x=1&y=2&zoom=18", true},
                      Shape{"../../../../etc/passwd", false},
                      Shape{"5/0301/1409/5497977570280.png", false}, Shape{"default.png", false},
                      Shape{"", false}, Shape{"x=1&y=2", false}, Shape{"x=1&y=2&zoom=3&", false},
                      Shape{"x=1&y=2&zoom=3&w=1", false}, Shape{"x=1&x=2&zoom=3", false},
                      Shape{"x=&y=1&zoom=3", false}, Shape{"x=-&y=1&zoom=3", false},
                      Shape{"x=1%3&y=1&zoom=3", false}, Shape{"x=1%41&y=1&zoom=3", false},
                      Shape{"x=1/..&y=1&zoom=3", false},
                      Shape{"x=1234567890123456789012345&y=1&zoom=3", false}));

}  // namespace
}  // namespace tivra::tiles
