#pragma once

// The program with its window. No Qt here: main() calls it without seeing the toolkit.

#include "app/command_line.h"

namespace tivra::ui {

// Whether a window can be shown at all: a display, a Wayland socket or a chosen Qt platform.
bool displayAvailable();

// Runs the window until it is closed; returns the exit status.
int runGui(const app::CommandLine& commandLine, int argc, char** argv);

}  // namespace tivra::ui
