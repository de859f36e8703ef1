#pragma once

// Code page 936 (GBK) at the program's edges: the program holds text as UTF-8, the search and
// route services read and write GBK bytes.

#include <optional>
#include <string>
#include <string_view>

namespace tivra::platform {

// The GBK bytes of UTF-8 text; nullopt when the text is not UTF-8 or holds a character that
// GBK cannot write.
std::optional<std::string> utf8ToGbk(std::string_view utf8);

// UTF-8 text of GBK bytes. A byte that does not start a GBK character becomes U+FFFD and the
// conversion goes on after it, so hostile bytes never stop or shorten the text; a lead byte
// with a bad trail byte is replaced alone, so an ASCII trail ('"', '<') is kept.
std::string gbkToUtf8(std::string_view gbk);

}  // namespace tivra::platform
