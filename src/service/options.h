#pragma once
#include <cstdint>
#include <span>
#include <string>

namespace kavor2::service {

inline constexpr std::int32_t kDefaultListenPort = 8100;
inline constexpr std::int32_t kDefaultLiveClientTimeOut = 2000;

// What the service's command line asks for. The defaults are those of a
// service started without arguments.
struct ServiceOptions {
  std::int32_t ListenPort = kDefaultListenPort;
  std::int32_t LiveClientTimeOut = kDefaultLiveClientTimeOut;
  bool XmlRpcLog = false;
  bool Crypt = true;
  bool CacheOff = false;
  // Linux-only options; empty when not given.
  std::string DataDir;       // "/datadir=DIR": cache database and log files
  std::string EventLogFile;  // "/eventlog=FILE": event-log entries go there instead of syslog
  std::string ComDir;        // "/comdir=DIR": where serial ports are looked up
};

// Reads the options from the program's arguments (without the program name).
// Each argument is lower-cased and searched for each option, so one argument
// may set several and a switch, once set, stays set. Values are the text
// after the first "=" of the argument as given; unusable numbers give the
// defaults. Unknown arguments are ignored. Never throws on bad input.
ServiceOptions ParseOptions(std::span<const std::string> args);

}  // namespace kavor2::service
