// The headless app under a large library: `library.query` with a date range, a minimum rating
// and two words of text over 100,000 photos, through tarno-headless's socket, against one
// hand-written SQL statement for the same filter run by the same SQLite in the same run; and the
// memory of the tarno-headless process holding those photos.
//
// The store is filled through its scanner interface (fileFound with synthetic records: dates over
// fifteen years, five cities in the paths, five camera makes), and every file is created on disk
// with the very size and time the record carries, so the executable's first scan finds the
// folder unchanged and reads no file.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "bench_report.hpp"
#include "library/store.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/protocol/socket_io.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarno::assistant::ChildProcess;
using Clock = std::chrono::steady_clock;

constexpr int photoCount = 100'000;
constexpr int queryRuns = 150;
constexpr const char* cities[] = {"paris", "tokyo", "lisbon", "cairo", "lima"};
constexpr const char* makes[] = {"Canon", "NIKON", "FUJIFILM", "SONY", "Apple"};
// 2010-01-01 and fifteen years of seconds.
constexpr std::int64_t firstCapture = 1'262'304'000;
constexpr std::int64_t captureSpan = 15LL * 365 * 86'400;

// The filter, as request parameters and as the bounds of the hand-written statement.
constexpr const char* queryParams =
    R"({"dateFrom":"2015-01-01T00:00:00Z","dateTo":"2020-12-31T23:59:59Z","minRating":3,)"
    R"("text":"paris canon","limit":200})";
constexpr std::int64_t dateFrom = 1'420'070'400;
constexpr std::int64_t dateTo = 1'609'459'199;

struct TempDir {
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarno-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

// The folder's files (one byte each) and the store's records of them.
void fillLibrary(const fs::path& photos, const fs::path& storeDir) {
  tarno::library::Store store(storeDir);
  std::uint64_t seed = 88172645463325252ULL;
  const auto next = [&] {  // xorshift: the same library every run
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  for (int i = 0; i < photoCount; ++i) {
    const std::int64_t capture = firstCapture + static_cast<std::int64_t>(next() % captureSpan);
    const char* city = cities[next() % 5];
    const std::string folder =
        std::to_string(2010 + (capture - firstCapture) / 31'536'000) + "-" + city;
    char name[32];
    std::snprintf(name, sizeof name, "IMG_%06d.jpg", i);
    const std::string relative = folder + "/" + name;
    fs::create_directories(photos / folder);
    std::ofstream(photos / relative) << 'x';
    struct stat info {};
    ::stat((photos / relative).c_str(), &info);

    tarno::library::ScannedFile file;
    file.relativePath = relative;
    file.stamp = {
        .size = info.st_size,
        .mtimeNs = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec};
    auto& meta = file.metadata;
    meta.info.captureDate = tarno::core::Date{std::chrono::seconds{capture}};
    meta.info.cameraMake = makes[next() % 5];
    meta.info.pixelWidth = 6000;
    meta.info.pixelHeight = 4000;
    meta.info.formatLabel = "JPEG";
    meta.info.originalFilename = name;
    store.fileFound(file);
    store.hashComputed(relative, next());
  }
  store.scanFinished();
  store.write(
      [](tarno::library::Database& db) { db.exec("UPDATE photos SET rating = (rowid * 7) % 6"); });
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

std::optional<long> statusKiB(pid_t pid, std::string_view field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field)) return std::stol(line.substr(field.size() + 1));
  }
  return std::nullopt;
}

// CPU time the process has used, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const auto close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  long utime = 0, stime = 0;
  for (int i = 0; i < 11; ++i)
    fields >> skip;
  fields >> utime >> stime;
  return utime + stime;
}

struct Connection {
  explicit Connection(const std::string& path) : fd(tarno::protocol::SocketIO::connect(path)) {}
  std::string call(const std::string& line) {
    if (!tarno::protocol::SocketIO::writeAll(fd.get(), line + "\n")) return {};
    for (;;) {
      if (const auto end = pending.find('\n'); end != std::string::npos) {
        std::string answer = pending.substr(0, end);
        pending.erase(0, end + 1);
        return answer;
      }
      char buffer[65536];
      const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n <= 0) return {};
      pending.append(buffer, static_cast<std::size_t>(n));
    }
  }
  tarno::protocol::unique_fd fd;
  std::string pending;
};

// Microseconds per run of the hand-written statement, stepping through every row it gives.
std::vector<double> directRuns(const fs::path& database, std::int64_t& matches) {
  sqlite3* db = nullptr;
  std::vector<double> micros;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return micros;
  }
  // The page cache the store's own connection has, so that both read the same way.
  sqlite3_exec(db, "PRAGMA cache_size = -4096", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT id, count(*) OVER () FROM photos WHERE capture BETWEEN ?1 AND ?2 AND "
                     "rating >= 3 AND instr(search, 'paris') > 0 AND instr(search, 'canon') > 0 "
                     "AND present = 1 AND hidden = 0 ORDER BY capture DESC LIMIT 200",
                     -1, &st, nullptr);
  for (int run = 0; run < queryRuns; ++run) {
    const auto start = Clock::now();
    sqlite3_reset(st);
    sqlite3_bind_int64(st, 1, dateFrom);
    sqlite3_bind_int64(st, 2, dateTo);
    std::size_t bytes = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
      bytes += static_cast<std::size_t>(sqlite3_column_bytes(st, 0));
      matches = sqlite3_column_int64(st, 1);
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (bytes == 0) matches = 0;
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return micros;
}

void verdict(bool met) {
  std::printf("  -> %s\n", met ? "goal met" : "GOAL NOT MET");
}

}  // namespace

int main() {
  TempDir dir;
  const fs::path photos = dir.path / "photos", store = dir.path / "store";
  const std::string socket = (dir.path / "ipc.sock").string();
  const auto fillStart = Clock::now();
  fillLibrary(photos, store);
  std::printf("library of %d photos filled in %.1f s\n", photoCount,
              std::chrono::duration<double>(Clock::now() - fillStart).count());

  auto child = std::get<ChildProcess>(ChildProcess::spawn(
      ChildProcess::Options(TARNO_HEADLESS_PATH)
          .withArguments({"--ipc", socket, "--store", store.string(), photos.string()})
          .withEnvironment({"PATH=/usr/bin:/bin"})
          .withStandardOutput(ChildProcess::Stdio::devNull())
          .withStandardError(ChildProcess::Stdio::piped())));
  const auto err = child.takeStderr();
  std::string said;
  while (said.find('\n') == std::string::npos) {
    char buffer[512];
    const auto read = tarno::assistant::readWithin(err.get(), buffer, 60s);
    if (read.status != tarno::assistant::ReadResult::Status::data) break;
    said.append(buffer, read.size);
  }
  std::printf("%s", said.c_str());
  const pid_t pid = child.pid();
  // The first scan stats every file and finds nothing to read: wait until it is done.
  for (long before = -1, now = cpuTicks(pid); now != before; before = now, now = cpuTicks(pid))
    std::this_thread::sleep_for(1s);

  Connection connection(socket);
  const std::string request =
      std::string(R"({"jsonrpc":"2.0","id":1,"method":"library.query","params":)") + queryParams +
      "}";
  std::vector<double> throughSocket;
  std::string answer;
  for (int run = 0; run < queryRuns; ++run) {
    const auto start = Clock::now();
    answer = connection.call(request);
    throughSocket.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::int64_t matches = 0;
  const std::vector<double> direct = directRuns(store / "library.sqlite", matches);
  const bool answered = answer.find("\"count\":" + std::to_string(matches)) != std::string::npos;

  const double s50 = percentile(throughSocket, 0.5), s99 = percentile(throughSocket, 0.99);
  const double d50 = percentile(direct, 0.5), d99 = percentile(direct, 0.99);
  std::printf("library.query over %d photos (%lld matches, 200 returned), %d runs:\n", photoCount,
              static_cast<long long>(matches), queryRuns);
  std::printf("  through the socket : p50 %8.0f us  p99 %8.0f us\n", s50, s99);
  std::printf("  one SQL statement  : p50 %8.0f us  p99 %8.0f us\n", d50, d99);
  if (!answered)
    std::printf("  the server's count differs from the statement's: %s\n",
                answer.substr(0, 200).c_str());
  const bool met50 = answered && matches > 0 && s50 <= 2 * d50;
  verdict(met50);
  tarno::bench::reportFigure({"library.query p50, 100,000 photos", s50, "us", d50,
                              "one SQL statement", tarno::bench::Goal::atMost, 2},
                             met50);
  const bool met99 = answered && matches > 0 && s99 <= 2 * d99;
  tarno::bench::reportFigure({"library.query p99, 100,000 photos", s99, "us", d99,
                              "one SQL statement", tarno::bench::Goal::atMost, 2},
                             met99);

  const auto rss = statusKiB(pid, "VmRSS:");
  const auto peak = statusKiB(pid, "VmHWM:");
  const double boundMiB = 20 + 2.0 * photoCount / 1024;
  const double rssMiB = rss.value_or(0) / 1024.0;
  std::printf("tarno-headless holding %d photos: RSS %.1f MiB, peak %.1f MiB (goal: <= %.1f MiB)\n",
              photoCount, rssMiB, peak.value_or(0) / 1024.0, boundMiB);
  const bool metRSS = rss.has_value() && rssMiB <= boundMiB;
  verdict(metRSS);
  tarno::bench::reportFigure({.name = "tarno-headless RSS, 100,000 photos",
                              .value = rssMiB,
                              .unit = "MiB",
                              .goal = tarno::bench::Goal::atMost,
                              .bound = boundMiB},
                             metRSS);
  tarno::bench::reportNote("tarno-headless peak RSS with 100,000 photos: %.1f MiB",
                           peak.value_or(0) / 1024.0);
  child.terminate();
  child.wait();
  return met50 && met99 && metRSS ? 0 : 1;
}
