#include "service/traffic_log.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <stdexcept>
#include <tuple>

namespace kavor2::service {
namespace {

constexpr std::string_view kFileNameInfix = "_XMLRPC_";
constexpr std::string_view kFileNameExtension = ".Log";
constexpr std::string_view kHeaderTail = ") : ";
constexpr std::string_view kPortSeparator = " : ";
// The line end of the header, and the doubled form shortened in bodies.
constexpr std::string_view kHeaderLineEnd = "\n\r";
constexpr std::string_view kDoubleLineEnd = "\n\r\n\r";
constexpr mode_t kLogFileMode = 0644;
constexpr int kDaysPerWeek = 7;
constexpr int kTmYearBase = 1900;

using LocalDate = std::tuple<int, int, int>;

std::tm LocalTm(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  return local;
}

LocalDate DateOf(const std::tm& t) { return {t.tm_year + kTmYearBase, t.tm_mon, t.tm_mday}; }

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("traffic log write failed");
    }
    if (n == 0) throw std::runtime_error("traffic log write failed");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

std::string LocaleWeekdayName(int weekday, const std::string& locale_name) {
  const int day = ((weekday % kDaysPerWeek) + kDaysPerWeek) % kDaysPerWeek;
  locale_t locale = ::newlocale(LC_TIME_MASK, locale_name.c_str(), static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) locale = ::newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return {};
  const char* name = ::nl_langinfo_l(static_cast<nl_item>(DAY_1 + day), locale);
  std::string result = name != nullptr ? name : "";
  ::freelocale(locale);
  return result;
}

std::filesystem::path TrafficLogFileName(const std::filesystem::path& directory, std::string_view program_stem,
                                         std::string_view weekday_name) {
  std::string name(program_stem);
  name += kFileNameInfix;
  name += weekday_name;
  name += kFileNameExtension;
  return directory / name;
}

std::string TrafficHeader(std::string_view kind, std::string_view time_text, std::string_view peer,
                          std::int32_t port) {
  std::string header(kind);
  header += time_text;
  header += kHeaderTail;
  header += peer;
  header += kPortSeparator;
  header += std::to_string(port);
  header += kHeaderLineEnd;
  return header;
}

std::string TrafficBody(std::string_view xml) {
  if (xml.empty()) return std::string(kEmptyTrafficBody);
  // Left to right without looking at what was just written, so LF CR LF CR
  // LF CR becomes LF CR LF CR.
  std::string body;
  body.reserve(xml.size());
  std::size_t from = 0;
  for (std::size_t at = xml.find(kDoubleLineEnd); at != std::string_view::npos;
       at = xml.find(kDoubleLineEnd, from)) {
    body.append(xml.substr(from, at - from));
    body += kHeaderLineEnd;
    from = at + kDoubleLineEnd.size();
  }
  body.append(xml.substr(from));
  return body;
}

std::string TrafficRecord(std::string_view kind, std::string_view time_text, std::string_view peer,
                          std::int32_t port, std::string_view xml) {
  return TrafficHeader(kind, time_text, peer, port) + TrafficBody(xml);
}

TTrafficLog::TTrafficLog(std::filesystem::path directory, std::string program_stem, device::WallClock clock,
                         std::string locale_name)
    : directory_(std::move(directory)),
      program_stem_(std::move(program_stem)),
      clock_(std::move(clock)),
      locale_name_(std::move(locale_name)) {}

TTrafficLog::~TTrafficLog() { CloseFile(); }

void TTrafficLog::Open() {
  std::lock_guard<std::mutex> lock(LogLock);
  try {
    OpenTrafficLog();
  } catch (...) {
    CloseFile();
  }
}

void TTrafficLog::WriteServer(std::string_view xml, std::string_view ip, std::int32_t port) {
  Write(kServerTraffic, xml, ip, port);
}

void TTrafficLog::WriteClient(std::string_view xml, std::string_view host, std::int32_t port) {
  Write(kClientTraffic, xml, host, port);
}

void TTrafficLog::Close() {
  std::lock_guard<std::mutex> lock(LogLock);
  CloseFile();
}

bool TTrafficLog::IsOpen() const {
  std::lock_guard<std::mutex> lock(LogLock);
  return LogFile >= 0;
}

std::string TTrafficLog::FileName() const {
  std::lock_guard<std::mutex> lock(LogLock);
  return LogFileName;
}

void TTrafficLog::Write(std::string_view kind, std::string_view xml, std::string_view peer, std::int32_t port) {
  std::lock_guard<std::mutex> lock(LogLock);
  if (LogFile < 0) return;
  try {
    OpenTrafficLog();
    WriteAll(LogFile, TrafficHeader(kind, device::NowText(clock_), peer, port));
    WriteAll(LogFile, TrafficBody(xml));
  } catch (...) {
    CloseFile();
  }
}

void TTrafficLog::OpenTrafficLog() {
  const std::time_t now = std::chrono::system_clock::to_time_t(clock_());
  const std::tm today = LocalTm(now);
  const std::string name =
      TrafficLogFileName(directory_, program_stem_, LocaleWeekdayName(today.tm_wday, locale_name_)).string();
  // Keyed on the date, not only the name: a service that sees traffic on one
  // weekday only still starts that file afresh a week later.
  if (LogFile >= 0 && name == LogFileName && DateOf(today) == LogFileDate) return;

  CloseFile();
  LogFileName = name;
  LogFileDate = DateOf(today);
  // Appends always go to the end, also when someone else wrote meanwhile.
  const int fd = ::open(name.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, kLogFileMode);
  if (fd < 0) throw std::runtime_error("traffic log cannot be opened");
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    throw std::runtime_error("traffic log is not a file");
  }
  // A file of the same weekday a week (or more) ago starts empty.
  if (info.st_size > 0 && DateOf(LocalTm(info.st_mtime)) < DateOf(today) && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    throw std::runtime_error("traffic log cannot be emptied");
  }
  LogFile = fd;
}

void TTrafficLog::CloseFile() {
  if (LogFile >= 0) ::close(LogFile);
  LogFile = -1;
}

}  // namespace kavor2::service
