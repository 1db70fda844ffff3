#pragma once
// The simulator's serial bus run: the devices of the options on one TSimBus
// behind a pseudo-terminal, timed frames and status words, commands from
// standard input, and the event lines it prints and records.
#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "k2sim/k2sim_driver.h"
#include "k2sim/k2sim_options.h"
#include "k2sim/k2sim_pty.h"

namespace kavor2::k2sim {

// The bus of the options' devices: IDs, key, capacity, repeat behaviour.
TSimBus BusFromOptions(const TSimOptions& options);

class TSerialSimDriver {
 public:
  // Opens the pty and its link; raises std::runtime_error when it cannot.
  TSerialSimDriver(const TSimOptions& options, std::ostream& out);

  TSerialBusRunner& Runner() { return *runner_; }
  // Runs until stop_fd becomes readable (-1: never) or the duration ends.
  void Run(int stop_fd, int command_fd);
  void Apply(const TSimCommand& command);

 private:
  std::int64_t NowMs() const;
  void Event(const device::DeviceId& id, const std::string& event, const device::Bytes& data);
  void Timers(std::int64_t now);
  bool ReadCommands(int fd);

  TSimOptions options_;
  std::ostream& out_;
  std::mutex out_mutex_;  // the bus thread reports too
  std::ofstream record_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::int64_t last_send_ = 0;
  std::int64_t last_status_ = 0;
  TCommandInput commands_;
  std::unique_ptr<TSerialBusRunner> runner_;  // last: its thread reports through the above
};

}  // namespace kavor2::k2sim
