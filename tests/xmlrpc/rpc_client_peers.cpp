#include "xmlrpc/rpc_client_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace kavor2::xmlrpc::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPythonStartLimit = 20s;

constexpr const char* kPythonServer = R"PY(
import os, sys, threading
from xmlrpc.server import SimpleXMLRPCServer, SimpleXMLRPCRequestHandler
from xmlrpc.client import Fault

class Handler(SimpleXMLRPCRequestHandler):
    rpc_paths = ('/xml-rpc',)

def echo(value):
    return value

def fail(code, text):
    raise Fault(code, text)

server = SimpleXMLRPCServer(('127.0.0.1', 0), requestHandler=Handler, logRequests=False)
server.register_function(echo, 'Echo')
server.register_function(fail, 'Fail')
# The test keeps our stdin open; when it ends, however it ends, so do we.
def watch_parent():
    sys.stdin.buffer.read()
    os._exit(0)
threading.Thread(target=watch_parent, daemon=True).start()
print(server.server_address[1], flush=True)
server.serve_forever()
)PY";

int PollMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool PumpUntil(platform::EventLoop& loop, const std::function<bool()>& pred, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() >= deadline) return false;
    loop.RunFor(10ms);
  }
  return true;
}

// ---------------------------------------------------------------------------

PythonXmlRpcPeer::PythonXmlRpcPeer() {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(stdin_pipe_, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stdin_pipe_[0], STDIN_FILENO);
  const char* argv[] = {"python3", "-c", kPythonServer, nullptr};
  int rc = ::posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(stdin_pipe_[0]);
  stdin_pipe_[0] = -1;
  if (rc != 0) {
    pid_ = -1;
    ::close(out[0]);
    return;
  }
  std::string text;
  auto deadline = Clock::now() + kPythonStartLimit;
  while (text.find('\n') == std::string::npos) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, PollMs(deadline)) <= 0) break;
    char chunk[64];
    ssize_t got = ::read(out[0], chunk, sizeof chunk);
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(out[0]);
  if (text.find('\n') != std::string::npos) port_ = static_cast<std::uint16_t>(std::atoi(text.c_str()));
}

PythonXmlRpcPeer::~PythonXmlRpcPeer() {
  if (stdin_pipe_[1] >= 0) ::close(stdin_pipe_[1]);
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------------------

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::WaitReadable(Clock::time_point deadline) {
  for (;;) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int n = ::poll(p, 2, PollMs(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (p[1].revents != 0) return false;
    return true;
  }
}

bool RawConnection::ReadLine(std::string& line, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  for (;;) {
    std::size_t end = buffer_.find("\r\n");
    if (end != std::string::npos) {
      line = buffer_.substr(0, end);
      buffer_.erase(0, end + 2);
      return true;
    }
    if (fd_ < 0 || !WaitReadable(deadline)) return false;
    // Small pieces, so that what the script does not read stays unread in
    // the socket (closing then resets the connection).
    char chunk[512];
    ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool RawConnection::ReadExact(std::size_t n, std::string& out, std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  while (buffer_.size() < n) {
    if (fd_ < 0 || !WaitReadable(deadline)) return false;
    char chunk[64 * 1024];
    ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(got));
  }
  out = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return true;
}

bool RawConnection::ReadRequest(std::string& head, std::string& body, std::chrono::milliseconds limit) {
  head.clear();
  body.clear();
  std::size_t length = 0;
  std::string line;
  for (;;) {
    if (!ReadLine(line, limit)) return false;
    head += line + "\r\n";
    if (line.empty()) break;
    constexpr std::string_view kLength = "Content-Length: ";
    if (line.compare(0, kLength.size(), kLength) == 0)
      length = static_cast<std::size_t>(std::strtoull(line.c_str() + kLength.size(), nullptr, 10));
  }
  return ReadExact(length, body, limit);
}

bool RawConnection::Write(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

void RawConnection::Reset() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  ::close(fd_);
  fd_ = -1;
}

void RawConnection::HoldUntilClosed() {
  while (fd_ >= 0) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || p[1].revents != 0) return;
    char chunk[4096];
    if (::recv(fd_, chunk, sizeof chunk, 0) <= 0) return;
  }
}

std::string HttpResponse(std::string_view body) {
  return "HTTP/1.1 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nContent-Type: text/xml\r\n\r\n" + std::string(body);
}

// ---------------------------------------------------------------------------

RawPeer::RawPeer(Script script) : script_(std::move(script)) {
  stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
    return;
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { AcceptLoop(); });
}

RawPeer::~RawPeer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t w = ::write(stop_fd_, &one, sizeof one);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (auto& t : workers) t.join();
  ::close(listen_fd_);
  ::close(stop_fd_);
}

void RawPeer::AcceptLoop() {
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    int n = ::poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || p[1].revents != 0) return;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    int index = accepted_++;
    workers_.emplace_back([this, fd, index] {
      RawConnection connection(fd, stop_fd_);
      script_(connection, index);
    });
    changed_.notify_all();
  }
}

int RawPeer::Accepted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

void RawPeer::Record(std::string request) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(std::move(request));
  changed_.notify_all();
}

std::vector<std::string> RawPeer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool RawPeer::WaitForRequests(std::size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
}

void RawPeer::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  opened_ = true;
  changed_.notify_all();
}

bool RawPeer::WaitOpened(std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, limit, [&] { return opened_ || stopping_; });
  return opened_;
}

void ServeRequests(RawPeer& peer, RawConnection& connection,
                   const std::function<std::string(const std::string& head, const std::string& body)>& answer) {
  std::string head;
  std::string body;
  while (connection.ReadRequest(head, body)) {
    peer.Record(head + body);
    if (!connection.Write(answer(head, body))) return;
  }
}

}  // namespace kavor2::xmlrpc::testing
