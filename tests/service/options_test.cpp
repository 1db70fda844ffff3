#include "service/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavor2::service {
namespace {

struct OptionsCase {
  const char* name;
  std::vector<std::string> args;
  std::int32_t port;
  std::int32_t live_timeout;
  bool crypt;
  bool cache_off;
  bool xml_rpc_log;
  std::string data_dir;
  std::string event_log;
  std::string com_dir;
};

class OptionsTable : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(OptionsTable, Parses) {
  const OptionsCase& c = GetParam();
  ServiceOptions o = ParseOptions(c.args);
  EXPECT_EQ(o.ListenPort, c.port);
  EXPECT_EQ(o.LiveClientTimeOut, c.live_timeout);
  EXPECT_EQ(o.Crypt, c.crypt);
  EXPECT_EQ(o.CacheOff, c.cache_off);
  EXPECT_EQ(o.XmlRpcLog, c.xml_rpc_log);
  EXPECT_EQ(o.DataDir, c.data_dir);
  EXPECT_EQ(o.EventLogFile, c.event_log);
  EXPECT_EQ(o.ComDir, c.com_dir);
}

INSTANTIATE_TEST_SUITE_P(
    Service, OptionsTable,
    ::testing::Values(
        OptionsCase{"NoArguments", {}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"PortInCapitals", {"/PORT=9000"}, 9000, 2000, true, false, false, "", "", ""},
        OptionsCase{"PortNotANumber", {"/port=abc"}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"PortWithoutValue", {"/port"}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"PortOutOfRange", {"/port=70000"}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"PortZero", {"/port=0"}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"PortHex", {"/port=$2329"}, 9001, 2000, true, false, false, "", "", ""},
        OptionsCase{"LastPortWins", {"/port=9001", "/port=x"}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"LaterArgumentKeepsSwitch", {"/noncrypt", "/port=9001"}, 9001, 2000, false, false, false, "", "",
                    ""},
        OptionsCase{"OptionInsideArgument", {"x/NonCrypt"}, 8100, 2000, false, false, false, "", "", ""},
        OptionsCase{"SeveralInOneArgument", {"/noncrypt/casheoff/xmlrpclog"}, 8100, 2000, false, true, true, "", "",
                    ""},
        // The value runs to the end of the argument, so the second option's
        // text spoils the number while still setting its switch.
        OptionsCase{"PortAndSwitchInOneArgument", {"/port=9000/noncrypt"}, 8100, 2000, false, false, false, "", "",
                    ""},
        OptionsCase{"LiveClientTimeOut", {"/LiveClientTimeOut=5000"}, 8100, 5000, true, false, false, "", "", ""},
        OptionsCase{"LiveClientTimeOutFallBack", {"/liveclienttimeout=5s"}, 8100, 2000, true, false, false, "", "",
                    ""},
        OptionsCase{"UnknownIgnored", {"/verbose", "port"}, 8100, 2000, true, false, false, "", "", ""},
        OptionsCase{"PathsAreNotOptions",
                    {"/datadir=/tmp/port=1", "/eventlog=/var/noncrypt/Log", "/comdir=/dev/casheoff"},
                    8100, 2000, true, false, false, "/tmp/port=1", "/var/noncrypt/Log", "/dev/casheoff"},
        OptionsCase{"PathKeptAsGiven", {"/DataDir=/Srv/Kavor"}, 8100, 2000, true, false, false, "/Srv/Kavor", "", ""},
        OptionsCase{"AllTogether",
                    {"/port=9100", "/casheoff", "/xmlrpclog", "/liveclienttimeout=300", "/eventlog=/tmp/e.log"},
                    9100, 300, true, true, true, "", "/tmp/e.log", ""}),
    [](const ::testing::TestParamInfo<OptionsCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kavor2::service
