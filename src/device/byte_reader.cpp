#include "device/byte_reader.h"

#include <algorithm>

namespace kavor2::device {
namespace {
constexpr int kBitsPerByte = 8;
}

bool ByteReader::ReadU8(std::uint8_t& out) {
  if (Remaining() < sizeof out) return false;
  out = data_[pos_++];
  return true;
}

bool ByteReader::ReadU16(std::uint16_t& out) {
  if (Remaining() < sizeof out) return false;
  out = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << kBitsPerByte));
  pos_ += sizeof out;
  return true;
}

bool ByteReader::ReadU32(std::uint32_t& out) {
  if (Remaining() < sizeof out) return false;
  std::uint32_t v = 0;
  for (std::size_t i = sizeof out; i-- > 0;) v = (v << kBitsPerByte) | data_[pos_ + i];
  out = v;
  pos_ += sizeof out;
  return true;
}

bool ByteReader::ReadBytes(std::span<std::uint8_t> out) {
  if (Remaining() < out.size()) return false;
  std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), out.size(), out.begin());
  pos_ += out.size();
  return true;
}

bool ByteReader::Take(std::size_t n, std::span<const std::uint8_t>& out) {
  if (Remaining() < n) return false;
  out = data_.subspan(pos_, n);
  pos_ += n;
  return true;
}

bool ByteReader::Skip(std::size_t n) {
  if (Remaining() < n) return false;
  pos_ += n;
  return true;
}

}  // namespace kavor2::device
