#pragma once

// A blocking HTTP GET over POSIX sockets for tests only: numeric IPv4 hosts and "localhost",
// plain http, 2 s time-outs, bodies up to 32 MiB. Answers without a status line (bare bodies)
// count as status 200.

#include <string_view>

#include "globe/globe_deps.h"

namespace tivra::test {

globe::HttpAnswer testHttpGet(std::string_view url);

}  // namespace tivra::test
