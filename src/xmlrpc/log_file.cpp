#include "xmlrpc/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace kavor2::xmlrpc {
namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr mode_t kTraceFileMode = 0644;

}  // namespace

std::filesystem::path TraceFilePath(const std::filesystem::path& directory, std::string_view program_stem,
                                    std::string_view logical_name) {
  const std::filesystem::path logical(logical_name);
  std::string name = logical.stem().string();
  name += '_';
  name += program_stem;
  name += logical.extension().string();
  return directory / name;
}

TLogFile::TLogFile(bool enabled, std::filesystem::path directory, std::string program_stem, std::uint64_t cap)
    : enabled_(enabled), directory_(std::move(directory)), program_stem_(std::move(program_stem)), cap_(cap) {}

std::filesystem::path TLogFile::PathOf(std::string_view logical_name) const {
  return TraceFilePath(directory_, program_stem_, logical_name);
}

void TLogFile::LockedAppend(std::string_view logical_name, std::string_view text) {
  if (!enabled_ || text.empty()) return;
  std::lock_guard<std::mutex> lock(lock_);
  Append(logical_name, text);
}

void TLogFile::UnlockedAppend(std::string_view logical_name, std::string_view text) {
  if (!enabled_ || text.empty()) return;
  Append(logical_name, text);
}

void TLogFile::Append(std::string_view logical_name, std::string_view text) {
  try {
    std::string line(text);
    line += kLineEnd;
    const std::filesystem::path file = PathOf(logical_name);
    RotateIfFull(file, line.size());
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                          kTraceFileMode);
    if (fd < 0) return;
    std::string_view rest(line);
    while (!rest.empty()) {
      const ssize_t n = ::write(fd, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the rest of this text is lost; the next append tries again
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(fd);
  } catch (...) {
    // Out of memory: the text is dropped; tracing never fails the caller.
  }
}

void TLogFile::RotateIfFull(const std::filesystem::path& file, std::size_t incoming) {
  std::lock_guard<std::mutex> lock(rotate_lock_);
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return;
  if (static_cast<std::uint64_t>(info.st_size) + incoming <= cap_) return;
  const std::string rotated = file.string() + std::string(kRotatedSuffix);
  // When the rename fails the file simply grows on; tracing goes on either way.
  std::rename(file.c_str(), rotated.c_str());
}

void LogRequest(TLogFile& files, const std::string& request) { files.LockedAppend(kRequestLogName, request); }

void LogClientTrace(TLogFile& files, std::string_view logical_name, const std::string& text) {
  if (logical_name == kRpcErrorLogName) {
    files.UnlockedAppend(logical_name, text);
  } else {
    files.LockedAppend(logical_name, text);
  }
}

}  // namespace kavor2::xmlrpc
