#include "device/top_level_thread.h"

#include <chrono>
#include <memory>

#include "device/device.h"
#include "device/devices.h"
#include "device/kavor_session.h"
#include "device/lines.h"

namespace kavor2::device {
namespace {

constexpr std::chrono::milliseconds kPassPause{1};

}  // namespace

TTopLevelThread::TTopLevelThread(TLine& line) : TAbstractThread(line) {}

TTopLevelThread::~TTopLevelThread() { TerminateAndWait(); }

void TTopLevelThread::Execute() {
  position_ = 0;
  while (!Terminated()) {
    TickNextDevice();
    PauseOrTerminated(kPassPause);
  }
}

void TTopLevelThread::TickNextDevice() {
  const TDevices& devices = Line().Session().Devices();
  ++position_;
  if (position_ >= devices.Count()) position_ = 0;
  const std::int32_t line_id = Line().ID;
  // Item is null past the end, which also ends the search when devices go
  // meanwhile.
  for (; std::shared_ptr<TDevice> device = devices.Item(position_); ++position_) {
    if (device->LineID != line_id) continue;
    try {
      device->Tick();
    } catch (...) {
      // One device's failure must not stop the line; its next turn comes.
    }
    return;
  }
}

}  // namespace kavor2::device
