#include "platform/descriptor_limit.h"

#include <sys/resource.h>

#include <limits>

namespace kavor2::platform {
namespace {

std::uint64_t AsCount(rlim_t value) {
  if (value == RLIM_INFINITY) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

}  // namespace

std::uint64_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  return AsCount(limit.rlim_cur);
}

std::uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur != limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // Refused (e.g. an unlimited hard limit above the kernel's nr_open):
    // the old soft limit stays, which is still a working limit.
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return AsCount(limit.rlim_cur);
}

}  // namespace kavor2::platform
