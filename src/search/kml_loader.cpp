#include "search/kml_loader.h"

#include <cstdint>
#include <span>
#include <system_error>
#include <thread>

#include "platform/log.h"
#include "platform/read_file.h"

namespace tivra::search {

bool writeWholeFile(const std::filesystem::path& path, std::string_view text, std::string& error) {
  return platform::writeRegularFile(
      path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), error);
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
