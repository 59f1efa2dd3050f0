// SQLite connection and statements: errors sorted into "the store cannot be used" and "our bug".
#include "library/sqlite_db.hpp"

#include <sqlite3.h>

#include <cmath>
#include <numbers>

namespace tarno::library {

namespace {

// Great-circle distance in metres between two points given in degrees (haversine on a sphere of
// the Earth's mean radius), for the place filter of queries.
void distanceMeters(sqlite3_context* context, int, sqlite3_value** argv) {
  for (int i = 0; i < 4; ++i) {
    if (sqlite3_value_type(argv[i]) == SQLITE_NULL) {
      sqlite3_result_null(context);
      return;
    }
  }
  constexpr double toRadians = std::numbers::pi / 180.0;
  const double lat1 = sqlite3_value_double(argv[0]) * toRadians;
  const double lon1 = sqlite3_value_double(argv[1]) * toRadians;
  const double lat2 = sqlite3_value_double(argv[2]) * toRadians;
  const double lon2 = sqlite3_value_double(argv[3]) * toRadians;
  const double a = std::pow(std::sin((lat2 - lat1) / 2), 2) +
                   std::cos(lat1) * std::cos(lat2) * std::pow(std::sin((lon2 - lon1) / 2), 2);
  sqlite3_result_double(context, 2 * 6'371'008.8 * std::asin(std::sqrt(std::min(1.0, a))));
}

bool meansStoreUnusable(int rc) {
  switch (rc & 0xff) {
    case SQLITE_READONLY:
    case SQLITE_FULL:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_PERM:
    case SQLITE_NOMEM:
    case SQLITE_PROTOCOL:
    case SQLITE_AUTH:
    case SQLITE_NOLFS:
      return true;
    default:
      return false;
  }
}

}  // namespace

void Database::fail(sqlite3* db, int rc, std::string_view what) {
  std::string message(what);
  message += ": ";
  message += db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  if (meansStoreUnusable(rc)) throw StoreUnavailable(message);
  throw std::runtime_error(message);
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

void Statement::restart() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int Statement::parameterIndex(std::string_view name) const {
  return sqlite3_bind_parameter_index(stmt_, std::string(name).c_str());
}

void Statement::bindOne(int i, std::int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
}
void Statement::bindOne(int i, double v) {
  sqlite3_bind_double(stmt_, i, v);
}
void Statement::bindOne(int i, std::string_view v) {
  sqlite3_bind_text64(stmt_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}
void Statement::bindOne(int i, std::nullopt_t) {
  sqlite3_bind_null(stmt_, i);
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  const int code = sqlite3_extended_errcode(db_);
  sqlite3_reset(stmt_);
  Database::fail(db_, code != SQLITE_OK ? code : rc, "store statement failed");
}

void Statement::run() {
  while (step()) {
  }
}

bool Statement::isNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}
std::int64_t Statement::integer(int column) const {
  return sqlite3_column_int64(stmt_, column);
}
double Statement::real(int column) const {
  return sqlite3_column_double(stmt_, column);
}
std::string Statement::text(int column) const {
  const auto* p = sqlite3_column_blob(stmt_, column);
  const int n = sqlite3_column_bytes(stmt_, column);
  return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), n);
}
std::optional<std::int64_t> Statement::optionalInteger(int column) const {
  if (isNull(column)) return std::nullopt;
  return integer(column);
}
std::optional<double> Statement::optionalReal(int column) const {
  if (isNull(column)) return std::nullopt;
  return real(column);
}
std::optional<std::string> Statement::optionalText(int column) const {
  if (isNull(column)) return std::nullopt;
  return text(column);
}

Database::Database(const std::filesystem::path& file) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                    SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE;
  const int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw StoreUnavailable("cannot open the photo store " + file.string() + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
  // Another process holding the write lock is waited for a while before the store gives up.
  sqlite3_busy_timeout(db_, 5000);
  sqlite3_create_function_v2(db_, "distance_m", 4, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             distanceMeters, nullptr, nullptr, nullptr);
}

Database::~Database() {
  statements_.clear();
  sqlite3_close_v2(db_);
}

void Database::exec(const char* sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  sqlite3_free(error);
  if (rc != SQLITE_OK) fail(db_, sqlite3_extended_errcode(db_), "store statement failed");
}

Statement& Database::prepare(std::string_view sql) {
  auto found = statements_.find(std::string(sql));
  if (found != statements_.end()) return *found->second;
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) fail(db_, sqlite3_extended_errcode(db_), "cannot prepare a store statement");
  auto& slot = statements_[std::string(sql)];
  slot = std::make_unique<Statement>(db_, stmt);
  return *slot;
}

std::int64_t Database::lastInsertRowid() const {
  return sqlite3_last_insert_rowid(db_);
}
std::int64_t Database::changes() const {
  return sqlite3_changes64(db_);
}

}  // namespace tarno::library
