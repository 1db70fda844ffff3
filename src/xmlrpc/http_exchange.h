#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/aes128.h"
#include "platform/tcp.h"

namespace kavor2::xmlrpc {

// A connection that the peer resets while we write, or closes before the
// response head, is reopened and the call sent again; a peer that does this
// every time fails the call after this many attempts.
inline constexpr int kMaxExchangeAttempts = 3;
inline constexpr std::chrono::milliseconds kConnectTimeout{5000};
// The read time-out bounds each read; this bounds the whole call (writing
// the request, the head and the body, reconnects included), so that a peer
// that trickles bytes just fast enough cannot hold the worker for ever.
inline constexpr std::chrono::milliseconds kCallDeadline{15000};

// Where one call goes. The exchange replaces `host` by the address it
// resolved it to.
struct TExchangeTarget {
  std::string host;
  std::int32_t port = 0;
  std::string end_point;
};

struct TExchangeSettings {
  bool aes_crypt = false;
  bool ssl_enable = false;
  std::chrono::milliseconds read_timeout{5000};
  std::chrono::milliseconds call_deadline = kCallDeadline;
};

// Opens a TCP connection to an IPv4 address (TcpConnection::Connect).
using TConnector = std::function<platform::IoResult(const std::string& ipv4, std::uint16_t port,
                                                    platform::Timeout timeout,
                                                    std::unique_ptr<platform::TcpConnection>& out)>;
// A host name to one IPv4 address in dotted form; nullopt when it cannot be
// resolved.
using TResolver = std::function<std::optional<std::string>(const std::string& name)>;

// The last IPv4 address getaddrinfo gives for the name.
std::optional<std::string> ResolveLastIpv4(const std::string& name);

// The callback client's transport: one kept-alive connection with its
// session key, the cached resolution of the last host name, and the HTTP
// exchange of one call.
//
// Threads: Run and EnsureConnected are called by one thread at a time (the
// client serialises them). Connected, Disconnect and Abort may be called
// from any thread at any time and never wait for a running exchange; a
// Disconnect during an exchange makes its I/O fail as closed.
class THttpExchange {
 public:
  THttpExchange(TConnector connector, TResolver resolver);
  THttpExchange(const THttpExchange&) = delete;
  THttpExchange& operator=(const THttpExchange&) = delete;

  // One call. Returns the response text (decrypted, trailing whitespace
  // removed), or an empty text when the host cannot be resolved, no
  // connection could be opened (empty host or port 0) or the response
  // announces no usable length. Throws ERpcTransportError for transport
  // failures, platform::ConversionError for bodies that do not decrypt; the
  // connection is closed after every failure.
  std::string Run(TExchangeTarget& target, std::string_view document, const TExchangeSettings& settings);

  // Replaces a host name by its address (cached for a name seen before).
  // False when it cannot be resolved.
  bool Resolve(std::string& host);

  // Opens the connection to address:port unless it is open there already,
  // then runs the session-key exchange when settings.aes_crypt. Does nothing
  // for an empty address or port 0. Throws ERpcTransportError.
  void EnsureConnected(const std::string& address, std::int32_t port, const TExchangeSettings& settings,
                       std::chrono::milliseconds connect_timeout = kConnectTimeout);

  bool Connected() const;
  void Disconnect();
  // Closes the connection and makes every later Run and EnsureConnected fail
  // at once; for the client's destruction.
  void Abort();

 private:
  using Connection = std::shared_ptr<platform::TcpConnection>;

  using Clock = std::chrono::steady_clock;
  std::string RunOnce(Connection& conn, const TExchangeTarget& target, std::string_view document,
                      const TExchangeSettings& settings, Clock::time_point deadline, bool last_attempt,
                      bool& retry);
  Connection Current() const;
  // Closes `conn` if it is still the current connection.
  void Drop(const Connection& conn);
  void CheckNotAborted() const;

  TConnector connector_;
  TResolver resolver_;
  std::string resolved_name_;     // Run thread only
  std::string resolved_address_;  // Run thread only
  platform::Aes128 cipher_;       // Run thread only: the session key

  mutable std::mutex conn_mutex_;  // guards the four below
  Connection conn_;
  std::string conn_address_;
  std::int32_t conn_port_ = 0;
  bool conn_keyed_ = false;  // the session-key exchange ran on conn_
  std::atomic<bool> aborted_{false};
};

}  // namespace kavor2::xmlrpc
