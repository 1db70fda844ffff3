#pragma once
// A session with real line threads on UDP loopback, the records it delivers
// to the host, and sockets of the test that play devices. Loopback only:
// 127.0.0.0/8 addresses, which a private network namespace with lo up has.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/id_exchange.h"
#include "device/kavor_session.h"
#include "device/udp_datagram.h"
#include "platform/event_loop.h"
#include "platform/text.h"

namespace kavor2::device::test {

using namespace std::chrono_literals;
using ByteString = std::vector<std::uint8_t>;

inline constexpr auto kLineDeadline = 20s;
inline const std::string kLineAddress = "127.0.0.1";

inline std::string Win1251(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

// The service thread: an event loop on a thread of its own.
class ServiceThread {
 public:
  ServiceThread() : thread_([this] { loop_.Run(); }) {}
  ~ServiceThread() {
    loop_.Stop();
    thread_.join();
  }
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  platform::EventLoop& Loop() { return loop_; }

 private:
  platform::EventLoop loop_;
  std::thread thread_;
};

// What the session delivered to the host, in order.
class SessionRecords {
 public:
  struct Data {
    std::int32_t kind = 0;
    std::string trace;
    ByteString data;
    std::string device_text;
    bool deliver = false;
  };
  struct State {
    std::uint16_t code = 0;
    std::string subject;
  };

  // The records must outlive the session.
  void Wire(TKavorSession& session) {
    session.SetOnDeviceData([this](TKavorSession&, std::int32_t kind, const TK2Message& record) {
      Add([&] { data_.push_back({kind, record.TraceText, record.Data, record.DeviceText, record.Deliver}); });
    });
    session.SetOnDeviceState([this](TKavorSession&, std::uint16_t code, const TStateDeviceMessage* record) {
      Add([&] { states_.push_back({code, record ? record->Subject : std::string()}); });
    });
  }

  // Waits until the condition, read under the records' lock, holds.
  bool WaitUntil(const std::function<bool()>& condition) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kLineDeadline, condition);
  }
  // Unlocked views for conditions given to WaitUntil.
  const std::vector<Data>& DataLocked() const { return data_; }
  const std::vector<State>& StatesLocked() const { return states_; }

  std::vector<Data> DataRecords() const {
    std::lock_guard lock(mutex_);
    return data_;
  }
  std::vector<State> States() const {
    std::lock_guard lock(mutex_);
    return states_;
  }
  // The first data record of the device with that trace (Windows-1251).
  std::optional<Data> Trace(const std::string& device_text, const std::string& trace) const {
    std::lock_guard lock(mutex_);
    return FindTraceLocked(device_text, trace);
  }
  bool WaitForTrace(const std::string& device_text, const std::string& trace) {
    return WaitUntil([&] { return FindTraceLocked(device_text, trace).has_value(); });
  }
  bool WaitForState(std::uint16_t code, const std::string& subject) {
    return WaitUntil([&] { return HasStateLocked(code, subject); });
  }
  bool HasState(std::uint16_t code, const std::string& subject) const {
    std::lock_guard lock(mutex_);
    return HasStateLocked(code, subject);
  }

 private:
  void Add(const std::function<void()>& add) {
    {
      std::lock_guard lock(mutex_);
      add();
    }
    changed_.notify_all();
  }
  std::optional<Data> FindTraceLocked(const std::string& device_text, const std::string& trace) const {
    for (const Data& d : data_) {
      if (d.device_text == device_text && d.trace == trace) return d;
    }
    return std::nullopt;
  }
  bool HasStateLocked(std::uint16_t code, const std::string& subject) const {
    for (const State& s : states_) {
      if (s.code == code && s.subject == subject) return true;
    }
    return false;
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Data> data_;
  std::vector<State> states_;
};

inline sockaddr_in SocketAddress(const std::string& host, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) throw std::runtime_error("address " + host);
  return a;
}

// A UDP socket of the test playing a device.
class DeviceSocket {
 public:
  struct Datagram {
    ByteString bytes;
    std::string host;
    int port = 0;
  };

  explicit DeviceSocket(const std::string& address = kLineAddress, std::uint16_t port = 0) : address_(address) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    const sockaddr_in a = SocketAddress(address, port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      const std::string error = std::strerror(errno);
      ::close(fd_);
      throw std::runtime_error("bind " + address + ":" + std::to_string(port) + ": " + error);
    }
  }
  ~DeviceSocket() { ::close(fd_); }
  DeviceSocket(const DeviceSocket&) = delete;
  DeviceSocket& operator=(const DeviceSocket&) = delete;

  const std::string& Address() const { return address_; }
  int Port() const {
    sockaddr_in a{};
    socklen_t size = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
  }

  void SendTo(const std::string& host, int port, const ByteString& bytes) const {
    const sockaddr_in a = SocketAddress(host, static_cast<std::uint16_t>(port));
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    if (n != static_cast<ssize_t>(bytes.size())) throw std::runtime_error(std::string("sendto: ") + std::strerror(errno));
  }

  // The next datagram, or nothing when none comes in time.
  std::optional<Datagram> Receive(std::chrono::milliseconds timeout = kLineDeadline) const {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    ByteString buffer(kMaxDatagramSize + 1);
    sockaddr_in from{};
    socklen_t size = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return Datagram{std::move(buffer), text, ntohs(from.sin_port)};
  }
  // Whatever is waiting now, without waiting.
  std::optional<Datagram> TryReceive() const { return Receive(0ms); }
  // Datagrams up to the first that satisfies the condition, which is
  // returned; nothing when none comes in time. The others are dropped.
  std::optional<Datagram> ReceiveUntil(const std::function<bool(const Datagram&)>& wanted) const {
    const auto deadline = std::chrono::steady_clock::now() + kLineDeadline;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      std::optional<Datagram> d = Receive(left);
      if (!d) return std::nullopt;
      if (wanted(*d)) return d;
    }
  }

 private:
  std::string address_;
  int fd_ = -1;
};

// A port free on every local address right now.
inline int FreeUdpPort() {
  DeviceSocket probe("0.0.0.0");
  return probe.Port();
}

// An ID exchange datagram: prefix, kind, ID.
inline ByteString IdDatagram(std::uint8_t kind, const DeviceId& id) {
  ByteString datagram = {kDatagramMark0, kDatagramMark1, MakeDatagramPrefix(false)[2]};
  const ByteString message = BuildIdExchangeMessage(kind, id);
  datagram.insert(datagram.end(), message.begin(), message.end());
  return datagram;
}

// A K2 packet in its datagram.
inline ByteString K2Datagram(const ByteString& packet) {
  ByteString datagram = {kDatagramMark0, kDatagramMark1, MakeDatagramPrefix(true)[2]};
  datagram.insert(datagram.end(), packet.begin(), packet.end());
  return datagram;
}

// Loopback as the line's only address, a first adapter 00-1A-2B-3C-4D-5E,
// and the system's line threads.
inline TSessionEnvironment LoopbackLineEnvironment() {
  TSessionEnvironment environment;
  environment.LocalAddresses = [] { return std::vector<std::string>{kLineAddress}; };
  environment.Adapters = [] {
    LocalAdapters list;
    list.ok = true;
    list.adapters.push_back({"eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}});
    list.ipv4_addresses = {kLineAddress};
    return list;
  };
  return environment;
}

}  // namespace kavor2::device::test
