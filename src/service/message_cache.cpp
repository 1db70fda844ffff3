#include "service/message_cache.h"

#include <sqlite3.h>

#include <chrono>
#include <ctime>
#include <iterator>
#include <memory>
#include <system_error>

namespace kavor2::service {
namespace {

constexpr std::string_view kCacheExtension = ".S3DB";

// The schema of a new file, in this order.
constexpr const char* kSchema[] = {
    "CREATE TABLE LogData( CreateDataTime TimeStamp default (datetime('now', 'localtime')),IDTransaction CHAR(38) "
    "NOT NULL,IDDevice CHAR(12) NOT NULL,Data VARCHAR(255) NOT NULL );",
    "CREATE INDEX CreateDataTime_ID_IDX ON LogData (CreateDataTime,IDTransaction, IDDevice);",
    "PRAGMA synchronous=normal;",
};
// Every connection, also the one that made the file: a commit is on disk
// before the statement returns (see the header).
constexpr const char* kDurable = "PRAGMA synchronous=FULL;";

constexpr const char* kInsert = "INSERT INTO LogData(IDTransaction,IDDevice,Data) VALUES(?,?,?)";
constexpr const char* kDelete = "DELETE FROM LogData WHERE IDTransaction=?";
constexpr const char* kSelect = "SELECT * FROM LogData WHERE IDDevice=?";
constexpr const char* kUpdate = "UPDATE LogData SET IDTransaction=? WHERE IDTransaction=?";
constexpr const char* kAll = "SELECT IDTransaction,IDDevice,Data FROM LogData";
constexpr const char* kHasTable = "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='LogData'";

constexpr std::string_view kCreateError = "Database create error : ";
constexpr std::string_view kInsertError = "Insert to database error : ";
constexpr std::string_view kSelectError = "Select database error : ";
constexpr std::string_view kUpdateError = "Update database error : ";
constexpr std::string_view kDamagedEntry = "Database damaged, moved aside : ";

// A lone writer never waits long; a reader elsewhere (an operator's sqlite3)
// may hold the file for a moment.
constexpr int kBusyTimeoutMs = 2000;
constexpr const char* kNotOpen = "database is not open";

struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

std::string ErrorOf(sqlite3* db) { return db ? sqlite3_errmsg(db) : kNotOpen; }

Statement Prepare(sqlite3* db, const char* sql, std::string& error) {
  if (!db) {
    error = kNotOpen;
    return nullptr;
  }
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
    error = sqlite3_errmsg(db);
    sqlite3_finalize(raw);
    return nullptr;
  }
  return Statement(raw);
}

void Bind(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string Column(sqlite3_stmt* s, int index) {
  const unsigned char* text = sqlite3_column_text(s, index);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(s, index)))
              : std::string();
}

// Runs a statement without rows; false with `error` set on failure.
bool Run(sqlite3* db, const char* sql, std::initializer_list<std::string_view> values, std::string& error) {
  Statement s = Prepare(db, sql, error);
  if (!s) return false;
  int i = 1;
  for (std::string_view v : values) Bind(s.get(), i++, v);
  if (sqlite3_step(s.get()) != SQLITE_DONE) {
    error = sqlite3_errmsg(db);
    return false;
  }
  return true;
}

std::string AsideSuffix() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm t{};
  localtime_r(&now, &t);
  char text[32];
  std::strftime(text, sizeof text, ".damaged-%Y%m%d-%H%M%S", &t);
  return text;
}

}  // namespace

std::filesystem::path CacheFileFor(const std::filesystem::path& program_file,
                                   const std::filesystem::path& data_directory) {
  std::filesystem::path name = program_file.filename();
  name.replace_extension(kCacheExtension);
  return data_directory / name;
}

TMessageCache::~TMessageCache() { Close(); }

void TMessageCache::Close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

bool TMessageCache::Exec(const char* sql, std::string& error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  error = message ? message : ErrorOf(db_);
  sqlite3_free(message);
  return false;
}

void TMessageCache::Create(const std::filesystem::path& file) {
  if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
    log_.Write(std::string(kCreateError) + ErrorOf(db_));
    Close();
    return;
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  schema_next_ = 0;
  RunSchema(true);
}

bool TMessageCache::RunSchema(bool log_error) {
  for (; schema_next_ < std::size(kSchema); ++schema_next_) {
    std::string error;
    if (!Exec(kSchema[schema_next_], error)) {
      if (log_error) log_.Write(std::string(kCreateError) + error);
      return false;
    }
  }
  return true;
}

namespace {

// Errors that say the file's content is no database, or a broken one; any
// other (permissions, I/O) leaves the file alone.
bool IsDamage(sqlite3* db) {
  const int code = sqlite3_errcode(db) & 0xFF;
  return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

}  // namespace

TMessageCache::TCheck TMessageCache::Check(std::string& why) {
  std::string error;
  Statement check = Prepare(db_, "PRAGMA quick_check", error);
  if (!check || sqlite3_step(check.get()) != SQLITE_ROW) {
    why = ErrorOf(db_);
    return IsDamage(db_) ? ckDamaged : ckFailed;
  }
  if (const std::string verdict = Column(check.get(), 0); verdict != "ok") {
    why = verdict;
    return ckDamaged;
  }
  check.reset();
  Statement table = Prepare(db_, kHasTable, error);
  if (!table || sqlite3_step(table.get()) != SQLITE_ROW) {
    why = ErrorOf(db_);
    return IsDamage(db_) ? ckDamaged : ckFailed;
  }
  if (sqlite3_column_int(table.get(), 0) == 0) {
    why = "no table LogData";
    return ckDamaged;
  }
  return ckUsable;
}

void TMessageCache::Open(const std::filesystem::path& file) {
  Close();
  file_ = file;
  schema_next_ = SIZE_MAX;
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    Create(file);
  } else {
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      const std::string error = ErrorOf(db_);
      Close();
      throw ECacheOpenError(error);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    std::string why;
    const TCheck check = Check(why);
    if (check == ckFailed) {
      Close();
      throw ECacheOpenError(why);
    }
    if (check == ckDamaged) {
      // Kept for whoever wants to look at it; the service carries on with a
      // fresh file. The journal goes with it, or it would be played into the
      // new file.
      Close();
      const std::string suffix = AsideSuffix();
      std::filesystem::path aside = file;
      aside += suffix;
      std::filesystem::rename(file, aside, ec);
      for (const char* companion : {"-journal", "-wal", "-shm"}) {
        std::filesystem::path from = file, to = aside;
        from += companion;
        to += companion;
        std::error_code ignored;
        if (std::filesystem::exists(from, ignored)) std::filesystem::rename(from, to, ignored);
      }
      log_.Write(std::string(kDamagedEntry) + why + " ( " + aside.string() + " )");
      if (ec) {
        log_.Write(std::string(kCreateError) + ec.message());
        return;
      }
      Create(file);
    }
  }
  std::string error;
  if (db_) Exec(kDurable, error);
}

bool TMessageCache::Insert(std::string_view transaction, std::string_view device_text, std::string_view data_hex) {
  std::string error;
  // A schema cut short (a full disk when the file was made) is finished once
  // there is room; the insert's own error tells when there is not.
  if (db_ && schema_next_ < std::size(kSchema) && RunSchema(false)) Exec(kDurable, error);
  if (Run(db_, kInsert, {transaction, device_text, data_hex}, error)) return true;
  log_.Write(std::string(kInsertError) + error);
  // Damaged under the running service: aside with it as at the start, and
  // the row goes into the new file.
  if (db_ && IsDamage(db_) && Reopen()) {
    if (Run(db_, kInsert, {transaction, device_text, data_hex}, error)) return true;
    log_.Write(std::string(kInsertError) + error);
  }
  return false;
}

bool TMessageCache::Reopen() {
  try {
    Open(std::filesystem::path(file_));
  } catch (const ECacheOpenError&) {
    return false;  // left closed: later statements log that it is not open
  }
  return db_ != nullptr;
}

void TMessageCache::DeleteTransaction(std::string_view transaction) {
  std::string error;
  if (!Run(db_, kDelete, {transaction}, error)) log_.Write(std::string(kSelectError) + error);
}

void TMessageCache::Rekey(std::string_view old_transaction, std::string_view new_transaction) {
  std::string error;
  if (!Run(db_, kUpdate, {new_transaction, old_transaction}, error)) log_.Write(std::string(kUpdateError) + error);
}

bool TMessageCache::ForEachRow(std::string_view device_text, const std::function<void(const Row&)>& visit) {
  std::string error;
  Statement s = Prepare(db_, kSelect, error);
  if (!s) {
    log_.Write(std::string(kSelectError) + error);
    return false;
  }
  Bind(s.get(), 1, device_text);
  // Columns of SELECT *: CreateDataTime, IDTransaction, IDDevice, Data.
  int rc;
  while ((rc = sqlite3_step(s.get())) == SQLITE_ROW) {
    visit(Row{Column(s.get(), 1), Column(s.get(), 2), Column(s.get(), 3)});
  }
  if (rc != SQLITE_DONE) {
    log_.Write(std::string(kSelectError) + ErrorOf(db_));
    return false;
  }
  return true;
}

std::vector<TMessageCache::Row> TMessageCache::AllRows() {
  std::vector<Row> rows;
  std::string error;
  Statement s = Prepare(db_, kAll, error);
  if (!s) return rows;
  while (sqlite3_step(s.get()) == SQLITE_ROW) rows.push_back({Column(s.get(), 0), Column(s.get(), 1), Column(s.get(), 2)});
  return rows;
}

}  // namespace kavor2::service
