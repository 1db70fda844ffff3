#pragma once
// The key exchange by which this system and a device hand each other their
// working keys under the master key, and the rules for the counters that a
// working key assignment carries. The steps themselves are TDevice's
// (key_exchange.cpp); what is here needs no device.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/k2_packet_format.h"

namespace kavor2::device {

// KeyExchangeState.
enum TKeyExchangeState : std::uint8_t {
  ksIdle = 0,                // nothing to do while connected
  ksStart = 1,               // ask for the master key counter unless it is known
  ksAwaitMasterCounter = 2,  // the counter request is out
  ksAssign = 3,              // send this system's working key
  ksAwaitWorkingKey = 4,     // until the device's key arrives or the step times out
};

// For the same key a device's counter may only move back by a large step
// (the device restarted its count); a small step back is a stale
// assignment and is ignored.
inline constexpr std::uint32_t kMaxIgnoredCounterStepBack = 128;

// The counter to send with after a working key assignment carrying
// `received`: the new key's counter as given, and for the key already in
// use the larger of the two unless the received one is more than
// kMaxIgnoredCounterStepBack below.
std::uint32_t MergeWorkCounter(bool same_key, std::uint32_t current, std::uint32_t received);

// Where the key starts in a working key assignment frame: after L 01 03,
// the answer flags and three u32 counters.
inline constexpr std::size_t kAssignmentKeyOffset = kFrameOffsetArgument + 1 + 3 * sizeof(std::uint32_t);

// Zeroes the key bytes of a payload whose first frame is a working key
// assignment; other payloads stay as they are. Traces of key frames go to
// every debugging client and must not carry the key.
void MaskAssignmentKey(std::vector<std::uint8_t>& payload);

}  // namespace kavor2::device
