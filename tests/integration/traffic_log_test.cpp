// The traffic log of "/xmlrpclog" and the XML-RPC trace files, against the
// real program: Python registers a subscriber and its callback server takes
// the service's calls.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kExitTimeout = 20s;

constexpr const char* kCallsScript = R"PY(
import sys, threading, time, xmlrpc.client, xmlrpc.server

SERVICE = "http://127.0.0.1:%s/RPC2" % sys.argv[1]

class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
    rpc_paths = ()
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass

calls = []
cond = threading.Condition()
def recorder(name):
    def record(*params):
        with cond:
            calls.append(name)
            cond.notify_all()
        return True
    return record

server = xmlrpc.server.SimpleXMLRPCServer(("127.0.0.1", 0), Handler, logRequests=False)
for name in ("Data", "State", "Ping"):
    server.register_function(recorder(name), name)
threading.Thread(target=server.serve_forever, daemon=True).start()

service = xmlrpc.client.ServerProxy(SERVICE)
cert = service.AddMessageSubscriber(server.server_address[1], "T ($DebugMode)", "Data", "State")
end = time.monotonic() + 20
with cond:
    while "State" not in calls:
        assert time.monotonic() < end, "no callback"
        cond.wait(1)
service.Ping(cert)
service.system.listMethods()
print("callback_port", server.server_address[1])
print("done")
sys.stdout.flush()
)PY";

struct Record {
  std::string kind;
  std::string peer;
  std::string port;
  std::string body;
};

// Splits a traffic log into its records by their header lines.
std::vector<Record> Records(const std::string& text, std::string& unparsed) {
  static const std::regex header(
      R"((Server|Client) \(\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d \d\d\d\) : ([^\n\r]*) : (\d+)\n\r)");
  std::vector<Record> records;
  auto it = std::sregex_iterator(text.begin(), text.end(), header);
  unparsed = it == std::sregex_iterator() ? text : text.substr(0, static_cast<std::size_t>(it->position()));
  for (; it != std::sregex_iterator(); ++it) {
    const auto next = std::next(it);
    const std::size_t start = static_cast<std::size_t>(it->position() + it->length());
    const std::size_t end = next == std::sregex_iterator() ? text.size() : static_cast<std::size_t>(next->position());
    records.push_back({(*it)[1], (*it)[2], (*it)[3], text.substr(start, end - start)});
  }
  return records;
}

std::string EnglishWeekdayNow() {
  const char* const names[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return names[local.tm_wday];
}

// The files in `dir` whose names hold `part`.
std::vector<fs::path> FilesWith(const fs::path& dir, const std::string& part) {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().find(part) != std::string::npos) found.push_back(entry.path());
  }
  return found;
}

class TrafficLogRun : public ::testing::Test {
 protected:
  // Runs the service with `extra` arguments, the calls script against it,
  // then stops it; gives the script's callback port.
  std::string RunCalls(const std::vector<std::string>& extra) {
    const std::uint16_t port = FreePort();
    std::vector<std::string> args{"/eventlog=" + (dir_ / "events.log").string(), "/port=" + std::to_string(port),
                                  "/noncrypt", "/casheoff", "/datadir=" + dir_.Path().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ChildProcess service(ServiceProgram(), args,
                         {{"KAVOR2_SYSCONFDIR", (dir_ / "etc").string()},
                          {"NOTIFY_SOCKET", std::nullopt},
                          {"LC_ALL", "C"}});
    EXPECT_TRUE(WaitForPort(port, kStartTimeout)) << service.Stderr();

    const fs::path script = dir_ / "calls.py";
    std::ofstream(script) << kCallsScript;
    std::string output;
    FILE* p = ::popen(("python3 " + script.string() + " " + std::to_string(port) + " 2>&1").c_str(), "r");
    EXPECT_NE(p, nullptr);
    if (p) {
      char buf[4096];
      for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) output.append(buf, n);
      EXPECT_EQ(::pclose(p), 0) << output;
    }
    EXPECT_NE(output.find("done"), std::string::npos) << output;

    EXPECT_TRUE(service.Signal(SIGTERM));
    const auto status = service.WaitExit(kExitTimeout);
    EXPECT_TRUE(status.has_value() && status->Exited && status->Code == 0) << service.Stderr();
    const std::size_t at = output.find("callback_port ");
    return at == std::string::npos ? std::string() : output.substr(at + 14, output.find('\n', at) - at - 14);
  }

  TempDir dir_;
};

TEST_F(TrafficLogRun, RecordsEveryRequestAndResponseOfServerAndClients) {
  // The trace switch too: its files go beside the traffic log.
  fs::create_directories(dir_ / "etc" / "TERSK" / "KAVOR_PRO" / "KAVCORE");
  std::ofstream(dir_ / "etc" / "TERSK" / "KAVOR_PRO" / "KAVCORE" / "CreateWriteFile");
  const std::string before = EnglishWeekdayNow();
  const std::string callback_port = RunCalls({"/xmlrpclog"});
  const std::string after = EnglishWeekdayNow();
  ASSERT_FALSE(callback_port.empty());

  const std::vector<fs::path> logs = FilesWith(dir_.Path(), "_XMLRPC_");
  ASSERT_EQ(logs.size(), 1u);
  const std::string name = logs[0].filename().string();
  EXPECT_TRUE(name == "kavor2srv_XMLRPC_" + before + ".Log" || name == "kavor2srv_XMLRPC_" + after + ".Log") << name;

  std::string unparsed;
  const std::vector<Record> records = Records(ReadFile(logs[0]), unparsed);
  EXPECT_EQ(unparsed, "");
  int server_calls = 0, server_responses = 0, client_calls = 0, client_responses = 0;
  for (const Record& r : records) {
    EXPECT_EQ(r.peer, "127.0.0.1");
    EXPECT_TRUE(r.body.starts_with("<?xml")) << r.kind << ": " << r.body;
    EXPECT_EQ(r.body.find("\n\r\n\r"), std::string::npos);
    const bool call = r.body.find("<methodCall>") != std::string::npos;
    const bool response = r.body.find("<methodResponse>") != std::string::npos;
    EXPECT_NE(call, response) << r.body;
    if (r.kind == "Server") {
      (call ? server_calls : server_responses)++;
    } else {
      EXPECT_EQ(r.port, callback_port);
      (call ? client_calls : client_responses)++;
    }
  }
  // AddMessageSubscriber, Ping and listMethods, each with its answer; the
  // State call to the subscriber and its answer at least (a call made while
  // the service stops may go unanswered).
  EXPECT_EQ(server_calls, 3);
  EXPECT_EQ(server_responses, 3);
  EXPECT_GE(client_responses, 1);
  EXPECT_GE(client_calls, client_responses);

  const std::string requests = ReadFile(dir_ / "xmlrpcdata_kavor2srv.txt");
  EXPECT_NE(requests.find("<methodName>AddMessageSubscriber</methodName>"), std::string::npos) << requests;
  EXPECT_TRUE(requests.ends_with("</methodCall>\n\r\n")) << requests;
  // "Телеграмма:" and the callback port in the progress of the State call.
  const std::string progress = ReadFile(dir_ / "rpc_kavor2srv.log");
  EXPECT_NE(progress.find("\xD2\xE5\xEB\xE5\xE3\xF0\xE0\xEC\xEC\xE0:127.0.0.1 " + callback_port + " guid:{"),
            std::string::npos)
      << progress;
}

TEST_F(TrafficLogRun, NoFilesWithoutTheOptionAndTheSwitch) {
  ASSERT_FALSE(RunCalls({}).empty());
  EXPECT_TRUE(FilesWith(dir_.Path(), "_XMLRPC_").empty());
  EXPECT_TRUE(FilesWith(ServiceProgram().parent_path(), "_XMLRPC_").empty());
  EXPECT_TRUE(FilesWith(dir_.Path(), "_kavor2srv.").empty());
}

}  // namespace
}  // namespace kavor2::testing
