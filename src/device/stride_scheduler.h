#pragma once
// TStrideScheduler: shares the serial bus between the four kinds of work of
// a serial line in proportion to their weights. Each kind has a stride
// inversely proportional to its weight and a pass value; the kind with the
// smallest pass runs next (the lowest kind on a tie) and its pass advances
// by its stride. All arithmetic is unsigned 32-bit and wraps.
#include <array>
#include <cstddef>
#include <cstdint>

namespace kavor2::device {

class TStrideScheduler {
 public:
  static constexpr std::size_t kKinds = 4;
  using Values = std::array<std::uint32_t, kKinds>;
  // Poll, send, discovery, link refresh.
  static constexpr Values kNormalWeights = {50, 20, 20, 10};
  static constexpr Values kSearchWeights = {30, 15, 50, 5};

  explicit TStrideScheduler(const Values& weights = kNormalWeights) { Reset(weights); }

  // New strides from the weights (none may be 0); every pass value starts
  // at its stride.
  void Reset(const Values& weights);
  // The kind to run next.
  std::size_t Choose() const;
  // Records that the kind ran: every pass drops by its pass, then its own
  // grows by its stride.
  void Consume(std::size_t kind);

  const Values& Strides() const { return strides_; }
  const Values& Pass() const { return pass_; }

 private:
  Values strides_{};
  Values pass_{};
};

}  // namespace kavor2::device
