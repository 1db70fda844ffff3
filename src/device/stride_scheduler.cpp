#include "device/stride_scheduler.h"

namespace kavor2::device {

namespace {
constexpr std::uint32_t kScale = 65535;
}

void TStrideScheduler::Reset(const Values& w) {
  const std::uint32_t n = w[0] * kScale * w[1] * w[2] * w[3];
  const std::uint32_t d = w[0] * w[1] * w[2] + w[1] * w[2] * w[3] + w[0] * w[2] * w[3] + w[0] * w[1] * w[3];
  const std::uint32_t t = d == 0 ? 0 : n / d;
  for (std::size_t i = 0; i < kKinds; ++i) {
    strides_[i] = w[i] == 0 ? 0 : t / w[i];
    pass_[i] = strides_[i];
  }
}

std::size_t TStrideScheduler::Choose() const {
  std::size_t best = 0;
  for (std::size_t i = 1; i < kKinds; ++i) {
    if (pass_[i] < pass_[best]) best = i;
  }
  return best;
}

void TStrideScheduler::Consume(std::size_t kind) {
  if (kind >= kKinds) return;
  const std::uint32_t v = pass_[kind];
  for (std::uint32_t& p : pass_) p -= v;
  pass_[kind] += strides_[kind];
}

}  // namespace kavor2::device
