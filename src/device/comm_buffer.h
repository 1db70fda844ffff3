#pragma once
// TCommBuffer: the growable byte buffer with a read/write position that a
// transport builds outgoing frames in and leaves received frames in.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kavor2::device {

class TCommBuffer {
 public:
  // Empties the buffer; the position goes to the start.
  void Clear() {
    bytes_.clear();
    position_ = 0;
  }
  // Replaces the contents; the position goes to the start.
  void Assign(std::span<const std::uint8_t> data) {
    bytes_.assign(data.begin(), data.end());
    position_ = 0;
  }
  // Writes at the position, overwriting what is there and growing the
  // buffer past its end; the position ends behind what was written.
  void Write(std::span<const std::uint8_t> data) {
    const std::size_t end = position_ + data.size();
    if (end > bytes_.size()) bytes_.resize(end);
    std::copy(data.begin(), data.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(position_));
    position_ = end;
  }
  void Rewind() { position_ = 0; }
  // A position past the end stops at the end.
  void Seek(std::size_t position) { position_ = std::min(position, bytes_.size()); }

  std::size_t Position() const { return position_; }
  std::size_t Size() const { return bytes_.size(); }
  // All bytes, from offset 0.
  std::span<const std::uint8_t> Bytes() const { return bytes_; }
  // The bytes from the position to the end.
  std::span<const std::uint8_t> Rest() const { return std::span<const std::uint8_t>(bytes_).subspan(position_); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

}  // namespace kavor2::device
