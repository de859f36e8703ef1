#pragma once

#include <string_view>

namespace tivra::platform {

// What the user sees. The GUI shows message boxes; a headless run writes one line per box.
class Frontend {
 public:
  virtual ~Frontend() = default;
  // Never blocks the caller for long: a failing peer must not hold up a server thread.
  virtual void messageBox(std::string_view text, std::string_view caption) = 0;
  // A failure the user must act on: the GUI marks it with the error icon; elsewhere a box.
  virtual void errorBox(std::string_view text, std::string_view caption) {
    messageBox(text, caption);
  }
};

// Writes "caption: text" as one line on standard error (a trailing newline of text is dropped).
class HeadlessFrontend final : public Frontend {
 public:
  void messageBox(std::string_view text, std::string_view caption) override;
};

}  // namespace tivra::platform
