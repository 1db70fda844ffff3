// Program entry: installs or removes the systemd unit, or runs the service
// in the foreground until SIGTERM/SIGINT.
#include <signal.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/descriptor_limit.h"
#include "platform/event_log.h"
#include "platform/event_loop.h"
#include "platform/program_path.h"
#include "platform/service_notify.h"
#include "platform/signal_watcher.h"
#include "platform/systemd_unit.h"
#include "platform/text.h"
#include "platform/trace_switch.h"
#include "service/kavor2_service.h"
#include "service/options.h"
#include "service/service_identity.h"
#include "service/service_unit.h"

namespace {

using namespace kavor2;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
// Shown by the service manager's status; tells watchers the pause took effect.
constexpr std::string_view kNotifyPaused = "STATUS=Paused";
constexpr std::string_view kNotifyRunning = "STATUS=Running";

// The installer's own switches, taken out of the arguments before the rest
// goes to the service: "install", "/INSTALL", "-install", ...
struct FrameworkSwitches {
  bool Install = false;
  bool Uninstall = false;
  bool Silent = false;
  std::vector<std::string> ServiceArguments;
};

bool IsSwitch(std::string_view arg, std::string_view name) {
  if (arg.starts_with("--")) {
    arg.remove_prefix(2);
  } else if (arg.starts_with('/') || arg.starts_with('-')) {
    arg.remove_prefix(1);
  }
  return platform::EqualsNoCaseAscii(arg, name);
}

FrameworkSwitches SplitSwitches(const std::vector<std::string>& args) {
  FrameworkSwitches result;
  for (const std::string& arg : args) {
    if (IsSwitch(arg, "install")) {
      result.Install = true;
    } else if (IsSwitch(arg, "uninstall")) {
      result.Uninstall = true;
    } else if (IsSwitch(arg, "silent")) {
      result.Silent = true;
    } else {
      result.ServiceArguments.push_back(arg);
    }
  }
  return result;
}

std::string Title() { return std::string(service::kApplicationTitle); }

int Install(const FrameworkSwitches& switches) {
  auto unit = service::ServiceUnit(platform::ProgramFile(), switches.ServiceArguments);
  auto path = platform::InstallUnit(unit, platform::UnitDirectory());
  if (!switches.Silent) {
    std::cout << Title() << ": service " << service::kServiceName << " installed as " << path.string()
              << " (systemctl daemon-reload; systemctl enable --now " << service::kUnitName << ")" << std::endl;
  }
  return kExitOk;
}

int Uninstall(const FrameworkSwitches& switches) {
  auto path = platform::RemoveUnit(std::string(service::kUnitName), platform::UnitDirectory());
  if (!switches.Silent) {
    std::cout << Title() << ": service " << service::kServiceName << " removed (" << path.string() << ")"
              << std::endl;
  }
  return kExitOk;
}

std::unique_ptr<platform::EventLog> MakeEventLog(const service::ServiceOptions& options) {
  if (!options.EventLogFile.empty()) return std::make_unique<platform::FileEventLog>(options.EventLogFile);
  return std::make_unique<platform::SyslogEventLog>(std::string(service::kServiceName));
}

// Runs the service on this thread, which is the service thread, until a
// stop signal.
int Serve(std::vector<std::string> args) {
  // Every client connection holds a descriptor; the usual soft limit of 1024
  // would refuse clients long before the hard limit is reached.
  platform::RaiseDescriptorLimit();
  platform::EventLoop loop;
  auto event_log = MakeEventLog(service::ParseOptions(args));
  service::ServiceEnvironment environment{std::move(args), platform::ProgramFile(), platform::ReadTraceSwitch()};
  service::TKavor2 service(loop, *event_log, std::move(environment));

  platform::SignalWatcher::Handlers handlers;
  handlers.OnStop = [&loop] {
    platform::NotifyServiceManager(platform::kNotifyStopping);
    // A paused service is stopped too: let it run the work already queued,
    // then leave the loop.
    loop.Resume();
    loop.Post([&loop] { loop.Stop(); });
  };
  handlers.OnPause = [&loop] {
    loop.Pause();
    platform::NotifyServiceManager(kNotifyPaused);
  };
  handlers.OnResume = [&loop] {
    loop.Resume();
    platform::NotifyServiceManager(kNotifyRunning);
  };
  // Runs when the service thread gets to it (after a pause, when paused).
  handlers.OnReport = [&loop, &service] { loop.Post([&service] { service.ReportStatistics(); }); };
  platform::SignalWatcher watcher(std::move(handlers));

  loop.Post([&service] {
    bool started = false;
    service.ServiceStart(started);
    platform::NotifyServiceManager(platform::kNotifyReady);
  });
  service.ServiceExecute();

  bool stopped = false;
  service.ServiceStop(stopped);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    // Before any thread exists, so that every thread inherits the mask.
    platform::SignalWatcher::BlockControlSignals();
    // Peers that vanish must not kill the process on a write.
    ::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    FrameworkSwitches switches = SplitSwitches(args);
    if (switches.Install) return Install(switches);
    if (switches.Uninstall) return Uninstall(switches);
    return Serve(std::move(args));
  } catch (const std::exception& e) {
    std::cerr << Title() << ": " << e.what() << std::endl;
  } catch (...) {
    std::cerr << Title() << ": unexpected failure" << std::endl;
  }
  return kExitFailure;
}
