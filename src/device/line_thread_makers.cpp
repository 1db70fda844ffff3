// The makers of the system's line threads, for the session's environment.
#include <memory>

#include "device/lines.h"
#include "device/low_level_com_thread.h"
#include "device/low_level_udp_thread.h"
#include "device/session_environment.h"
#include "device/top_level_thread.h"

namespace kavor2::device {

TLineThreadFactory SystemLineThreads() {
  TLineThreadFactory threads;
  threads.LowLevel = [](TLine& line) -> std::unique_ptr<TAbstractThread> {
    if (TComKavor* serial = line.ComComm()) return std::make_unique<TLowLevelComThread>(line, *serial);
    TUdpKavor* transport = line.UdpComm();
    if (transport == nullptr) return nullptr;
    return std::make_unique<TLowLevelUdpThread>(line, *transport);
  };
  threads.TopLevel = [](TLine& line) -> std::unique_ptr<TAbstractThread> {
    return std::make_unique<TTopLevelThread>(line);
  };
  return threads;
}

}  // namespace kavor2::device
