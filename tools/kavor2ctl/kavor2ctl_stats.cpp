#include "kavor2ctl/kavor2ctl_stats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iomanip>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "kavor2ctl/kavor2ctl_commands.h"
#include "kavor2ctl/kavor2ctl_json.h"
#include "platform/text.h"

namespace kavor2::ctl {
namespace {

using Row = std::vector<std::string>;

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    if (more < 0 || i + static_cast<std::size_t>(more) >= text.size()) return false;
    for (int k = 1; k <= more; ++k) {
      if ((static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80) return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

// Text from the file as it may go to a terminal: a client name the service
// kept in Windows-1251 comes out as UTF-8, and control characters (an
// escape sequence in a client's name) are shown as '?'.
std::string Printable(const std::string& text) {
  std::string utf8 = IsUtf8(text) ? text : platform::Cp1251ToUtf8(text);
  for (char& c : utf8) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return utf8;
}

// A member as text: numbers and strings as they stand, "-" when missing or
// of another kind (a newer service may add or change members).
std::string Field(const JsonValue& object, const char* name) {
  const JsonValue* value = object.Member(name);
  if (value == nullptr) return "-";
  switch (value->Type()) {
    case JsonValue::Kind::Number:
    case JsonValue::Kind::Boolean: return value->Text();
    case JsonValue::Kind::String: return Printable(value->Text());
    default: return "-";
  }
}

// The members that hold objects, each checked to be a list of objects.
const std::vector<JsonValue>& List(const JsonValue& object, const char* name, const char* where) {
  static const std::vector<JsonValue> kNone;
  const JsonValue* value = object.Member(name);
  if (value == nullptr || value->Type() == JsonValue::Kind::Null) return kNone;
  if (!value->IsArray()) throw std::runtime_error(std::string("\"") + name + "\" of " + where + " is not a list");
  for (const JsonValue& item : value->Items()) {
    if (!item.IsObject()) throw std::runtime_error(std::string("an item of \"") + name + "\" is not an object");
  }
  return value->Items();
}

// Display width of UTF-8 text: one column per code point.
std::size_t Width(const std::string& text) {
  std::size_t width = 0;
  for (char c : text) width += (static_cast<unsigned char>(c) >> 6) != 0x2;
  return width;
}

// Columns padded to the widest cell; the first `left` columns are
// left-aligned (names), the rest right-aligned (numbers).
void PrintTable(const std::vector<Row>& rows, std::size_t left, std::ostream& out) {
  std::vector<std::size_t> widths;
  for (const Row& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], Width(row[i]));
  }
  for (const Row& row : rows) {
    std::string line = "  ";
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - Width(row[i]), ' ');
      if (i > 0) line += "  ";
      line += i < left ? row[i] + pad : pad + row[i];
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << "\n";
  }
}

// "2026-12-11T12:00:10Z" as seconds since the epoch; false for other text.
bool ParseUtc(const std::string& text, std::time_t& when) {
  std::tm tm{};
  std::istringstream in(text);
  in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
  if (in.fail() || in.get() != 'Z' || in.get() != std::char_traits<char>::eof()) return false;
  when = ::timegm(&tm);
  return when != static_cast<std::time_t>(-1);
}

std::string Duration(long seconds) {
  if (seconds < 0) return "in the future";
  const long d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60, s = seconds % 60;
  std::ostringstream text;
  if (d > 0) text << d << "d ";
  if (d > 0 || h > 0) text << h << "h ";
  if (d > 0 || h > 0 || m > 0) text << m << "m ";
  text << s << "s";
  return text.str();
}

const char* const kCounters[] = {"packets_in",      "packets_out", "crc_errors", "auth_errors",
                                 "retransmissions", "connects",    "disconnects"};

Row Counters(const JsonValue& item, Row row) {
  for (const char* name : kCounters) row.push_back(Field(item, name));
  return row;
}

}  // namespace

std::string FormatStatus(const std::string& json, std::time_t now) {
  JsonValue doc;
  try {
    doc = ParseJson(json);
  } catch (const JsonError& e) {
    throw std::runtime_error(std::string("not JSON: ") + e.what());
  }
  if (!doc.IsObject()) throw std::runtime_error("not a status file (no object)");
  const std::vector<JsonValue>& lines = List(doc, "lines", "the file");
  const std::vector<JsonValue>& subscribers = List(doc, "subscribers", "the file");

  std::ostringstream out;
  out << Field(doc, "program") << " " << Field(doc, "version") << ", pid " << Field(doc, "pid") << "\n";
  std::time_t started = 0, written = 0;
  out << "started  " << Field(doc, "started");
  const JsonValue* started_value = doc.Member("started");
  const JsonValue* written_value = doc.Member("written");
  const bool has_written = written_value != nullptr && ParseUtc(written_value->Text(), written);
  if (started_value != nullptr && ParseUtc(started_value->Text(), started) && has_written) {
    out << " (up " << Duration(static_cast<long>(written - started)) << ")";
  }
  out << "\nwritten  " << Field(doc, "written");
  if (has_written) {
    const long age = static_cast<long>(now - written);
    out << " (" << (age < 0 ? "in the future" : Duration(age) + " ago") << ")";
    if (age > kStaleAfterSeconds) out << "  STALE: the service rewrites it every 10 s; is it running?";
  }
  out << "\n\n";

  std::size_t device_count = 0;
  for (const JsonValue& line : lines) device_count += List(line, "devices", "a line").size();
  out << "Lines: " << lines.size() << ", devices: " << device_count << "\n";
  if (!lines.empty()) {
    std::vector<Row> rows{{"LINE", "TYPE", "PORT", "IN", "OUT", "CRC", "AUTH", "RETRANS", "CONNECTS",
                           "DISCONNECTS"}};
    for (const JsonValue& line : lines) {
      rows.push_back(Counters(line, {Field(line, "id"), Field(line, "type"), Field(line, "port")}));
      for (const JsonValue& device : List(line, "devices", "a line")) {
        rows.push_back(Counters(device, {"  " + Field(device, "mac"), "", ""}));
      }
    }
    PrintTable(rows, 2, out);
  }
  out << "\nSubscribers: " << subscribers.size() << "\n";
  if (!subscribers.empty()) {
    std::vector<Row> rows{{"CLIENT", "HOST", "PORT", "QUEUED", "SENT", "FAILED", "CACHED"}};
    for (const JsonValue& s : subscribers) {
      rows.push_back({Field(s, "client"), Field(s, "host"), Field(s, "port"), Field(s, "calls_queued"),
                      Field(s, "calls_sent"), Field(s, "calls_failed"), Field(s, "cached_rows")});
    }
    PrintTable(rows, 2, out);
  }
  return out.str();
}

namespace {

// The whole file, read through one descriptor: the service renames a new
// file over the old one, and a reader that opened the old one reads it to
// its end. An empty result with `error` set means it could not be read.
std::string ReadStatusFile(const std::filesystem::path& file, std::string& error) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return {};
  }
  std::string text;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    error = std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    error = "not a regular file";
  } else {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        error = std::strerror(errno);
        break;
      }
      if (got == 0) break;
      if (text.size() + static_cast<std::size_t>(got) > kMaxStatusFileBytes) {
        error = "larger than " + std::to_string(kMaxStatusFileBytes) + " bytes, too large for a status file";
        break;
      }
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }
  ::close(fd);
  if (!error.empty()) text.clear();
  return text;
}

}  // namespace

int ShowStatus(const std::filesystem::path& file, std::ostream& out, std::ostream& err) {
  const std::string name = file.string();
  std::string error;
  const std::string text = ReadStatusFile(file, error);
  if (!error.empty()) {
    err << "kavor2ctl: cannot read the status file " << name << ": " << error
        << " (is the service running, with this data directory? see --datadir)\n";
    return kExitTransport;
  }
  try {
    out << FormatStatus(text, std::time(nullptr));
  } catch (const std::runtime_error& e) {
    err << "kavor2ctl: " << name << ": " << e.what() << "\n";
    return kExitTransport;
  }
  return kExitOk;
}

}  // namespace kavor2::ctl
