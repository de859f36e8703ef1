#pragma once

#include <cstddef>
#include <filesystem>

#include "support/temp_dir.h"

namespace tivra::test {

// A directory on a small file system that a test can fill up and empty again: a tmpfs mounted
// there when the test may mount (as root). Otherwise it is a plain directory that never fills:
// mounted() tells which.
class SmallDisk {
 public:
  explicit SmallDisk(std::size_t bytes = std::size_t{8} << 20);
  ~SmallDisk();
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  const std::filesystem::path& path() const { return m_path; }
  bool mounted() const { return m_mounted; }
  // Takes every free byte (when mounted); release() gives them back.
  void fill();
  void release();

 private:
  TempDir m_dir;
  std::filesystem::path m_path;
  bool m_mounted = false;
  bool m_full = false;
};

}  // namespace tivra::test
