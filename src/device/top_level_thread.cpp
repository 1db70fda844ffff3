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
  // Devices of other lines are passed over in one look at the collection,
  // not one lock and reference per device.
  const std::shared_ptr<TDevice> device = devices.NextOnLine(Line().ID, position_, position_);
  if (!device) return;
  try {
    device->Tick();
  } catch (...) {
    // One device's failure must not stop the line; its next turn comes.
  }
}

}  // namespace kavor2::device
