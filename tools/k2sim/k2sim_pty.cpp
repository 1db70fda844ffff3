#include "k2sim/k2sim_pty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kavor2::k2sim {

namespace {

constexpr int kTickMs = 5;
constexpr std::size_t kReadChunk = 512;

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

TPtyBus::TPtyBus(std::string link_path) : link_path_(std::move(link_path)) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) throw SystemError("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    ::close(master_);
    throw SystemError("unlockpt");
  }
  char name[128] = {};
  if (::ptsname_r(master_, name, sizeof name) != 0) {
    ::close(master_);
    throw SystemError("ptsname");
  }
  slave_path_ = name;
  slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) {
    ::close(master_);
    throw SystemError("open " + slave_path_);
  }
  termios tio{};
  ::tcgetattr(slave_, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(slave_, TCSANOW, &tio);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  ::unlink(link_path_.c_str());
  if (::symlink(slave_path_.c_str(), link_path_.c_str()) != 0) {
    const std::runtime_error error = SystemError("symlink " + link_path_);
    ::close(slave_);
    ::close(master_);
    throw error;
  }
}

TPtyBus::~TPtyBus() {
  ::unlink(link_path_.c_str());
  ::close(slave_);
  ::close(master_);
}

device::Bytes TPtyBus::ReadAvailable() {
  device::Bytes out;
  std::array<std::uint8_t, kReadChunk> buffer{};
  for (;;) {
    const ssize_t n = ::read(master_, buffer.data(), buffer.size());
    if (n <= 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + n);
  }
  return out;
}

bool TPtyBus::Write(device::ByteView bytes) {
  std::size_t put = 0;
  for (int tries = 0; put < bytes.size() && tries < 100; ++tries) {
    const ssize_t n = ::write(master_, bytes.data() + put, bytes.size() - put);
    if (n > 0) {
      put += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{master_, POLLOUT, 0};
    ::poll(&p, 1, kTickMs);
  }
  return put == bytes.size();
}

// ---- TSerialBusRunner ----------------------------------------------------------------

TSerialBusRunner::TSerialBusRunner(std::string link_path, TSimBus bus, TBusEventSink sink)
    : pty_(std::move(link_path)), bus_(std::move(bus)), sink_(std::move(sink)), thread_([this] { Run(); }) {}

TSerialBusRunner::~TSerialBusRunner() {
  stop_ = true;
  thread_.join();
}

void TSerialBusRunner::WithBus(const std::function<void(TSimBus&)>& fn) {
  {
    std::lock_guard lock(mutex_);
    fn(bus_);
  }
  changed_.notify_all();
}

bool TSerialBusRunner::WaitUntil(const std::function<bool(TSimBus&)>& condition, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return condition(bus_); });
}

void TSerialBusRunner::Run() {
  while (!stop_) {
    pollfd p{pty_.Descriptor(), POLLIN, 0};
    ::poll(&p, 1, kTickMs);
    {
      std::lock_guard lock(mutex_);
      const device::Bytes in = pty_.ReadAvailable();
      if (!in.empty()) {
        const device::Bytes out = bus_.Feed(in);
        if (!out.empty()) pty_.Write(out);
      }
      bus_.Tick();
      Report();
    }
    changed_.notify_all();
  }
}

void TSerialBusRunner::Report() {
  auto& devices = bus_.Devices();
  seen_frames_.resize(devices.size(), 0);
  seen_connected_.resize(devices.size(), false);
  seen_address_.resize(devices.size());
  if (!sink_) return;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    TSimBusDevice& d = *devices[i];
    if (d.ShortAddr() != seen_address_[i]) {
      seen_address_[i] = d.ShortAddr();
      sink_(d.Id(), "linked", device::Bytes{*d.ShortAddr()});
    }
    if (d.Connected() != seen_connected_[i]) {
      seen_connected_[i] = d.Connected();
      sink_(d.Id(), d.Connected() ? "connected" : "disconnected", {});
    }
    const TSimDevice* sim = d.Sim();
    if (!sim) continue;
    if (sim->DataFrames().size() < seen_frames_[i]) seen_frames_[i] = 0;  // a new K2 side after a reconnect
    for (; seen_frames_[i] < sim->DataFrames().size(); ++seen_frames_[i]) {
      sink_(d.Id(), "data", sim->DataFrames()[seen_frames_[i]]);
    }
  }
}

}  // namespace kavor2::k2sim
