#include "service/kavor2_service.h"

#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

#include "device/kavor_session.h"
#include "service/api_methods.h"
#include "service/device_methods.h"
#include "service/delivery.h"
#include "service/host_dispatch.h"
#include "service/host_window_port.h"
#include "service/line_methods.h"
#include "service/liveness.h"
#include "service/master_key_methods.h"
#include "service/message_cache.h"
#include "service/status_file.h"
#include "service/status_reporter.h"
#include "service/subscription_methods.h"
#include "service/traffic_log.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/log_file.h"
#include "version.h"
#include "xmlrpc/rpc_server.h"

namespace kavor2::service {
namespace {

constexpr std::string_view kStartedEntry = "Service started (port=";
constexpr std::string_view kInitializationError = "Initialization error";
constexpr std::string_view kStoppedEntry = "Service stoped";
constexpr std::string_view kDeinitializationError = "Deinitialization error";

// Lets callback connections and line threads see their objects go before
// the session itself is freed.
constexpr std::chrono::milliseconds kSessionReleaseDelay{500};
// How often the shutdown looks whether the liveness thread has ended.
constexpr std::chrono::milliseconds kThreadFinishPoll{100};

}  // namespace

TKavor2::TKavor2(platform::EventLoop& loop, platform::EventLog& event_log, ServiceEnvironment environment)
    : loop_(loop), event_log_(event_log), environment_(std::move(environment)) {}

TKavor2::~TKavor2() {
  // A service destroyed without ServiceStop: the owned objects go with their
  // pointers; the session's handlers and the descriptor need doing by hand.
  if (Session) {
    Session->SetOnDeviceData(nullptr);
    Session->SetOnDeviceState(nullptr);
  }
}

void TKavor2::LogMessage(std::string_view text) { event_log_.Write(text); }

void TKavor2::ServiceStart(bool& Started) {
  try {
    StartSequence();
  } catch (...) {
    LogMessage(kInitializationError);
  }
  // Also after a failed start: the report shows what did start.
  StartStatusReports();
  Started = true;
}

void TKavor2::StartStatusReports() {
  try {
    started_ = std::chrono::system_clock::now();
    const std::filesystem::path directory =
        data_directory_.empty() ? environment_.ProgramFile.parent_path() : data_directory_;
    StatusFile = std::make_unique<TStatusFile>(directory);
    ReportStatus(false);
    StatusReporter = std::make_unique<TStatusReporter>(loop_, [this](bool entry) { ReportStatus(entry); });
  } catch (...) {
    // Reports are a convenience; the service runs without them.
  }
}

std::filesystem::path TKavor2::StatusFilePath() const { return StatusFile ? StatusFile->Path() : std::filesystem::path(); }

void TKavor2::ReportStatus(bool statistics_entry) {
  TServiceStatus status = GatherStatus(Session.get(), SubscribersInfo ? &SubscribersInfo->Subscribers() : nullptr);
  status.Version = std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
                   std::to_string(kVersionPatch) + "." + std::to_string(kVersionTweak);
  status.Pid = ::getpid();
  status.Started = started_;
  status.Written = std::chrono::system_clock::now();
  if (StatusFile) StatusFile->Write(StatusJson(status));
  if (statistics_entry) LogMessage(StatisticsEntry(status));
}

void TKavor2::StartSequence() {
  // 1. The null certificate is the constant platform::Guid{} (all zero); there is nothing to set.
  // 2. Session: create it, wire OnDeviceData and OnDeviceState to the data and state handlers.
  //    The serial ports' directory ("/comdir") is fixed for the session's
  //    life, so the options are read for it already here.
  device::TSessionEnvironment session_environment;
  session_environment.ComDir = ParseOptions(environment_.Arguments).ComDir;
  Session = std::make_unique<device::TKavorSession>(loop_, std::move(session_environment));
  Session->SetOnDeviceData([this](device::TKavorSession& sender, std::int32_t kind, const device::TK2Message& record) {
    DeviceData(sender, kind, record);
  });
  Session->SetOnDeviceState(
      [this](device::TKavorSession& sender, std::uint16_t state, const device::TStateDeviceMessage* record) {
        DeviceState(sender, state, record);
      });

  // 3. The XML-RPC server, on the service thread's event loop.
  RpcServer = std::make_unique<xmlrpc::TRpcServer>(loop_);
  RpcServer->SetListenPort(kDefaultListenPort);

  // 4. Option defaults.
  LiveClientTimeOut = kDefaultLiveClientTimeOut;
  XmlRpcLog = false;
  Crypt = true;
  CacheOff = false;

  // 5. The command line; a port option replaces the listening port.
  options_ = ParseOptions(environment_.Arguments);
  listen_port_ = options_.ListenPort;
  LiveClientTimeOut = options_.LiveClientTimeOut;
  XmlRpcLog = options_.XmlRpcLog;
  Crypt = options_.Crypt;
  CacheOff = options_.CacheOff;
  data_directory_ =
      options_.DataDir.empty() ? environment_.ProgramFile.parent_path() : std::filesystem::path(options_.DataDir);
  RpcServer->SetListenPort(listen_port_);

  // 6. The host window, dispatching on the service thread.
  MessageWindow = std::make_unique<HostWindow>(loop_, [this](HostMessage& message) { DispatchHostMessage(message); });

  // 7. Subscriber registry: create it, set its subscribers' Crypt and its window.
  WindowPort = std::make_unique<THostWindowPort>(*MessageWindow);
  SubscribersInfo = std::make_unique<subscribers::TSubscribersInfo>(loop_);
  SubscribersInfo->Subscribers().Crypt = Crypt;
  SubscribersInfo->SetWindow(WindowPort.get());

  // 8. Register the API methods on RpcServer.
  SubscriptionMethods = std::make_unique<TSubscriptionMethods>(*SubscribersInfo, *WindowPort, event_log_);
  MasterKeyMethods = std::make_unique<TMasterKeyMethods>(Session->MasterKeyList());
  LineMethods = std::make_unique<TLineMethods>(*Session, *SubscribersInfo, *WindowPort);
  DeviceMethods = std::make_unique<TDeviceMethods>(*Session, *SubscribersInfo, *WindowPort);
  RegisterMethods(*RpcServer, *SubscriptionMethods, *MasterKeyMethods, *SubscribersInfo, *LineMethods,
                  *DeviceMethods);

  // 9. Payload encryption with the clients.
  RpcServer->SetAESCrypt(Crypt);

  // 10. When XmlRpcLog: the traffic loggers on the subscribers (OnTraffic) and on the
  //     server (OnReceiveXML, OnSendXML), the lock, then open the traffic log.
  if (XmlRpcLog) {
    TrafficLog = std::make_unique<TTrafficLog>(data_directory_, environment_.ProgramFile.stem().string());
    SubscribersInfo->Subscribers().OnTraffic = [log = TrafficLog.get()](xmlrpc::TRpcClient& client,
                                                                        const std::string& xml) {
      log->WriteClient(xml, client.HostName(), client.HostPort());
    };
    auto server_traffic = [log = TrafficLog.get()](xmlrpc::TRpcServer&, const std::string& xml,
                                                   xmlrpc::TRpcStruct& caller_info) {
      // The server always fills both members; it raises its events quietly.
      log->WriteServer(xml, caller_info.Keys("IP").AsString(), caller_info.Keys("Port").AsInteger());
    };
    RpcServer->OnReceiveXML = server_traffic;
    RpcServer->OnSendXML = server_traffic;
    TrafficLog->Open();
  }
  // The XML-RPC layer's trace files, when the installation asks for them.
  if (environment_.TraceFiles.Enabled) {
    TraceFiles = std::make_unique<xmlrpc::TLogFile>(true, data_directory_, environment_.ProgramFile.stem().string());
    RpcServer->OnLogRequest = [files = TraceFiles.get()](const std::string& request) {
      xmlrpc::LogRequest(*files, request);
    };
    SubscribersInfo->Subscribers().OnTrace = [files = TraceFiles.get()](std::string_view name, const std::string& text) {
      xmlrpc::LogClientTrace(*files, name, text);
    };
  }

  // 11. The subscribers' OnCallResult and OnCallError handlers.
  Delivery = std::make_unique<TDelivery>(*SubscribersInfo, *WindowPort, event_log_, Session.get());
  SubscribersInfo->Subscribers().OnCallResult = [delivery = Delivery.get()](
                                                    xmlrpc::TRpcClient& owner, const std::string& guid,
                                                    const std::string& method, const std::string& host,
                                                    const xmlrpc::IRpcResult& result, std::int32_t port) {
    delivery->OnCallResult(owner, guid, method, host, result, port);
  };
  SubscribersInfo->Subscribers().OnCallError = [delivery = Delivery.get()](
                                                   const std::exception* error, const std::string& guid,
                                                   const std::string& method, const std::string& host,
                                                   std::int32_t port, std::int32_t error_id) {
    delivery->OnCallError(error, guid, method, host, port, error_id);
  };

  // 12. RpcServer's OnClientConnect and OnClientDisconnect handlers.
  Liveness = std::make_unique<TLiveness>(*SubscribersInfo, *WindowPort, event_log_, *Delivery);
  RpcServer->OnClientConnect = [liveness = Liveness.get()](const std::string& ip, std::int32_t port) {
    liveness->OnClientConnect(ip, port);
  };
  RpcServer->OnClientDisconnect = [liveness = Liveness.get()](const std::string& ip, std::int32_t port) {
    liveness->OnClientDisconnect(ip, port);
  };

  // 13. Start listening.
  RpcServer->SetActive(true);

  // 14. Unless CacheOff: open or create the cache database.
  if (!CacheOff) {
    Database = std::make_unique<TMessageCache>(event_log_);
    Database->Open(CacheFileFor(environment_.ProgramFile, data_directory_));
    Delivery->SetCache(Database.get());
    Delivery->OnCallAccepted = [cache = Database.get()](const std::string& guid) { cache->DeleteTransaction(guid); };
  }
  // 15. The liveness thread: create it suspended with MessageWindow, then resume it.
  ClientCheckThread = std::make_unique<TClientCheckTread>(*WindowPort);
  ClientCheckThread->Resume();

  // 16. Elapsed times are measured with the steady clock; this is its rate.
  CounterFrequency = std::chrono::steady_clock::period::den / std::chrono::steady_clock::period::num;

  // 17.
  LogMessage(std::string(kStartedEntry) + std::to_string(listen_port_) + ")");
}

void TKavor2::ServiceExecute() { loop_.Run(); }

void TKavor2::ServiceStop(bool& Stopped) {
  try {
    StopSequence();
  } catch (...) {
    LogMessage(kDeinitializationError);
  }
  Stopped = true;
}

void TKavor2::StopSequence() {
  // 0. The last status report, while everything it reports on is there.
  StatusReporter.reset();
  try {
    ReportStatus(false);
  } catch (...) {
    // The shutdown goes on without it.
  }

  // 1. The liveness thread: ask it to terminate, wait until it has finished, free it.
  if (ClientCheckThread) {
    ClientCheckThread->Terminate();
    while (!ClientCheckThread->Finished()) std::this_thread::sleep_for(kThreadFinishPoll);
    ClientCheckThread.reset();
  }

  // 2. Stop listening, drop the connections, free the server.
  if (RpcServer) {
    RpcServer->SetActive(false);
    RpcServer.reset();
  }

  // 3. The session's OnDeviceData and OnDeviceState: clear them. Records
  //    from here on are freed undelivered.
  if (Session) {
    Session->SetOnDeviceData(nullptr);
    Session->SetOnDeviceState(nullptr);
  }

  // 4. Messages still queued for the window are dropped from here on.
  if (WindowPort) WindowPort->Detach();
  if (MessageWindow) {
    MessageWindow->Destroy();
    MessageWindow.reset();
  }

  // 5. Subscriber registry: free it (releases its lines and devices; the
  //    notices go nowhere now). The handlers go with it.
  SubscribersInfo.reset();
  Liveness.reset();
  Delivery.reset();
  SubscriptionMethods.reset();
  MasterKeyMethods.reset();
  LineMethods.reset();
  DeviceMethods.reset();
  WindowPort.reset();

  // 6.
  std::this_thread::sleep_for(kSessionReleaseDelay);

  // 7. Session: free it (lines, transports, line threads, devices).
  Session.reset();

  // 8. The traffic log.
  if (XmlRpcLog && TrafficLog) {
    TrafficLog->Close();
    TrafficLog.reset();
  }

  // 9. Unless CacheOff: close the cache database when it is connected.
  if (!CacheOff && Database && Database->Connected()) Database->Close();

  // 10.
  LogMessage(kStoppedEntry);
}

void TKavor2::ServiceShutdown() {
  bool stopped = false;
  ServiceStop(stopped);
}

void TKavor2::DeviceData(device::TKavorSession&, std::int32_t kind, const device::TK2Message& record) {
  if (Delivery) Delivery->DeviceData(kind, record);
}

void TKavor2::DeviceState(device::TKavorSession&, std::uint16_t state, const device::TStateDeviceMessage* record) {
  if (Delivery) Delivery->DeviceState(state, record);
}

void TKavor2::DispatchHostMessage(HostMessage& message) {
  // Messages without a handler are dropped, as the default handling does.
  if (Delivery && Liveness) RouteHostMessage(message, *Delivery, *Liveness);
}

}  // namespace kavor2::service
