#pragma once
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_log.h"
#include "platform/event_loop.h"
#include "platform/trace_switch.h"
#include "service/host_window.h"
#include "service/options.h"

namespace kavor2::xmlrpc {
class TRpcServer;
class TLogFile;
}
namespace kavor2::subscribers {
class TSubscribersInfo;
}
namespace kavor2::device {
class TKavorSession;
struct TK2Message;
struct TStateDeviceMessage;
}

namespace kavor2::service {

class THostWindowPort;
class TSubscriptionMethods;
class TMasterKeyMethods;
class TLineMethods;
class TDeviceMethods;
class TDelivery;
class TLiveness;
class TClientCheckTread;
class TTrafficLog;
class TMessageCache;
class TStatusFile;
class TStatusReporter;

// What the process hands the service: its command line and where it lives.
struct ServiceEnvironment {
  std::vector<std::string> Arguments;  // without the program name
  std::filesystem::path ProgramFile;   // absolute
  platform::TraceSwitch TraceFiles;    // decided once at program start
};

// The service object: owns every long-lived object of the system, builds
// them in ServiceStart and releases them in ServiceStop. Everything here
// runs on the service thread, the one that runs the event loop.
class TKavor2 {
 public:
  TKavor2(platform::EventLoop& loop, platform::EventLog& event_log, ServiceEnvironment environment);
  ~TKavor2();
  TKavor2(const TKavor2&) = delete;
  TKavor2& operator=(const TKavor2&) = delete;

  // The start-up sequence. A failing step ends it with the entry
  // "Initialization error"; what was built stays for ServiceStop.
  // `Started` is left true in every case: the service runs regardless.
  void ServiceStart(bool& Started);
  // The service's work: dispatches every API call, device record, callback
  // result and host message on this thread until the loop is stopped (a stop
  // signal). Returns then; ServiceStop follows.
  void ServiceExecute();
  // The shutdown sequence; passes over what was never built. A failing step
  // ends it with "Deinitialization error". `Stopped` is true in every case.
  void ServiceStop(bool& Stopped);
  // System shutdown: the same as a stop.
  void ServiceShutdown();

  // Writes an information entry (Windows-1251 text) to the event log.
  void LogMessage(std::string_view text);

  // Writes the statistics entry and rewrites the status file now (the
  // reload request, SIGUSR1). Service thread.
  void ReportStatistics() { ReportStatus(true); }
  // The status file (valid after ServiceStart).
  std::filesystem::path StatusFilePath() const;

  // The listening port taken from the options (valid after ServiceStart).
  std::int32_t ListenPort() const { return listen_port_; }
  // Where the cache database and the log files go: "/datadir" or the
  // program's directory (valid after ServiceStart).
  const std::filesystem::path& DataDirectory() const { return data_directory_; }
  const ServiceOptions& Options() const { return options_; }

 private:
  void DispatchHostMessage(HostMessage& message);
  // The session's data and state handlers.
  void DeviceData(device::TKavorSession& sender, std::int32_t kind, const device::TK2Message& record);
  void DeviceState(device::TKavorSession& sender, std::uint16_t state, const device::TStateDeviceMessage* record);
  void StartSequence();
  void StopSequence();
  // The status file, written now and every few seconds from here on.
  void StartStatusReports();
  // Rewrites the status file; with the entry, writes the statistics entry
  // too.
  void ReportStatus(bool statistics_entry);

  platform::EventLoop& loop_;
  platform::EventLog& event_log_;
  ServiceEnvironment environment_;
  ServiceOptions options_;
  std::int32_t listen_port_ = kDefaultListenPort;
  std::filesystem::path data_directory_;

  // Destruction without a ServiceStop runs in reverse order of these: the
  // liveness thread and the server stop first (nothing calls in any more),
  // then the registry (its ownership entries go before the lines and
  // devices), the window (its queued messages are dropped then), and the
  // session last, with its lines and devices.
  // The log writers go last: the server and the callback clients' workers
  // write to them until they are gone. The traffic log (with its lock, file
  // and file name) exists only when XmlRpcLog; the trace files only with
  // their switch.
  std::unique_ptr<TTrafficLog> TrafficLog;
  std::unique_ptr<xmlrpc::TLogFile> TraceFiles;
  std::unique_ptr<device::TKavorSession> Session;
  // The cache of undelivered messages (unless CacheOff); outlives the
  // delivery that writes to it.
  std::unique_ptr<TMessageCache> Database;
  std::unique_ptr<HostWindow> MessageWindow;
  // The window as the registry, the handlers and the liveness thread post to
  // it; detached when the window is destroyed.
  std::unique_ptr<THostWindowPort> WindowPort;
  std::unique_ptr<subscribers::TSubscribersInfo> SubscribersInfo;
  std::unique_ptr<TSubscriptionMethods> SubscriptionMethods;
  std::unique_ptr<TMasterKeyMethods> MasterKeyMethods;
  std::unique_ptr<TLineMethods> LineMethods;
  std::unique_ptr<TDeviceMethods> DeviceMethods;
  std::unique_ptr<TDelivery> Delivery;
  std::unique_ptr<TLiveness> Liveness;
  std::unique_ptr<xmlrpc::TRpcServer> RpcServer;
  std::unique_ptr<TClientCheckTread> ClientCheckThread;
  bool XmlRpcLog = false;
  bool CacheOff = false;
  bool Crypt = true;
  std::int32_t LiveClientTimeOut = kDefaultLiveClientTimeOut;
  std::int64_t CounterFrequency = 0;
  // The status reports; the reporter's clock stops before anything it
  // reports on goes.
  std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
  std::unique_ptr<TStatusFile> StatusFile;
  std::unique_ptr<TStatusReporter> StatusReporter;

};

}  // namespace kavor2::service
