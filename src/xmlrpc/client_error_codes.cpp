#include "xmlrpc/client_error_codes.h"

#include <cerrno>

namespace kavor2::xmlrpc {

std::int32_t SocketErrorNumber(int errno_value) {
  switch (errno_value) {
    case ECONNRESET:
    case EPIPE:
      return kWsaEConnReset;
    case ECONNABORTED:
      return kWsaEConnAborted;
    case ETIMEDOUT:
      return kWsaETimedOut;
    case ECONNREFUSED:
      return kWsaEConnRefused;
    case EHOSTUNREACH:
      return kWsaEHostUnreach;
    case ENETUNREACH:
      return kWsaENetUnreach;
    case EFAULT:
      return kWsaEFault;
    default:
      return errno_value;
  }
}

std::int32_t SocketErrorNumber(const platform::IoResult& result) {
  switch (result.status) {
    case platform::IoStatus::kTimeout:
      return kWsaETimedOut;
    case platform::IoStatus::kError:
      return SocketErrorNumber(result.error_number);
    case platform::IoStatus::kOk:
    case platform::IoStatus::kClosed:
    case platform::IoStatus::kTooLong:
      break;
  }
  return 0;
}

}  // namespace kavor2::xmlrpc
