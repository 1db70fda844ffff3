// kavor2ctl against the real program, with plain bodies (/noncrypt) and
// with the session-key exchange and AES bodies.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

using namespace std::chrono_literals;

constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kRunTimeout = 30s;
constexpr int kExitFault = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTransport = 3;

std::filesystem::path CtlProgram() {
  const char* dir = std::getenv("K2_BUILD_DIR");
  return std::filesystem::path(dir ? dir : ".") / "tools/kavor2ctl/kavor2ctl";
}

struct CryptMode {
  const char* Name;
  bool Plain;
};

class Kavor2CtlTest : public ::testing::TestWithParam<CryptMode> {
 protected:
  void SetUp() override {
    port_ = FreePort();
    std::vector<std::string> args{"/port=" + std::to_string(port_), "/casheoff",
                                  "/eventlog=" + (dir_ / "events.log").string(), "/datadir=" + dir_.Path().string()};
    if (GetParam().Plain) args.push_back("/noncrypt");
    service_ = std::make_unique<ChildProcess>(ServiceProgram(), args);
    ASSERT_TRUE(WaitForPort(port_, kStartTimeout)) << service_->Stderr();
  }

  // Runs kavor2ctl in the service's crypt mode (or the other one).
  RunResult Ctl(std::vector<std::string> command, bool matching_mode = true) {
    std::vector<std::string> args{"--port", std::to_string(port_)};
    if (GetParam().Plain == matching_mode) args.push_back("--plain");
    args.insert(args.end(), command.begin(), command.end());
    return RunToEnd(CtlProgram(), args, {}, kRunTimeout);
  }

  static int Code(const RunResult& r) { return r.Status && r.Status->Exited ? r.Status->Code : -1; }

  TempDir dir_{"k2-ctl"};
  std::uint16_t port_ = 0;
  std::unique_ptr<ChildProcess> service_;
};

TEST_P(Kavor2CtlTest, ReadsVersionMethodsAndHelp) {
  RunResult version = Ctl({"version"});
  EXPECT_EQ(Code(version), 0) << version.Err;
  EXPECT_EQ(version.Out, "1.0.2.0\n");

  RunResult methods = Ctl({"methods"});
  EXPECT_EQ(Code(methods), 0) << methods.Err;
  for (const char* name : {"] AddMessageSubscriber\n", "] DeleteMasterKeyToList\n", "] Lines\n"}) {
    EXPECT_NE(methods.Out.find(name), std::string::npos) << name << " in\n" << methods.Out;
  }

  RunResult help = Ctl({"help", "ConnectTimeOut"});
  EXPECT_EQ(Code(help), 0) << help.Err;
  // The help string's Cyrillic letter comes out as UTF-8.
  EXPECT_EQ(help.Out, "ConnectTimeOut(Certificate : GUID; MAC : string, \xD0\xA1onnectTimeOut : integer) : integer;\n");

  RunResult lines = Ctl({"lines"});
  EXPECT_EQ(Code(lines), 0) << lines.Err;
  EXPECT_EQ(lines.Out, "(none)\n");
}

// A fault is printed with its code and gives exit status 1; typed
// arguments reach the service with their kinds.
TEST_P(Kavor2CtlTest, FaultsAndTypedArguments) {
  const std::string unknown = "s:{00000000-0000-0000-0000-000000000001}";
  struct Case {
    std::vector<std::string> Command;
    int Exit;
    std::string Err;
  };
  const Case cases[] = {
      {{"call", "Ping", unknown}, kExitFault, "fault 10: Subscriber not found\n"},
      {{"call", "Ping", "i:5"}, kExitFault, "fault 3: Inavlid parameter type\n"},
      {{"call", "Ping", "s:{0}"}, kExitFault, "fault 4: Convert parameter error\n"},
      {{"call", "Ping"}, kExitFault, "fault 2: Parameters count error\n"},
      // The int is an int: the count is wrong before any kind is tested.
      {{"call", "LineLock", unknown, "i:0", "b:true", "b:1"}, kExitFault, "fault 2: Parameters count error\n"},
      {{"call", "LineLock", unknown, "s:0"}, kExitFault, "fault 3: Inavlid parameter type\n"},
      {{"call", "LineLock", unknown, "i:0", "b:false"}, kExitFault, "fault 10: Subscriber not found\n"},
      {{"call", "NoSuchMethod"}, kExitFault, "fault 1000: "},
      {{"call", "Ping", "i:x"}, kExitUsage, "kavor2ctl: not a 32-bit integer: i:x\n"},
      {{"frobnicate"}, kExitUsage, "kavor2ctl: unknown command frobnicate"},
  };
  for (const Case& c : cases) {
    RunResult r = Ctl(c.Command);
    EXPECT_EQ(Code(r), c.Exit) << c.Command[0] << " " << (c.Command.size() > 1 ? c.Command[1] : "") << ": " << r.Err;
    EXPECT_EQ(r.Err.substr(0, c.Err.size()), c.Err) << r.Err;
    EXPECT_TRUE(r.Out.empty()) << r.Out;
  }
}

// Without --cert kavor2ctl registers a subscriber of its own for
// "Devices": the answer is the line check, not "Subscriber not found".
TEST_P(Kavor2CtlTest, DevicesWithATemporarySubscriber) {
  RunResult devices = Ctl({"devices", "7"});
  EXPECT_EQ(Code(devices), kExitFault) << devices.Err;
  EXPECT_EQ(devices.Err, "fault 3: Not Line ID : 7\n");
  // ...and removes it again.
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir_ / "events.log").find("Release subscriber") != std::string::npos; },
                        kRunTimeout));
  std::string log = ReadFile(dir_ / "events.log");
  EXPECT_NE(log.find("Add subscriber ( Client ID : {"), std::string::npos) << log;

  RunResult with_cert = Ctl({"--cert", "{00000000-0000-0000-0000-000000000001}", "devices", "7"});
  EXPECT_EQ(Code(with_cert), kExitFault);
  EXPECT_EQ(with_cert.Err, "fault 10: Subscriber not found\n");
}

// A client in the other crypt mode cannot talk to the service, and says so
// with the transport's exit status; so does a port nobody listens on.
TEST_P(Kavor2CtlTest, WrongModeOrPortIsATransportFailure) {
  RunResult wrong = Ctl({"version"}, /*matching_mode=*/false);
  EXPECT_EQ(Code(wrong), kExitTransport) << wrong.Out << wrong.Err;
  EXPECT_TRUE(wrong.Out.empty());

  RunResult nobody = RunToEnd(CtlProgram(), {"--port", std::to_string(FreePort()), "version"}, {}, kRunTimeout);
  EXPECT_EQ(Code(nobody), kExitTransport) << nobody.Err;
  EXPECT_EQ(nobody.Err.substr(0, 10), "fault 601:");
}

INSTANTIATE_TEST_SUITE_P(CryptModes, Kavor2CtlTest,
                         ::testing::Values(CryptMode{"Plain", true}, CryptMode{"Aes", false}),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Kavor2CtlUsage, HelpAndBadOptions) {
  RunResult help = RunToEnd(CtlProgram(), {"--help"}, {}, kRunTimeout);
  EXPECT_EQ(help.Status->Code, 0);
  EXPECT_NE(help.Out.find("i:5 integer"), std::string::npos);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--port", "0", "version"}, {"--port"}, {"--bogus", "version"}, {}, {"help"}}) {
    RunResult r = RunToEnd(CtlProgram(), args, {}, kRunTimeout);
    EXPECT_EQ(r.Status->Code, kExitUsage) << (args.empty() ? "" : args[0]) << ": " << r.Err;
  }
}

}  // namespace
}  // namespace kavor2::testing
