#pragma once
// TLines and TLine: the session's communication lines. A line owns its
// transport (Comm), its two worker threads and its lock; its devices live in
// the session's one device collection and carry the line's ID.
//
// Lifecycle of a line: AddLine (threads suspended, transport closed) → the
// host configures and opens the transport → StartLine → DeleteLine. A line
// whose transport does not open is deleted without being started.
//
// Threads. AddLine, StartLine and DeleteLine run on the service thread.
// Lookups (FindItemID, FindLine, Items) may run on any thread: lines are
// shared, so a line found stays valid for its finder while it is deleted.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/com_kavor.h"
#include "device/comm_abstract.h"
#include "device/device_line.h"
#include "device/id_key_text.h"
#include "device/k2_message.h"
#include "device/line_thread.h"
#include "device/session_environment.h"
#include "device/udp_kavor.h"
#include "subscribers/owned_objects.h"

namespace kavor2::device {

class TDevice;
class TKavorSession;

enum TLineType : std::uint8_t {
  ltEthernet = 0,
  ltSerial = 1,
};

class TLine final : public IDeviceLine, public subscribers::IOwnedLine {
 public:
  TLine(TKavorSession& session, std::int32_t id, TLineType type, std::unique_ptr<TCommunicationsAbstract> comm);
  ~TLine() override;
  TLine(const TLine&) = delete;
  TLine& operator=(const TLine&) = delete;

  // The collection item ID: the line ID of the API.
  const std::int32_t ID;
  const TLineType LineType;

  // The transport; null only while the line is being deleted.
  TCommunicationsAbstract* Comm() const { return comm_.get(); }
  // The transport of an Ethernet line; null on other lines.
  TUdpKavor* UdpComm() const;
  // The transport of a serial line; null on other lines.
  TComKavor* ComComm() const;

  // Set by TLines while the line is created, before anyone else sees it;
  // either may be absent.
  std::unique_ptr<TAbstractThread> LowLevelThread;
  std::unique_ptr<TAbstractThread> TopLevelThread;

  // Set by the host; read by the line threads.
  std::atomic<bool> AutoAddDevice{false};
  std::atomic<bool> FixedDevicePort{false};
  // What the line threads give every device they add; fixed at creation.
  const bool DefaultPrimaryID = true;
  const bool DefaultPrimaryIP = false;
  // A label; nothing in the system reads or writes it. Service thread only.
  std::string DisplayName;

  // ---- IDeviceLine / IOwnedLine ------------------------------------------
  std::int32_t LineId() const override { return ID; }
  std::recursive_mutex& LineLock() override { return line_lock_; }
  DeviceId OwnId() const override;
  bool SenderOnWire() const override;
  bool ReceiverOnWire() const override;
  std::int32_t KeyExchangeTimeOut() const override;
  std::int32_t AnswerTimeOut() const override;
  std::int32_t LinkTime() const override;
  std::shared_ptr<TTrafficCounters> TrafficCounters() const override { return counters_; }
  // The same counters, for the line's own threads.
  TTrafficCounters& Counters() const { return *counters_; }

  // The number of devices of the session that belong to this line.
  std::size_t CountDevices() const;
  // Stamps the message's TimeText (NowText) and posts it to the session as
  // a data record of that kind. The session owns it from here on.
  void PostData(std::int32_t kind, TK2MessagePtr message);
  // State records 2 (the line threads added the device) and 3 (a device
  // found by its address changed its ID), identifying the device by its ID
  // text.
  void PostDeviceAdded(const TDevice& device);
  void PostDeviceIdChanged(const TDevice& device);
  // Computes OwnId from the first adapter's MAC address (a random GUID when
  // there is none), then marks it with the line's kind and port. The
  // low-level thread calls it first thing in its run.
  void InitOwnId();

  TKavorSession& Session() const { return session_; }

 private:
  friend class TLines;
  void PostDeviceState(std::uint16_t code, const TDevice& device);

  TKavorSession& session_;
  std::unique_ptr<TCommunicationsAbstract> comm_;
  std::recursive_mutex line_lock_;
  mutable std::mutex own_id_mutex_;
  DeviceId own_id_{};
  const std::shared_ptr<TTrafficCounters> counters_ = std::make_shared<TTrafficCounters>();
};

class TLines final : public ILineDirectory {
 public:
  // session must outlive the collection.
  TLines(TKavorSession& session, const TSessionEnvironment& environment);
  // Deletes every line as DeleteLine does.
  ~TLines() override;
  TLines(const TLines&) = delete;
  TLines& operator=(const TLines&) = delete;

  std::size_t Count() const;
  // The line at that index, or null.
  std::shared_ptr<TLine> Items(std::size_t index) const;
  // A snapshot of the collection, in order.
  std::vector<std::shared_ptr<TLine>> All() const;
  // The line with that ID, or null.
  std::shared_ptr<TLine> FindItemID(std::int32_t id) const;
  std::shared_ptr<IDeviceLine> FindLine(std::int32_t line_id) const override;

  // A new line with the next ID, appended at the end: an Ethernet line gets a
  // TUdpKavor, a serial line a TComKavor on the environment's port
  // directory. Its threads (when the environment makes them) are suspended
  // and its transport is closed.
  std::shared_ptr<TLine> AddLine(TLineType type);
  // Resumes the low-level thread, then the top-level thread, each only when
  // it exists and is suspended.
  void StartLine(TLine& line);
  // Destroys the line at that index: its connected devices queue their
  // logical disconnect, both threads are stopped and freed (a suspended one
  // is just freed), the transport is freed, the line's devices are deleted,
  // and the line leaves the collection. Blocks until both threads have left
  // their loops. Nothing when the index is past the end.
  void DeleteLine(std::size_t index);
  // The same for every line, first to last.
  void Clear();

  // True when an Ethernet line with a non-zero broadcast ID-request interval
  // has that device port.
  bool IsBroadcastPortUsed(int port) const;

 private:
  void Destroy(const std::shared_ptr<TLine>& line);

  TKavorSession& session_;
  const TSessionEnvironment& environment_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<TLine>> lines_;
  std::int32_t next_id_ = 0;  // never reused in the life of the process
};

}  // namespace kavor2::device
