#pragma once

#include <string>
#include <string_view>

namespace tivra::test {

// "$" + body + "*" + its checksum + CR LF.
std::string nmeaSentence(std::string_view body);

}  // namespace tivra::test
