#pragma once
// The simulator's run: one TUdpSimDevice per socket, a steady-clock loop
// that waits on all sockets, the stop descriptor and (when asked) standard
// input for commands, and the event lines it prints and records.
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "k2sim/k2sim_options.h"
#include "k2sim/k2sim_udp_device.h"

namespace kavor2::k2sim {

// "hh:mm:ss.zzz ID event HEX", the ID as twelve hex digits in API order.
std::string FormatEvent(std::int64_t ms_of_day, const device::DeviceId& id, const std::string& event,
                        const Bytes& data);

// A command line of standard input.
struct TSimCommand {
  std::optional<device::DeviceId> Target;  // stored order; nothing: every device
  std::string Verb;                        // data, stream, route, status
  Bytes Data;                              // data / stream bytes
  std::uint8_t Address = 0;                // route
  std::uint8_t Value = 0;                  // route state, status bits
};
// Nothing, with the reason in error, for a line that is not a command.
std::optional<TSimCommand> ParseCommand(const std::string& line, std::string& error);

// The local time of day in milliseconds, as event lines show it.
std::int64_t LocalMsOfDay();

// Command lines arriving on a descriptor in pieces.
class TCommandInput {
 public:
  // Reads what fd has; each complete non-blank line that is a command goes
  // to apply, any other to fail with the reason. False once the input has
  // ended or failed.
  bool Read(int fd, const std::function<void(const TSimCommand&)>& apply,
            const std::function<void(const std::string&)>& fail);

 private:
  std::string pending_;
};

class TSimDriver {
 public:
  // Binds one socket per device; raises device::ECommError when a port is
  // taken, std::runtime_error when the service address or record file is
  // unusable.
  TSimDriver(const TSimOptions& options, std::ostream& out);

  std::vector<std::unique_ptr<TUdpSimDevice>>& Devices() { return devices_; }

  // Runs until stop_fd becomes readable (-1: never), the duration ends or
  // command input closes after its last command. command_fd -1: none.
  void Run(int stop_fd, int command_fd);
  void Apply(const TSimCommand& command);

 private:
  std::int64_t NowMs() const;
  void Event(const device::DeviceId& id, const std::string& event, const Bytes& data);
  bool ReadCommands(int fd);

  TSimOptions options_;
  std::ostream& out_;
  std::ofstream record_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<TUdpSimDevice>> devices_;
  TCommandInput commands_;
};

}  // namespace kavor2::k2sim
