#pragma once
// This build's two fixed keys. Clients and stored configuration may rely on
// them, so they never change once released; keep them here and nowhere else.
#include "device/id_key_text.h"

namespace kavor2::device {

// The key of a device for which no key was given ("K2-DEFAULT-KEY-1"); the
// registry, the master-key list and the API all use it.
inline constexpr DeviceKey DefaultKey = {0x4B, 0x32, 0x2D, 0x44, 0x45, 0x46, 0x41, 0x55,
                                         0x4C, 0x54, 0x2D, 0x4B, 0x45, 0x59, 0x2D, 0x31};

// The master key a device added to a serial line receives when the client
// gives none ("K2-FACTORY-KEY-1").
inline constexpr DeviceKey FactoryKey = {0x4B, 0x32, 0x2D, 0x46, 0x41, 0x43, 0x54, 0x4F,
                                         0x52, 0x59, 0x2D, 0x4B, 0x45, 0x59, 0x2D, 0x31};

}  // namespace kavor2::device
