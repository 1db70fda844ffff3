#pragma once
// The records by which devices and line threads report to the host, and
// which the host also uses to carry its own notifications through its
// window.
//
// A TK2Message travels between threads through the device queues and the
// session's message sink, so it is held by shared_ptr: a thread that peeks a
// queued message keeps it alive while it reads it, even when another thread
// clears the queue meanwhile. A message is not changed while it sits in a
// queue; whoever takes it out (or creates it) may change it until it passes
// it on. It refers to its device only weakly, so a message that outlives its
// device never dangles.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "device/k2_packet_format.h"

namespace kavor2::device {

class TDevice;

// The hand-over queue of a device that a message was last put into.
enum THandOverQueue : std::uint8_t {
  hqNone = 0,
  hqIn,    // received packets
  hqWire,  // built packets waiting for the line
  hqData,  // client data not yet taken for sending
};

// One packet or frame on its way between a client, a device and a line.
struct TK2Message {
  std::weak_ptr<TDevice> Device;  // the device the message belongs to
  std::string DeviceText;         // IdText of the device, filled when handed to the session
  THandOverQueue Queue = hqNone;
  bool DataFlag = true;           // carries a K2 packet (clear for the ID exchange)
  std::uint8_t DType = 0;         // packet type
  TK2PacketFlags Flags = 0;
  std::uint8_t PNum = 0;
  std::vector<std::uint8_t> Data;   // payload before a build; the whole packet after it
  std::vector<std::uint8_t> Plain;  // a copy of the data a client submitted
  std::uint32_t KeyCounter = 0;
  std::string TraceText;
  bool Deliver = false;  // data for the client that owns the device
  std::string TimeText;  // "dd.mm.yy hh:nn:ss zzz", filled when handed to the session

  // Takes what a resent or rebuilt packet needs; the plain copy, the
  // delivery mark, the device and the texts stay as they are.
  void CopyFrom(const TK2Message& source) {
    Flags = source.Flags;
    DType = source.DType;
    PNum = source.PNum;
    Data = source.Data;
    KeyCounter = source.KeyCounter;
    TraceText = source.TraceText;
  }
};

using TK2MessagePtr = std::shared_ptr<TK2Message>;

// What a TStateDeviceMessage reports. The engine makes the first two; the
// host uses the line kind for its own notices.
inline constexpr std::uint8_t kStateKindDevice = 0;
inline constexpr std::uint8_t kStateKindSubDevice = 1;
inline constexpr std::uint8_t kStateKindLine = 2;

// A state change of a device or sub-device, or a host notice about a line
// or device.
//   Kind         kStateKindDevice   kStateKindSubDevice     kStateKindLine (host only)
//   DeviceText   empty              IdText of the device    empty
//   DeviceType   0                  the sub-device's type   0
//   Subject      IdText of device   the sub-device's ID     the line ID in decimal
//   Value        the state code     the sub-device's state  0
//   Owner        host notices only: a subscriber's display text
struct TStateDeviceMessage {
  std::uint8_t Kind = kStateKindDevice;
  std::string DeviceText;
  std::uint8_t DeviceType = 0;
  std::string Subject;
  std::uint8_t Value = 0;
  std::string Owner;
};

}  // namespace kavor2::device
