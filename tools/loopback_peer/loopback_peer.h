#pragma once
// Raw client pieces for driving the real service over loopback from tests
// and benchmarks: free ports, plain sockets, HTTP answers read by their
// Content-Length, and a running process's figures from /proc.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/tcp.h"

namespace kavor2::loopback {

// A loopback TCP port nobody listens on right now; 0 when none was found.
std::uint16_t FreePort();

// A blocking socket connected to 127.0.0.1:port, or -1.
int ConnectRaw(std::uint16_t port);

// True when the peer has closed (or reset) the connection by now.
bool ClosedByPeer(int fd);

// Reads one HTTP answer's head and its Content-Length body.
bool ReadHttpResponse(platform::TcpConnection& c, std::string& body, std::chrono::milliseconds timeout);

// A few figures of a running process.
struct ProcessFigures {
  long hwm_kib = 0;
  long vm_peak_kib = 0;  // address space, which thread stacks take
  long rss_kib = 0;
  long threads = 0;
  long fds = 0;
  double cpu_seconds = 0;  // user plus system
};
ProcessFigures ReadProcessFigures(pid_t pid);

}  // namespace kavor2::loopback
