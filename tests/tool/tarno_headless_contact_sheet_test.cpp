// tarno-headless --contact-sheet: one scan of a copy of the sample library, every photo in a
// grid written to one PNG with their file names, the photos untouched, and the option's usage
// rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/support/child_process.hpp"

namespace tarno::assistant {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::map<fs::path, std::string> filesUnder(const fs::path& root) {
  std::map<fs::path, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[e.path()] = readAll(e.path());
  }
  return files;
}

// The big-endian 32-bit number at `at` of a PNG file.
std::uint32_t pngNumber(const std::string& png, std::size_t at) {
  return (std::uint32_t{static_cast<unsigned char>(png[at])} << 24) |
         (std::uint32_t{static_cast<unsigned char>(png[at + 1])} << 16) |
         (std::uint32_t{static_cast<unsigned char>(png[at + 2])} << 8) |
         std::uint32_t{static_cast<unsigned char>(png[at + 3])};
}

ExitStatus run(const std::vector<std::string>& arguments) {
  auto child = std::get<ChildProcess>(
      ChildProcess::spawn(ChildProcess::Options(TARNO_HEADLESS_PATH)
                              .withArguments(arguments)
                              .withEnvironment({"PATH=/usr/bin:/bin"})
                              .withStandardOutput(ChildProcess::Stdio::devNull())
                              .withStandardError(ChildProcess::Stdio::devNull())));
  return child.wait();
}

TEST(TarnoHeadlessContactSheet, WritesEveryPhotoInAGridAndTouchesNoPhoto) {
  fakes::TempDir dir;
  const fs::path photos = fs::path(dir.path()) / "photos";
  fs::copy(TARNO_SAMPLE_LIBRARY, photos, fs::copy_options::recursive);
  const auto before = filesUnder(photos);
  const fs::path sheet = fs::path(dir.path()) / "sheet.png";
  const fs::path store = fs::path(dir.path()) / "store";

  ASSERT_EQ(run({"--contact-sheet", sheet.string(), "--store", store.string(), photos.string()}),
            ExitStatus::exitedWith(0));
  const std::string png = readAll(sheet);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
  // Cells of 240 pixels with a 24-pixel caption strip under each, 8 between and around them:
  // both sides are a whole number of cells.
  const std::uint32_t width = pngNumber(png, 16);
  const std::uint32_t height = pngNumber(png, 20);
  EXPECT_EQ((width - 8) % 248, 0u) << width;
  EXPECT_EQ((height - 8) % 272, 0u) << height;
  EXPECT_GE(width, 2 * 248u + 8);
  EXPECT_EQ(filesUnder(photos), before);
  for (const auto& e : fs::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  }
}

TEST(TarnoHeadlessContactSheet, RefusesAMissingFolderAndASocketAlongside) {
  fakes::TempDir dir;
  const std::string sheet = dir.path() + "/sheet.png";
  EXPECT_EQ(run({"--contact-sheet", sheet, dir.path() + "/none"}), ExitStatus::exitedWith(2));
  EXPECT_EQ(run({"--contact-sheet", sheet, "--ipc", dir.path() + "/s.sock", dir.path()}),
            ExitStatus::exitedWith(2));
  EXPECT_EQ(run({"--contact-sheet"}), ExitStatus::exitedWith(2));
  // An empty folder has nothing to show.
  fs::create_directories(dir.path() + "/empty");
  EXPECT_EQ(
      run({"--contact-sheet", sheet, "--store", dir.path() + "/store", dir.path() + "/empty"}),
      ExitStatus::exitedWith(1));
  EXPECT_FALSE(fs::exists(sheet));
}

}  // namespace
}  // namespace tarno::assistant
