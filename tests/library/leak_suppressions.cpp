// The HEIF encoder (x265, under libheif) keeps one allocation for the life of the process; the
// tests write HEIF files, so LeakSanitizer would blame them for it.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:x265_malloc\n";
}
