#include "device/id_exchange.h"

#include <algorithm>

#include "device/device.h"
#include "platform/text.h"

namespace kavor2::device {
namespace {

std::optional<DeviceId> IdAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (bytes.size() < offset + kIdSize) return std::nullopt;
  DeviceId id{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), kIdSize, id.begin());
  return id;
}

// Packet offsets of the addresses: behind length, version and type, flags
// and PNum.
constexpr std::size_t kOffsetSenderAddress = kOffsetPNum + 1;
constexpr std::size_t kOffsetReceiverAddress = kOffsetSenderAddress + kIdSize;

}  // namespace

std::vector<std::uint8_t> BuildIdExchangeMessage(std::uint8_t kind, const DeviceId& id) {
  std::vector<std::uint8_t> message;
  message.reserve(kIdMessageSize);
  message.push_back(kind);
  message.insert(message.end(), id.begin(), id.end());
  return message;
}

std::optional<TIdExchangeMessage> ParseIdExchangeMessage(std::span<const std::uint8_t> message) {
  const std::optional<DeviceId> id = IdAt(message, 1);
  if (!id) return std::nullopt;
  return TIdExchangeMessage{message[0], *id};
}

std::optional<TK2Routing> ParseK2Routing(std::span<const std::uint8_t> packet) {
  if (packet.size() <= kOffsetFlags) return std::nullopt;
  TK2Routing routing;
  routing.Flags = packet[kOffsetFlags];
  if ((routing.Flags & pfSenderAddress) == 0) return routing;
  routing.SenderAddress = IdAt(packet, kOffsetSenderAddress);
  if (!routing.SenderAddress) return std::nullopt;
  if ((routing.Flags & pfReceiverAddress) != 0) {
    routing.ReceiverAddress = IdAt(packet, kOffsetReceiverAddress);
    if (!routing.ReceiverAddress) return std::nullopt;
  }
  return routing;
}

std::string TraceIdRequestSent() { return platform::Utf8ToCp1251("(Ethernet) - > запрос ID прибора"); }
std::string TraceIdAnswerSent() { return platform::Utf8ToCp1251("(Ethernet) - > ответ ID программы "); }
std::string TraceIdRequestReceived() { return platform::Utf8ToCp1251("(Ethernet) < - запрос ID программы"); }
std::string TraceIdAnswerReceived() { return platform::Utf8ToCp1251("(Ethernet) < - ответ ID прибора"); }
std::string TraceIdAnswerAddedDevice() {
  return platform::Utf8ToCp1251("(Ethernet) < - ответ ID прибора, установлены признаки обмена ID");
}

std::string IdRequestDetail(std::uint8_t id_exchange) {
  std::string detail = " запрос ID ";
  if ((id_exchange & ieIdReceived) != 0) detail += " (ID получен) ";
  if ((id_exchange & ieIdSent) != 0) detail += " (ID отправлен)";
  return platform::Utf8ToCp1251(detail);
}

std::string IdAnswerToKnownDetail() {
  return platform::Utf8ToCp1251(" ответ по запросу ID, установлен признак (ID получен)");
}

std::string IdAnswerToNewDetail() {
  return platform::Utf8ToCp1251(" подключен новый прибор по запросу ID (ID получен)");
}

}  // namespace kavor2::device
