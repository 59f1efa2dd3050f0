// Copies and moves of the methods that bring files in or take them out of the folder (writes of
// our own files: atomic_file.hpp). Neither rewrites, truncates or unlinks
// a file that already exists at its destination or source: copies are written under a
// temporary name and renamed into place, and originals are only ever renamed (into the trash)
// or read (when copied in). Both return an empty path with a message instead of throwing.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tarno::library {

// Copies `source` to a new file in `folder` named like it (with " (2)", " (3)"… before the
// extension when the name is taken); the copy is synced before it appears under its name.
// Returns the new path, or empty with an error.
std::filesystem::path copyIntoFolder(const std::filesystem::path& source,
                                     const std::filesystem::path& folder, std::string* error);

// Renames `file` to `destination`, or to a free name beside it like copyIntoFolder picks,
// creating the destination's folders (0700). Never replaces anything and never copies: across
// file systems it fails. Returns the path used, or empty with an error.
std::filesystem::path moveWithoutReplacing(const std::filesystem::path& file,
                                           const std::filesystem::path& destination,
                                           std::string* error);

}  // namespace tarno::library
