#pragma once
// Command line of the device simulator: its options, their defaults and the
// help text. Parsing never exits the process; the caller decides.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/fixed_keys.h"
#include "device/id_key_text.h"

namespace kavor2::k2sim {

// The line's UDP port on the service when AddLine is given none.
inline constexpr std::uint16_t kDefaultServicePort = 40000;
inline constexpr std::uint16_t kDefaultBasePort = 41000;
inline constexpr int kMaxDevices = 1000;  // one socket each
inline constexpr int kMaxBusDevices = 127;  // one short address each

struct TSimOptions {
  std::string ServiceHost = "127.0.0.1";
  std::uint16_t ServicePort = kDefaultServicePort;
  std::string LocalHost = "127.0.0.1";
  int Devices = 1;
  // Text order, as written in the API ("MAC"); each further device adds 1.
  std::string FirstId = "000000000001";
  std::uint16_t BasePort = kDefaultBasePort;  // 0: the system chooses each port
  device::DeviceKey MasterKey = device::DefaultKey;
  std::int64_t SendEveryMs = 0;  // 0: no timed data frames
  std::vector<std::uint8_t> Data = {0x01};
  std::vector<std::uint8_t> Stream;  // sent with each timed data frame when not empty
  std::int64_t StatusEveryMs = 10'000;
  std::int64_t IdRequestEveryMs = 1'000;
  bool Routes = false;
  bool Quiet = false;
  std::string RecordFile;
  double DurationS = 0;  // 0: until stopped
  bool Commands = false;  // read commands from standard input
  // Serial bus mode: the devices sit on one bus behind a pseudo-terminal
  // whose slave DIR/COM<N> points at (the service's /comdir=DIR).
  std::string SerialDir;  // empty: Ethernet devices on UDP
  int ComPort = 1;
  int Capacity = 15;          // low half of every reply: 16-byte units, 15 = 255 bytes or more
  bool RepeatFirst = false;   // each device sends its first data frame twice
};

struct TParseResult {
  std::optional<TSimOptions> Options;  // set when the run may go ahead
  bool Help = false;                   // --help was asked for
  std::string Error;                   // why the line was refused
};

TParseResult ParseOptions(const std::vector<std::string>& args);
std::string HelpText();

// The IDs of the devices, stored order, first-id counting up. Nothing when
// the first ID does not leave room for all of them.
std::optional<std::vector<device::DeviceId>> DeviceIds(const TSimOptions& options);

// Upper-case hex, no separators.
std::string HexText(const std::vector<std::uint8_t>& bytes);
// Hex digits of either case, spaces allowed between pairs; nothing for any
// other text or an odd digit count.
std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text);

}  // namespace kavor2::k2sim
