// The private temporary directory: made private, and refused when someone else could reach it.
#include "platform/temp_paths.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "support/temp_dir.h"

namespace tivra::platform {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0);
  return info.st_mode & 07777;
}

TEST(TempPathsTest, MakesTheDirectoryWithOwnerOnlyAccessAndReusesIt) {
  test::TempDir parent;
  std::string error;
  const auto dir = privateDirectoryIn(parent.path(), "tivra", error);
  ASSERT_TRUE(dir) << error;
  EXPECT_EQ(*dir, parent / "tivra");
  EXPECT_EQ(modeOf(*dir), 0700u);
  std::ofstream(*dir / "tivra.kml") << "kept";
  const auto again = privateDirectoryIn(parent.path(), "tivra", error);
  ASSERT_TRUE(again) << error;
  EXPECT_TRUE(fs::exists(*again / "tivra.kml"));
}

struct RefusedCase {
  const char* name;
  void (*plant)(const fs::path& at);
};

class TempPathsRefusedTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(TempPathsRefusedTest, ExistingEntryIsNotUsed) {
  test::TempDir parent;
  GetParam().plant(parent / "tivra");
  std::string error;
  EXPECT_FALSE(privateDirectoryIn(parent.path(), "tivra", error));
  EXPECT_NE(error.find("tivra"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TempPathsRefusedTest,
    ::testing::Values(
        RefusedCase{"GroupReadable",
                    [](const fs::path& at) {
                      fs::create_directory(at);
                      fs::permissions(at, fs::perms::owner_all | fs::perms::group_read);
                    }},
        RefusedCase{"WorldWritable",
                    [](const fs::path& at) {
                      fs::create_directory(at);
                      fs::permissions(at, fs::perms::all);
                    }},
        RefusedCase{"LinkToAPrivateDirectory",
                    [](const fs::path& at) {
                      fs::create_directory(at.parent_path() / "elsewhere");
                      fs::permissions(at.parent_path() / "elsewhere", fs::perms::owner_all);
                      fs::create_directory_symlink(at.parent_path() / "elsewhere", at);
                    }},
        RefusedCase{"PlainFile", [](const fs::path& at) { std::ofstream(at) << "x"; }}),
    [](const auto& tpi) { return std::string(tpi.param.name); });

TEST(TempPathsTest, BadNamesAreRefused) {
  test::TempDir parent;
  std::string error;
  for (const char* name : {"", ".", "..", "a/b"})
    EXPECT_FALSE(privateDirectoryIn(parent.path(), name, error)) << name;
}

TEST(TempPathsTest, RuntimeDirectoryIsPreferred) {
  test::TempDir runtime;
  const char* old = std::getenv("XDG_RUNTIME_DIR");
  const std::string saved = old ? old : "";
  ::setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  std::string error;
  const auto dir = privateTempDirectory(error);
  if (old) {
    ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
  } else {
    ::unsetenv("XDG_RUNTIME_DIR");
  }
  ASSERT_TRUE(dir) << error;
  EXPECT_EQ(*dir, runtime / "tivra");
}

}  // namespace
}  // namespace tivra::platform
