#include "platform/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kavor2::platform {
namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// Large enough that a whole request head usually arrives in one receive.
constexpr std::size_t kReceiveChunk = 16 * 1024;
constexpr int kListenBacklog = 128;

Deadline DeadlineFor(Timeout timeout) {
  if (!timeout) return std::nullopt;
  return Clock::now() + *timeout;
}

// Milliseconds left for poll: -1 for no deadline, 0 when passed.
int PollWait(const Deadline& deadline) {
  if (!deadline) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

int OpenSpareDescriptor() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

bool OutOfDescriptors(int err) { return err == EMFILE || err == ENFILE; }

void SetNoDelay(int fd) {
  // Requests and responses are written in one piece; waiting for more data
  // would only add the delayed-ACK pause to every call.
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

std::string AddressText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  if (!::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text)) return {};
  return text;
}

}  // namespace

std::string Describe(const IoResult& r) {
  switch (r.status) {
    case IoStatus::kOk:
      return "ok";
    case IoStatus::kClosed:
      return "closed";
    case IoStatus::kTimeout:
      return "timeout";
    case IoStatus::kTooLong:
      return "line too long";
    case IoStatus::kError:
      return std::strerror(r.error_number);
  }
  return "unknown";
}

// ---------------------------------------------------------------------------
// TcpConnection

TcpConnection::TcpConnection(int fd) : fd_(fd) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&peer), &len) == 0 && peer.sin_family == AF_INET) {
    peer_address_ = AddressText(peer);
    peer_port_ = ntohs(peer.sin_port);
  }
}

TcpConnection::~TcpConnection() {
  if (fd_ >= 0) ::close(fd_);
}

IoResult TcpConnection::Connect(const std::string& ipv4, std::uint16_t port, Timeout timeout,
                                std::unique_ptr<TcpConnection>& out) {
  out.reset();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, ipv4.c_str(), &addr.sin_addr) != 1) return IoResult::Error(EINVAL);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return IoResult::Error(errno);
  auto fail = [fd](IoResult r) {
    ::close(fd);
    return r;
  };
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS) return fail(IoResult::Error(errno));
    Deadline deadline = DeadlineFor(timeout);
    for (;;) {
      pollfd p{fd, POLLOUT, 0};
      int n = ::poll(&p, 1, PollWait(deadline));
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(IoResult::Error(errno));
      }
      if (n == 0) return fail(IoResult::Timeout());
      break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return fail(IoResult::Error(errno));
    if (err != 0) return fail(IoResult::Error(err));
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(IoResult::Error(errno));
  SetNoDelay(fd);
  out = std::make_unique<TcpConnection>(fd);
  return IoResult::Ok();
}

IoResult TcpConnection::WaitReadable(Deadline deadline) {
  for (;;) {
    if (shut_down_.load()) return IoResult::Closed();
    pollfd p{fd_, POLLIN, 0};
    int n = ::poll(&p, 1, PollWait(deadline));
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoResult::Error(errno);
    }
    if (n == 0) return IoResult::Timeout();
    return IoResult::Ok();  // readable, hung up or in error: recv tells which
  }
}

IoResult TcpConnection::Fill(Deadline deadline) {
  if (buffer_pos_ == buffer_.size()) {
    buffer_.clear();
    buffer_pos_ = 0;
  }
  for (;;) {
    if (shut_down_.load()) return IoResult::Closed();
    int flags = 0;
    if (deadline) {
      IoResult w = WaitReadable(deadline);
      if (!w.ok()) return w;
      flags = MSG_DONTWAIT;  // poll said readable; never block past the deadline
    }
    std::size_t old = buffer_.size();
    buffer_.resize(old + kReceiveChunk);
    ssize_t got = ::recv(fd_, buffer_.data() + old, kReceiveChunk, flags);
    int err = errno;
    buffer_.resize(old + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got > 0) return IoResult::Ok();
    if (got == 0) return IoResult::Closed();
    if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK) continue;
    if (shut_down_.load()) return IoResult::Closed();
    if (err == ECONNRESET) return IoResult::Closed();
    return IoResult::Error(err);
  }
}

IoResult TcpConnection::ReadExact(std::size_t n, std::string& out, Timeout timeout) {
  out.clear();
  Deadline deadline = DeadlineFor(timeout);
  std::size_t buffered = buffer_.size() - buffer_pos_;
  std::size_t take = buffered < n ? buffered : n;
  out.append(buffer_, buffer_pos_, take);
  buffer_pos_ += take;
  while (out.size() < n) {
    // Large bodies go straight into `out`; only the tail past n is buffered.
    if (shut_down_.load()) {
      out.clear();
      return IoResult::Closed();
    }
    int flags = 0;
    if (deadline) {
      IoResult w = WaitReadable(deadline);
      if (!w.ok()) {
        out.clear();
        return w;
      }
      flags = MSG_DONTWAIT;
    }
    // The room grows with what has arrived, never straight to n: a length
    // announced by the peer must not cost memory before the bytes come.
    std::size_t old = out.size();
    out.resize(std::min(n, old + std::max(old, kReceiveChunk)));
    ssize_t got = ::recv(fd_, out.data() + old, out.size() - old, flags);
    int err = errno;
    out.resize(old + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got > 0) continue;
    if (got < 0 && (err == EINTR || err == EAGAIN || err == EWOULDBLOCK)) continue;
    out.clear();
    if (got == 0 || shut_down_.load() || err == ECONNRESET) return IoResult::Closed();
    return IoResult::Error(err);
  }
  return IoResult::Ok();
}

IoResult TcpConnection::ReadLine(std::string& line, std::size_t max_length, Timeout timeout) {
  line.clear();
  Deadline deadline = DeadlineFor(timeout);
  std::size_t scanned = buffer_pos_;  // where the search for CR LF goes on
  for (;;) {
    std::size_t end = buffer_.find("\r\n", scanned);
    if (end != std::string::npos) {
      if (end - buffer_pos_ > max_length) return IoResult::TooLong();
      line.assign(buffer_, buffer_pos_, end - buffer_pos_);
      buffer_pos_ = end + 2;
      return IoResult::Ok();
    }
    // Allow for a CR that is the last byte so far (its LF may come next).
    std::size_t pending = buffer_.size() - buffer_pos_;
    if (pending > max_length + 1) return IoResult::TooLong();
    scanned = buffer_.empty() ? 0 : buffer_.size() - 1;
    std::size_t before = buffer_pos_;
    IoResult r = Fill(deadline);
    if (!r.ok()) return r;
    // Fill may have compacted the buffer.
    if (before != buffer_pos_) scanned = 0;
    if (scanned < buffer_pos_) scanned = buffer_pos_;
  }
}

IoResult TcpConnection::WaitForInput(Timeout timeout) {
  if (shut_down_.load()) return IoResult::Closed();
  if (buffer_pos_ < buffer_.size()) return IoResult::Ok();
  return WaitReadable(DeadlineFor(timeout));
}

IoResult TcpConnection::WriteAll(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (shut_down_.load()) return IoResult::Closed();
    ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    int err = sent < 0 ? errno : EPIPE;
    if (shut_down_.load()) return IoResult::Closed();
    return IoResult::Error(err);
  }
  return IoResult::Ok();
}

void TcpConnection::Shutdown() {
  if (shut_down_.exchange(true)) return;
  ::shutdown(fd_, SHUT_RDWR);
}

std::uint16_t TcpConnection::LocalPort() const {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
  return ntohs(local.sin_port);
}

// ---------------------------------------------------------------------------
// TcpListener

TcpListener::TcpListener() = default;

TcpListener::~TcpListener() {
  if (fd_ >= 0) ::close(fd_);
  if (wake_fd_ >= 0) ::close(wake_fd_);
  if (spare_fd_ >= 0) ::close(spare_fd_);
}

IoResult TcpListener::Open(std::uint16_t port) {
  if (fd_ >= 0) return IoResult::Error(EISCONN);
  wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) return IoResult::Error(errno);
  spare_fd_ = OpenSpareDescriptor();
  if (spare_fd_ < 0) return IoResult::Error(errno);
  // Non-blocking so that a connection that vanishes between poll and accept
  // cannot block the accepting thread.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return IoResult::Error(errno);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, kListenBacklog) != 0) {
    int err = errno;
    ::close(fd);
    return IoResult::Error(err);
  }
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  port_ = ntohs(bound.sin_port);
  fd_ = fd;
  return IoResult::Ok();
}

IoResult TcpListener::Accept(std::unique_ptr<TcpConnection>& out) {
  out.reset();
  if (fd_ < 0) return IoResult::Error(EBADF);
  for (;;) {
    if (stopped_.load()) return IoResult::Closed();
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      return IoResult::Error(errno);
    }
    if (stopped_.load() || (p[1].revents & POLLIN)) return IoResult::Closed();
    if (!(p[0].revents & POLLIN)) continue;
    // Taken back first when an earlier refusal could not reopen it.
    if (spare_fd_ < 0) spare_fd_ = OpenSpareDescriptor();
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (OutOfDescriptors(err) && spare_fd_ >= 0) {
        // The spare makes room for one accept, and the connection is closed
        // at once: the client learns it was refused and the listener is not
        // woken again by the same connection.
        ::close(spare_fd_);
        int refused = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (refused >= 0) ::close(refused);
        spare_fd_ = OpenSpareDescriptor();
        if (spare_fd_ >= 0) continue;
      }
      // The peer gave up before we took it, or a spurious wake-up.
      if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED || err == EPROTO) continue;
      return IoResult::Error(err);
    }
    SetNoDelay(fd);
    out = std::make_unique<TcpConnection>(fd);
    return IoResult::Ok();
  }
}

void TcpListener::Stop() {
  if (stopped_.exchange(true)) return;
  if (wake_fd_ >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_fd_, &one, sizeof one);
  }
}

}  // namespace kavor2::platform
