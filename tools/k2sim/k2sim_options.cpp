#include "k2sim/k2sim_options.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace kavor2::k2sim {

namespace {

constexpr int kMaxPort = 65535;
constexpr std::int64_t kMaxPeriodMs = 24LL * 3600 * 1000;
constexpr std::uint64_t kIdSpace = 1ULL << (8 * device::kIdSize);
constexpr std::size_t kMaxFrameData = 200;  // fits one encrypted, addressed packet

template <typename T>
bool ParseInt(const std::string& text, T& value, T min, T max) {
  T parsed{};
  const auto* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, parsed);
  if (ec != std::errc{} || ptr != end || parsed < min || parsed > max) return false;
  value = parsed;
  return true;
}

bool ParsePort(const std::string& text, std::uint16_t& port, int min = 1) {
  int value = 0;
  if (!ParseInt(text, value, min, kMaxPort)) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

std::uint64_t IdNumber(const device::DeviceId& stored) {
  std::uint64_t n = 0;
  for (std::size_t i = device::kIdSize; i-- > 0;) n = (n << 8) | stored[i];
  return n;
}

device::DeviceId StoredFromNumber(std::uint64_t n) {
  device::DeviceId id{};
  for (std::size_t i = 0; i < device::kIdSize; ++i) id[i] = static_cast<std::uint8_t>(n >> (8 * i));
  return id;
}

}  // namespace

std::string HexText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * bytes.size());
  for (std::uint8_t b : bytes) {
    text += kDigits[device::HighNibble(b)];
    text += kDigits[device::LowNibble(b)];
  }
  return text;
}

std::optional<std::vector<std::uint8_t>> ParseHex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  int high = -1;
  for (char c : text) {
    if (c == ' ' && high < 0) continue;
    const int v = device::HexDigitValue(c);
    if (v < 0) return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return bytes;
}

std::optional<std::vector<device::DeviceId>> DeviceIds(const TSimOptions& options) {
  if (!device::IsIdText(options.FirstId) || options.Devices < 1) return std::nullopt;
  const std::uint64_t first = IdNumber(device::TextToStoredId(options.FirstId));
  const auto count = static_cast<std::uint64_t>(options.Devices);
  // NoId is never a device's ID.
  if (first + count > kIdSpace - 1) return std::nullopt;
  std::vector<device::DeviceId> ids;
  for (std::uint64_t i = 0; i < count; ++i) ids.push_back(StoredFromNumber(first + i));
  return ids;
}

TParseResult ParseOptions(const std::vector<std::string>& args) {
  TParseResult result;
  TSimOptions options;
  using Handler = std::function<bool(const std::string&)>;
  const auto hex_frame = [](std::vector<std::uint8_t>& into) {
    return [&into](const std::string& v) {
      auto bytes = ParseHex(v);
      if (!bytes || bytes->empty() || bytes->size() > kMaxFrameData) return false;
      into = std::move(*bytes);
      return true;
    };
  };
  const std::map<std::string, Handler> with_value = {
      {"--service",
       [&](const std::string& v) {
         const auto colon = v.rfind(':');
         if (colon == std::string::npos || colon == 0) return false;
         options.ServiceHost = v.substr(0, colon);
         return ParsePort(v.substr(colon + 1), options.ServicePort);
       }},
      {"--local", [&](const std::string& v) { options.LocalHost = v; return !v.empty(); }},
      {"--devices", [&](const std::string& v) { return ParseInt(v, options.Devices, 1, kMaxDevices); }},
      {"--first-id",
       [&](const std::string& v) {
         if (!device::IsIdText(v)) return false;
         options.FirstId = v;
         return true;
       }},
      {"--base-port", [&](const std::string& v) { return ParsePort(v, options.BasePort, 0); }},
      {"--key",
       [&](const std::string& v) {
         if (!device::IsKeyText(v)) return false;
         options.MasterKey = device::TextToKey(v);
         return true;
       }},
      {"--send-every", [&](const std::string& v) { return ParseInt(v, options.SendEveryMs, std::int64_t{1}, kMaxPeriodMs); }},
      {"--status-every", [&](const std::string& v) { return ParseInt(v, options.StatusEveryMs, std::int64_t{1}, kMaxPeriodMs); }},
      {"--id-every", [&](const std::string& v) { return ParseInt(v, options.IdRequestEveryMs, std::int64_t{1}, kMaxPeriodMs); }},
      {"--data", hex_frame(options.Data)},
      {"--stream", hex_frame(options.Stream)},
      {"--record", [&](const std::string& v) { options.RecordFile = v; return !v.empty(); }},
      {"--serial-dir", [&](const std::string& v) { options.SerialDir = v; return !v.empty(); }},
      {"--com", [&](const std::string& v) { return ParseInt(v, options.ComPort, 1, 255); }},
      {"--capacity", [&](const std::string& v) { return ParseInt(v, options.Capacity, 0, 15); }},
      {"--duration",
       [&](const std::string& v) {
         std::size_t used = 0;
         try {
           options.DurationS = std::stod(v, &used);
         } catch (const std::exception&) {
           return false;
         }
         return used == v.size() && std::isfinite(options.DurationS) && options.DurationS > 0;
       }},
  };
  const std::map<std::string, bool*> flags = {
      {"--routes", &options.Routes},
      {"--quiet", &options.Quiet},
      {"--commands", &options.Commands},
      {"--repeat-first", &options.RepeatFirst}};

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      result.Help = true;
      return result;
    }
    if (auto flag = flags.find(arg); flag != flags.end()) {
      *flag->second = true;
      continue;
    }
    auto handler = with_value.find(arg);
    if (handler == with_value.end()) {
      result.Error = "unknown option " + arg;
      return result;
    }
    if (i + 1 >= args.size()) {
      result.Error = arg + " needs a value";
      return result;
    }
    if (!handler->second(args[++i])) {
      result.Error = "bad value for " + arg + ": " + args[i];
      return result;
    }
  }
  if (options.BasePort != 0 && static_cast<int>(options.BasePort) + options.Devices - 1 > kMaxPort) {
    result.Error = "--base-port leaves no room for all devices";
    return result;
  }
  if (!options.SerialDir.empty() && options.Devices > kMaxBusDevices) {
    result.Error = "a serial bus has room for 127 devices";
    return result;
  }
  if (!DeviceIds(options)) {
    result.Error = "--first-id leaves no room for all devices";
    return result;
  }
  result.Options = std::move(options);
  return result;
}

std::string HelpText() {
  return "k2sim: simulated Ethernet or serial bus devices for a kavor2srv line\n"
         "\n"
         "Each device has its own UDP socket (local address, base port + n), answers the\n"
         "line's ID requests, asks for the line's ID until answered, then runs the K2\n"
         "protocol: key exchange, receipts, status words, data and service-stream frames.\n"
         "\n"
         "  --service HOST:PORT  the line's UDP port on the service (default 127.0.0.1:40000)\n"
         "  --local ADDRESS      local IPv4 address of the devices' sockets (default 127.0.0.1)\n"
         "  --devices N          number of devices, 1 to 1000 (default 1)\n"
         "  --first-id HEX12     ID of the first device, as in the API; the next ones count up\n"
         "                       (default 000000000001)\n"
         "  --base-port P        UDP port of the first device; the next ones count up (default 41000;\n"
         "                       0: ports chosen by the system)\n"
         "  --key HEX32          master key of the devices (default: the built-in default key)\n"
         "  --send-every MS      send a data frame every MS milliseconds once connected\n"
         "  --data HEX           content of that frame, without its length byte (default 01)\n"
         "  --stream HEX         also send this as service-stream data on the same timer\n"
         "  --status-every MS    period of the status word (default 10000)\n"
         "  --id-every MS        period of the device's own ID request until answered (default 1000)\n"
         "  --routes             report two sub-devices (1-byte addresses 01, 02) on connecting\n"
         "                       and on every routes request\n"
         "  --commands           read commands from standard input, one a line:\n"
         "                         [ID] data HEX | stream HEX | route ADDR STATE | status BITS\n"
         "                       (ID as HEX12; without it, every device)\n"
         "  --quiet              print nothing but errors\n"
         "  --record FILE        also write every event line to FILE\n"
         "  --duration S         stop after S seconds (default: run until SIGINT or SIGTERM)\n"
         "  --help               this text\n"
         "\n"
         "Serial bus (instead of UDP): the devices share one bus behind a pseudo-terminal.\n"
         "They start without short addresses, answer the line's search probes bit by bit,\n"
         "take the address and the line's ID its connect gives, answer polls and address\n"
         "queries, acknowledge data frames by toggle, and run the K2 protocol without\n"
         "addresses on the wire. Start the service with /comdir=DIR and add the line as\n"
         "AddLine(cert, \"RS232\", N, true, speed, ...).\n"
         "  --serial-dir DIR     bus mode: DIR/COM<N> becomes a symlink to the pty's slave\n"
         "  --com N              the N of COM<N>, 1 to 255 (default 1)\n"
         "  --capacity C         receive capacity in every reply, 0 to 15 (units of 16 bytes;\n"
         "                       15, the default: 255 bytes or more)\n"
         "  --repeat-first       each device misses the acknowledge of its first data frame\n"
         "                       and sends it again (the line must not deliver it twice)\n"
         "  (--devices up to 127, --first-id, --key, --send-every, --data, --commands\n"
         "  with data and status, --quiet, --record and --duration apply as well)\n"
         "\n"
         "Event lines: time, device ID, event, hex data.\n";
}

}  // namespace kavor2::k2sim
