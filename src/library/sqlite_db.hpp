// A thin owner of one SQLite connection and its prepared statements. Failures throw: a store that
// cannot be used (read-only, full, locked, damaged, unopenable) as StoreUnavailable, anything
// else (a statement our own code got wrong) as std::runtime_error.
//
// Not thread-safe: the store serialises every use under its own lock.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

namespace tarno::library {

class StoreUnavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Statement {
 public:
  Statement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binding starts at parameter 1 and resets the statement first, so a cached statement is
  // always reused from a clean state.
  template <class... A>
  Statement& bind(const A&... args) {
    restart();
    int i = 1;
    (bindOne(i++, args), ...);
    return *this;
  }
  // Binds a named parameter (":name") of a statement bound with bind() first; a name the
  // statement does not use is ignored.
  template <class T>
  void bindNamed(std::string_view name, const T& v) {
    if (const int i = parameterIndex(name); i > 0) bindOne(i, v);
  }
  // True while a row is ready.
  bool step();
  // Runs to the end; for statements without rows.
  void run();

  bool isNull(int column) const;
  std::int64_t integer(int column) const;
  double real(int column) const;
  std::string text(int column) const;
  std::optional<std::int64_t> optionalInteger(int column) const;
  std::optional<double> optionalReal(int column) const;
  std::optional<std::string> optionalText(int column) const;

 private:
  void restart();
  int parameterIndex(std::string_view name) const;
  void bindOne(int i, std::int64_t v);
  void bindOne(int i, int v) { bindOne(i, static_cast<std::int64_t>(v)); }
  void bindOne(int i, bool v) { bindOne(i, static_cast<std::int64_t>(v ? 1 : 0)); }
  void bindOne(int i, double v);
  void bindOne(int i, std::string_view v);
  void bindOne(int i, const std::string& v) { bindOne(i, std::string_view(v)); }
  void bindOne(int i, const char* v) { bindOne(i, std::string_view(v)); }
  void bindOne(int i, std::nullopt_t);
  template <class T>
  void bindOne(int i, const std::optional<T>& v) {
    if (v) {
      bindOne(i, *v);
    } else {
      bindOne(i, std::nullopt);
    }
  }

  sqlite3* db_;
  sqlite3_stmt* stmt_;
};

class Database {
 public:
  // Opens (creating) the file read-write with the connection settings every store uses.
  explicit Database(const std::filesystem::path& file);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void exec(const char* sql);
  // A statement prepared once per connection (per distinct text) and reused.
  Statement& prepare(std::string_view sql);
  std::int64_t lastInsertRowid() const;
  std::int64_t changes() const;

  // Throws the exception that fits SQLite's result code `rc`.
  [[noreturn]] static void fail(sqlite3* db, int rc, std::string_view what);

 private:
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<Statement>> statements_;
};

}  // namespace tarno::library
