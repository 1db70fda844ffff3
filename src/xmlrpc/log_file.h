#pragma once
// The XML-RPC layer's own trace files: the text of every request the server
// receives, and the progress and failures of the callback clients' calls.
// Written only when the installation-wide switch is present.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "xmlrpc/rpc_client_trace.h"

namespace kavor2::xmlrpc {

inline constexpr std::string_view kRequestLogName = "xmlrpcdata.txt";
// A trace file that would pass this size is renamed to "<name>.1" (replacing
// the one before) and started anew, so a service running for years keeps at
// most twice this per file.
inline constexpr std::uint64_t kTraceFileCap = 16ULL * 1024 * 1024;
inline constexpr std::string_view kRotatedSuffix = ".1";

// <directory>/<logical stem>_<program stem><logical extension>: with the
// program kavor2srv, "rpc.log" is rpc_kavor2srv.log.
std::filesystem::path TraceFilePath(const std::filesystem::path& directory, std::string_view program_stem,
                                    std::string_view logical_name);

// The writer of the trace files. Each append adds CR LF to the text and
// opens, writes and closes the file, so the files may be removed while the
// service runs. Nothing happens when logging is off or the text is empty; a
// file that cannot be opened or written is passed over silently.
class TLogFile {
 public:
  TLogFile(bool enabled, std::filesystem::path directory, std::string program_stem,
           std::uint64_t cap = kTraceFileCap);
  TLogFile(const TLogFile&) = delete;
  TLogFile& operator=(const TLogFile&) = delete;

  bool Enabled() const { return enabled_; }
  // Serialised with every other locked append.
  void LockedAppend(std::string_view logical_name, std::string_view text);
  // Not serialised with other appends; each text still goes out in one
  // write at the end of the file, so texts do not mix.
  void UnlockedAppend(std::string_view logical_name, std::string_view text);

  std::filesystem::path PathOf(std::string_view logical_name) const;

 private:
  void Append(std::string_view logical_name, std::string_view text);
  // Moves the file aside when `incoming` more bytes would pass the cap.
  void RotateIfFull(const std::filesystem::path& file, std::size_t incoming);

  const bool enabled_;
  const std::filesystem::path directory_;
  const std::string program_stem_;
  const std::uint64_t cap_;
  std::mutex lock_;         // the locked appends
  std::mutex rotate_lock_;  // the size check and rename; taken after lock_
};

// The server's request log: every request text to "xmlrpcdata.txt".
void LogRequest(TLogFile& files, const std::string& request);
// A callback client's trace lines: "rpc_err.txt" unlocked, the rest locked.
void LogClientTrace(TLogFile& files, std::string_view logical_name, const std::string& text);

}  // namespace kavor2::xmlrpc
