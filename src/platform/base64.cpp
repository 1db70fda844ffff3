#include "platform/base64.h"

#include <array>
#include <cstdint>

#include "platform/errors.h"

namespace kavor2::platform {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineChars = 76;
constexpr std::size_t kLineBytes = kLineChars / 4 * 3;  // 57
constexpr int kNotInAlphabet = -1;

constexpr std::array<int, 256> MakeReverse() {
  std::array<int, 256> r{};
  for (auto& v : r) v = kNotInAlphabet;
  for (int i = 0; i < 64; ++i) r[static_cast<unsigned char>(kAlphabet[i])] = i;
  return r;
}
constexpr std::array<int, 256> kReverse = MakeReverse();

void EncodeInto(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t v = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                      (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8) | std::uint8_t(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest == 1) {
    std::uint32_t v = std::uint32_t(std::uint8_t(bytes[i])) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (rest == 2) {
    std::uint32_t v = (std::uint32_t(std::uint8_t(bytes[i])) << 16) |
                      (std::uint32_t(std::uint8_t(bytes[i + 1])) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
}

// Packs 6-bit values; a trailing group of 2 or 3 values gives 1 or 2 bytes.
class SextetPacker {
 public:
  explicit SextetPacker(std::string& out) : out_(out) {}
  void Add(int sextet) {
    acc_ = (acc_ << 6) | static_cast<std::uint32_t>(sextet);
    if (++count_ == 4) {
      out_ += static_cast<char>((acc_ >> 16) & 0xFF);
      out_ += static_cast<char>((acc_ >> 8) & 0xFF);
      out_ += static_cast<char>(acc_ & 0xFF);
      acc_ = 0;
      count_ = 0;
    }
  }
  void Finish() {
    if (count_ == 2) {
      out_ += static_cast<char>((acc_ >> 4) & 0xFF);
    } else if (count_ == 3) {
      out_ += static_cast<char>((acc_ >> 10) & 0xFF);
      out_ += static_cast<char>((acc_ >> 2) & 0xFF);
    }
  }

 private:
  std::string& out_;
  std::uint32_t acc_ = 0;
  int count_ = 0;
};

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  EncodeInto(out, bytes);
  return out;
}

std::string Base64EncodeLines(std::string_view bytes) {
  std::string out;
  std::size_t lines = (bytes.size() + kLineBytes - 1) / kLineBytes;
  out.reserve(lines * (kLineChars + 2));
  for (std::size_t pos = 0; pos < bytes.size(); pos += kLineBytes) {
    if (pos != 0) out += "\r\n";
    EncodeInto(out, bytes.substr(pos, kLineBytes));
  }
  return out;
}

std::string Base64DecodeLenient(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  SextetPacker packer(out);
  for (char c : text) {
    int v = kReverse[static_cast<unsigned char>(c)];
    if (v != kNotInAlphabet) packer.Add(v);
  }
  packer.Finish();
  return out;
}

std::string Base64DecodeStrict(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  SextetPacker packer(out);
  for (char c : text) {
    if (c == '=') continue;
    int v = kReverse[static_cast<unsigned char>(c)];
    if (v == kNotInAlphabet) throw ConversionError("Invalid Base64 Character");
    packer.Add(v);
  }
  packer.Finish();
  return out;
}

}  // namespace kavor2::platform
