#pragma once
// The error a transport raises when it cannot open its line: a bind that
// failed, a port out of range, a serial port that is missing. Its message
// is given to the client that asked for the line, so it is a readable text.
#include <stdexcept>
#include <string>

namespace kavor2::device {

class ECommError : public std::runtime_error {
 public:
  explicit ECommError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace kavor2::device
