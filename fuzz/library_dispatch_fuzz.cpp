// Arbitrary bytes as request lines to the app's method handlers, over a small library: two
// images in a temporary folder, scanned once, not watched. Every line must get an answer or
// nothing without a crash, a hang or a thrown exception; state carries over between inputs the
// way it does between a client's requests.
#include <cstdint>
#include <string_view>

#include "small_library.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static tarno::fuzzing::SmallLibrary small;
  (void)small.library->handleLine(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
