// Subscribers against the real program: Python's xmlrpc.client registers,
// Python's xmlrpc.server plays the subscribers' callback servers.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "integration/process_runner.h"

namespace kavor2::testing {
namespace {

using namespace std::chrono_literals;

constexpr milliseconds kStartTimeout = 20s;
constexpr milliseconds kExitTimeout = 20s;

// Prints "name value" lines for the test to check the event log against,
// and "done" at the end; any failed expectation ends it with an exception.
constexpr const char* kSubscribersScript = R"PY(
import socket, socketserver, sys, threading, time, xmlrpc.client, xmlrpc.server

SERVICE = "http://127.0.0.1:%s/RPC2" % sys.argv[1]
DEADLINE = 20.0

class Handler(xmlrpc.server.SimpleXMLRPCRequestHandler):
    rpc_paths = ()  # the service calls "/xml-rpc"
    protocol_version = "HTTP/1.1"
    def log_message(self, *args):
        pass

class ThreadedServer(socketserver.ThreadingMixIn, xmlrpc.server.SimpleXMLRPCServer):
    daemon_threads = True

class CallbackServer:
    """A subscriber's own server: records what the service calls."""
    def __init__(self):
        self.calls = []
        self.cond = threading.Condition()
        self.server = ThreadedServer(("127.0.0.1", 0), Handler, logRequests=False)
        for name in ("Data", "State", "Ping"):
            self.server.register_function(self.recorder(name), name)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
    def recorder(self, name):
        def record(*params):
            with self.cond:
                self.calls.append([name] + list(params))
                self.cond.notify_all()
            return True
        return record
    def wait_for(self, call):
        end = time.monotonic() + DEADLINE
        with self.cond:
            while call not in self.calls:
                left = end - time.monotonic()
                if left <= 0:
                    raise AssertionError("never received %r; got %r" % (call, self.calls))
                self.cond.wait(left)

def local_port(proxy):
    # The client end of the proxy's kept-alive connection: the service knows
    # the registration by it.
    return proxy._ServerProxy__transport._connection[1].sock.getsockname()[1]

def expect_fault(call, code):
    try:
        call()
    except xmlrpc.client.Fault as f:
        assert f.faultCode == code, (f.faultCode, f.faultString)
        return
    raise AssertionError("no fault %d" % code)

def display(name, port):
    return "%s ( 127.0.0.1 : %d)" % (name, port)

debug_server, normal_server = CallbackServer(), CallbackServer()

debug = xmlrpc.client.ServerProxy(SERVICE)
cert_a = debug.AddMessageSubscriber(debug_server.port, "A ($DebugMode)", "Data", "State")
assert len(cert_a) == 38 and cert_a[0] == "{" and cert_a[-1] == "}", cert_a
debug_server.wait_for(["State", 20, cert_a, display("A ($DebugMode)", debug_server.port)])
debug.Ping(cert_a)

normal = xmlrpc.client.ServerProxy(SERVICE)
cert_b = normal.AddMessageSubscriber(normal_server.port, "B", "Data", "State")
debug_server.wait_for(["State", 20, cert_b, display("B", normal_server.port)])
assert normal_server.calls == [], normal_server.calls

probe = socket.socket()
probe.bind(("127.0.0.1", 0))
dead_port = probe.getsockname()[1]
probe.close()
unreachable = xmlrpc.client.ServerProxy(SERVICE)
cert_c = unreachable.AddMessageSubscriber(dead_port, "C", "Data", "State")
print("dead_port", dead_port)
print("c_connection_port", local_port(unreachable))
debug_server.wait_for(["State", 21, cert_c, display("C", dead_port)])
expect_fault(lambda: unreachable.Ping(cert_c), 10)

print("b_connection_port", local_port(normal))
normal("close")()
debug_server.wait_for(["State", 21, cert_b, display("B", normal_server.port)])
expect_fault(lambda: debug.Ping(cert_b), 10)
debug.Ping(cert_a)
print("done")
sys.stdout.flush()
)PY";

ShellRun RunPython(const std::string& script, std::uint16_t service_port) {
  return RunShell("python3 " + script + " " + std::to_string(service_port) + " 2>&1");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "name value" lines of the script's output.
std::map<std::string, std::string> Values(const std::vector<std::string>& lines) {
  std::map<std::string, std::string> values;
  for (const std::string& line : lines) {
    const std::size_t space = line.find(' ');
    if (space != std::string::npos) values[line.substr(0, space)] = line.substr(space + 1);
  }
  return values;
}

// The index of the first line at or after `from` that starts with `prefix`; -1 when none.
int Find(const std::vector<std::string>& lines, const std::string& prefix, int from = 0) {
  for (int i = from; i < static_cast<int>(lines.size()); ++i) {
    if (lines[static_cast<std::size_t>(i)].starts_with(prefix)) return i;
  }
  return -1;
}

TEST(Subscription, RegisterNotifyAndRelease) {
  TempDir dir;
  const std::uint16_t port = FreePort();
  const auto events = dir / "events.log";
  ChildProcess service(ServiceProgram(),
                       {"/eventlog=" + events.string(), "/port=" + std::to_string(port), "/noncrypt",
                        "/casheoff", "/datadir=" + dir.Path().string()},
                       {{"KAVOR2_SYSCONFDIR", (dir / "etc").string()}, {"NOTIFY_SOCKET", std::nullopt}});
  ASSERT_TRUE(WaitForPort(port, kStartTimeout)) << service.Stderr();

  const std::string script = (dir / "subscribers.py").string();
  std::ofstream(script) << kSubscribersScript;
  const ShellRun run = RunPython(script, port);
  ASSERT_EQ(run.status, 0) << run.output;
  const std::vector<std::string> output = Lines(run.output);
  ASSERT_FALSE(output.empty());
  ASSERT_EQ(output.back(), "done") << run.output;
  std::map<std::string, std::string> values = Values(output);

  ASSERT_TRUE(service.Signal(SIGTERM));
  const auto status = service.WaitExit(kExitTimeout);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->Exited && status->Code == 0) << service.Stderr();
  const std::vector<std::string> log = Lines(ReadFile(events));
  const std::string dead = values["dead_port"];
  const std::string c_connection = values["c_connection_port"];
  const std::string b_connection = values["b_connection_port"];

  // The unreachable callback server: five attempts, then the release.
  int at = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    at = Find(log, "Not callback connect , attempt :" + std::to_string(attempt) + " ( 127.0.0.1 : " + dead + ") Error : ", at);
    ASSERT_GE(at, 0) << "attempt " << attempt << "\n" << ReadFile(events);
  }
  EXPECT_GE(Find(log, "Release subscriber on disconnect (127.0.0.1 : " + c_connection + ")", at), 0) << ReadFile(events);

  // The closed registration connection.
  at = Find(log, "Client disconnect RPC server ( 127.0.0.1 : " + b_connection + " ) ");
  ASSERT_GE(at, 0) << ReadFile(events);
  EXPECT_GE(Find(log, "Release subscriber on disconnect (127.0.0.1 : " + b_connection + ")", at), 0) << ReadFile(events);
  EXPECT_GE(Find(log, "Add subscriber ( Client ID : {"), 0);
  EXPECT_EQ(log.back(), "Service stoped");
}

}  // namespace
}  // namespace kavor2::testing
