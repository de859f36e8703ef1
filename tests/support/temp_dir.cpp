#include "support/temp_dir.h"

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace tivra::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tivra-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

}  // namespace tivra::test
