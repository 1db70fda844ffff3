#pragma once
// The commands of kavor2ctl, run against one service.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace kavor2::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFault = 1;      // the service answered with a fault
inline constexpr int kExitUsage = 2;      // the command line is wrong
inline constexpr int kExitTransport = 3;  // the service could not be reached

struct Target {
  std::string Host = "127.0.0.1";
  std::int32_t Port = 8100;
  bool Plain = false;       // the service runs with /noncrypt
  std::string Certificate;  // for "devices"; empty: register a temporary subscriber
};

// Runs one command (its name and arguments, as after the options) and
// prints the result to `out`, faults and errors to `err`. Returns the exit
// status above.
int RunCommand(const Target& target, const std::vector<std::string>& command, std::ostream& out,
               std::ostream& err);

// The --help text.
std::string UsageText();

}  // namespace kavor2::ctl
