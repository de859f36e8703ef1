// Files opened by name: only a regular file is used, and nothing else under the name can make
// the program wait.
#include "platform/read_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "support/hang_guard.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tivra::platform {
namespace {

enum class Kind { kRegular, kFifo, kLinkToFifo, kDirectory, kDevice };

// Puts a node of the kind at `path`.
void make(Kind kind, const std::filesystem::path& path) {
  switch (kind) {
    case Kind::kRegular:
      std::ofstream(path, std::ios::binary) << "old";
      break;
    case Kind::kFifo:
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
      break;
    case Kind::kLinkToFifo:
      ASSERT_EQ(::mkfifo((path.string() + ".fifo").c_str(), 0600), 0);
      std::filesystem::create_symlink(path.filename().string() + ".fifo", path);
      break;
    case Kind::kDirectory:
      std::filesystem::create_directory(path);
      break;
    case Kind::kDevice:
      std::filesystem::create_symlink("/dev/zero", path);  // endless when read
      break;
  }
}

class NamedFile : public ::testing::TestWithParam<Kind> {
 protected:
  test::TempDir dir;
  std::filesystem::path path = dir / "file";
};

TEST_P(NamedFile, OnlyARegularFileIsOpenedReadOrWritten) {
  make(GetParam(), path);
  const bool regular = GetParam() == Kind::kRegular;
  const auto kind = std::filesystem::status(path).type();
  test::HangGuard guard(20);

  RegularFile opened = openRegularFile(path, O_RDONLY);
  EXPECT_EQ(opened.fd.valid(), regular) << opened.error;
  EXPECT_EQ(opened.error, regular ? "" : "not a regular file");
  // The descriptor blocks again once the name proved to be a regular file.
  if (regular) {
    EXPECT_EQ(::fcntl(opened.fd.get(), F_GETFL) & O_NONBLOCK, 0);
  }

  std::string error;
  const auto bytes = readRegularFile(path, 1 << 20, &error);
  EXPECT_EQ(bytes.has_value(), regular) << error;
  EXPECT_EQ(error.empty(), regular);

  const std::vector<std::uint8_t> text = {'n', 'e', 'w'};
  error.clear();
  EXPECT_EQ(writeRegularFile(path, text, error), regular) << error;
  EXPECT_EQ(error.empty(), regular);
  // A refused name is left as it was.
  EXPECT_EQ(std::filesystem::status(path).type(), kind);
  if (regular) {
    EXPECT_EQ(test::readFile(path), "new");
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, NamedFile,
                         ::testing::Values(Kind::kRegular, Kind::kFifo, Kind::kLinkToFifo,
                                           Kind::kDirectory, Kind::kDevice));

TEST(ReadRegularFile, LargerThanTheLimitIsRefused) {
  test::TempDir dir;
  std::ofstream(dir / "big", std::ios::binary) << std::string(101, 'x');
  std::string error;
  EXPECT_FALSE(readRegularFile(dir / "big", 100, &error));
  EXPECT_EQ(error, "larger than 100 bytes");
  EXPECT_EQ(readRegularFile(dir / "big", 101)->size(), 101u);
}

}  // namespace
}  // namespace tivra::platform
