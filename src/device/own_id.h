#pragma once
// The 6-byte ID by which the devices of a line know this system (a line's
// OwnId), stored least significant byte first. A base ID comes from the
// computer's first network adapter, or from a GUID when it has none; bytes 3
// to 5 then say what kind of line it is, so two lines on one computer differ.
#include <cstdint>
#include <optional>
#include <string_view>

#include "device/id_key_text.h"
#include "platform/guid.h"

namespace kavor2::device {

// A MAC text ("00-1A-2B-3C-4D-5E") with its dashes removed, decoded and
// reversed, so byte 0 is the MAC's last byte. Nothing when the text is not
// six hex pairs (a longer hardware address, for one).
std::optional<DeviceId> OwnIdFromMacText(std::string_view mac_text);

// Bytes 0-3 the GUID's first field, bytes 4-5 its second, in memory order.
DeviceId OwnIdFromGuid(const platform::Guid& guid);

// The base: from the first adapter's MAC when adapter_count > 0 and the text
// converts, otherwise from the fallback GUID (adapter_count is 0 when there
// are none and -1 when the query failed).
DeviceId OwnIdBase(int adapter_count, std::string_view first_mac_text, const platform::Guid& fallback);

// Ethernet line: byte 3 := 0x80, byte 4 := 0, byte 5 := low byte of the local
// UDP port.
DeviceId EthernetOwnId(DeviceId base, std::uint16_t local_port);

// Serial line: byte 3 := 2 for 110 to 9600 baud, 4 for 14400 to 57600, 8 for
// 115200 (baud_ordinal is the speed's ordinal, 0 = 110 baud to 12 = 115200);
// byte 4 := the COM port number; byte 5 stays.
DeviceId SerialOwnId(DeviceId base, int baud_ordinal, std::uint8_t com_port);

}  // namespace kavor2::device
