#pragma once
// The Ethernet ID exchange: the message by which this system and a device
// tell each other their 6-byte IDs before any K2 packet is sent, the fields
// of a K2 packet that route it to a device, and the trace texts of the
// exchange. No I/O here: bytes in, values out.
//
// The message follows the datagram prefix (udp_datagram.h) of a frame whose
// kind is not a K2 packet:
//   [1] kind: 0 = answer (the sender's ID), 1 = request (the sender's ID,
//       asking for the receiver's)
//   [6] the sender's ID
// Bytes after it are ignored. This system sends ReverseId(OwnId) in the ID
// field; a device's ID is taken as it comes and compared with stored IDs.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/id_key_text.h"
#include "device/k2_packet_format.h"

namespace kavor2::device {

inline constexpr std::uint8_t kIdAnswer = 0;
inline constexpr std::uint8_t kIdRequest = 1;
inline constexpr std::size_t kIdMessageSize = 1 + kIdSize;
// The command byte BeginPacket is given for every frame of an Ethernet line
// (the UDP transport does not use it).
inline constexpr std::uint8_t kEthernetCommand = 1;

struct TIdExchangeMessage {
  std::uint8_t Kind = kIdAnswer;
  DeviceId Id{};
};

// The seven bytes: kind, then the ID as given.
std::vector<std::uint8_t> BuildIdExchangeMessage(std::uint8_t kind, const DeviceId& id);
// The kind and ID at the start of the bytes behind the prefix; nothing when
// fewer than seven bytes are there.
std::optional<TIdExchangeMessage> ParseIdExchangeMessage(std::span<const std::uint8_t> message);

// What routes a received K2 packet: its flags and, when the flags say they
// are there, the sender's and the receiver's address.
struct TK2Routing {
  TK2PacketFlags Flags = 0;
  std::optional<DeviceId> SenderAddress;
  std::optional<DeviceId> ReceiverAddress;  // read only behind a sender address
};
// Nothing when the packet is too short for its flags or for an address the
// flags announce.
std::optional<TK2Routing> ParseK2Routing(std::span<const std::uint8_t> packet);

// Trace texts of the exchange, Windows-1251.
std::string TraceIdRequestSent();         // "(Ethernet) - > запрос ID прибора"
std::string TraceIdAnswerSent();          // "(Ethernet) - > ответ ID программы "
std::string TraceIdRequestReceived();     // "(Ethernet) < - запрос ID программы"
std::string TraceIdAnswerReceived();      // "(Ethernet) < - ответ ID прибора"
std::string TraceIdAnswerAddedDevice();   // "(Ethernet) < - ответ ID прибора, установлены признаки обмена ID"
// What follows the request text: " запрос ID ", then " (ID получен) " when the
// device's ID was received and " (ID отправлен)" when this system's was sent.
std::string IdRequestDetail(std::uint8_t id_exchange);
std::string IdAnswerToKnownDetail();      // " ответ по запросу ID, установлен признак (ID получен)"
std::string IdAnswerToNewDetail();        // " подключен новый прибор по запросу ID (ID получен)"

}  // namespace kavor2::device
