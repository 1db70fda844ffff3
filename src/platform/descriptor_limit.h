#pragma once
#include <cstdint>

namespace kavor2::platform {

// The process's soft limit on open descriptors (RLIMIT_NOFILE); a very large
// number when the limit is unlimited.
std::uint64_t DescriptorLimit();

// Raises the soft limit on open descriptors to the hard limit, as daemons
// that serve many connections do; the soft limit of 1024 that sessions and
// service managers start with is far below what the hard limit allows.
// Returns the soft limit in force afterwards.
std::uint64_t RaiseDescriptorLimit();

}  // namespace kavor2::platform
