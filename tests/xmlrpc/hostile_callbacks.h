#pragma once
// Callback servers that misbehave on purpose, for the callback client's
// tests and the host's: each is a script for a RawPeer and the outcome the
// client must reach with it.
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "xmlrpc/rpc_client_peers.h"

namespace kavor2::xmlrpc::testing {

// What bounds the time a misbehaving server can hold one call.
enum class HostileBound {
  kData,         // nothing waits: the call ends as soon as the bytes are in
  kReadTimeout,  // one read waits its full time-out
  kCallDeadline  // reads keep making progress; the call's deadline ends it
};

struct HostileCallback {
  const char* name;
  // `tick` paces the slow servers: the client under test has a read
  // time-out of several ticks and a call deadline of many.
  std::function<void(RawPeer& peer, RawConnection& connection, int index, std::chrono::milliseconds tick)> serve;
  HostileBound bound;
  // The failed call's result; `codes` lists the codes that may show (a
  // reset may be seen while writing or while reading). An empty message is
  // not checked.
  std::vector<std::int32_t> codes;
  std::string message;
  bool transport_error;  // OnError precedes the result
};

std::vector<HostileCallback> HostileCallbacks();

// A RawPeer script that serves `hostile` at the given pace.
RawPeer::Script HostileScript(RawPeer& peer, const HostileCallback& hostile, std::chrono::milliseconds tick);

}  // namespace kavor2::xmlrpc::testing
