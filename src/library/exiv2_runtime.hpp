// exiv2 set up once per process: its log silenced (errors reach users as results, not as
// lines on the server's standard error), the XMP toolkit initialised under a lock so that
// threads may read files at the same time, and HEIF/AVIF/CR3 reading switched on.
#pragma once

namespace tarno::library {

void ensureExiv2();

}  // namespace tarno::library
