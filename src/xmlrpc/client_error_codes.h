#pragma once
#include <cstdint>
#include <string>

#include "platform/tcp.h"
#include "xmlrpc/rpc_common.h"

namespace kavor2::xmlrpc {

// Codes that the callback client puts into a failed call's result. Peers and
// the service's logs know the Winsock numbers, so system errors are reported
// in that numbering on every platform.
inline constexpr std::int32_t kErrInvalidPayload = 601;      // reply without "xml" (set by the parser)
inline constexpr std::int32_t kErrHandOff = 112;             // the worker could not hand a result on
inline constexpr std::int32_t kErrConnectTimeout = 2003;     // connect did not finish in time
inline constexpr std::int32_t kErrSocketClosed = 20001;      // failed connect, or a closed socket
// A failure that no system call reported (protocol and cipher errors).
inline constexpr std::int32_t kErrNoSystemError = 0;

inline constexpr std::int32_t kWsaEFault = 10014;
inline constexpr std::int32_t kWsaENetUnreach = 10051;
inline constexpr std::int32_t kWsaEConnAborted = 10053;
inline constexpr std::int32_t kWsaEConnReset = 10054;
inline constexpr std::int32_t kWsaETimedOut = 10060;
inline constexpr std::int32_t kWsaEConnRefused = 10061;
inline constexpr std::int32_t kWsaEHostUnreach = 10065;

// The Winsock number for an errno value; errno values without a Winsock
// counterpart are passed through as they are.
std::int32_t SocketErrorNumber(int errno_value);

// The Winsock number of a failed socket operation: kTimeout is a time-out
// (10060), kError maps its errno. 0 for kOk, kClosed and kTooLong, which the
// system did not report as errors.
std::int32_t SocketErrorNumber(const platform::IoResult& result);

// A transport failure of one call: the code for the call's result and a
// readable message.
class ERpcTransportError : public EXmlRpcError {
 public:
  ERpcTransportError(std::int32_t code, const std::string& message) : EXmlRpcError(message), code_(code) {}
  std::int32_t Code() const { return code_; }

 private:
  std::int32_t code_;
};

}  // namespace kavor2::xmlrpc
