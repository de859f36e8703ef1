#include "platform/gbk.h"

#include <iconv.h>

#include <cerrno>
#include <utility>

namespace tivra::platform {

namespace {

// Owns one iconv conversion descriptor.
class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : m_cd(::iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) ::iconv_close(m_cd);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;

  bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return m_cd; }

 private:
  iconv_t m_cd;
};

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Converts in; on a bad or cut sequence either gives up (strict) or writes the replacement and
// skips one byte. False when strict and the input could not be converted whole.
bool convert(const IconvHandle& cd, std::string_view in, std::string& out, bool strict) {
  out.clear();
  if (!cd.valid()) return false;
  char* inPtr = const_cast<char*>(in.data());  // iconv's signature; it never writes the input
  std::size_t inLeft = in.size();
  std::string buffer(in.size() * 2 + 16, '\0');
  while (inLeft > 0) {
    char* outPtr = buffer.data();
    std::size_t outLeft = buffer.size();
    const std::size_t result = ::iconv(cd.get(), &inPtr, &inLeft, &outPtr, &outLeft);
    out.append(buffer.data(), buffer.size() - outLeft);
    if (result != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;  // the buffer is flushed into out; go on
    if (strict) return false;
    // EILSEQ or EINVAL: one byte cannot start a character here.
    out.append(kReplacement);
    ++inPtr;
    --inLeft;
    ::iconv(cd.get(), nullptr, nullptr, nullptr, nullptr);
  }
  return true;
}

}  // namespace

std::optional<std::string> utf8ToGbk(std::string_view utf8) {
  const IconvHandle cd("GBK", "UTF-8");
  std::string out;
  if (!convert(cd, utf8, out, true)) return std::nullopt;
  return out;
}

std::string gbkToUtf8(std::string_view gbk) {
  const IconvHandle cd("UTF-8", "GBK");
  std::string out;
  convert(cd, gbk, out, false);
  return out;
}

}  // namespace tivra::platform
