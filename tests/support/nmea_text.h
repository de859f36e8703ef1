#pragma once

#include <string>
#include <string_view>

namespace tivra::test {

// "$" + body + "*" + its checksum + CR LF.
std::string nmeaSentence(std::string_view body);

// A u-blox UBX frame (NAV-PVT sized) as receivers interleave them with NMEA: binary, with NUL
// bytes, line ends and "$" among its payload bytes.
std::string ubxFrame();

}  // namespace tivra::test
