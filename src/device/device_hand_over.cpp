// The device's hand-over queues, client submissions, the two service
// packets queued outside the tick, the route report and the records posted
// for the host.
#include <string>
#include <utility>

#include "device/device.h"
#include "platform/errors.h"
#include "platform/text.h"

namespace kavor2::device {

namespace {

constexpr std::string_view kTraceServiceSubmission = "- > сервисном поток :";
constexpr std::string_view kTraceLogicalDisconnect = "- > разрыв логического соединения с прибором";
constexpr std::string_view kTraceRoutesRequestHead = "- > запрос маршрутов ( тип : ";
constexpr std::string_view kTraceRoutesRequestTail = " ) ";

constexpr std::uint8_t kSubDeviceStateOff = 0;
constexpr std::uint8_t kSubDeviceStateOn = 1;

}  // namespace

// ---- Queues ------------------------------------------------------------------------

bool TDevice::PushReceived(TK2MessagePtr message) {
  if (!message) return false;
  message->Device = weak_from_this();
  message->Queue = hqIn;
  return InQueue.PushBack(std::move(message));
}

bool TDevice::PushWire(TK2MessagePtr message) {
  if (!message) return false;
  message->Device = weak_from_this();
  message->Queue = hqWire;
  return WireQueue.PushBack(std::move(message));
}

bool TDevice::PushData(TK2MessagePtr message) {
  if (!message) return false;
  message->Device = weak_from_this();
  message->Queue = hqData;
  return DataQueue.PushBack(std::move(message));
}

bool TDevice::Enqueue(TK2MessagePtr message, std::size_t index) {
  if (index >= kSendQueueCount) {
    throw platform::RangeError("List index out of bounds (" + std::to_string(index) + ")");
  }
  return SendQueues[index].PushBack(std::move(message));
}

// ---- Submissions -----------------------------------------------------------------

bool TDevice::SubmitData(std::vector<std::uint8_t> stream) {
  std::lock_guard lock(DataLock);
  auto message = std::make_shared<TK2Message>();
  message->Data = stream;
  message->Plain = std::move(stream);
  return PushData(std::move(message));
}

bool TDevice::SubmitService(std::vector<std::uint8_t> stream, bool encrypted) {
  std::lock_guard lock(ServiceLock);
  auto message = std::make_shared<TK2Message>();
  message->DType = ServicePackage;
  message->Flags = AddressFlags();
  if (encrypted) message->Flags |= pfEncrypted | pfWorkingKey;
  message->Data = stream;
  message->Plain = std::move(stream);
  message->TraceText = platform::Utf8ToCp1251(kTraceServiceSubmission);
  return Enqueue(std::move(message), encrypted ? sqService : sqPlainService);
}

void TDevice::RequestSubDevices() {
  {
    std::lock_guard lock(SubDeviceLock);
    SubDevices.Clear();
  }
  QueueRoutesRequest(atAll, DeviceId{});
}

TK2PacketFlags TDevice::AddressFlags() const {
  TK2PacketFlags flags = 0;
  if (SenderOnWire) flags |= pfSenderAddress;
  if (ReceiverOnWire) flags |= pfReceiverAddress;
  return flags;
}

TK2MessagePtr TDevice::NewServiceMessage(TK2PacketFlags flags, Bytes payload, std::string trace_text) const {
  auto message = std::make_shared<TK2Message>();
  message->DType = ServicePackage;
  message->Flags = flags | AddressFlags();
  message->Data = std::move(payload);
  message->TraceText = std::move(trace_text);
  return message;
}

bool TDevice::QueueLogicalDisconnect() {
  std::lock_guard engine(EngineLock);
  if (!Connected) return false;
  return Enqueue(NewServiceMessage(pfEncrypted | pfWorkingKey | pfSync, CommandFrame(cmdLogicalDisconnect),
                                   platform::Utf8ToCp1251(kTraceLogicalDisconnect)),
                 sqService);
}

bool TDevice::QueueRoutesRequest(std::uint8_t type, const DeviceId& address) {
  TK2PacketFlags flags = pfEncrypted | pfWorkingKey;
  // Only the request for every route asks for a receipt.
  if (type == atAll) flags |= pfAckRequest;
  std::string trace = platform::Utf8ToCp1251(kTraceRoutesRequestHead);
  trace += std::to_string(type);
  trace += kTraceRoutesRequestTail;
  return Enqueue(NewServiceMessage(flags, RoutesRequestFrame(type, address), std::move(trace)), sqService);
}

// ---- Sub-devices ---------------------------------------------------------------

void TDevice::ReportRoute(ByteView payload) {
  const std::optional<TK2Route> route = ParseRoute(payload);
  if (!route) return;

  std::lock_guard lock(SubDeviceLock);
  auto record = std::make_unique<TStateDeviceMessage>();
  record->DeviceText = IdText();
  record->DeviceType = route->Type;
  record->Value = route->State;

  if (TSubDevice* known = SubDevices.FindSubDevice(route->Type, route->Address)) {
    known->State = route->State;
    record->Subject = known->ID();
    if (route->State == kSubDeviceStateOff) {
      PostDeviceState(kStateSubDeviceOff, std::move(record));
    } else if (route->State == kSubDeviceStateOn) {
      PostDeviceState(kStateSubDeviceOn, std::move(record));
    }
    return;
  }
  const TSubDevice* added = SubDevices.AddSubDevice(route->Type, route->Address, route->State);
  if (added == nullptr) return;
  record->Subject = added->ID();
  PostDeviceState(kStateSubDeviceNew, std::move(record));
}

std::vector<TSubDevice> TDevice::SubDeviceList() const {
  std::lock_guard lock(SubDeviceLock);
  return SubDevices.All();
}

std::optional<TSubDevice> TDevice::FindSubDeviceByText(std::string_view text) const {
  std::lock_guard lock(SubDeviceLock);
  const TSubDevice* found = SubDevices.FindSubDeviceByText(text);
  if (found == nullptr) return std::nullopt;
  return *found;
}

// ---- Records for the host ------------------------------------------------------

void TDevice::PostDeviceData(std::int32_t kind, TK2MessagePtr message) {
  if (!message) return;
  message->TimeText = NowText(clock_.Wall);
  message->Device = weak_from_this();
  message->DeviceText = IdText();
  if (events_ != nullptr) events_->PostData(kind, std::move(message));
}

void TDevice::PostDeviceState(std::uint16_t code) {
  auto record = std::make_unique<TStateDeviceMessage>();
  record->Kind = kStateKindDevice;
  record->Subject = IdText();
  record->Value = static_cast<std::uint8_t>(code);
  if (events_ != nullptr) events_->PostState(code, std::move(record));
}

void TDevice::PostDeviceState(std::uint16_t code, std::unique_ptr<TStateDeviceMessage> record) {
  if (!record) {
    PostDeviceState(code);
    return;
  }
  record->Kind = kStateKindSubDevice;
  if (events_ != nullptr) events_->PostState(code, std::move(record));
}

}  // namespace kavor2::device
