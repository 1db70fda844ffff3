#include "k2sim/k2sim_driver.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <stdexcept>

namespace kavor2::k2sim {

namespace {

constexpr int kPollMs = 10;  // the devices' tick
constexpr std::size_t kReadChunk = 4096;
constexpr std::size_t kMaxCommandLine = 4096;  // a longer line is dropped
constexpr std::int64_t kMsPerSecond = 1000;
constexpr std::int64_t kMsPerDay = 24 * 3600 * kMsPerSecond;

bool ParseByte(const std::string& text, std::uint8_t& value) {
  const auto bytes = ParseHex(text);
  if (!bytes || bytes->size() != 1) return false;
  value = bytes->front();
  return true;
}

}  // namespace

std::string FormatEvent(std::int64_t ms_of_day, const device::DeviceId& id, const std::string& event,
                        const Bytes& data) {
  ms_of_day %= kMsPerDay;
  char time[32];
  std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03d", static_cast<int>(ms_of_day / 3'600'000),
                static_cast<int>(ms_of_day / 60'000 % 60), static_cast<int>(ms_of_day / 1000 % 60),
                static_cast<int>(ms_of_day % 1000));
  std::string line = std::string(time) + " " + device::IdToText(id) + " " + event;
  if (!data.empty()) line += " " + HexText(data);
  return line;
}

std::optional<TSimCommand> ParseCommand(const std::string& line, std::string& error) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  TSimCommand command;
  std::size_t next = 0;
  if (!words.empty() && device::IsIdText(words[0])) {
    command.Target = device::TextToStoredId(words[0]);
    next = 1;
  }
  if (next >= words.size()) {
    error = "no command";
    return std::nullopt;
  }
  command.Verb = words[next++];
  const std::size_t args = words.size() - next;
  if (command.Verb == "data" || command.Verb == "stream") {
    std::string hex;
    for (std::size_t i = next; i < words.size(); ++i) hex += words[i];
    auto bytes = ParseHex(hex);
    if (!bytes || bytes->empty()) {
      error = command.Verb + " needs hex bytes";
      return std::nullopt;
    }
    command.Data = std::move(*bytes);
  } else if (command.Verb == "route") {
    if (args != 2 || !ParseByte(words[next], command.Address) || !ParseByte(words[next + 1], command.Value)) {
      error = "route needs ADDR and STATE as hex bytes";
      return std::nullopt;
    }
  } else if (command.Verb == "status") {
    if (args != 1 || !ParseByte(words[next], command.Value)) {
      error = "status needs BITS as a hex byte";
      return std::nullopt;
    }
  } else {
    error = "unknown command " + command.Verb;
    return std::nullopt;
  }
  return command;
}

TSimDriver::TSimDriver(const TSimOptions& options, std::ostream& out) : options_(options), out_(out) {
  const auto service = device::Ipv4SocketAddress(options.ServiceHost, options.ServicePort);
  if (!service) throw std::runtime_error("the service address must be dotted decimal: " + options.ServiceHost);
  const auto ids = DeviceIds(options);
  if (!ids) throw std::runtime_error("--first-id leaves no room for all devices");
  if (!options.RecordFile.empty()) {
    record_.open(options.RecordFile, std::ios::out | std::ios::app);
    if (!record_) throw std::runtime_error("cannot open " + options.RecordFile);
  }
  for (std::size_t i = 0; i < ids->size(); ++i) {
    TUdpSimConfig config;
    config.Id = (*ids)[i];
    config.MasterKey = options.MasterKey;
    config.Service = *service;
    config.IdRequestEveryMs = options.IdRequestEveryMs;
    config.StatusEveryMs = options.StatusEveryMs;
    config.SendEveryMs = options.SendEveryMs;
    config.Data = options.Data;
    config.Stream = options.Stream;
    config.Routes = options.Routes;
    auto socket = device::UdpSocket::Bind(
        options.LocalHost, options.BasePort == 0 ? std::uint16_t{0} : static_cast<std::uint16_t>(options.BasePort + i));
    devices_.push_back(std::make_unique<TUdpSimDevice>(
        config, std::move(socket),
        [this](const device::DeviceId& id, const std::string& event, const Bytes& data) { Event(id, event, data); }));
  }
}

std::int64_t TSimDriver::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

void TSimDriver::Event(const device::DeviceId& id, const std::string& event, const Bytes& data) {
  const std::string line = FormatEvent(LocalMsOfDay(), id, event, data);
  if (!options_.Quiet) out_ << line << '\n' << std::flush;
  if (record_.is_open()) record_ << line << '\n' << std::flush;
}

void TSimDriver::Apply(const TSimCommand& command) {
  for (auto& device : devices_) {
    if (command.Target && !device::IdEquals(*command.Target, device->Id())) continue;
    if (command.Verb == "data") device->SendData(command.Data);
    if (command.Verb == "stream") device->SendStream(command.Data);
    if (command.Verb == "route") device->SendRoute(command.Address, command.Value);
    if (command.Verb == "status") device->SendStatus(command.Value);
  }
}

std::int64_t LocalMsOfDay() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % kMsPerSecond;
  return ((local.tm_hour * 60LL + local.tm_min) * 60 + local.tm_sec) * kMsPerSecond + ms;
}

bool TCommandInput::Read(int fd, const std::function<void(const TSimCommand&)>& apply,
                         const std::function<void(const std::string&)>& fail) {
  std::array<char, kReadChunk> buffer{};
  const ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n <= 0) return false;
  pending_.append(buffer.data(), static_cast<std::size_t>(n));
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    const std::string line = pending_.substr(0, end);
    pending_.erase(0, end + 1);
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string error;
    if (auto command = ParseCommand(line, error)) {
      apply(*command);
    } else {
      fail(error);
    }
  }
  // Input without line ends must not grow without bound.
  if (pending_.size() > kMaxCommandLine) pending_.clear();
  return true;
}

bool TSimDriver::ReadCommands(int fd) {
  return commands_.Read(
      fd, [this](const TSimCommand& command) { Apply(command); },
      [this](const std::string& error) { out_ << "k2sim: " << error << '\n' << std::flush; });
}

void TSimDriver::Run(int stop_fd, int command_fd) {
  const std::int64_t end_ms =
      options_.DurationS > 0 ? static_cast<std::int64_t>(options_.DurationS * kMsPerSecond) : -1;
  std::vector<pollfd> fds;
  for (auto& device : devices_) fds.push_back({device->Descriptor(), POLLIN, 0});
  const std::size_t stop_index = fds.size();
  fds.push_back({stop_fd, POLLIN, 0});  // a negative descriptor is ignored by poll
  const std::size_t command_index = fds.size();
  fds.push_back({command_fd, POLLIN, 0});

  for (auto& device : devices_) device->Poll(NowMs());
  for (;;) {
    if (end_ms >= 0 && NowMs() >= end_ms) return;
    for (auto& fd : fds) fd.revents = 0;
    ::poll(fds.data(), fds.size(), kPollMs);
    if (fds[stop_index].revents != 0) return;
    if (fds[command_index].revents != 0 && !ReadCommands(command_fd)) {
      fds[command_index].fd = -1;  // input closed: go on without commands
    }
    const std::int64_t now = NowMs();
    for (std::size_t i = 0; i < devices_.size(); ++i) {
      if (fds[i].revents & POLLIN) devices_[i]->ReceiveAll(now);
      devices_[i]->Poll(now);
    }
  }
}

}  // namespace kavor2::k2sim
