#include "service/hex_to_bytes.h"

#include "device/id_key_text.h"
#include "platform/errors.h"

namespace kavor2::service {

namespace {
constexpr char kOddDigitsText[] = "Odd number of hexadecimal digits in data";
}

std::vector<std::uint8_t> HexToBytes(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 2);
  std::size_t i = 0;
  for (; i + 1 < text.size(); i += 2) {
    const int high = device::HexDigitValue(text[i]);
    const int low = device::HexDigitValue(text[i + 1]);
    if (high < 0 || low < 0) return bytes;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  // A lone last character: a digit means the text was cut off; anything
  // else ends it like an invalid pair.
  if (i < text.size() && device::HexDigitValue(text[i]) >= 0) throw platform::ConversionError(kOddDigitsText);
  return bytes;
}

}  // namespace kavor2::service
