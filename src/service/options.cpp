#include "service/options.h"

#include <array>
#include <string_view>

#include "platform/errors.h"
#include "platform/text.h"

namespace kavor2::service {
namespace {

constexpr std::string_view kPortOption = "/port";
constexpr std::string_view kLiveClientTimeOutOption = "/liveclienttimeout";
constexpr std::string_view kXmlRpcLogOption = "/xmlrpclog";
constexpr std::string_view kNonCryptOption = "/noncrypt";
constexpr std::string_view kCacheOffOption = "/casheoff";

constexpr std::string_view kDataDirOption = "/datadir=";
constexpr std::string_view kEventLogOption = "/eventlog=";
constexpr std::string_view kComDirOption = "/comdir=";

constexpr std::int32_t kMinPort = 1;
constexpr std::int32_t kMaxPort = 65535;

// The text after the first "=", or the whole argument when there is none
// (which then never converts, as it holds the option's name).
std::string_view ValueOf(std::string_view arg) {
  auto eq = arg.find('=');
  return eq == std::string_view::npos ? arg : arg.substr(eq + 1);
}

std::int32_t IntegerOr(std::string_view text, std::int32_t fallback) {
  try {
    return platform::StrToInt(text);
  } catch (const platform::ConversionError&) {
    return fallback;
  }
}

// The Linux-only options carry paths, which may contain anything ("/tmp/port"),
// so they are recognised by their prefix only, and such an argument is not
// searched for the other options.
bool TakePathOption(std::string_view arg, std::string_view lowered, ServiceOptions& options) {
  const std::array<std::pair<std::string_view, std::string*>, 3> paths{{
      {kDataDirOption, &options.DataDir},
      {kEventLogOption, &options.EventLogFile},
      {kComDirOption, &options.ComDir},
  }};
  for (const auto& [prefix, target] : paths) {
    if (lowered.starts_with(prefix)) {
      *target = std::string(arg.substr(prefix.size()));
      return true;
    }
  }
  return false;
}

}  // namespace

ServiceOptions ParseOptions(std::span<const std::string> args) {
  ServiceOptions options;
  for (const std::string& arg : args) {
    const std::string lowered = platform::LowerAscii(arg);
    if (TakePathOption(arg, lowered, options)) continue;
    auto has = [&](std::string_view option) { return lowered.find(option) != std::string::npos; };
    if (has(kPortOption)) {
      std::int32_t port = IntegerOr(ValueOf(arg), kDefaultListenPort);
      // Port 0 would bind an arbitrary port nobody can find, and larger
      // values are no TCP port at all: treat both as unusable.
      options.ListenPort = (port < kMinPort || port > kMaxPort) ? kDefaultListenPort : port;
    }
    if (has(kLiveClientTimeOutOption)) {
      options.LiveClientTimeOut = IntegerOr(ValueOf(arg), kDefaultLiveClientTimeOut);
    }
    if (has(kXmlRpcLogOption)) options.XmlRpcLog = true;
    if (has(kNonCryptOption)) options.Crypt = false;
    if (has(kCacheOffOption)) options.CacheOff = true;
  }
  return options;
}

}  // namespace kavor2::service
