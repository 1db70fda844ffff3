#include "platform/systemd_unit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <system_error>

namespace kavor2::platform {
namespace {

constexpr mode_t kUnitFileMode = 0644;
// Characters that split or quote an unquoted ExecStart word.
constexpr std::string_view kNeedsQuotes = " \t\"'\\";

std::string SystemMessage(int err) { return std::error_code(err, std::generic_category()).message(); }

void RequireOneLine(const std::string& text, const char* what) {
  if (text.find_first_of("\r\n") != std::string::npos || text.find('\0') != std::string::npos) {
    throw UnitError(std::string(what) + " must be a single line");
  }
}

// systemd expands "%" sequences in Description as well.
std::string EscapePercent(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c;
    if (c == '%') out += '%';
  }
  return out;
}

}  // namespace

std::filesystem::path UnitDirectory() {
  const char* dir = std::getenv(kUnitDirVariable);
  if (dir != nullptr && *dir != '\0') return dir;
  return kDefaultUnitDir;
}

std::string QuoteExecWord(const std::string& word) {
  RequireOneLine(word, "a program argument");
  std::string escaped;
  bool quote = word.empty() || word == ";" || word.find_first_of(kNeedsQuotes) != std::string::npos;
  for (char c : word) {
    switch (c) {
      case '%': escaped += "%%"; break;
      case '$': escaped += "$$"; break;
      case '\\': escaped += "\\\\"; break;
      case '"': escaped += "\\\""; break;
      default: escaped += c;
    }
  }
  return quote ? "\"" + escaped + "\"" : escaped;
}

std::string UnitText(const SystemdUnit& unit) {
  RequireOneLine(unit.Description, "the description");
  RequireOneLine(unit.LongDescription, "the long description");
  if (!unit.Program.is_absolute()) throw UnitError("the program path must be absolute");
  std::string exec = QuoteExecWord(unit.Program.string());
  for (const std::string& arg : unit.Arguments) exec += " " + QuoteExecWord(arg);

  std::string text;
  text += "[Unit]\n";
  text += "Description=" + EscapePercent(unit.Description) + "\n";
  text += "X-Description=" + unit.LongDescription + "\n";
  text += "After=network.target\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + exec + "\n";
  // "systemctl reload": the statistics entry and the status file at once.
  text += "ExecReload=/bin/kill -USR1 $MAINPID\n";
  text += "Restart=on-failure\n";
  text += "\n[Install]\n";
  text += "WantedBy=multi-user.target\n";
  return text;
}

std::filesystem::path InstallUnit(const SystemdUnit& unit, const std::filesystem::path& dir) {
  const std::string text = UnitText(unit);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw UnitError("cannot create " + dir.string() + ": " + ec.message());
  const std::filesystem::path target = dir / unit.FileName;
  const std::filesystem::path temp = dir / ("." + unit.FileName + ".tmp");

  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kUnitFileMode);
  if (fd < 0) throw UnitError("cannot write " + temp.string() + ": " + SystemMessage(errno));
  int err = 0;
  // Readable by all whatever the umask: the service manager reads it.
  if (::fchmod(fd, kUnitFileMode) != 0) err = errno;
  std::string_view rest = err == 0 ? std::string_view(text) : std::string_view();
  while (!rest.empty()) {
    ssize_t n = ::write(fd, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  // link() refuses an existing target, so a unit installed meanwhile is
  // never replaced.
  if (err == 0 && ::link(temp.c_str(), target.c_str()) != 0) err = errno;
  ::unlink(temp.c_str());
  if (err == EEXIST) {
    throw UnitError(target.string() + " already exists; uninstall the service first");
  }
  if (err != 0) throw UnitError("cannot write " + target.string() + ": " + SystemMessage(err));
  return target;
}

std::filesystem::path RemoveUnit(const std::string& file_name, const std::filesystem::path& dir) {
  const std::filesystem::path target = dir / file_name;
  if (::unlink(target.c_str()) != 0) {
    int err = errno;
    if (err == ENOENT) throw UnitError("the service is not installed: " + target.string() + " does not exist");
    throw UnitError("cannot remove " + target.string() + ": " + SystemMessage(err));
  }
  return target;
}

}  // namespace kavor2::platform
