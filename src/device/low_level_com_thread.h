#pragma once
// TLowLevelComThread: the low-level thread of a serial line. It is the only
// master of the bus and runs one bus transaction per pass, chosen by a
// stride scheduler among four kinds of work: polling a linked device (0),
// sending one queued packet (1), discovery (2: search for devices without
// an address, linking of devices the host added, a one-time scan of the
// free short addresses) and refreshing a link (3). During a search the
// scheduler runs with the search weights, so discovery gets half the bus.
//
// Each pass holds the line's LineLock for the whole transaction, so no
// device of the line is added or deleted in the middle of one. Received K2
// packets go to the device's InQueue from inside Poll, on this thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "device/id_key_text.h"
#include "device/line_thread.h"
#include "device/stride_scheduler.h"

namespace kavor2::device {

class TComKavor;
class TDevice;

class TLowLevelComThread final : public TAbstractThread {
 public:
  enum TWorkKind : std::size_t { wkPoll = 0, wkSend = 1, wkDiscover = 2, wkRefresh = 3 };
  enum TDiscoveryStep : std::uint8_t { dsSearch = 0, dsLink = 1, dsScan = 2 };

  // Created suspended; installs the receive handler on the transport. The
  // line and the transport must outlive the thread.
  TLowLevelComThread(TLine& line, TComKavor& transport);
  ~TLowLevelComThread() override;

  // One pass of the run: choose, do the work under LineLock, consume. The
  // run calls it between pauses; tests may call it on a thread never
  // started. Returns the kind chosen.
  std::size_t Step();

  const TStrideScheduler& Scheduler() const { return scheduler_; }
  bool ScanFinished() const { return last_scan_address_ >= kScanEnd; }
  std::uint8_t SearchStep() const { return search_step_; }

 protected:
  void Execute() override;

 private:
  static constexpr std::uint16_t kScanEnd = 127;

  void PollNext();
  void SendNext();
  // Returns true when the search mode changed: the schedule was reset.
  bool Discover();
  void RefreshNext();
  void SearchStepWork();
  void LinkStepWork();
  void ScanStepWork();
  // Connects the device of this line with that ID, or adds it first.
  void TakeFound(const DeviceId& id);
  void AddFound(const DeviceId& id);

  using TCondition = bool (*)(const TDevice& device);
  // Round robin over the session's devices from after `position`: the
  // first device of this line that meets the condition; its index goes to
  // position.
  std::shared_ptr<TDevice> NextDevice(std::size_t& position, TCondition condition) const;

  void HandleReceived();

  TComKavor& transport_;
  TStrideScheduler scheduler_;
  std::array<std::size_t, TStrideScheduler::kKinds> positions_{};
  std::uint8_t search_step_ = dsScan;
  std::uint16_t last_scan_address_ = 0;
  std::size_t last_link_device_ = 1;
};

}  // namespace kavor2::device
