#pragma once
// "kavor2ctl stats": the service's status file, read and printed as tables.
// No network: the file is what the service last wrote.
#include <cstddef>
#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>

namespace kavor2::ctl {

// The file's name in the service's data directory.
inline constexpr const char* kStatusFileName = "kavor2-status.json";
// The packaged service's data directory.
inline constexpr const char* kDefaultDataDir = "/var/lib/kavor2";
// The service rewrites the file every 10 s; a file older than three rounds
// is flagged, as the service has probably stopped.
inline constexpr long kStaleAfterSeconds = 30;
// A status file grows with lines, devices and subscribers; far beyond any
// installation's size it is not read into memory.
inline constexpr std::size_t kMaxStatusFileBytes = std::size_t{64} << 20;

// The status file as tables, for a reader at time `now`. Throws
// std::runtime_error (with a message for the user) for text that is no
// status file.
std::string FormatStatus(const std::string& json, std::time_t now);

// Reads `file` and prints it to `out`; problems go to `err`. Returns the
// exit status: 0, or 3 when the file is missing, unreadable or malformed.
int ShowStatus(const std::filesystem::path& file, std::ostream& out, std::ostream& err);

}  // namespace kavor2::ctl
