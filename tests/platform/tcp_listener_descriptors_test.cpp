// The listener when the process has no descriptors left: waiting clients are
// refused at once instead of staying in the backlog (where they would wake
// the accepting thread again and again), and accepting resumes as soon as a
// descriptor is free.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/tcp.h"

namespace kavor2::platform {
namespace {

using namespace std::chrono_literals;

constexpr int kAnswerWaitMs = 3000;
constexpr rlim_t kRoom = 8;

// Lowers the soft descriptor limit to a little above the descriptors now
// open and fills the rest, so that the next open fails with EMFILE. Restores
// everything when it goes.
class DescriptorsUsedUp {
 public:
  DescriptorsUsedUp() {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(highest) + kRoom;
    ::setrlimit(RLIMIT_NOFILE, &low);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler_.push_back(fd);
  }
  ~DescriptorsUsedUp() {
    for (int fd : filler_) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorsUsedUp(const DescriptorsUsedUp&) = delete;
  DescriptorsUsedUp& operator=(const DescriptorsUsedUp&) = delete;

  bool Full() const { return !filler_.empty(); }
  void FreeOne() {
    ::close(filler_.back());
    filler_.pop_back();
  }

 private:
  rlimit saved_{};
  std::vector<int> filler_;
};

bool ConnectLoopback(int fd, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

// True when the peer closed or reset the connection within the wait.
bool SeesClosed(int fd) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, kAnswerWaitMs) != 1) return false;
  char byte = 0;
  return ::recv(fd, &byte, 1, 0) <= 0;
}

double ProcessCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

TEST(TcpListener, OutOfDescriptorsRefusesAtOnceWithoutSpinningAndAcceptsAgainAfter) {
  TcpListener listener;
  ASSERT_TRUE(listener.Open(0).ok());
  // Made before the descriptors run out; connecting them needs none.
  int refused_a = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int refused_b = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int later = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_TRUE(refused_a >= 0 && refused_b >= 0 && later >= 0);

  std::atomic<bool> started{false};
  std::atomic<bool> returned{false};
  std::atomic<bool> may_end{false};
  IoResult result;
  std::unique_ptr<TcpConnection> accepted;
  std::thread acceptor;
  // A failed check must not leave the accepting thread running.
  struct StopOnExit {
    TcpListener& listener;
    std::thread& thread;
    std::atomic<bool>& may_end;
    ~StopOnExit() {
      listener.Stop();
      may_end.store(true);
      if (thread.joinable()) thread.join();
    }
  } stop_on_exit{listener, acceptor, may_end};
  // The thread starts and ends while descriptors are to be had: the
  // sanitizers' checks made as a thread starts and ends need some.
  acceptor = std::thread([&] {
    started.store(true);
    result = listener.Accept(accepted);
    returned.store(true);
    while (!may_end.load()) std::this_thread::sleep_for(1ms);
  });
  while (!started.load()) std::this_thread::sleep_for(1ms);
  {
    DescriptorsUsedUp full;
    ASSERT_TRUE(full.Full());
    ASSERT_TRUE(ConnectLoopback(refused_a, listener.Port()));
    ASSERT_TRUE(ConnectLoopback(refused_b, listener.Port()));
    EXPECT_TRUE(SeesClosed(refused_a));
    EXPECT_TRUE(SeesClosed(refused_b));

    // Refusing did not end the wait, and the waiting costs no CPU: nothing
    // is left in the backlog to wake the listener.
    const double cpu_before = ProcessCpuSeconds();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(ProcessCpuSeconds() - cpu_before, 0.25);
    EXPECT_FALSE(returned.load());

    full.FreeOne();
    ASSERT_TRUE(ConnectLoopback(later, listener.Port()));
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (!returned.load() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  }
  may_end.store(true);
  acceptor.join();
  EXPECT_TRUE(result.ok()) << Describe(result);
  ASSERT_NE(accepted, nullptr);
  ASSERT_TRUE(accepted->WriteAll("x").ok());
  char byte = 0;
  EXPECT_EQ(::recv(later, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
  for (int fd : {refused_a, refused_b, later}) ::close(fd);
}

}  // namespace
}  // namespace kavor2::platform
