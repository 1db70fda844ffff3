#pragma once
// Peers for the callback client tests: Python's own XML-RPC server as an
// independent implementation, and a scripted raw-socket server for the wire
// cases a real server does not produce.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/event_loop.h"

namespace kavor2::xmlrpc::testing {

using namespace std::chrono_literals;

// Runs the loop on the calling thread until pred() holds or `limit` passed.
bool PumpUntil(platform::EventLoop& loop, const std::function<bool()>& pred,
               std::chrono::milliseconds limit = 20s);

// Python's SimpleXMLRPCServer on 127.0.0.1 (a free port) at path /xml-rpc,
// with "Echo"(value) -> value and "Fail"(code, text) -> that fault. It
// speaks HTTP/1.0 and so closes the connection after each response.
class PythonXmlRpcPeer {
 public:
  PythonXmlRpcPeer();
  ~PythonXmlRpcPeer();
  PythonXmlRpcPeer(const PythonXmlRpcPeer&) = delete;
  PythonXmlRpcPeer& operator=(const PythonXmlRpcPeer&) = delete;

  bool Started() const { return port_ != 0; }
  std::uint16_t Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
  int stdin_pipe_[2] = {-1, -1};  // the child's end is closed once it runs
};

// One accepted connection of a RawPeer. Every wait also ends when the peer
// is stopped.
class RawConnection {
 public:
  RawConnection(int fd, int stop_fd) : fd_(fd), stop_fd_(stop_fd) {}
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // One line ended by CR LF, returned without it.
  bool ReadLine(std::string& line, std::chrono::milliseconds limit = 10s);
  bool ReadExact(std::size_t n, std::string& out, std::chrono::milliseconds limit = 10s);
  // A whole request: its head lines (each with CR LF, the empty line too)
  // and the body announced by Content-Length.
  bool ReadRequest(std::string& head, std::string& body, std::chrono::milliseconds limit = 10s);
  bool Write(std::string_view bytes);
  // Closes with a reset (RST) instead of an orderly close.
  void Reset();
  // Waits until the client closes the connection or the peer is stopped.
  void HoldUntilClosed();

 private:
  // Waits for input on the socket; false on stop or time-out.
  bool WaitReadable(std::chrono::steady_clock::time_point deadline);

  int fd_;
  int stop_fd_;
  std::string buffer_;
};

// A canned HTTP response with the given body.
std::string HttpResponse(std::string_view body);

// A listening socket on 127.0.0.1 (a free port) that runs `script` for each
// accepted connection on its own thread; index counts connections from 0.
class RawPeer {
 public:
  using Script = std::function<void(RawConnection& connection, int index)>;
  explicit RawPeer(Script script);
  ~RawPeer();
  RawPeer(const RawPeer&) = delete;
  RawPeer& operator=(const RawPeer&) = delete;

  std::uint16_t Port() const { return port_; }
  int Accepted() const;

  // Scripts report what they received; tests wait for it.
  void Record(std::string request);
  std::vector<std::string> Requests() const;
  bool WaitForRequests(std::size_t n, std::chrono::milliseconds limit = 10s) const;

  // A gate scripts may wait at (WaitOpened) until the test opens it; false
  // when the peer is stopped or the limit passed first.
  void Open();
  bool WaitOpened(std::chrono::milliseconds limit = 20s) const;

 private:
  void AcceptLoop();

  Script script_;
  int listen_fd_ = -1;
  int stop_fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::thread> workers_;
  std::vector<std::string> requests_;
  int accepted_ = 0;
  bool opened_ = false;
  bool stopping_ = false;
};

// Serves requests on one connection until the client closes it, answering
// each with `answer(head, body)`; records every request as head + body.
void ServeRequests(RawPeer& peer, RawConnection& connection,
                   const std::function<std::string(const std::string& head, const std::string& body)>& answer);

}  // namespace kavor2::xmlrpc::testing
