#pragma once
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kavor2::platform {

// Where the service writes its information entries. Writing never throws,
// never blocks on a slow reader and never fails the caller: an entry that
// cannot be written is dropped. Safe to use from any thread.
class EventLog {
 public:
  virtual ~EventLog() = default;
  // Writes one entry; `text` is Windows-1251.
  virtual void Write(std::string_view text) noexcept = 0;
};

inline constexpr std::string_view kSyslogSocket = "/dev/log";

// Entries as syslog datagrams (facility daemon, severity info) with the given
// ident. The system's logger expects UTF-8, so the text is converted.
// The datagram is sent without waiting: when the logger's queue is full the
// entry is lost rather than holding up the service thread.
class SyslogEventLog final : public EventLog {
 public:
  explicit SyslogEventLog(std::string ident, std::string socket_path = std::string(kSyslogSocket));
  ~SyslogEventLog() override;
  SyslogEventLog(const SyslogEventLog&) = delete;
  SyslogEventLog& operator=(const SyslogEventLog&) = delete;

  void Write(std::string_view text) noexcept override;

 private:
  std::string ident_;
  std::string socket_path_;
  std::mutex mutex_;
  int fd_ = -1;  // unbound datagram socket, made on first use
};

// Entries appended to a file, one per line, as the bytes were given. The file
// is opened for each entry, so it may be rotated or removed while the service
// runs. Line breaks inside an entry are written as spaces so that every line
// is exactly one entry.
class FileEventLog final : public EventLog {
 public:
  explicit FileEventLog(std::filesystem::path file);
  void Write(std::string_view text) noexcept override;

 private:
  std::filesystem::path file_;
  std::mutex mutex_;  // keeps entries whole and in order
};

}  // namespace kavor2::platform
