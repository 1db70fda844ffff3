#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/aes128.h"
#include "platform/tcp.h"

namespace kavor2::xmlrpc {

// The server's record of one client connection, made when it is accepted.
struct TClientRec {
  bool KeyExchangeDue = true;  // the session-key exchange has not run yet
  platform::AesKey SessionKey{};
  std::string IP;
  std::int32_t Port = 0;
};

// Why a connection's request loop ended.
enum class ConnectionEnd {
  kPeerClosed,       // the client closed (or reset) the connection
  kBodyless,         // a request without a body (the GET help page, or nothing)
  kLineTooLong,      // a header line above kMaxHeaderLineLength
  kBodyTooLarge,     // a Content-Length above kMaxBodyLength
  kHeadTooLarge,     // more than kMaxHeadLines header lines or kMaxHeadLength bytes
  kTimedOut,         // a begun request head or its body did not arrive in time
  kExchangeFailed,   // no or a wrong key proof in the session-key exchange
  kBadBody,          // an AES body that is not valid Base64 or not a cipher text
  kServerStopping,   // the executor is gone (the server is being deactivated)
  kIoError,          // the system reported a socket error
};

// Runs one call on the executor and gives back the response text. An empty
// text means "no answer" (the executor refused the body); nullopt means the
// executor will never answer (the server is stopping).
using RequestExecutor = std::function<std::optional<std::string>(const std::string& request)>;

// How long a client may take to send a request once it has begun. Between
// requests there is no limit: a subscriber lives as long as the connection
// it registered over, and an idle connection costs only its thread.
struct RequestTimeouts {
  // From the first byte of a request head to its empty line.
  std::chrono::milliseconds head{30000};
  // From the end of the head to the last byte of the body.
  std::chrono::milliseconds body{30000};
};

struct RequestLoopOptions {
  bool aes_crypt = false;
  RequestTimeouts timeouts;
  // How often the hand-off is tried when the executor gives no answer, and
  // the pause after each empty answer.
  int handoff_attempts = 21;
  std::chrono::milliseconds handoff_pause{10};
};

// Serves requests on one connection until it ends: the session-key exchange
// once (with aes_crypt), then request after request with keep-alive. Blocks
// the calling thread; returns when the connection should be closed (the
// caller closes it). Clears client.KeyExchangeDue.
ConnectionEnd RunRequestLoop(platform::TcpConnection& connection, TClientRec& client,
                             const RequestLoopOptions& options, const RequestExecutor& execute);

}  // namespace kavor2::xmlrpc
