#pragma once
// The XML-RPC traffic log of "/xmlrpclog": every request and response the
// service exchanges, as server and as callback client, in one file per
// weekday, each reused a week later.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>

#include "device/log_time.h"

namespace kavor2::service {

// The body written for a message whose text is empty: " Ошибка передачи "
// (transmission error) in Windows-1251.
inline constexpr std::string_view kEmptyTrafficBody = " \xCE\xF8\xE8\xE1\xEA\xE0 \xEF\xE5\xF0\xE5\xE4\xE0\xF7\xE8 ";
inline constexpr std::string_view kServerTraffic = "Server (";
inline constexpr std::string_view kClientTraffic = "Client (";

// The full name of weekday `weekday` (0 Sunday .. 6 Saturday) in the locale
// `locale_name`; "" takes LC_ALL / LC_TIME / LANG from the environment. A
// locale that cannot be loaded gives the "C" names ("Monday", ...). The
// process-wide locale is neither used nor changed.
std::string LocaleWeekdayName(int weekday, const std::string& locale_name = {});

// <directory>/<program stem>_XMLRPC_<weekday name>.Log
std::filesystem::path TrafficLogFileName(const std::filesystem::path& directory, std::string_view program_stem,
                                         std::string_view weekday_name);

// The header line of a record and its body, as described at TrafficRecord.
std::string TrafficHeader(std::string_view kind, std::string_view time_text, std::string_view peer,
                          std::int32_t port);
std::string TrafficBody(std::string_view xml);
// One record: the header line ("Server (" or "Client (", the time, ") : ",
// the peer, " : ", the port, LF CR), then the body: `xml` with every LF CR
// LF CR shortened to LF CR, or kEmptyTrafficBody when `xml` is empty.
std::string TrafficRecord(std::string_view kind, std::string_view time_text, std::string_view peer,
                          std::int32_t port, std::string_view xml);

// The open traffic log. Writers may come from any thread; the lock keeps
// each record whole. Once a write or a day's open fails the file is closed
// and nothing more is written in this object's life: diagnosis must never
// disturb the service.
class TTrafficLog {
 public:
  // Files go to `directory`, named after `program_stem`; "today" comes from
  // `clock` in local time, the weekday name from `locale_name` (see
  // LocaleWeekdayName).
  TTrafficLog(std::filesystem::path directory, std::string program_stem,
              device::WallClock clock = device::SystemWallClock, std::string locale_name = {});
  ~TTrafficLog();
  TTrafficLog(const TTrafficLog&) = delete;
  TTrafficLog& operator=(const TTrafficLog&) = delete;

  // Opens today's file (appending to it, or emptying it when it was last
  // written on an earlier date). A failure leaves the log stopped.
  void Open();
  // A record of the XML-RPC server: the caller's IP and port.
  void WriteServer(std::string_view xml, std::string_view ip, std::int32_t port);
  // A record of a callback client: its host name and port.
  void WriteClient(std::string_view xml, std::string_view host, std::int32_t port);
  // Closes the file; nothing more is written.
  void Close();

  bool IsOpen() const;
  // The full name of the file now open (or last open).
  std::string FileName() const;

 private:
  void Write(std::string_view kind, std::string_view xml, std::string_view peer, std::int32_t port);
  // Switches to today's file when the day has changed. Throws on failure.
  void OpenTrafficLog();
  void CloseFile();

  const std::filesystem::path directory_;
  const std::string program_stem_;
  const device::WallClock clock_;
  const std::string locale_name_;
  mutable std::mutex LogLock;
  int LogFile = -1;
  std::string LogFileName;
  std::tuple<int, int, int> LogFileDate;  // local year, month, day the file was opened for
};

}  // namespace kavor2::service
