#include "service/line_methods.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "device/comm_error.h"
#include "platform/errors.h"
#include "service/ownership_checks.h"

namespace kavor2::service {
namespace {

constexpr std::size_t kIdParam = 1;
constexpr std::size_t kTypeParam = 1;
constexpr std::size_t kValueParam = 2;
constexpr std::size_t kQueryCount = 2;  // certificate and ID: the value is read

constexpr std::string_view kEthernetType = "ETHERNET";
constexpr std::string_view kSerialType = "RS232";

// Ethernet form of AddLine.
constexpr std::size_t kEthLocalPort = 2;
constexpr std::size_t kEthAutoAdd = 3;
constexpr std::size_t kEthFixedDevicePort = 4;
constexpr std::size_t kEthDevicePort = 5;
constexpr std::size_t kEthBroadcastInterval = 6;
constexpr std::size_t kEthIdRequestInterval = 7;
constexpr std::size_t kEthSendViaBindings = 8;
constexpr std::size_t kEthAnswerTimeOut = 9;
constexpr std::size_t kEthLinkTime = 10;
constexpr std::size_t kEthShortCount = 6;
constexpr std::size_t kEthFullCount = 11;
constexpr std::string_view kEthShortKinds = "--ibbi";
constexpr std::string_view kEthTimingKinds = "------iibii";

// Serial form of AddLine.
constexpr std::size_t kSerComPort = 2;
constexpr std::size_t kSerAutoAdd = 3;
constexpr std::size_t kSerSpeed = 4;
constexpr std::size_t kSerAnswerTimeOut = 5;
constexpr std::size_t kSerLinkTime = 6;
constexpr std::size_t kSerMinCount = 4;
constexpr std::string_view kSerShortKinds = "--ib";
constexpr std::int32_t kMaxComPort = 255;
constexpr std::int32_t kMaxSpeedOrdinal = 12;  // br115200, also the default

// Timing rules shared by both forms.
constexpr std::int32_t kMinLinkTimeS = 1;
constexpr std::int32_t kMaxLinkTimeS = 600;
constexpr std::int64_t kAnswerUnitMs = 100;
constexpr std::int64_t kMinAnswerTimeOutMs = 2000;
constexpr std::int64_t kMsPerSecond = 1000;

// What a failed cast to a transport's class says; clients see it.
constexpr char kInvalidCastText[] = "Invalid class typecast";
constexpr char kRangeErrorText[] = "Range check error";

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  return text;
}

// Link time first, then the answer time-out, which may not exceed the link
// time then in force. Values outside the ranges leave the transport's.
void SetTiming(device::TCommunicationsAbstract& comm, std::optional<std::int32_t> answer_units,
               std::optional<std::int32_t> link_time_s) {
  if (link_time_s && *link_time_s >= kMinLinkTimeS && *link_time_s <= kMaxLinkTimeS) {
    comm.SetConnectTimeOut(*link_time_s);
  }
  if (!answer_units) return;
  const std::int64_t answer_ms = static_cast<std::int64_t>(*answer_units) * kAnswerUnitMs;  // no overflow
  if (answer_ms >= kMinAnswerTimeOutMs && answer_ms <= static_cast<std::int64_t>(comm.ConnectTimeOut()) * kMsPerSecond) {
    comm.SetCommandTimeOut(static_cast<int>(answer_ms));
  }
}

}  // namespace

std::shared_ptr<device::TLine> TLineMethods::LineOf(const xmlrpc::TRpcParams& params) const {
  return session_.Lines().FindItemID(params.at(kIdParam).AsInteger());
}

void TLineMethods::DeleteFromSession(const device::TLine& line) {
  device::TLines& lines = session_.Lines();
  const std::vector<std::shared_ptr<device::TLine>> all = lines.All();
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i].get() == &line) {
      lines.DeleteLine(i);
      return;
    }
  }
}

void TLineMethods::PostLineNotice(std::uint32_t msg, std::int32_t line_id, const std::string& owner) {
  device::TStateDeviceMessage notice;
  notice.Kind = device::kStateKindLine;
  notice.Subject = std::to_string(line_id);
  notice.Owner = owner;
  window_.Post(msg, std::make_unique<TStateRecord>(std::move(notice)));
}

// ---- Lines ------------------------------------------------------------------

void TLineMethods::Lines(const xmlrpc::TRpcParams&, xmlrpc::TRpcFunction& result) {
  auto array = std::make_shared<xmlrpc::TRpcArray>();
  for (const std::shared_ptr<device::TLine>& line : session_.Lines().All()) {
    auto item = std::make_shared<xmlrpc::TRpcStruct>();
    const subscribers::TSubscriber* owner = LineOwner(registry_, *line);
    item->AddItem("ID", static_cast<std::int32_t>(line->ID));
    item->AddItem("Subscriber", owner ? owner->DisplayText() : std::string());
    const device::TUdpKavor* udp = line->UdpComm();
    const device::TComKavor* com = line->ComComm();
    item->AddItem("Type", std::string(line->LineType == device::ltSerial ? kSerialType : kEthernetType));
    std::int32_t port = 0;
    if (udp) port = udp->GetPort();
    if (com) port = com->ComPort();
    item->AddItem("Port", port);
    item->AddItem("Auto", line->AutoAddDevice.load());
    if (com) item->AddItem("ComSpeed", static_cast<std::int32_t>(com->ComPortSpeed()));
    array->AddItem(std::move(item));
  }
  result.AddItem(std::move(array));
}

// ---- AddLine ----------------------------------------------------------------

void TLineMethods::AddLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller) {
  const std::string type = Upper(params.at(kTypeParam).AsString());
  if (type == kEthernetType) {
    AddEthernetLine(params, result, caller);
  } else if (type == kSerialType) {
    AddSerialLine(params, result, caller);
  }
  // Any other type: nothing, an empty answer.
}

void TLineMethods::AddEthernetLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                   const TCaller& caller) {
  // Fewer than the device port: nothing could be made of the call.
  if (params.size() < kEthShortCount) {
    SetFault(result, kParametersCount);
    return;
  }
  if (params.size() == kEthShortCount && !CheckKinds(kEthShortKinds, params, result)) return;

  device::TLines& lines = session_.Lines();
  if (lines.IsBroadcastPortUsed(params[kEthDevicePort].AsInteger())) {
    SetFault(result, kBroadcastPortExists);
    return;
  }
  const std::shared_ptr<device::TLine> line = lines.AddLine(device::ltEthernet);
  device::TUdpKavor& udp = *line->UdpComm();
  try {
    // Counts other than 6 and 11 test no kinds: a value of the wrong kind
    // fails here, and the line goes again so that no half-made line stays.
    udp.SetPort(params[kEthLocalPort].AsInteger());
    line->AutoAddDevice = params[kEthAutoAdd].AsBoolean();
    line->FixedDevicePort = params[kEthFixedDevicePort].AsBoolean();
    udp.SetDevicePort(params[kEthDevicePort].AsInteger());
  } catch (...) {
    DeleteFromSession(*line);
    throw;
  }

  if (params.size() == kEthFullCount) {
    xmlrpc::TRpcFunction kinds;
    if (!CheckKinds(kEthTimingKinds, params, kinds)) {
      DeleteFromSession(*line);
      SetFault(result, kInvalidType);
      return;
    }
    udp.SetBroadcastInterval(params[kEthBroadcastInterval].AsInteger());
    udp.SetIdRequestInterval(params[kEthIdRequestInterval].AsInteger());
    udp.SetSendViaListenSockets(params[kEthSendViaBindings].AsBoolean());
    SetTiming(udp, params[kEthAnswerTimeOut].AsInteger(), params[kEthLinkTime].AsInteger());
  }
  FinishAddLine(*line, result, caller);
}

void TLineMethods::AddSerialLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                 const TCaller& caller) {
  // COM port and AutoAddDevice are needed; the speed and the time-outs may
  // be left out from the end (speed 12, the transport's time-outs).
  if (params.size() < kSerMinCount) {
    SetFault(result, kParametersCount);
    return;
  }
  if (params.size() == kSerMinCount && !CheckKinds(kSerShortKinds, params, result)) return;

  // Everything is read before the line is made, so a value of the wrong
  // kind (fault 1001) leaves nothing behind.
  const std::int32_t com_port = params[kSerComPort].AsInteger();
  const bool auto_add = params[kSerAutoAdd].AsBoolean();
  std::int32_t speed = kMaxSpeedOrdinal;
  if (params.size() > kSerSpeed) speed = params[kSerSpeed].AsInteger();
  if (speed < 0 || speed > kMaxSpeedOrdinal) speed = kMaxSpeedOrdinal;
  std::optional<std::int32_t> answer_units;
  std::optional<std::int32_t> link_time_s;
  if (params.size() > kSerAnswerTimeOut) answer_units = params[kSerAnswerTimeOut].AsInteger();
  if (params.size() > kSerLinkTime) link_time_s = params[kSerLinkTime].AsInteger();
  if (com_port < 0 || com_port > kMaxComPort) throw platform::RangeError(kRangeErrorText);

  const std::shared_ptr<device::TLine> line = session_.Lines().AddLine(device::ltSerial);
  device::TComKavor& com = *line->ComComm();
  com.SetComPort(static_cast<std::uint8_t>(com_port));
  line->AutoAddDevice = auto_add;
  com.SetComPortSpeed(speed);
  SetTiming(com, answer_units, link_time_s);
  FinishAddLine(*line, result, caller);
}

void TLineMethods::FinishAddLine(device::TLine& line, xmlrpc::TRpcFunction& result, const TCaller& caller) {
  try {
    line.Comm()->Open();
  } catch (const std::exception& e) {
    DeleteFromSession(line);
    SetFault(result, {kFaultNotFound, e.what()});
    return;
  }
  registry_.AddLineEntry(line, caller.Certificate);
  PostLineNotice(WM_LINE_ADDED, line.ID, caller.Subscriber->DisplayText());
  session_.Lines().StartLine(line);
  result.AddItem(static_cast<std::int32_t>(line.ID));
}

// ---- LineLock, LineType, DeleteLine ------------------------------------------

void TLineMethods::LineLock(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller) {
  const std::shared_ptr<device::TLine> line = LineOf(params);
  if (!line) {
    SetFault(result, kDeviceNotFound);
    return;
  }
  const bool query = params.size() == kQueryCount;
  const bool lock = !query && params[kValueParam].AsBoolean();
  const TLockInfo state = LineLockState(registry_, caller.Certificate, *line);
  switch (state.State) {
    case lsUnlocked:
      if (query) {
        SetFault(result, kObjectUnlocked);
      } else if (lock) {
        registry_.AddLineEntry(*line, caller.Certificate);
        PostLineNotice(WM_LINE_LOCKED, line->ID, caller.Subscriber->DisplayText());
      } else {
        // Nothing to release; the others still hear that the line is free.
        registry_.ReleaseLines(caller.Certificate, line.get());
        PostLineNotice(WM_LINE_UNLOCKED, line->ID, caller.Subscriber->DisplayText());
      }
      return;
    case lsMine:
      // Removing the entry posts WM_LINE_UNLOCKED.
      if (!query && !lock) registry_.ReleaseLines(caller.Certificate, line.get());
      return;
    case lsOther:
      SetFault(result, kLineLocked, state.Owner);
      return;
  }
}

void TLineMethods::LineType(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller) {
  const std::shared_ptr<device::TLine> line = LineOf(params);
  if (!line) {
    SetFault(result, kDeviceNotFound);
    return;
  }
  if (!CheckLineAccess(result, registry_, caller.Certificate, *line)) return;
  if (line->UdpComm()) {
    result.AddItem(std::string(kEthernetType));
  } else if (line->LineType == device::ltSerial) {
    result.AddItem(std::string(kSerialType));
  } else {
    SetFault(result, kUnknownType);
  }
}

void TLineMethods::DeleteLine(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                              const TCaller& caller) {
  const std::int32_t id = params.at(kIdParam).AsInteger();
  const std::shared_ptr<device::TLine> line = session_.Lines().FindItemID(id);
  if (!line) {
    SetFault(result, kLineNotFoundId, std::to_string(id));
    return;
  }
  const TLockInfo state = LineLockState(registry_, caller.Certificate, *line);
  if (state.State == lsOther) {
    SetFault(result, kLockedByOther, LineDetail(id) + state.Owner);
    return;
  }
  std::string device_owner;
  if (!LineDevicesFree(registry_, caller.Certificate, *line, device_owner)) {
    SetFault(result, kDeviceLockedOnLine, LineDetail(id) + device_owner);
    return;
  }
  // The entries go before the line and its devices do.
  registry_.ReleaseLines(caller.Certificate, line.get());
  registry_.RemoveLineDevices(*line);
  PostLineNotice(WM_LINE_DELETED, id, caller.Subscriber->DisplayText());
  DeleteFromSession(*line);
}

// ---- Line settings ------------------------------------------------------------

void TLineMethods::LinePort(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result, const TCaller& caller) {
  const std::shared_ptr<device::TLine> line = LineOf(params);
  if (!line) {
    SetFault(result, kLineNotFound);
    return;
  }
  if (!CheckLineAccess(result, registry_, caller.Certificate, *line)) return;
  device::TUdpKavor* udp = line->UdpComm();
  device::TComKavor* com = line->ComComm();
  if (params.size() == kQueryCount) {
    // An Ethernet line's UDP port, a serial line's COM port number; any
    // other transport fails as a failed cast does (fault 1001).
    if (com) {
      result.AddItem(static_cast<std::int32_t>(com->ComPort()));
      return;
    }
    if (!udp) throw platform::ConversionError(kInvalidCastText);
    result.AddItem(static_cast<std::int32_t>(udp->GetPort()));
    return;
  }
  if (!params[kValueParam].IsInteger()) {
    SetFault(result, kInvalidType);
    return;
  }
  if (com) {
    SetComPort(*line, *com, params[kValueParam].AsInteger(), result);
    return;
  }
  if (!udp) {
    SetFault(result, {kFaultNotFound, kInvalidCastText});
    return;
  }
  try {
    udp->SetPort(params[kValueParam].AsInteger());
  } catch (const std::exception& e) {
    SetFault(result, {kFaultNotFound, e.what()});
  }
}

void TLineMethods::LinePortSpeed(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                                 const TCaller& caller) {
  const std::shared_ptr<device::TLine> line = LineOf(params);
  if (!line) {
    SetFault(result, kLineNotFound);
    return;
  }
  if (!CheckLineAccess(result, registry_, caller.Certificate, *line)) return;
  device::TComKavor* com = line->ComComm();
  if (!com) {
    SetFault(result, kInvalidLineType);
    return;
  }
  if (params.size() == kQueryCount) {
    result.AddItem(static_cast<std::int32_t>(com->ComPortSpeed()));
    return;
  }
  if (!params[kValueParam].IsInteger()) {
    SetFault(result, kInvalidType);
    return;
  }
  const std::int32_t speed = params[kValueParam].AsInteger();
  if (speed < 0 || speed > kMaxSpeedOrdinal) {
    SetFault(result, {kFaultNotFound, kRangeErrorText});
    return;
  }
  // Applied to the open port at once, between two bus transactions.
  com->SetComPortSpeed(speed);
}

void TLineMethods::SetComPort(device::TLine& line, device::TComKavor& com, std::int32_t port,
                              xmlrpc::TRpcFunction& result) {
  if (port < 0 || port > kMaxComPort) {
    SetFault(result, {kFaultNotFound, kRangeErrorText});
    return;
  }
  if (port == com.ComPort()) return;
  // The port is changed between two bus transactions: closed, renamed and
  // opened again. When the new one cannot be opened the line stays closed
  // on it (its transactions fail) until a port that opens is set.
  std::lock_guard lock(line.LineLock());
  com.Close();
  com.SetComPort(static_cast<std::uint8_t>(port));
  try {
    com.Open();
  } catch (const std::exception& e) {
    SetFault(result, {kFaultNotFound, e.what()});
  }
}

void TLineMethods::LineAutoAdd(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result,
                               const TCaller& caller) {
  const std::shared_ptr<device::TLine> line = LineOf(params);
  if (!line) {
    SetFault(result, kLineNotFound);
    return;
  }
  if (!CheckLineAccess(result, registry_, caller.Certificate, *line)) return;
  if (params.size() == kQueryCount) {
    result.AddItem(line->AutoAddDevice.load());
    return;
  }
  if (!params[kValueParam].IsBoolean()) {
    SetFault(result, kInvalidType);
    return;
  }
  line->AutoAddDevice = params[kValueParam].AsBoolean();
}

}  // namespace kavor2::service
