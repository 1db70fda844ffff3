// k2sim: simulated Ethernet devices, or a serial bus of devices, for a
// service line. SIGINT and SIGTERM arrive through a signal descriptor, so
// the loop stops between events.
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <exception>
#include <iostream>

#include "k2sim/k2sim_driver.h"
#include "k2sim/k2sim_serial_driver.h"

int main(int argc, char** argv) {
  using namespace kavor2::k2sim;
  constexpr int kUsageError = 2;
  const TParseResult parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.Help) {
    std::cout << HelpText();
    return 0;
  }
  if (!parsed.Options) {
    std::cerr << "k2sim: " << parsed.Error << "\n(see k2sim --help)\n";
    return kUsageError;
  }
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  const int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (stop_fd < 0) {
    std::cerr << "k2sim: cannot watch for signals\n";
    return 1;
  }
  try {
    const int command_fd = parsed.Options->Commands ? STDIN_FILENO : -1;
    if (!parsed.Options->SerialDir.empty()) {
      TSerialSimDriver driver(*parsed.Options, std::cout);
      driver.Run(stop_fd, command_fd);
    } else {
      TSimDriver driver(*parsed.Options, std::cout);
      driver.Run(stop_fd, command_fd);
    }
  } catch (const std::exception& e) {
    std::cerr << "k2sim: " << e.what() << '\n';
    ::close(stop_fd);
    return 1;
  }
  ::close(stop_fd);
  return 0;
}
