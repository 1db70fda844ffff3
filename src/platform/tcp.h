#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kavor2::platform {

// The outcome of every socket operation. The set is closed: callers switch
// over it and never look at errno themselves.
//   kOk       the operation did all it was asked to do;
//   kClosed   the peer closed the connection (or Shutdown was called) before
//             the operation completed; what was read so far is discarded;
//   kTimeout  the deadline passed first; nothing is consumed by a timed-out
//             ReadExact except the bytes it had already taken (see ReadExact);
//   kTooLong  a line was longer than the allowed maximum (ReadLine only);
//   kError    the system reported an error; `error_number` holds its errno.
enum class IoStatus { kOk, kClosed, kTimeout, kTooLong, kError };

struct IoResult {
  IoStatus status = IoStatus::kOk;
  int error_number = 0;  // errno for kError, 0 otherwise

  bool ok() const { return status == IoStatus::kOk; }
  static IoResult Ok() { return {}; }
  static IoResult Closed() { return {IoStatus::kClosed, 0}; }
  static IoResult Timeout() { return {IoStatus::kTimeout, 0}; }
  static IoResult TooLong() { return {IoStatus::kTooLong, 0}; }
  static IoResult Error(int err) { return {IoStatus::kError, err}; }
};

// A short text for logs and error messages ("ok", "closed", "timeout",
// "line too long", or the system's message for the errno).
std::string Describe(const IoResult& r);

// No deadline: block until the operation completes or the socket is shut down.
using Timeout = std::optional<std::chrono::milliseconds>;

// One connected TCP socket (IPv4), owned by this object and closed by its
// destructor. The descriptor is close-on-exec.
//
// Contract:
// - Reads block until they are complete, the timeout passes, the peer closes,
//   or Shutdown is called. There are no short reads: ReadExact gives exactly n
//   bytes or a non-ok status. Bytes received past what a read needs are kept
//   in an internal buffer for the next read, so ReadLine and ReadExact can be
//   mixed on one stream.
// - One thread reads and one thread writes at a time (they may differ).
// - Shutdown may be called from any thread at any time; it wakes a blocked
//   reader or writer, which then returns kClosed. The descriptor itself is
//   closed only by the destructor, so it is never reused under a reader.
// - Writes never raise SIGPIPE; a write to a connection reset by the peer is
//   kError with EPIPE or ECONNRESET.
class TcpConnection {
 public:
  // Takes ownership of a connected socket descriptor.
  explicit TcpConnection(int fd);
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Connects to an IPv4 address in dotted decimal form. kTimeout when the
  // connection is not established within `timeout`; kError with
  // ECONNREFUSED, EHOSTUNREACH, ... otherwise; EINVAL for an address text
  // that is not dotted decimal.
  static IoResult Connect(const std::string& ipv4, std::uint16_t port, Timeout timeout,
                          std::unique_ptr<TcpConnection>& out);

  // Reads exactly n bytes into `out` (replacing its content). The timeout
  // bounds the whole read. On a non-ok result `out` is emptied and the bytes
  // that had arrived are lost: the stream is no longer in a known state and
  // the caller should close it. Memory is taken as the bytes arrive, so a
  // large n that never comes costs little.
  IoResult ReadExact(std::size_t n, std::string& out, Timeout timeout = std::nullopt);

  // Reads one line ended by CR LF; `line` gets it without the CR LF. A lone
  // LF is kept as part of the line. kTooLong when more than max_length
  // characters arrive without a line end (the stream is then unusable).
  IoResult ReadLine(std::string& line, std::size_t max_length, Timeout timeout = std::nullopt);

  // Waits until a read can make progress without blocking: bytes are
  // buffered or have arrived, or the peer closed (the next read then says
  // kClosed). Consumes nothing. kTimeout when the timeout passes first,
  // kClosed after Shutdown.
  IoResult WaitForInput(Timeout timeout = std::nullopt);

  // Writes all bytes or fails.
  IoResult WriteAll(std::string_view bytes);

  // Shuts both directions down; wakes blocked readers and writers. Idempotent.
  void Shutdown();
  bool IsShutdown() const { return shut_down_.load(); }

  // The peer's address in dotted decimal form and its port, as seen when the
  // object was made (empty and 0 when unknown).
  const std::string& PeerAddress() const { return peer_address_; }
  std::uint16_t PeerPort() const { return peer_port_; }
  // The local port of the connection.
  std::uint16_t LocalPort() const;

 private:
  // Waits for readability until the deadline; kOk when readable.
  IoResult WaitReadable(std::optional<std::chrono::steady_clock::time_point> deadline);
  // Receives once into the buffer; kClosed on end of stream.
  IoResult Fill(std::optional<std::chrono::steady_clock::time_point> deadline);

  int fd_;
  std::atomic<bool> shut_down_{false};
  std::string buffer_;        // received, not yet consumed
  std::size_t buffer_pos_ = 0;
  std::string peer_address_;
  std::uint16_t peer_port_ = 0;
};

// A listening TCP socket bound to 0.0.0.0 with SO_REUSEADDR.
//
// Contract: Accept blocks until a connection arrives or Stop is called from
// another thread; after Stop every Accept returns kClosed at once.
// When the process is out of descriptors, Accept refuses the waiting
// connections (the peer sees them closed) with a spare descriptor that it
// keeps for this, instead of leaving them in the backlog to wake it again and
// again; only when even the spare cannot be had back does it return kError
// (EMFILE or ENFILE), and the caller should pause before the next Accept.
class TcpListener {
 public:
  TcpListener();
  ~TcpListener();
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;

  // Binds and listens. Port 0 picks a free port (see Port). kError with
  // EADDRINUSE when the port is taken.
  IoResult Open(std::uint16_t port);
  // The bound port (0 before Open succeeded).
  std::uint16_t Port() const { return port_; }

  // Waits for the next connection. kClosed after Stop.
  IoResult Accept(std::unique_ptr<TcpConnection>& out);

  // Wakes and ends every Accept, now and later. Any thread. Idempotent.
  void Stop();

 private:
  int fd_ = -1;
  int wake_fd_ = -1;  // eventfd signalled by Stop
  int spare_fd_ = -1;  // given up to refuse a connection when out of descriptors
  std::atomic<bool> stopped_{false};
  std::uint16_t port_ = 0;
};

}  // namespace kavor2::platform
