// fontconfig, which the contact sheet's captions load through the image library's text engine,
// keeps its font configuration for the life of the process; LeakSanitizer builds would report it
// at exit. Only a sanitizer runtime calls this.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
