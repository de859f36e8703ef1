#include "app/command_line.h"

#include <string_view>

#include "platform/text.h"

namespace tivra::app {

std::optional<CommandLine> parseCommandLine(std::span<const char* const> args, std::string& error) {
  CommandLine cl;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--headless") {
      cl.headless = true;
    } else if (arg == "--verbose") {
      cl.verbose = true;
    } else if (arg == "--help" || arg == "-h") {
      cl.help = true;
    } else if (arg == "--data-dir") {
      if (i + 1 >= args.size()) {
        error = "--data-dir needs a directory";
        return std::nullopt;
      }
      cl.dataDirectory = args[++i];
    } else if (arg.size() == 3 && (arg[0] == '-' || arg[0] == '/') &&
               platform::equalsIgnoreCase(arg.substr(1), "WW")) {
      cl.useEarth = false;
    } else {
      error = "unknown option: " + std::string(arg);
      return std::nullopt;
    }
  }
  return cl;
}

std::string usageText() {
  return "usage: tivra --headless [-WW] [--data-dir DIR] [--verbose]\n"
         "  --headless      run the map server without any window\n"
         "  -WW, /WW        run without the globe (tiles are always downloaded)\n"
         "  --data-dir DIR  directory of Tivra.ini and the tile store (default: .)\n"
         "  --verbose       debug traces on standard error\n";
}

}  // namespace tivra::app
