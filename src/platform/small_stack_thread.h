#pragma once
#include <pthread.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace kavor2::platform {

// A joinable thread with a stack of a chosen size. For work that is known to
// need little stack and runs in many threads at once (one per client
// connection): the default stack (the process's stack limit, often 8 MiB)
// would reserve gigabytes of address space for a thousand idle clients.
//
// Start may fail (the system is out of threads or memory); it then returns
// false and nothing runs. Join must be called before destruction when Start
// succeeded, as with std::thread.
class SmallStackThread {
 public:
  // Large enough for socket reads, digests and the AES body codec with
  // several times their need to spare. The sanitizers' instrumented frames
  // are much larger; their builds keep the system's default stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr std::size_t kDefaultStackSize = 0;
#else
  static constexpr std::size_t kDefaultStackSize = 256 * 1024;
#endif

  SmallStackThread() = default;
  ~SmallStackThread();
  SmallStackThread(const SmallStackThread&) = delete;
  SmallStackThread& operator=(const SmallStackThread&) = delete;

  // Runs `body` on a new thread; 0 as the size keeps the system's default.
  // False when the thread could not be made (or one is already started).
  bool Start(std::function<void()> body, std::size_t stack_size = kDefaultStackSize);
  bool Joinable() const { return started_; }
  void Join();

 private:
  static void* Run(void* arg);

  pthread_t thread_{};
  bool started_ = false;
};

}  // namespace kavor2::platform
