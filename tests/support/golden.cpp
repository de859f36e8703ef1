#include "support/golden.h"

#include <cstdlib>
#include <fstream>

#include "support/process.h"

namespace tivra::test {

::testing::AssertionResult matchesGolden(std::string_view actual, std::string_view relativePath) {
  const std::string path = std::string(TIVRA_TEST_DATA_DIR) + "/" + std::string(relativePath);
  const char* update = std::getenv("TIVRA_UPDATE_GOLDEN");
  if (update != nullptr && std::string_view(update) == "1") {
    std::ofstream(path, std::ios::binary) << actual;
    return ::testing::AssertionSuccess() << "rewrote " << path;
  }
  const std::string expected = readFile(path);
  if (expected == actual) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure()
         << path << " differs at byte " << at << " (golden " << expected.size() << " bytes, actual "
         << actual.size() << "): golden \"" << expected.substr(at, 60) << "\" vs actual \""
         << actual.substr(at, 60) << "\"";
}

}  // namespace tivra::test
