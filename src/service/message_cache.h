#pragma once
// The cache of undelivered messages: an SQLite file holding each event a
// device sent for its owner until the owner's callback server has accepted
// a call carrying it. Service thread only; the connection is used by nothing
// else.
//
// Durability: the file keeps SQLite's rollback journal and every connection
// runs with synchronous=FULL. A row is in the file (through the journal's
// commit) before Insert returns, so it survives the process being killed at
// any moment after that, and a crash of the whole machine or a power loss
// after the commit leaves neither a lost row nor a damaged file.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_log.h"

struct sqlite3;

namespace kavor2::service {

// The cache file: the program file's name with the extension ".S3DB", in
// the data directory.
std::filesystem::path CacheFileFor(const std::filesystem::path& program_file,
                                   const std::filesystem::path& data_directory);

// A database open error other than a missing file (the start-up fails with
// "Initialization error").
class ECacheOpenError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TMessageCache {
 public:
  struct Row {
    std::string IDTransaction;
    std::string IDDevice;
    std::string Data;
  };

  explicit TMessageCache(platform::EventLog& log) : log_(log) {}
  ~TMessageCache();
  TMessageCache(const TMessageCache&) = delete;
  TMessageCache& operator=(const TMessageCache&) = delete;

  // Opens the file, or creates it with the table and its index when it does
  // not exist (a failing schema statement is logged as "Database create
  // error : " and the connection stays, without a usable table until an
  // insert finds room to finish the schema). A file that is not a usable
  // cache (empty, damaged, no table) is logged, renamed aside with the
  // suffix ".damaged-<time>" and made again. Throws
  // ECacheOpenError when the file exists but cannot be opened or read for
  // another reason (permissions, I/O); it is left as it is then.
  void Open(const std::filesystem::path& file);
  bool Connected() const { return db_ != nullptr; }
  void Close();

  // Each logs its own errors with the cache's texts and never throws. An
  // insert that finds the file damaged moves it aside, makes a new one (as
  // Open does) and stores the row there.
  // Insert says whether the row was stored.
  bool Insert(std::string_view transaction, std::string_view device_text, std::string_view data_hex);
  void DeleteTransaction(std::string_view transaction);
  // Every row of the device, in the order SQLite gives them, while the query
  // is open (visit must not change the table). False when the query could
  // not be run or broke off (logged).
  bool ForEachRow(std::string_view device_text, const std::function<void(const Row&)>& visit);
  void Rekey(std::string_view old_transaction, std::string_view new_transaction);

  // Rows of the table, for checks: (transaction, device, data).
  std::vector<Row> AllRows();

 private:
  void Create(const std::filesystem::path& file);
  // Runs the schema statements from schema_next_ on; false at the first that
  // fails (logged as a create error when `log_error`).
  bool RunSchema(bool log_error);
  // Open again on the same file; false when that left no connection.
  bool Reopen();
  enum TCheck { ckUsable, ckDamaged, ckFailed };
  // Whether the open file is a sound cache; `why` says what is wrong.
  TCheck Check(std::string& why);
  bool Exec(const char* sql, std::string& error);

  platform::EventLog& log_;
  sqlite3* db_ = nullptr;
  std::filesystem::path file_;
  // The first schema statement not yet run on a file this object made; an
  // opened file has its schema.
  std::size_t schema_next_ = SIZE_MAX;
};

}  // namespace kavor2::service
