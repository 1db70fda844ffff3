#include "service/status_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "device/kavor_session.h"
#include "platform/text.h"
#include "subscribers/subscriber.h"

namespace kavor2::service {
namespace {

using subscribers::TSubscriberCounters;

void AppendCounts(std::string& out, const device::TTrafficCounts& c) {
  out += "\"packets_in\":" + std::to_string(c.PacketsIn);
  out += ",\"packets_out\":" + std::to_string(c.PacketsOut);
  out += ",\"crc_errors\":" + std::to_string(c.CrcErrors);
  out += ",\"auth_errors\":" + std::to_string(c.AuthErrors);
  out += ",\"retransmissions\":" + std::to_string(c.Retransmissions);
  out += ",\"connects\":" + std::to_string(c.Connects);
  out += ",\"disconnects\":" + std::to_string(c.Disconnects);
}

TLineStatus LineStatusOf(const device::TLine& line, const device::TDevices& devices) {
  TLineStatus status;
  status.Id = line.ID;
  if (const device::TComKavor* com = line.ComComm()) {
    status.Type = kLineTypeSerial;
    status.Port = com->ComPort();
  } else if (const device::TUdpKavor* udp = line.UdpComm()) {
    status.Type = kLineTypeEthernet;
    status.Port = udp->GetPort();
  } else {
    status.Type = line.LineType == device::ltSerial ? kLineTypeSerial : kLineTypeEthernet;
  }
  status.Counts = line.Counters().Read();
  for (const std::shared_ptr<device::TDevice>& device : devices.DevicesOnLine(line.ID)) {
    status.Devices.push_back({device->IdText(), device->Counters.Read()});
  }
  return status;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

TServiceStatus GatherStatus(const device::TKavorSession* session, const subscribers::TSubscribers* subscribers) {
  TServiceStatus status;
  if (session) {
    for (const std::shared_ptr<device::TLine>& line : session->Lines().All()) {
      status.Lines.push_back(LineStatusOf(*line, session->Devices()));
    }
  }
  if (subscribers) {
    for (int i = 0; i < subscribers->Count(); ++i) {
      const subscribers::TSubscriber& s = subscribers->Items(i);
      TSubscriberStatus entry;
      entry.Client = s.ClientName();
      entry.Host = s.CallbackHost();
      entry.Port = s.CallbackPort();
      entry.CallsQueued = TSubscriberCounters::Read(s.Counters.CallsQueued);
      entry.CallsSent = TSubscriberCounters::Read(s.Counters.CallsSent);
      entry.CallsFailed = TSubscriberCounters::Read(s.Counters.CallsFailed);
      entry.CachedRows = TSubscriberCounters::Read(s.Counters.CachedRows);
      status.Subscribers.push_back(std::move(entry));
    }
  }
  return status;
}

std::string UtcText(std::chrono::system_clock::time_point when) {
  const std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (const char ch : utf8) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string StatusJson(const TServiceStatus& status) {
  std::string out = "{\"program\":" + JsonString(kStatusProgramName);
  out += ",\"version\":" + JsonString(status.Version);
  out += ",\"pid\":" + std::to_string(status.Pid);
  out += ",\"started\":" + JsonString(UtcText(status.Started));
  out += ",\"written\":" + JsonString(UtcText(status.Written));
  out += ",\"lines\":[";
  for (std::size_t i = 0; i < status.Lines.size(); ++i) {
    const TLineStatus& line = status.Lines[i];
    if (i != 0) out += ',';
    out += "{\"id\":" + std::to_string(line.Id);
    out += ",\"type\":" + JsonString(line.Type);
    out += ",\"port\":" + std::to_string(line.Port) + ',';
    AppendCounts(out, line.Counts);
    out += ",\"devices\":[";
    for (std::size_t j = 0; j < line.Devices.size(); ++j) {
      if (j != 0) out += ',';
      out += "{\"mac\":" + JsonString(line.Devices[j].Mac) + ',';
      AppendCounts(out, line.Devices[j].Counts);
      out += '}';
    }
    out += "]}";
  }
  out += "],\"subscribers\":[";
  for (std::size_t i = 0; i < status.Subscribers.size(); ++i) {
    const TSubscriberStatus& s = status.Subscribers[i];
    if (i != 0) out += ',';
    // Client names come in over the API as Windows-1251.
    out += "{\"client\":" + JsonString(platform::Cp1251ToUtf8(s.Client));
    out += ",\"host\":" + JsonString(platform::Cp1251ToUtf8(s.Host));
    out += ",\"port\":" + std::to_string(s.Port);
    out += ",\"calls_queued\":" + std::to_string(s.CallsQueued);
    out += ",\"calls_sent\":" + std::to_string(s.CallsSent);
    out += ",\"calls_failed\":" + std::to_string(s.CallsFailed);
    out += ",\"cached_rows\":" + std::to_string(s.CachedRows);
    out += '}';
  }
  out += "]}\n";
  return out;
}

std::string StatisticsEntry(const TServiceStatus& status) {
  device::TTrafficCounts traffic;
  std::size_t devices = 0;
  for (const TLineStatus& line : status.Lines) {
    traffic += line.Counts;
    devices += line.Devices.size();
  }
  std::uint64_t queued = 0;
  std::uint64_t sent = 0;
  std::uint64_t failed = 0;
  std::uint64_t cached = 0;
  for (const TSubscriberStatus& s : status.Subscribers) {
    queued += s.CallsQueued;
    sent += s.CallsSent;
    failed += s.CallsFailed;
    cached += s.CachedRows;
  }
  auto n = [](std::uint64_t value) { return std::to_string(value); };
  return "Statistics: lines " + n(status.Lines.size()) + ", devices " + n(devices) + ", subscribers " +
         n(status.Subscribers.size()) + "; packets in " + n(traffic.PacketsIn) + ", out " + n(traffic.PacketsOut) +
         "; CRC errors " + n(traffic.CrcErrors) + "; authentication errors " + n(traffic.AuthErrors) +
         "; retransmissions " + n(traffic.Retransmissions) + "; connects " + n(traffic.Connects) +
         "; disconnects " + n(traffic.Disconnects) + "; calls queued " + n(queued) + ", sent " + n(sent) +
         ", failed " + n(failed) + "; cached rows " + n(cached);
}

TStatusFile::TStatusFile(const std::filesystem::path& directory) : path_(directory / kStatusFileName) {}

bool TStatusFile::Write(std::string_view text) const noexcept {
  try {
    // Unique per process, so two services on one directory never share one.
    const std::filesystem::path temporary =
        path_.parent_path() / ("." + path_.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path_.c_str()) != 0) {
      ::unlink(temporary.c_str());
      return false;
    }
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(path_.parent_path().empty() ? "." : path_.parent_path().c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace kavor2::service
