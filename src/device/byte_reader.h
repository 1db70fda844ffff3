#pragma once
// A checked reader over received bytes. Every read first checks what is
// left; a read that does not fit returns false and changes neither the
// position nor its output, so a parser reports the error instead of reading
// past the end.
#include <cstddef>
#include <cstdint>
#include <span>

namespace kavor2::device {

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::size_t Position() const { return pos_; }
  std::size_t Remaining() const { return data_.size() - pos_; }
  // What has not been read yet.
  std::span<const std::uint8_t> Rest() const { return data_.subspan(pos_); }

  [[nodiscard]] bool ReadU8(std::uint8_t& out);
  // Little-endian, as every multi-byte integer of the K2 protocol.
  [[nodiscard]] bool ReadU16(std::uint16_t& out);
  [[nodiscard]] bool ReadU32(std::uint32_t& out);
  // Exactly out.size() bytes.
  [[nodiscard]] bool ReadBytes(std::span<std::uint8_t> out);
  // A view of the next n bytes, which stays valid as long as the data.
  [[nodiscard]] bool Take(std::size_t n, std::span<const std::uint8_t>& out);
  [[nodiscard]] bool Skip(std::size_t n);

 private:
  std::span<const std::uint8_t> data_;
  std::size_t pos_ = 0;
};

}  // namespace kavor2::device
