#pragma once
// Client liveness: the release of a subscriber, the XML-RPC server's
// connection events, and the periodic check that pings idle subscribers,
// with the thread that times it.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/event_log.h"
#include "service/delivery.h"
#include "service/host_messages.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service {

inline constexpr std::chrono::seconds kCheckClientsInterval{20};
// A subscriber that has had no call for longer than this is pinged.
inline constexpr std::chrono::seconds kIdleBeforePing{5};

// Posts WM_CHECK_CLIENTS to the host window every interval. Touches nothing
// but the window. Made suspended; Resume starts it.
class TClientCheckTread {
 public:
  explicit TClientCheckTread(IHostPoster& window, std::chrono::milliseconds interval = kCheckClientsInterval);
  // Terminates and joins.
  ~TClientCheckTread();
  TClientCheckTread(const TClientCheckTread&) = delete;
  TClientCheckTread& operator=(const TClientCheckTread&) = delete;

  void Resume();
  // Asks the thread to end; it does so at once, also in the middle of a wait.
  void Terminate();
  // True once the thread has run its last step (or was never started and
  // has been asked to terminate).
  bool Finished() const { return finished_.load(); }

 private:
  void Execute();

  IHostPoster& window_;
  const std::chrono::milliseconds interval_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool terminated_ = false;
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

// Runs on the service thread.
class TLiveness {
 public:
  TLiveness(subscribers::TSubscribersInfo& registry, IHostPoster& window, platform::EventLog& log,
            TDelivery& delivery)
      : registry_(registry), window_(window), log_(log), delivery_(delivery) {}
  TLiveness(const TLiveness&) = delete;
  TLiveness& operator=(const TLiveness&) = delete;

  // WM_RELEASE_SUBSCRIBER: logs it, sends notification 21 about the
  // subscriber registered over the endpoint, and destroys that subscriber
  // (its lines and devices are released with their notices).
  void ReleaseSubscriber(std::unique_ptr<TClientRecInfo> endpoint);
  // WM_CHECK_CLIENTS: every subscriber idle for longer than kIdleBeforePing
  // is pinged when its callback is connected; otherwise one connection
  // attempt is made, and a subscriber still without one is released.
  void CheckClients();

  // The server's OnClientConnect: a subscriber registered over a connection
  // with this peer address and port is gone (its connection no longer
  // exists) and is destroyed at once.
  void OnClientConnect(const std::string& ip, std::int32_t port);
  // The server's OnClientDisconnect: the subscriber registered over this
  // connection, if any, is released (by a posted message).
  void OnClientDisconnect(const std::string& ip, std::int32_t port);

 private:
  subscribers::TSubscribersInfo& registry_;
  IHostPoster& window_;
  platform::EventLog& log_;
  TDelivery& delivery_;
};

}  // namespace kavor2::service
