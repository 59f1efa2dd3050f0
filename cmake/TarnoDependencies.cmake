find_program(TARNO_CCACHE ccache)
if(TARNO_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TARNO_CCACHE})
endif()

set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
find_package(simdjson CONFIG REQUIRED)
# The library was built with threads enabled, which changes dom::parser's layout: every file that
# includes <simdjson.h> must agree, or the linker mixes two layouts of the same inline functions.
add_compile_definitions(SIMDJSON_THREADS_ENABLED=1)
find_package(ICU REQUIRED COMPONENTS uc i18n)
# The native engine's chat client posts to a local model server.
find_package(CURL REQUIRED)

find_library(TARNO_UUID_LIBRARY uuid REQUIRED)
find_path(TARNO_UUID_INCLUDE uuid/uuid.h REQUIRED)
add_library(tarno_uuid INTERFACE)
# Installed, it names the library only and lets the consumer's linker find it.
target_link_libraries(tarno_uuid INTERFACE $<BUILD_INTERFACE:${TARNO_UUID_LIBRARY}> $<INSTALL_INTERFACE:uuid>)
target_include_directories(tarno_uuid INTERFACE $<BUILD_INTERFACE:${TARNO_UUID_INCLUDE}>)

if(TARNO_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(TARNO_BUILD_BENCH)
  find_package(benchmark REQUIRED)
endif()

# The headless app's library module only: its store, the files' metadata and their pixels.
# exiv2 is GPL-2.0-or-later and libvips LGPL-2.1-or-later, so nothing the app links may use them.
find_package(SQLite3 REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(EXIV2 REQUIRED IMPORTED_TARGET exiv2)
pkg_check_modules(VIPS REQUIRED IMPORTED_TARGET vips-cpp)
# The page of tarno-headless --web: a thread per connection, bounded, with early answers
# before a body is read (docs/decisions.md).
pkg_check_modules(MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
