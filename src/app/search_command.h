#pragma once

// The one-shot commands `tivra search` and `tivra route`: the search and route documents of
// the program's own code paths, written to a file or standard output, for users who script.

#include <cstdio>
#include <span>

namespace tivra::app {

// True when args name one of the commands (args[1] is "search" or "route").
bool isSearchCommand(std::span<const char* const> args);

// Runs the command; the exit status: 0 done (zero hits included), 1 the store or the service
// failed, 2 bad arguments. Messages go to err, the document to out unless -o names a file. A
// route with failed legs still writes the document of the others, and ends with 1.
int runSearchCommand(std::span<const char* const> args, std::FILE* out, std::FILE* err);

}  // namespace tivra::app
