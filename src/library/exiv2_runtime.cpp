#include "library/exiv2_runtime.hpp"

#include <exiv2/exiv2.hpp>
#include <mutex>

namespace tarno::library {
namespace {

std::mutex xmpMutex;

void lockXmp(void* data, bool lock) {
  auto* mutex = static_cast<std::mutex*>(data);
  if (lock)
    mutex->lock();
  else
    mutex->unlock();
}

}  // namespace

void ensureExiv2() {
  static std::once_flag once;
  std::call_once(once, [] {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    Exiv2::XmpParser::initialize(lockXmp, &xmpMutex);
    Exiv2::enableBMFF(true);
  });
}

}  // namespace tarno::library
