#pragma once
#include <stdexcept>
#include <string>

namespace kavor2::platform {

// A text that could not be converted to a number, boolean or date, or bytes
// that are not valid in the expected encoding. Its message is what callers
// pass on to clients (fault 1001), so it is a fixed, readable text.
class ConversionError : public std::runtime_error {
 public:
  explicit ConversionError(const std::string& message) : std::runtime_error(message) {}
};

// An index outside a list, or a missing name in a keyed list.
class RangeError : public std::out_of_range {
 public:
  explicit RangeError(const std::string& message) : std::out_of_range(message) {}
};

}  // namespace kavor2::platform
