// kavor2ctl: calls a running Kavor2 service and prints the answer.
#include <signal.h>

#include <charconv>
#include <iostream>
#include <string>
#include <vector>

#include "kavor2ctl/kavor2ctl_commands.h"

int main(int argc, char** argv) {
  using namespace kavor2::ctl;
  // A service that closes the connection must not kill us on a write.
  ::signal(SIGPIPE, SIG_IGN);
  Target target;
  std::vector<std::string> command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (!command.empty()) {
      command.push_back(arg);
    } else if (arg == "--help" || arg == "-h") {
      std::cout << UsageText();
      return kExitOk;
    } else if (arg == "--plain") {
      target.Plain = true;
    } else if (arg == "--host" || arg == "--port" || arg == "--cert") {
      const char* v = value();
      if (v == nullptr) {
        std::cerr << "kavor2ctl: " << arg << " needs a value\n";
        return kExitUsage;
      }
      if (arg == "--host") target.Host = v;
      if (arg == "--cert") target.Certificate = v;
      if (arg == "--port") {
        const std::string text = v;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), target.Port);
        if (ec != std::errc() || end != text.data() + text.size() || target.Port < 1 || target.Port > 65535) {
          std::cerr << "kavor2ctl: not a port: " << text << "\n";
          return kExitUsage;
        }
      }
    } else if (arg.starts_with("--")) {
      std::cerr << "kavor2ctl: unknown option " << arg << " (see --help)\n";
      return kExitUsage;
    } else {
      command.push_back(arg);
    }
  }
  return RunCommand(target, command, std::cout, std::cerr);
}
