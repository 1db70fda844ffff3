#pragma once
// The service's status report: what its lines, devices and subscribers have
// done so far, as the JSON file "kavor2-status.json" in the data directory
// and as the event-log entry "Statistics: ...".
//
// The file's layout is fixed; tools read it:
// {"program":"kavor2srv","version":"1.0.2.0","pid":123,
//  "started":"2026-12-11T12:00:00Z","written":"2026-12-11T12:00:10Z",
//  "lines":[{"id":1,"type":"ETHERNET","port":5000,<counters>,
//            "devices":[{"mac":"0000000000A1",<counters>}]}],
//  "subscribers":[{"client":"Name","host":"127.0.0.1","port":9000,
//                  "calls_queued":0,"calls_sent":0,"calls_failed":0,"cached_rows":0}]}
// where <counters> are "packets_in", "packets_out", "crc_errors",
// "auth_errors", "retransmissions", "connects", "disconnects". Times are UTC.
// Text is UTF-8 (the service's own texts are Windows-1251 and converted).
// A subscriber's certificate is its secret and never appears.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "device/traffic_counters.h"

namespace kavor2::device {
class TKavorSession;
}
namespace kavor2::subscribers {
class TSubscribers;
}

namespace kavor2::service {

inline constexpr std::string_view kStatusFileName = "kavor2-status.json";
inline constexpr std::string_view kStatusProgramName = "kavor2srv";
inline constexpr std::string_view kLineTypeEthernet = "ETHERNET";
inline constexpr std::string_view kLineTypeSerial = "RS232";

struct TDeviceStatus {
  std::string Mac;  // the device ID text
  device::TTrafficCounts Counts;
};

struct TLineStatus {
  std::int32_t Id = 0;
  std::string_view Type = kLineTypeEthernet;
  std::int32_t Port = 0;  // the UDP port, or the COM port number
  device::TTrafficCounts Counts;
  std::vector<TDeviceStatus> Devices;
};

struct TSubscriberStatus {
  std::string Client;  // Windows-1251, as registered
  std::string Host;
  std::int32_t Port = 0;
  std::uint64_t CallsQueued = 0;
  std::uint64_t CallsSent = 0;
  std::uint64_t CallsFailed = 0;
  std::uint64_t CachedRows = 0;
};

struct TServiceStatus {
  std::string Version;
  std::int64_t Pid = 0;
  std::chrono::system_clock::time_point Started;
  std::chrono::system_clock::time_point Written;
  std::vector<TLineStatus> Lines;
  std::vector<TSubscriberStatus> Subscribers;
};

// Reads the counters of every line with its devices, in collection order,
// and of every subscriber. Lines and devices are taken from their
// collections' snapshots, so any thread may call it for them; the
// subscribers belong to the service thread. Either may be null (nothing of
// it is reported). Version, Pid and the times are left to the caller.
TServiceStatus GatherStatus(const device::TKavorSession* session, const subscribers::TSubscribers* subscribers);

// "2026-12-11T12:00:00Z".
std::string UtcText(std::chrono::system_clock::time_point when);
// The string as a JSON string literal, quotes included: quote, backslash
// and control characters escaped. The text must be UTF-8.
std::string JsonString(std::string_view utf8);
// The whole file's text (one line, ending in a line break).
std::string StatusJson(const TServiceStatus& status);
// "Statistics: lines N, devices N, subscribers N; packets in N, out N; CRC
// errors N; authentication errors N; retransmissions N; connects N;
// disconnects N; calls queued N, sent N, failed N; cached rows N", the sums
// over the lines and subscribers (the lines' counters hold their devices').
std::string StatisticsEntry(const TServiceStatus& status);

// Writes the status file of one directory, replacing it as a whole: the text
// goes to a temporary file in the same directory, which is flushed to disk
// and renamed over the file, so a reader sees the old or the new file,
// never part of one, also after a crash.
class TStatusFile {
 public:
  explicit TStatusFile(const std::filesystem::path& directory);

  const std::filesystem::path& Path() const { return path_; }
  // False (the old file stays, no temporary is left) when any step fails.
  bool Write(std::string_view text) const noexcept;

 private:
  std::filesystem::path path_;
};

}  // namespace kavor2::service
