#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace tivra::test {

// Compares actual with the golden file tests/data/<relativePath>. With TIVRA_UPDATE_GOLDEN=1 in
// the environment the file is rewritten instead (review the diff before committing it).
::testing::AssertionResult matchesGolden(std::string_view actual, std::string_view relativePath);

}  // namespace tivra::test
