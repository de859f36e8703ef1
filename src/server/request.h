#pragma once

#include <string_view>

namespace tivra::server {

// Views into one request's text (the bytes of its single read, up to the first zero byte).
// Every result lies inside the request, so no handler can read past its end.

// Whether the bytes received so far hold a whole request: its header has ended with an empty
// line, its request line has ended without a version (a simple request), or a zero byte has
// ended the text (nothing after it is ever read).
bool requestComplete(std::string_view received);

// The first token of the text cut at "\n".
std::string_view firstLine(std::string_view request);
// The second token of the first line cut at " " (the first is the method).
std::string_view requestUrl(std::string_view request);
// The URL after its first "="; the whole URL when it has none.
std::string_view queryValue(std::string_view url);
// The URL after the first occurrence of marker ("ImageServer/", "KmzServer/"); empty when the
// marker does not occur.
std::string_view endpointRemainder(std::string_view url, std::string_view marker);

}  // namespace tivra::server
