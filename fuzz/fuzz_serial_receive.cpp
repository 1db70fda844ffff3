// The serial link layer on hostile bytes. The input is [expected] then
// records [n] followed by n bytes (a length past the end takes the rest):
// each record is what one read of the port returns.
//   - The frame reader takes the records as its pieces (expected % 20, 0
//     meaning a frame that carries its own length).
//   - The serial transport polls, queries, connects and sends over a port
//     that returns the records, so its reply checks, the unstuffer across
//     reads and the hand-over of received frames see them; a frame handed on
//     must hold exactly what its length byte says.
//   - The devices' side of the bus simulator reads all bytes as line traffic.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "device/com_kavor.h"
#include "device/serial_bus_device_fake.h"
#include "device/serial_link.h"
#include "k2sim/k2sim_bus.h"

namespace {

using kavor2::device::serial::Bytes;
using kavor2::device::serial::ByteView;
namespace serial = kavor2::device::serial;

constexpr std::size_t kMaxExpected = 20;

std::vector<Bytes> Records(ByteView data) {
  std::vector<Bytes> records;
  std::size_t i = 0;
  while (i < data.size()) {
    const std::size_t n = data[i++];
    const std::size_t take = n < data.size() - i ? n : data.size() - i;
    records.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(i),
                         data.begin() + static_cast<std::ptrdiff_t>(i + take));
    i += take;
  }
  return records;
}

class RecordPort final : public kavor2::device::ISerialPort {
 public:
  explicit RecordPort(std::shared_ptr<std::deque<Bytes>> records) : records_(std::move(records)) {}
  void Apply(const kavor2::device::TSerialSettings&) override {}
  std::optional<std::size_t> Read(std::span<std::uint8_t> into, std::chrono::milliseconds) override {
    if (records_->empty()) return 0;
    Bytes& front = records_->front();
    const std::size_t n = front.size() < into.size() ? front.size() : into.size();
    for (std::size_t i = 0; i < n; ++i) into[i] = front[i];
    front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (front.empty()) records_->pop_front();
    return n;
  }
  std::optional<std::size_t> Write(std::span<const std::uint8_t> bytes) override { return bytes.size(); }
  void Purge() override {
    // Drops one record: the transport's purge must not loop on a chatty line.
    if (!records_->empty()) records_->pop_front();
  }
  int LastSystemError() const override { return 0; }

 private:
  std::shared_ptr<std::deque<Bytes>> records_;
};

// Any ID will do: the records decide what the bus answers.
kavor2::device::FakeBusDevice MakeDevice() {
  kavor2::device::FakeBusDevice device;
  device.id = {1, 2, 3, 4, 5, 6};
  return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const ByteView input(data, size);
  const std::size_t expected = input[0] % kMaxExpected;
  const std::vector<Bytes> records = Records(input.subspan(1));

  // The frame reader on the records as pieces.
  {
    std::deque<Bytes> pieces(records.begin(), records.end());
    const serial::TPieceReader read = [&](std::span<std::uint8_t> into) -> std::optional<std::size_t> {
      if (pieces.empty()) return 0;
      Bytes& front = pieces.front();
      const std::size_t n = front.size() < into.size() ? front.size() : into.size();
      for (std::size_t i = 0; i < n; ++i) into[i] = front[i];
      front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
      if (front.empty()) pieces.pop_front();
      return n;
    };
    Bytes frame;
    const serial::TFrameRead result = serial::ReadFrame(read, expected, frame);
    if (result == serial::TFrameRead::Ok) {
      if (expected != 0 && frame.size() != expected) std::abort();
      if (expected == 0 && (frame.empty() || frame.size() != frame[0])) std::abort();
    } else if (!frame.empty()) {
      std::abort();
    }
  }

  // The transport's transactions over a port that returns the records.
  {
    auto queue = std::make_shared<std::deque<Bytes>>(records.begin(), records.end());
    kavor2::device::TComKavor com(nullptr, "/fuzz", [queue](const std::string&) {
      return std::make_unique<RecordPort>(queue);
    });
    com.Open();
    com.SetOnReceive([&com] {
      const ByteView frame = com.InBuffer().Bytes();
      if (frame.empty() || frame.size() != frame[0]) std::abort();
    });
    kavor2::device::FakeBusDevice device = MakeDevice();
    for (int i = 0; i < 4 && !queue->empty(); ++i) {
      com.Poll(&device);
      kavor2::device::DeviceId id{};
      com.QueryAddress(static_cast<std::uint8_t>(i + 1), id);
      com.SetData(Bytes{6, 0x13, 0, 0, 0xFE, 0xFF});
      if (com.DataFits(device)) com.Send(&device);
      com.Connect(&device);
      com.SearchNewDevice(id);
    }
  }

  // The devices' side reads everything as line traffic.
  kavor2::k2sim::TSimBus bus;
  bus.Add({{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}});
  bus.Add({{0x01, 0x00, 0x00, 0x00, 0x00, 0x00}});
  bus.Feed(input);
  return 0;
}
