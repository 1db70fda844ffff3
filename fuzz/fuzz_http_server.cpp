// The server's request loop on hostile bytes: real TRpcServers (one plain,
// one with AES bodies) listen on loopback for the whole run, with an Echo
// method and the introspection methods. Each input is one connection: the
// bytes are written, the write side is shut, and the answer is read until
// the server closes. A server that keeps the connection open after that
// (it has all it will ever get) is a fault.
//
// The first input byte picks the server and how the rest is sent:
//   bit 0: the AES server;
//   bit 1 (AES only): the harness runs the session-key exchange first;
//   bit 2 (AES only, after the exchange): framed: the rest is head lines,
//          an empty line, then a document, which goes out encrypted under
//          the session key with its Content-Length line added last.
// Otherwise the bytes go out as they are.
//
// NUL bytes are sent as blanks: the executor refuses a body holding one and
// the connection then retries the hand-off with pauses (tested elsewhere),
// which would slow every such input down to a few a second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/aes128.h"
#include "platform/event_loop.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/rpc_server.h"
#include "xmlrpc/rpc_types.h"
#include "xmlrpc/session_key.h"

namespace {

namespace xr = kavor2::xmlrpc;

constexpr std::uint8_t kAesBit = 1;
constexpr std::uint8_t kExchangeBit = 2;
constexpr std::uint8_t kFramedBit = 4;
constexpr std::string_view kHeadEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
// Far above what answering a few kilobytes takes, even under the sanitizers
// on a busy machine; an answer still open then is a hang.
constexpr std::chrono::milliseconds kCloseDeadline{8000};
constexpr std::size_t kReadChunk = 64 * 1024;

// The two servers and the executor thread, made once and kept to the end of
// the process (destroying them at exit would race the fuzzer's own exit).
class Servers {
 public:
  Servers() : plain_(loop_), aes_(loop_) {
    for (xr::TRpcServer* s : {&plain_, &aes_}) {
      s->SetListenPort(0);
      s->Methods().Add(
          "Echo",
          [](const std::string&, xr::TRpcParams& p, xr::TRpcFunction& r, xr::TRpcStruct&) {
            for (auto& item : p) r.AddItem(item.AsString());
          },
          "Echoes its parameters as text", "array (...)");
    }
    aes_.SetAESCrypt(true);
    plain_.SetActive(true);
    aes_.SetActive(true);
    if (plain_.BoundPort() == 0 || aes_.BoundPort() == 0) __builtin_trap();
    executor_ = std::thread([this] { loop_.Run(); });
  }

  std::uint16_t Port(bool aes) const { return aes ? aes_.BoundPort() : plain_.BoundPort(); }

 private:
  kavor2::platform::EventLoop loop_;
  xr::TRpcServer plain_;
  xr::TRpcServer aes_;
  std::thread executor_;
};

Servers& TheServers() {
  static Servers* servers = new Servers();  // never destroyed, see above
  return *servers;
}

std::string Framed(const kavor2::platform::AesKey& key, std::string_view rest) {
  const std::size_t split = rest.find(kHeadEnd);
  const std::string_view head = rest.substr(0, split);
  const std::string_view document =
      split == std::string_view::npos ? std::string_view() : rest.substr(split + kHeadEnd.size());
  const kavor2::platform::Aes128 cipher(key);
  const std::string body = xr::EncodeAesBody(cipher, document);
  std::string out(head);
  out.append(kLineEnd).append("Content-Length: ").append(std::to_string(body.size())).append(kHeadEnd);
  return out.append(body);
}

// A loopback connection to the port, with its descriptor closed at the end.
class Socket {
 public:
  explicit Socket(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
      __builtin_trap();  // the harness itself is broken
  }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // False when the server has closed or reset the connection meanwhile.
  bool Write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  std::optional<std::string> ReadExact(std::size_t n) {
    std::string out(n, '\0');
    std::size_t done = 0;
    while (done < n) {
      if (!WaitReadable()) return std::nullopt;
      const ssize_t got = ::recv(fd_, out.data() + done, n - done, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return std::nullopt;
      done += static_cast<std::size_t>(got);
    }
    return out;
  }

  void ShutWrite() { ::shutdown(fd_, SHUT_WR); }

  // Reads until the server closes; false when it has not by the deadline.
  bool DrainUntilClosed() {
    std::string sink(kReadChunk, '\0');
    for (;;) {
      if (!WaitReadable()) return false;
      const ssize_t n = ::recv(fd_, sink.data(), sink.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return true;  // closed, or reset with input it did not read
    }
  }

 private:
  // The fuzzer's own timer signals interrupt the wait; they do not end it.
  bool WaitReadable() {
    const auto deadline = std::chrono::steady_clock::now() + kCloseDeadline;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      return ready > 0;
    }
  }

  int fd_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Servers& servers = TheServers();
  const std::uint8_t mode = data[0];
  const bool aes = (mode & kAesBit) != 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::replace(bytes.begin(), bytes.end(), '\0', ' ');

  Socket conn(servers.Port(aes));
  if (aes && (mode & kExchangeBit)) {
    if (!conn.Write(xr::MakeKeyProof())) __builtin_trap();
    const std::optional<std::string> answer = conn.ReadExact(xr::kKeyExchangeMessageSize);
    const std::optional<kavor2::platform::AesKey> key = answer ? xr::UnwrapSessionKey(*answer) : std::nullopt;
    if (!key) __builtin_trap();  // a valid proof is always answered with a key
    if (mode & kFramedBit) bytes = Framed(*key, bytes);
  }
  // The server may close before it has read everything (a line too long, a
  // bad body); a failed write is an answer too.
  (void)conn.Write(bytes);
  conn.ShutWrite();
  if (!conn.DrainUntilClosed()) __builtin_trap();  // the server hangs on a finished client
  return 0;
}
