#pragma once
// The simulated serial bus behind a pseudo-terminal: the service opens the
// slave side as its COM port (through a symlink DIR/COM<N>, see the
// service's /comdir option), the simulator reads and writes the master
// side. TSerialBusRunner drives a TSimBus on its own thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "k2sim/k2sim_bus.h"

namespace kavor2::k2sim {

class TPtyBus {
 public:
  // Opens a pseudo-terminal in raw mode and points link_path (replacing an
  // old symlink there) at its slave. Raises std::runtime_error.
  explicit TPtyBus(std::string link_path);
  // Removes the link and closes both sides.
  ~TPtyBus();
  TPtyBus(const TPtyBus&) = delete;
  TPtyBus& operator=(const TPtyBus&) = delete;

  int Descriptor() const { return master_; }
  const std::string& SlavePath() const { return slave_path_; }
  const std::string& LinkPath() const { return link_path_; }
  // What is waiting now, without waiting (empty: nothing).
  device::Bytes ReadAvailable();
  // Returns false when the bytes could not all be written.
  bool Write(device::ByteView bytes);

 private:
  std::string link_path_;
  std::string slave_path_;
  int master_ = -1;
  int slave_ = -1;  // kept open, so the master never sees a hang-up between the service's opens
};

// One event: the device, a short name and the bytes it concerns.
using TBusEventSink = std::function<void(const device::DeviceId& id, const std::string& event, const device::Bytes& data)>;

class TSerialBusRunner {
 public:
  // Starts the thread at once; sink may be empty.
  TSerialBusRunner(std::string link_path, TSimBus bus, TBusEventSink sink = {});
  ~TSerialBusRunner();
  TSerialBusRunner(const TSerialBusRunner&) = delete;
  TSerialBusRunner& operator=(const TSerialBusRunner&) = delete;

  const TPtyBus& Pty() const { return pty_; }
  // Runs fn on the bus under the runner's lock.
  void WithBus(const std::function<void(TSimBus&)>& fn);
  // Waits (up to the timeout) until the condition on the bus holds.
  bool WaitUntil(const std::function<bool(TSimBus&)>& condition, std::chrono::milliseconds timeout);

 private:
  void Run();
  void Report();

  TPtyBus pty_;
  TSimBus bus_;
  TBusEventSink sink_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::size_t> seen_frames_;
  std::vector<bool> seen_connected_;
  std::vector<std::optional<std::uint8_t>> seen_address_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: it uses everything above
};

}  // namespace kavor2::k2sim
