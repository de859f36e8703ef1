#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>

#include "globe/earth.h"
#include "platform/frontend.h"

namespace tivra::search {

// The fixed file names of the documents handed to the globe, in the private temporary directory.
inline constexpr const char* kSearchDocumentName = "srchtemp.kml";
inline constexpr const char* kRouteDocumentName = "navtemp.kml";

// `LoadKmlIntoEarth`: writes the document (UTF-8, no byte-order mark) to path, has the globe
// open it with its messages suppressed, waits, and deletes the file. A file that cannot be
// written is reported through the frontend and nothing is opened. A failing globe call is
// traced and the file still deleted.
enum class LoadResult { Opened, FileFailed, GlobeFailed };
LoadResult LoadKmlIntoEarth(globe::Earth& earth, std::string_view kml,
                            const std::filesystem::path& path, platform::Frontend& frontend,
                            std::chrono::milliseconds wait = std::chrono::milliseconds(300));

// Writes the whole text to path: into a new file beside it that replaces it only when complete
// and on disk, keeping the old file's permissions. A symbolic link stays and its target gets
// the text; a pipe or device is written as it stands. False with the reason in error; what was
// at path before is then untouched.
bool writeWholeFile(const std::filesystem::path& path, std::string_view text, std::string& error);

}  // namespace tivra::search
