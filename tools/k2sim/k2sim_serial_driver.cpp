#include "k2sim/k2sim_serial_driver.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <stdexcept>

namespace kavor2::k2sim {

namespace {

constexpr int kPollMs = 10;
constexpr std::size_t kFrameLengthByte = 1;
constexpr std::int64_t kMsPerSecond = 1000;

Bytes FrameOf(const Bytes& content) {
  Bytes frame{static_cast<std::uint8_t>(content.size() + kFrameLengthByte)};
  frame.insert(frame.end(), content.begin(), content.end());
  return frame;
}

}  // namespace

TSimBus BusFromOptions(const TSimOptions& options) {
  const auto ids = DeviceIds(options);
  if (!ids) throw std::runtime_error("--first-id leaves no room for all devices");
  TSimBus bus;
  std::uint32_t seed = 1;
  for (const device::DeviceId& id : *ids) {
    TBusSimConfig config;
    config.Id = id;
    config.MasterKey = options.MasterKey;
    config.Capacity = static_cast<std::uint8_t>(options.Capacity);
    config.RepeatFirstFrame = options.RepeatFirst;
    config.Seed = seed++ * 0x9E3779B9u | 1;
    bus.Add(config);
  }
  return bus;
}

TSerialSimDriver::TSerialSimDriver(const TSimOptions& options, std::ostream& out) : options_(options), out_(out) {
  if (!options.RecordFile.empty()) {
    record_.open(options.RecordFile, std::ios::out | std::ios::app);
    if (!record_) throw std::runtime_error("cannot open " + options.RecordFile);
  }
  const std::string link = options.SerialDir + "/COM" + std::to_string(options.ComPort);
  runner_ = std::make_unique<TSerialBusRunner>(
      link, BusFromOptions(options),
      [this](const device::DeviceId& id, const std::string& event, const Bytes& data) { Event(id, event, data); });
  Event(device::NoId, "bus " + runner_->Pty().LinkPath() + " -> " + runner_->Pty().SlavePath(), {});
}

std::int64_t TSerialSimDriver::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count();
}

void TSerialSimDriver::Event(const device::DeviceId& id, const std::string& event, const Bytes& data) {
  const std::string line = FormatEvent(LocalMsOfDay(), id, event, data);
  std::lock_guard lock(out_mutex_);
  if (!options_.Quiet) out_ << line << '\n' << std::flush;
  if (record_.is_open()) record_ << line << '\n' << std::flush;
}

void TSerialSimDriver::Apply(const TSimCommand& command) {
  std::vector<std::pair<device::DeviceId, std::string>> refused;
  runner_->WithBus([&](TSimBus& bus) {
    for (auto& device : bus.Devices()) {
      if (command.Target && !device::IdEquals(*command.Target, device->Id())) continue;
      if (!device->Connected()) {
        refused.emplace_back(device->Id(), "not-connected-" + command.Verb);
        continue;
      }
      TSimDevice& sim = *device->Sim();
      if (command.Verb == "data") device->Queue(sim.DataPacket({FrameOf(command.Data)}));
      if (command.Verb == "stream") device->Queue(sim.ServiceStream(command.Data));
      if (command.Verb == "status") device->Queue(sim.StatusWord(command.Value));
      if (command.Verb == "route") refused.emplace_back(device->Id(), "route-not-on-serial");
    }
  });
  for (const auto& [id, event] : refused) Event(id, event, {});
}

void TSerialSimDriver::Timers(std::int64_t now) {
  const bool send = options_.SendEveryMs > 0 && now - last_send_ >= options_.SendEveryMs;
  const bool status = now - last_status_ >= options_.StatusEveryMs;
  if (!send && !status) return;
  if (send) last_send_ = now;
  if (status) last_status_ = now;
  runner_->WithBus([&](TSimBus& bus) {
    for (auto& device : bus.Devices()) {
      if (!device->Connected()) continue;
      if (send) device->Queue(device->Sim()->DataPacket({FrameOf(options_.Data)}));
      if (send && !options_.Stream.empty()) device->Queue(device->Sim()->ServiceStream(options_.Stream));
      if (status) device->Queue(device->Sim()->StatusWord(kStatusDataAllowed));
    }
  });
}

bool TSerialSimDriver::ReadCommands(int fd) {
  return commands_.Read(
      fd, [this](const TSimCommand& command) { Apply(command); },
      [this](const std::string& error) {
        std::lock_guard lock(out_mutex_);
        out_ << "k2sim: " << error << '\n' << std::flush;
      });
}

void TSerialSimDriver::Run(int stop_fd, int command_fd) {
  const std::int64_t end_ms =
      options_.DurationS > 0 ? static_cast<std::int64_t>(options_.DurationS * kMsPerSecond) : -1;
  std::array<pollfd, 2> fds = {pollfd{stop_fd, POLLIN, 0}, pollfd{command_fd, POLLIN, 0}};
  for (;;) {
    const std::int64_t now = NowMs();
    if (end_ms >= 0 && now >= end_ms) return;
    for (auto& fd : fds) fd.revents = 0;
    ::poll(fds.data(), fds.size(), kPollMs);
    if (fds[0].revents != 0) return;
    if (fds[1].revents != 0 && !ReadCommands(command_fd)) fds[1].fd = -1;
    Timers(NowMs());
  }
}

}  // namespace kavor2::k2sim
