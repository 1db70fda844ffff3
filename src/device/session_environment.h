#pragma once
// What the session takes from the computer: the addresses an Ethernet line
// binds to, the adapter list a line forms its own ID from, the GUIDs that
// stand in without an adapter, the clocks, and the makers of the line
// threads. The defaults are the system's; tests give their own.
#include <functional>
#include <memory>
#include <string>

#include "device/device_clock.h"
#include "device/line_thread.h"
#include "device/local_adapters.h"
#include "device/serial_port.h"
#include "device/udp_kavor.h"
#include "platform/guid.h"

namespace kavor2::device {

class TLine;

// Makes a line's low-level or top-level thread, suspended. An empty maker,
// or one that gives null, leaves the line without that thread.
using TLineThreadMaker = std::function<std::unique_ptr<TAbstractThread>(TLine& line)>;

struct TLineThreadFactory {
  TLineThreadMaker LowLevel;
  TLineThreadMaker TopLevel;
};

// The system's line threads: an Ethernet line's TLowLevelUdpThread, a serial
// line's TLowLevelComThread, and every line's TTopLevelThread.
TLineThreadFactory SystemLineThreads();

struct TSessionEnvironment {
  LocalAddressQuery LocalAddresses = SystemLocalAddresses;
  std::function<LocalAdapters()> Adapters = [] { return QueryLocalAdapters(); };
  std::function<platform::Guid()> NewGuid = platform::NewGuid;
  TDeviceClock Clock = SystemDeviceClock();
  TLineThreadFactory Threads = SystemLineThreads();
  // Serial port N is ComDir/COM<N> when set ("/comdir"), else /dev/ttyS<N-1>.
  std::string ComDir;
  TSerialPortOpener SerialPorts = OpenSystemSerialPort;
};

}  // namespace kavor2::device
