// A process environment as a value, and the "NAME=value" form a child process is given.
//
// Environment is a plain map. processEnvironment() reads this process's environment and must
// not race with setenv/putenv.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace tarno::assistant {

// A process environment as name -> value.
using Environment = std::map<std::string, std::string, std::less<>>;

// A snapshot of this process's environment. Entries without "=" are skipped; when a name occurs
// twice the first entry wins, as getenv() sees it.
Environment processEnvironment();

// "NAME=value" entries in name order: what ChildProcess::Options::environment holds.
std::vector<std::string> environmentEntries(const Environment& environment);

}  // namespace tarno::assistant
