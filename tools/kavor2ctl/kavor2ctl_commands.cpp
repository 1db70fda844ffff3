#include "kavor2ctl/kavor2ctl_commands.h"

#include <exception>
#include <filesystem>
#include <memory>
#include <thread>

#include "kavor2ctl/kavor2ctl_stats.h"
#include "kavor2ctl/kavor2ctl_values.h"
#include "platform/event_loop.h"
#include "platform/text.h"
#include "xmlrpc/client_error_codes.h"
#include "xmlrpc/rpc_client.h"
#include "xmlrpc/rpc_server.h"

namespace kavor2::ctl {
namespace {

using xmlrpc::IRpcFunction;
using xmlrpc::TRpcFunction;
using xmlrpc::TRpcResult;

constexpr std::int32_t kTransportFault = 601;
constexpr const char* kClientName = "kavor2ctl";
constexpr const char* kDataMethod = "OnData";
constexpr const char* kStateMethod = "OnState";

// A fault the service answered, or the transport's failure (601).
struct Fault {
  std::int32_t Code;
  std::string Message;
};

class Session {
 public:
  explicit Session(const Target& target) : client_(loop_) {
    client_.SetHostName(target.Host);
    client_.SetHostPort(target.Port);
    client_.SetEndPoint("/RPC2");
    client_.SetAESCrypt(!target.Plain);
  }

  // The call's result; throws Fault.
  TRpcResult Call(const std::string& method, const std::vector<std::string>& typed_args) {
    auto call = std::make_shared<TRpcFunction>();
    call->SetObjectMethod(method);
    for (const std::string& arg : typed_args) AddTypedArgument(*call, arg);
    return Call(call);
  }

  TRpcResult Call(IRpcFunction call) {
    TRpcResult result;
    client_.Execute(std::move(call), false, result);
    if (result.IsError()) throw Fault{result.ErrorCode(), result.ErrorMsg()};
    return result;
  }

 private:
  platform::EventLoop loop_;
  xmlrpc::TRpcClient client_;
};

// A callback server for a temporary subscriber: it accepts the service's
// callback connection (in the same crypt mode) and answers every call, so
// the subscriber stays registered while the command runs.
class CallbackServer {
 public:
  explicit CallbackServer(bool plain) : server_(loop_) {
    auto accept = [](const std::string&, xmlrpc::TRpcParams&, TRpcFunction& result, xmlrpc::TRpcStruct&) {
      result.AddItem(std::int32_t{0});
    };
    for (const char* name : {kDataMethod, kStateMethod, "Ping"}) server_.Methods().Add(name, accept);
    server_.SetAESCrypt(!plain);
    server_.SetListenPort(0);
    server_.SetActive(true);
    thread_ = std::thread([this] { loop_.Run(); });
  }
  ~CallbackServer() {
    loop_.Call<bool>([this] {
      server_.SetActive(false);
      return true;
    });
    loop_.Stop();
    thread_.join();
  }
  std::int32_t Port() const { return server_.BoundPort(); }

 private:
  platform::EventLoop loop_;
  xmlrpc::TRpcServer server_;
  std::thread thread_;
};

std::string Arg(std::int32_t value) { return "i:" + std::to_string(value); }
std::string StringArg(const std::string& text) { return "s:" + text; }

int Devices(Session& session, const Target& target, const std::string& line, std::ostream& out) {
  if (!target.Certificate.empty()) {
    out << FormatValue(session.Call("Devices", {StringArg(target.Certificate), "i:" + line}));
    return kExitOk;
  }
  CallbackServer callback(target.Plain);
  TRpcResult cert = session.Call("AddMessageSubscriber",
                                 {Arg(callback.Port()), StringArg(kClientName), StringArg(kDataMethod),
                                  StringArg(kStateMethod)});
  const std::string certificate = cert.AsString();
  struct Unregister {
    Session& session;
    const std::string& certificate;
    ~Unregister() {
      try {
        session.Call("DeleteMessageSubscriber", {StringArg(certificate)});
      } catch (...) {
        // The service releases it anyway when this connection closes.
      }
    }
  } unregister{session, certificate};
  out << FormatValue(session.Call("Devices", {StringArg(certificate), "i:" + line}));
  return kExitOk;
}

bool NeedArgs(const std::vector<std::string>& command, std::size_t count, std::ostream& err) {
  if (command.size() == count) return true;
  err << "kavor2ctl: " << command[0] << ": wrong number of arguments (see --help)\n";
  return false;
}

// "stats [--datadir DIR | --status FILE]": reads the file, no network.
int Stats(const std::vector<std::string>& command, std::ostream& out, std::ostream& err) {
  std::filesystem::path file = std::filesystem::path(kDefaultDataDir) / kStatusFileName;
  bool chosen = false;
  for (std::size_t i = 1; i < command.size(); ++i) {
    const std::string& option = command[i];
    if ((option != "--datadir" && option != "--status") || i + 1 == command.size()) {
      err << "kavor2ctl: stats: expected --datadir DIR or --status FILE, not " << option << " (see --help)\n";
      return kExitUsage;
    }
    if (chosen) {
      err << "kavor2ctl: stats: give either --datadir or --status, once\n";
      return kExitUsage;
    }
    chosen = true;
    const std::string& value = command[++i];
    file = option == "--status" ? std::filesystem::path(value) : std::filesystem::path(value) / kStatusFileName;
  }
  return ShowStatus(file, out, err);
}

}  // namespace

std::string UsageText() {
  return "usage: kavor2ctl [--host H] [--port P] [--plain] [--cert GUID] COMMAND\n"
         "       kavor2ctl stats [--datadir DIR | --status FILE]\n"
         "\n"
         "Commands:\n"
         "  version             the service's API version\n"
         "  methods             the methods the service offers\n"
         "  help METHOD         the help string of one method\n"
         "  lines               the lines with their owners\n"
         "  devices LINE        the devices of a line (needs a certificate, see --cert)\n"
         "  call METHOD ARGS... any method with typed arguments\n"
         "  stats               the status file the service rewrites every 10 s\n"
         "                      (lines, devices, subscribers and their counters);\n"
         "                      read from /var/lib/kavor2/kavor2-status.json, from\n"
         "                      DIR/kavor2-status.json with --datadir DIR (the\n"
         "                      service's /datadir), or from --status FILE;\n"
         "                      needs no connection to the service\n"
         "\n"
         "Options:\n"
         "  --host H     service address (default 127.0.0.1)\n"
         "  --port P     service port (default 8100)\n"
         "  --plain      the service runs with /noncrypt: no key exchange, no AES\n"
         "  --cert GUID  the certificate for \"devices\"; without it kavor2ctl registers\n"
         "               a temporary subscriber (with its own callback server) and\n"
         "               removes it afterwards\n"
         "\n"
         "ARGS of \"call\": i:5 integer, b:true boolean (true/false/1/0), d:1.5 double,\n"
         "s:text string; anything else is a string as written (use s: for a string\n"
         "that begins with i:, b:, d: or s:). Texts are sent in Windows-1251.\n"
         "\n"
         "Exit status: 0 success, 1 the service answered a fault (printed with its\n"
         "code), 2 usage error, 3 the service could not be reached (stats: the status\n"
         "file is missing, unreadable or malformed).\n";
}

int RunCommand(const Target& target, const std::vector<std::string>& command, std::ostream& out,
               std::ostream& err) {
  if (command.empty()) {
    err << UsageText();
    return kExitUsage;
  }
  const std::string& name = command[0];
  if (name == "stats") return Stats(command, out, err);
  try {
    Session session(target);
    if (name == "version") {
      if (!NeedArgs(command, 1, err)) return kExitUsage;
      out << FormatValue(session.Call("Version", {}));
    } else if (name == "methods") {
      if (!NeedArgs(command, 1, err)) return kExitUsage;
      out << FormatValue(session.Call("system.listMethods", {}));
    } else if (name == "help") {
      if (!NeedArgs(command, 2, err)) return kExitUsage;
      out << FormatValue(session.Call("system.methodHelp", {StringArg(command[1])}));
    } else if (name == "lines") {
      if (!NeedArgs(command, 1, err)) return kExitUsage;
      out << FormatValue(session.Call("Lines", {}));
    } else if (name == "devices") {
      if (!NeedArgs(command, 2, err)) return kExitUsage;
      AddTypedArgument(*std::make_shared<TRpcFunction>(), "i:" + command[1]);  // checks the number
      return Devices(session, target, command[1], out);
    } else if (name == "call") {
      if (command.size() < 2 && !NeedArgs(command, 2, err)) return kExitUsage;
      out << FormatValue(
          session.Call(command[1], std::vector<std::string>(command.begin() + 2, command.end())));
    } else {
      err << "kavor2ctl: unknown command " << name << " (see --help)\n";
      return kExitUsage;
    }
  } catch (const Fault& fault) {
    err << "fault " << fault.Code << ": " << platform::Cp1251ToUtf8(fault.Message) << "\n";
    return fault.Code == kTransportFault ? kExitTransport : kExitFault;
  } catch (const UsageError& e) {
    err << "kavor2ctl: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    err << "kavor2ctl: " << platform::Cp1251ToUtf8(e.what()) << "\n";
    return kExitTransport;
  }
  return kExitOk;
}

}  // namespace kavor2::ctl
