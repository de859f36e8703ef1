#include "search/kml_loader.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/log.h"

namespace tivra::search {

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

}  // namespace

bool writeWholeFile(const std::filesystem::path& path, std::string_view text, std::string& error) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size();
  const int writeErrno = errno;
  // fclose flushes: a full disk shows here.
  const bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) {
    error = std::strerror(written ? errno : writeErrno);
    std::error_code ec;
    std::filesystem::remove(path, ec);  // never leave a cut document behind
    return false;
  }
  return true;
}

LoadResult LoadKmlIntoEarth(globe::Earth& earth, std::string_view kml,
                            const std::filesystem::path& path, platform::Frontend& frontend,
                            std::chrono::milliseconds wait) {
  std::string error;
  if (!writeWholeFile(path, kml, error)) {
    frontend.messageBox("无法写入文件 " + path.string() + " (" + error + ")", "Tivra");
    return LoadResult::FileFailed;
  }
  bool opened = false;
  try {
    earth.OpenKmlFile(path.string(), true);
    opened = true;
  } catch (const globe::EarthError& e) {
    platform::debugTrace(std::string("globe: cannot open ") + path.string() + ": " + e.what());
  }
  std::this_thread::sleep_for(wait);
  std::error_code ec;
  std::filesystem::remove(path, ec);
  return opened ? LoadResult::Opened : LoadResult::GlobeFailed;
}

}  // namespace tivra::search
