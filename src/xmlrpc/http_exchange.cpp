#include "xmlrpc/http_exchange.h"

#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <limits>

#include "xmlrpc/aes_body.h"
#include "xmlrpc/client_error_codes.h"
#include "xmlrpc/client_http_framing.h"
#include "xmlrpc/session_key.h"

namespace kavor2::xmlrpc {
namespace {

using platform::IoResult;
using platform::IoStatus;

// The body is read in pieces so that memory follows what actually arrives,
// not what the peer announced.
constexpr std::size_t kBodyReadChunk = 64 * 1024;

constexpr std::string_view kTlsMissing = "TLS is not available in this build";
constexpr std::string_view kConnectTimedOut = "Connect timed out.";
constexpr std::string_view kClosedByPeer = "Connection closed by the server.";
constexpr std::string_view kReadTimedOut = "Read timed out.";
constexpr std::string_view kCallTimedOut = "Call timed out.";
constexpr std::string_view kBadSessionKey = "Invalid session key from server.";
constexpr std::string_view kCancelled = "Call cancelled: the client is being destroyed.";

ERpcTransportError SocketFailure(const IoResult& r) {
  std::int32_t number = SocketErrorNumber(r);
  return ERpcTransportError(number, "Socket error " + std::to_string(number) + ": " + platform::Describe(r));
}

// The failure of a read or write that gave `r`.
ERpcTransportError IoFailure(const IoResult& r) {
  switch (r.status) {
    case IoStatus::kClosed:
      return ERpcTransportError(kErrSocketClosed, std::string(kClosedByPeer));
    case IoStatus::kTimeout:
      return ERpcTransportError(kWsaETimedOut, std::string(kReadTimedOut));
    case IoStatus::kTooLong:
      return ERpcTransportError(kErrNoSystemError, std::string(kMaxLineLengthExceeded));
    case IoStatus::kOk:
    case IoStatus::kError:
      break;
  }
  return SocketFailure(r);
}

ERpcTransportError CallTimedOut() { return ERpcTransportError(kWsaETimedOut, std::string(kCallTimedOut)); }

}  // namespace

std::optional<std::string> ResolveLastIpv4(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;
  std::optional<std::string> last;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) last = text;
  }
  ::freeaddrinfo(found);
  return last;
}

THttpExchange::THttpExchange(TConnector connector, TResolver resolver)
    : connector_(std::move(connector)), resolver_(std::move(resolver)), cipher_(FixedKey) {}

bool THttpExchange::Resolve(std::string& host) {
  // An empty host is left for EnsureConnected, which opens nothing for it.
  if (host.empty() || IsDottedIpv4(host)) return true;
  if (host == resolved_name_ && !resolved_address_.empty()) {
    host = resolved_address_;
    return true;
  }
  std::optional<std::string> address = resolver_(host);
  if (!address) return false;
  resolved_name_ = host;
  resolved_address_ = *address;
  host = *address;
  return true;
}

void THttpExchange::CheckNotAborted() const {
  if (aborted_.load()) throw ERpcTransportError(kErrSocketClosed, std::string(kCancelled));
}

THttpExchange::Connection THttpExchange::Current() const {
  std::lock_guard<std::mutex> lock(conn_mutex_);
  return conn_;
}

bool THttpExchange::Connected() const {
  std::lock_guard<std::mutex> lock(conn_mutex_);
  return conn_ && !conn_->IsShutdown();
}

void THttpExchange::Drop(const Connection& conn) {
  Connection dropped;
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    if (conn_ == conn) dropped = std::move(conn_);
  }
  if (conn) conn->Shutdown();
}

void THttpExchange::Disconnect() {
  Connection dropped;
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    dropped = std::move(conn_);
  }
  if (dropped) dropped->Shutdown();
}

void THttpExchange::Abort() {
  aborted_.store(true);
  Disconnect();
}

void THttpExchange::EnsureConnected(const std::string& address, std::int32_t port,
                                    const TExchangeSettings& settings, std::chrono::milliseconds connect_timeout) {
  CheckNotAborted();
  Connection old;
  {
    std::lock_guard<std::mutex> lock(conn_mutex_);
    if (conn_ && !conn_->IsShutdown() && conn_address_ == address && conn_port_ == port &&
        conn_keyed_ == settings.aes_crypt)
      return;
    old = std::move(conn_);
  }
  if (old) old->Shutdown();
  if (address.empty() || port <= 0 || port > std::numeric_limits<std::uint16_t>::max()) return;

  std::unique_ptr<platform::TcpConnection> fresh;
  IoResult r = connector_(address, static_cast<std::uint16_t>(port), connect_timeout, fresh);
  if (r.status == IoStatus::kTimeout) throw ERpcTransportError(kErrConnectTimeout, std::string(kConnectTimedOut));
  if (!r.ok() || !fresh) {
    std::int32_t number = SocketErrorNumber(r);
    throw ERpcTransportError(kErrSocketClosed, "Could not connect to " + address + ":" + std::to_string(port) +
                                                   ": " + platform::Describe(r) + " (socket error " +
                                                   std::to_string(number) + ")");
  }

  if (settings.aes_crypt) {
    IoResult w = fresh->WriteAll(MakeKeyProof());
    if (!w.ok()) throw IoFailure(w);
    std::string answer;
    IoResult a = fresh->ReadExact(kKeyExchangeMessageSize, answer, settings.read_timeout);
    if (!a.ok()) throw IoFailure(a);
    std::optional<platform::AesKey> key = UnwrapSessionKey(answer);
    if (!key) throw ERpcTransportError(kErrNoSystemError, std::string(kBadSessionKey));
    cipher_.SetKey(*key);
  }

  std::lock_guard<std::mutex> lock(conn_mutex_);
  if (aborted_.load()) {
    fresh->Shutdown();
    throw ERpcTransportError(kErrSocketClosed, std::string(kCancelled));
  }
  conn_ = std::move(fresh);
  conn_address_ = address;
  conn_port_ = port;
  conn_keyed_ = settings.aes_crypt;
}

std::string THttpExchange::Run(TExchangeTarget& target, std::string_view document,
                               const TExchangeSettings& settings) {
  const Clock::time_point deadline = Clock::now() + settings.call_deadline;
  for (int attempt = 1;; ++attempt) {
    CheckNotAborted();
    if (settings.ssl_enable) throw ERpcTransportError(kErrNoSystemError, std::string(kTlsMissing));
    if (!Resolve(target.host)) return {};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) throw CallTimedOut();
    EnsureConnected(target.host, target.port, settings, std::min(kConnectTimeout, left));
    Connection conn = Current();
    if (!conn) return {};
    bool retry = false;
    std::string text;
    try {
      text = RunOnce(conn, target, document, settings, deadline, attempt >= kMaxExchangeAttempts, retry);
    } catch (...) {
      Drop(conn);
      throw;
    }
    if (!retry) return text;
    Drop(conn);
  }
}

std::string THttpExchange::RunOnce(Connection& conn, const TExchangeTarget& target, std::string_view document,
                                   const TExchangeSettings& settings, Clock::time_point deadline,
                                   bool last_attempt, bool& retry) {
  // A reset or close may only mean that the kept-alive connection went
  // stale; those start the call over on a new connection.
  auto may_retry = [&] { return !last_attempt && !aborted_.load(); };
  // Each read waits at most the read time-out, and never past the call's
  // deadline.
  bool cut_to_deadline = false;
  auto next_timeout = [&]() -> std::chrono::milliseconds {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= std::chrono::milliseconds::zero()) throw CallTimedOut();
    cut_to_deadline = left < settings.read_timeout;
    return cut_to_deadline ? left : settings.read_timeout;
  };
  auto read_failure = [&](const IoResult& r) {
    if (r.status == IoStatus::kTimeout && cut_to_deadline) return CallTimedOut();
    return IoFailure(r);
  };

  std::string body = settings.aes_crypt ? EncodeAesBody(cipher_, document) : std::string(document);
  IoResult w = conn->WriteAll(BuildPostRequest(target.end_point, target.host, body));
  if (!w.ok()) {
    std::int32_t number = SocketErrorNumber(w);
    bool reset = w.status == IoStatus::kClosed || number == kWsaEConnAborted || number == kWsaEConnReset;
    if (reset && may_retry()) {
      retry = true;
      return {};
    }
    throw IoFailure(w);
  }

  TResponseHead head;
  std::string line;
  while (!head.Complete()) {
    if (head.LinesFed() >= kMaxResponseHeadLines)
      throw ERpcTransportError(kErrNoSystemError, std::string(kTooManyHeadLines));
    IoResult r = conn->ReadLine(line, kMaxResponseLineLength, next_timeout());
    if (r.ok()) {
      head.Feed(line);
      continue;
    }
    bool closed = r.status == IoStatus::kClosed ||
                  (r.status == IoStatus::kError && SocketErrorNumber(r) == kWsaEConnAborted);
    if (closed && may_retry()) {
      retry = true;
      return {};
    }
    throw read_failure(r);
  }

  if (!head.HasUsableLength()) {
    // The body is not read, so the stream is out of step: start afresh.
    Drop(conn);
    return {};
  }
  const auto length = static_cast<std::size_t>(head.ContentLength());
  std::string received;
  std::string piece;
  while (received.size() < length) {
    std::size_t want = length - received.size();
    if (want > kBodyReadChunk) want = kBodyReadChunk;
    IoResult r = conn->ReadExact(want, piece, next_timeout());
    if (!r.ok()) throw read_failure(r);
    received.append(piece);
  }
  // The server's Content-MD5 is not checked: a mismatch has never failed a
  // call, and the parser decides whether the body is usable.
  if (settings.aes_crypt) return TrimTrailingWhitespace(DecodeAesBody(cipher_, received));
  return TrimTrailingWhitespace(received);
}

}  // namespace kavor2::xmlrpc
