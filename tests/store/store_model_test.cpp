// Thousands of random operations against an in-memory model, with reopen cycles.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "store/store.h"
#include "store/store_inspect.h"
#include "store_test_util.h"
#include "support/temp_dir.h"

namespace tivra::store {
namespace {

using Content = std::shared_ptr<std::vector<std::uint8_t>>;

std::vector<std::string> namePool() {
  std::vector<std::string> names = {
      "", "a", "b", "ab", "abc", "http:///host/404.png", "LocationCache"};
  for (int i = 0; i < 30; ++i)
    names.push_back("http://host/googlechina/maptile?x=" + std::to_string(i * 37) +
                    "&y=9&zoom=" + std::to_string(i % 18));
  const std::string long60(60, 'L');
  names.push_back(long60);
  names.push_back(long60 + "x");
  names.push_back(long60.substr(0, 59));
  names.push_back(std::string(130, 'm') + "1");
  names.push_back(std::string(130, 'm') + "2");
  names.push_back(std::string(130, 'm'));
  return names;
}

class StoreModel : public ::testing::TestWithParam<std::size_t> {};

TEST_P(StoreModel, RandomOperationsMatchTheModel) {
  tivra::test::TempDir dir;
  const auto base = dir / "TivraCache";
  const StoreOptions options{nullptr, GetParam()};
  StorePtr s = store_open(base, kModeReadWrite, options);
  ASSERT_TRUE(s);
  std::map<std::string, Content> model;
  const auto names = namePool();
  std::mt19937 rng(static_cast<unsigned>(GetParam()) * 7919u);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto randomBytes = [&](std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
  };
  // Some lengths at and around block boundaries: a content that fills its last block exactly.
  auto randomLength = [&]() -> std::size_t {
    switch (pick(10)) {
      case 0:
        return pick(60000);
      case 1:
      case 2:
        return 512 * (1 + pick(80)) - 1 + pick(3);
      default:
        return pick(1600);
    }
  };

  for (int op = 0; op < 6000; ++op) {
    const std::string& name = names[pick(names.size())];
    const auto it = model.find(name);
    const bool present = it != model.end();
    SCOPED_TRACE("op " + std::to_string(op) + " on \"" + name.substr(0, 40) + "\"");
    switch (pick(9)) {
      case 0:
      case 1: {  // create and write
        const auto data = randomBytes(randomLength());
        const int h = entry_create(s.get(), name);
        ASSERT_GE(h, 0);
        ASSERT_EQ(entry_write(s.get(), h, data), static_cast<int>(data.size()));
        ASSERT_EQ(entry_close(s.get(), h), 0);
        if (present) {
          *it->second = data;
        } else {
          model[name] = std::make_shared<std::vector<std::uint8_t>>(data);
        }
        break;
      }
      case 2: {  // overwrite at a position inside or at the end of the content
        const int h = entry_open(s.get(), name, kOpenReadWrite);
        ASSERT_EQ(h >= 0, present);
        if (!present) break;
        auto& content = *it->second;
        const std::size_t pos = pick(content.size() + 1);
        const auto data = randomBytes(pick(3) == 0 ? 511 + pick(3) : 1 + pick(1200));
        ASSERT_EQ(entry_seek(s.get(), h, static_cast<std::int64_t>(pos), kSeekSet), 0);
        ASSERT_EQ(entry_write(s.get(), h, data), static_cast<int>(data.size()));
        entry_close(s.get(), h);
        if (content.size() < pos + data.size()) content.resize(pos + data.size());
        std::copy(data.begin(), data.end(), content.begin() + static_cast<std::ptrdiff_t>(pos));
        break;
      }
      case 3: {  // append
        const int h = entry_open(s.get(), name, kOpenReadWrite | kOpenAppend);
        ASSERT_EQ(h >= 0, present);
        if (!present) break;
        const auto data = randomBytes(1 + pick(900));
        ASSERT_EQ(entry_write(s.get(), h, data), static_cast<int>(data.size()));
        entry_close(s.get(), h);
        it->second->insert(it->second->end(), data.begin(), data.end());
        break;
      }
      case 4:
      case 5: {  // read, whole or from a position
        ASSERT_EQ(entry_exists(s.get(), name), present ? 1 : 0);
        const int h = entry_open(s.get(), name, kOpenReadOnly);
        ASSERT_EQ(h >= 0, present);
        if (!present) break;
        const auto& content = *it->second;
        const std::size_t pos = pick(content.size() + 1);
        ASSERT_EQ(entry_seek(s.get(), h, static_cast<std::int64_t>(pos), kSeekSet), 0);
        // A buffer of exactly what is left, or more.
        std::vector<std::uint8_t> buf(content.size() - pos + (pick(2) == 0 ? 0 : 50));
        const int n = entry_read(s.get(), h, buf);
        entry_close(s.get(), h);
        ASSERT_EQ(n, static_cast<int>(content.size() - pos));
        buf.resize(static_cast<std::size_t>(n));
        ASSERT_TRUE(
            std::equal(buf.begin(), buf.end(), content.begin() + static_cast<std::ptrdiff_t>(pos)));
        break;
      }
      case 6: {  // link
        const std::string& other = names[pick(names.size())];
        const bool otherPresent = model.count(other) != 0;
        const int rc = entry_link(s.get(), name, other);
        ASSERT_EQ(rc, present && !otherPresent ? 0 : -1);
        if (rc == 0) model[other] = it->second;
        break;
      }
      case 7: {  // remove
        ASSERT_EQ(entry_remove(s.get(), name), present ? 0 : -1);
        if (present) model.erase(it);
        break;
      }
      case 8: {  // a checkpoint, or a reopen now and then, checking the whole store
        if (pick(25) != 0) {
          if (pick(5) == 0) {
            ASSERT_EQ(store_checkpoint(s.get()), 0);
          }
          break;
        }
        ASSERT_EQ(store_close(std::move(s)), 0);
        s = store_open(base, kModeReadWrite, options);
        ASSERT_TRUE(s);
        const auto problems = verify_store(s.get());
        ASSERT_TRUE(problems.empty()) << problems.front();
        ASSERT_EQ(list_entries(s.get()).size(), model.size());
        break;
      }
    }
  }
  // Final full comparison after a last reopen.
  ASSERT_EQ(store_close(std::move(s)), 0);
  s = store_open(base, kModeRead, options);
  ASSERT_TRUE(s);
  for (const auto& [name, content] : model) {
    const int h = entry_open(s.get(), name, kOpenReadOnly);
    ASSERT_GE(h, 0) << name;
    std::vector<std::uint8_t> buf(content->size() + 1);
    ASSERT_EQ(entry_read(s.get(), h, buf), static_cast<int>(content->size()));
    buf.pop_back();
    EXPECT_EQ(buf, *content) << name;
    entry_close(s.get(), h);
  }
  EXPECT_TRUE(verify_store(s.get()).empty());
}

INSTANTIATE_TEST_SUITE_P(PageSizes, StoreModel, ::testing::Values(256, 4096));

}  // namespace
}  // namespace tivra::store
