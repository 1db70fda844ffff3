#pragma once
// The API methods of the session's lines: listing, adding, locking,
// deleting and the line settings. The method table runs each row's
// prologue (count, kinds, certificate, subscriber) first; these handlers do
// the rest, on the service thread. What other subscribers should hear about
// is posted to the host window and so delivered after the answer.
#include "device/kavor_session.h"
#include "service/api_prologue.h"
#include "service/host_messages.h"
#include "subscribers/subscribers_info.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

class TLineMethods {
 public:
  // All three must outlive the handlers' use of them.
  TLineMethods(device::TKavorSession& session, subscribers::TSubscribersInfo& registry, IHostPoster& window)
      : session_(session), registry_(registry), window_(window) {}
  TLineMethods(const TLineMethods&) = delete;
  TLineMethods& operator=(const TLineMethods&) = delete;

  // (anything): one struct per line in collection order: "ID", "Subscriber",
  // "Type", "Port", "Auto".
  void Lines(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result);
  // (certificate, type, ...) -> the new line's ID. "ETHERNET" (any case)
  // takes 6 or 11 parameters; "RS232" at least 4, the speed and the
  // time-outs defaulting when left out; any other type does nothing. The
  // creator owns the line; WM_LINE_ADDED follows.
  void AddLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, ID, [lock]): takes or releases the line; without lock a
  // query whose empty answer means the caller owns it.
  void LineLock(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, ID) -> "ETHERNET" or "RS232"; the caller must own the line.
  void LineType(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, ID): unless another subscriber owns the line or a device
  // on it, releases what is owned of it and deletes it.
  void DeleteLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // (certificate, ID, [value]): reads or sets the local UDP port, the serial
  // speed ordinal, and AutoAddDevice; the caller must own the line.
  void LinePort(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  void LinePortSpeed(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  void LineAutoAdd(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);

 private:
  void AddEthernetLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  void AddSerialLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // Ends a successful AddLine: opens the transport (fault 1 and the line
  // deleted when it cannot), gives the line to the caller, posts
  // WM_LINE_ADDED, starts the line's threads and answers its ID.
  void FinishAddLine(device::TLine& line, xmlrpc::TRpcFunction& result, const TCaller& caller);
  // "LinePort" on a serial line: another COM port, opened at once.
  void SetComPort(device::TLine& line, device::TComKavor& com, std::int32_t port, xmlrpc::TRpcFunction& result);
  // The line of parameter 1, or null.
  std::shared_ptr<device::TLine> LineOf(const xmlrpc::TRpcParams& params) const;
  void DeleteFromSession(const device::TLine& line);
  void PostLineNotice(std::uint32_t msg, std::int32_t line_id, const std::string& owner);

  device::TKavorSession& session_;
  subscribers::TSubscribersInfo& registry_;
  IHostPoster& window_;
};

}  // namespace kavor2::service
