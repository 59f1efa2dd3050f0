// Where the claude CLI is looked for, in which order, and what counts as executable.
#include "tarno/assistant/engine/claude_locator.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "fakes/fake_claude_script.hpp"

namespace tarno::assistant {
namespace {

using Paths = std::vector<std::string>;

// An executable test that says yes for the given paths and remembers every question.
struct Probe {
  Paths executables{};
  Paths asked{};
  ClaudeLocator::ExecutableTest test() {
    return [this](const std::string& path) {
      asked.push_back(path);
      return std::find(executables.begin(), executables.end(), path) != executables.end();
    };
  }
};

const Paths kCandidates = {"/opt/homebrew/bin/claude",         "/usr/local/bin/claude",
                           "/home/a/.claude/local/claude",     "/home/a/.local/bin/claude",
                           "/home/a/.npm-global/bin/claude",   "/home/a/.bun/bin/claude",
                           "/opt/homebrew/opt/node/bin/claude"};

TEST(ClaudeLocatorTest, TriesCandidatesThenPathPiecesUnnormalised) {
  Probe probe;
  EXPECT_EQ(ClaudeLocator::locate("/home/a", "::/usr/bin:/opt/x/:~/bin:~b:", probe.test()),
            std::nullopt);
  Paths expected = kCandidates;
  expected.insert(expected.end(),
                  {"/usr/bin/claude", "/opt/x//claude", "/home/a/bin/claude", "/home/ab/claude"});
  EXPECT_EQ(probe.asked, expected);

  for (std::optional<std::string_view> path :
       {std::optional<std::string_view>{}, std::optional<std::string_view>{":::"}}) {
    Probe candidatesOnly;
    EXPECT_EQ(ClaudeLocator::locate("/home/a", path, candidatesOnly.test()), std::nullopt);
    EXPECT_EQ(candidatesOnly.asked, kCandidates);
  }
}

TEST(ClaudeLocatorTest, FirstHitWinsAndStopsTheSearch) {
  Probe both{.executables = {"/usr/local/bin/claude", "/opt/homebrew/bin/claude"}};
  EXPECT_EQ(ClaudeLocator::locate("/home/a", "/usr/local/bin", both.test()),
            "/opt/homebrew/bin/claude");
  EXPECT_EQ(both.asked, Paths{"/opt/homebrew/bin/claude"});

  Probe onPath{.executables = {"/usr/bin/claude", "/home/a/bin/claude"}};
  EXPECT_EQ(ClaudeLocator::locate("/home/a", "/nope:~/bin:/usr/bin", onPath.test()),
            "/home/a/bin/claude");
}

TEST(ClaudeLocatorTest, TildeIsPlainConcatenation) {
  EXPECT_EQ(ClaudeLocator::expandTilde("~/x", "/Users/a/"), "/Users/a//x");
  EXPECT_EQ(ClaudeLocator::expandTilde("/a/~/b", "/Users/a"), "/a/~/b");
  EXPECT_EQ(ClaudeLocator::expandTilde("", "/Users/a"), "");
}

TEST(ClaudeLocatorTest, OnlyExecutableRegularFilesCount) {
  fakes::TempDir dir;
  const std::string root = dir.path();
  const auto makeFile = [](const std::string& path, mode_t mode) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), mode);
  };
  makeFile(root + "/plain/claude", 0644);
  std::filesystem::create_directories(root + "/dir/claude");
  makeFile(root + "/good/claude", 0755);
  std::filesystem::create_symlink(root + "/good/claude", root + "/link");

  EXPECT_TRUE(ClaudeLocator::isExecutableFile(root + "/link"));
  EXPECT_FALSE(ClaudeLocator::isExecutableFile(root + "/missing"));

  // Only files inside the temporary tree count, whatever this machine has installed.
  const auto insideOnly = [&](const std::string& path) {
    return path.starts_with(root) && ClaudeLocator::isExecutableFile(path);
  };
  const std::string pathEnv = root + "/plain:" + root + "/dir:" + root + "/good";
  EXPECT_EQ(ClaudeLocator::locate(root + "/home", pathEnv, insideOnly), root + "/good/claude");
}

}  // namespace
}  // namespace tarno::assistant
