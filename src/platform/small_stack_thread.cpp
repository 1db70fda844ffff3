#include "platform/small_stack_thread.h"

#include <exception>

namespace kavor2::platform {

SmallStackThread::~SmallStackThread() {
  // Like std::thread: a thread that was never joined is a programming error.
  if (started_) std::terminate();
}

bool SmallStackThread::Start(std::function<void()> body, std::size_t stack_size) {
  if (started_) return false;
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return false;
  if (stack_size > 0 && ::pthread_attr_setstacksize(&attr, stack_size) != 0) {
    ::pthread_attr_destroy(&attr);
    return false;
  }
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  int rc = ::pthread_create(&thread_, &attr, &SmallStackThread::Run, owned.get());
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return false;
  owned.release();  // the thread frees it
  started_ = true;
  return true;
}

void SmallStackThread::Join() {
  if (!started_) return;
  ::pthread_join(thread_, nullptr);
  started_ = false;
}

void* SmallStackThread::Run(void* arg) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
  // As with std::thread, an escaping exception ends the process.
  (*body)();
  return nullptr;
}

}  // namespace kavor2::platform
