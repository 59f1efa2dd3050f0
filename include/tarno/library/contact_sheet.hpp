// A contact sheet: every photo of a library as the app shows it (its edit stack developed),
// laid out in a grid of square cells, each with its file name under it, and written as one PNG.
// The library answers the requests, so the sheet shows exactly what preview.render would.
#pragma once

#include <filesystem>
#include <string>

#include "tarno/library/library.hpp"

namespace tarno::library {

struct ContactSheetOptions {
  int cellEdge = 240;  // pixels; each preview is fitted into a cell and centred
  int gap = 8;         // pixels of white between and around the cells
  int columns = 0;     // 0: about as many as rows
  // At most this many photos, in library.list order (newest first): the sheet stays a
  // picture one can open, and its memory bounded.
  int maxPhotos = 400;
};

struct ContactSheetOutcome {
  int photos = 0;   // cells filled
  int skipped = 0;  // photos whose preview could not be rendered
};

// Writes the sheet to `out` through a temporary file beside it, renamed into place. False with
// `error` set when the library lists nothing or the sheet cannot be written.
bool writeContactSheet(Library& library, const std::filesystem::path& out,
                       const ContactSheetOptions& options, ContactSheetOutcome* outcome,
                       std::string* error);

}  // namespace tarno::library
