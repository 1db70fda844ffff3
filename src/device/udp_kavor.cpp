#include "device/udp_kavor.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <system_error>
#include <utility>

#include "device/local_adapters.h"
#include "device/udp_datagram.h"
#include "platform/tcp.h"

namespace kavor2::device {
namespace {

constexpr int kMaxPort = std::numeric_limits<std::uint16_t>::max();
// After an unexpected failure of the wait itself, pause this long before
// waiting again, so a persistent failure does not spin.
constexpr int kWaitFailurePauseMs = 50;

bool ValidPort(int port) { return port >= 0 && port <= kMaxPort; }
// Port 0 can be bound (the system chooses) but not sent to.
bool ValidDestinationPort(int port) { return port > 0 && port <= kMaxPort; }

std::vector<std::string> WithoutDuplicates(std::vector<std::string> addresses) {
  std::vector<std::string> out;
  for (std::string& a : addresses) {
    // Two interfaces with one address would make the second bind fail.
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(std::move(a));
  }
  return out;
}

}  // namespace

std::vector<std::string> SystemLocalAddresses() { return QueryLocalAdapters().ipv4_addresses; }

TUdpKavor::TUdpKavor(TLines* owner, LocalAddressQuery local_addresses)
    : TCommunicationsAbstract(owner), local_addresses_(std::move(local_addresses)) {}

TUdpKavor::~TUdpKavor() {
  std::lock_guard lock(lifecycle_mutex_);
  Deactivate();
}

void TUdpKavor::RefuseOnReceivingThread() const {
  if (receiver_id_.load() == std::this_thread::get_id()) {
    throw ECommError("The line cannot be closed or re-opened from its own receive handler");
  }
}

bool TUdpKavor::Open() {
  RefuseOnReceivingThread();
  std::lock_guard lock(lifecycle_mutex_);
  Deactivate();
  Activate();
  return IsOpen();
}

bool TUdpKavor::Close() {
  RefuseOnReceivingThread();
  std::lock_guard lock(lifecycle_mutex_);
  Deactivate();
  return true;
}

void TUdpKavor::SetPort(int port) {
  RefuseOnReceivingThread();
  std::lock_guard lock(lifecycle_mutex_);
  if (!open_.load()) {
    port_.store(port);
    return;
  }
  Deactivate();
  port_.store(port);
  Activate();
}

void TUdpKavor::Activate() {
  const int port = port_.load();
  if (!ValidPort(port)) throw ECommError("Invalid UDP port " + std::to_string(port));
  const auto local_port = static_cast<std::uint16_t>(port);
  const std::vector<std::string> addresses =
      WithoutDuplicates(local_addresses_ ? local_addresses_() : std::vector<std::string>{});

  // Built aside and installed only when everything is bound, so a failure
  // leaves nothing open; the unique_ptrs close what was made.
  Sockets listening;
  Sockets sending;
  if (addresses.empty()) {
    listening.push_back(UdpSocket::Bind(kAnyAddress, local_port));
  }
  for (const std::string& address : addresses) {
    listening.push_back(UdpSocket::Bind(address, local_port));
    sending.push_back(UdpSocket::Bind(address, 0));
  }
  std::unique_ptr<UdpSocket> broadcasts;
  if (!addresses.empty()) broadcasts = BindBroadcastReceiver(listening, local_port);
  const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd < 0) {
    throw ECommError("Could not start receiving: " + platform::Describe(platform::IoResult::Error(errno)));
  }

  std::vector<const UdpSocket*> watched;
  for (const auto& s : listening) watched.push_back(s.get());
  if (broadcasts) watched.push_back(broadcasts.get());
  {
    std::unique_lock lock(sockets_mutex_);
    listening_ = std::move(listening);
    sending_ = std::move(sending);
    broadcasts_ = std::move(broadcasts);
    wake_fd_ = wake_fd;
  }
  try {
    receiver_ = std::thread(&TUdpKavor::ReceiveLoop, this, std::move(watched), wake_fd);
  } catch (const std::system_error& e) {
    Deactivate();
    throw ECommError(std::string("Could not start receiving: ") + e.what());
  }
  open_.store(true);
}

void TUdpKavor::Deactivate() noexcept {
  open_.store(false);
  int wake_fd = -1;
  {
    std::shared_lock lock(sockets_mutex_);
    wake_fd = wake_fd_;
  }
  if (receiver_.joinable()) {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow, which
    // one write per stop never reaches.
    [[maybe_unused]] const ssize_t written = ::write(wake_fd, &one, sizeof one);
    // The sockets lock is not held here: the handler may be sending.
    receiver_.join();
  }
  std::unique_lock lock(sockets_mutex_);
  sending_.clear();
  listening_.clear();
  broadcasts_.reset();
  if (wake_fd_ >= 0) ::close(wake_fd_);
  wake_fd_ = -1;
}

void TUdpKavor::ReceiveLoop(std::vector<const UdpSocket*> sockets, int wake_fd) {
  receiver_id_.store(std::this_thread::get_id());
  // One buffer for the thread's life: the longest datagram taken plus one
  // byte, so a longer one shows as longer even before its length is read.
  std::vector<std::uint8_t> buffer(kMaxDatagramSize + 1);
  std::vector<pollfd> waits(sockets.size() + 1);
  waits[0] = {wake_fd, POLLIN, 0};
  for (std::size_t i = 0; i < sockets.size(); ++i) waits[i + 1] = {sockets[i]->Descriptor(), POLLIN, 0};

  for (;;) {
    const int ready = ::poll(waits.data(), waits.size(), -1);
    if (ready < 0) {
      if (errno != EINTR) {
        // Wait on the stop signal alone for a while instead of spinning.
        pollfd stop = {wake_fd, POLLIN, 0};
        if (::poll(&stop, 1, kWaitFailurePauseMs) > 0) break;
      }
      continue;
    }
    if (waits[0].revents != 0) break;
    for (std::size_t i = 0; i < sockets.size(); ++i) {
      if (waits[i + 1].revents != 0) ReceiveOne(*sockets[i], buffer);
    }
  }
  receiver_id_.store(std::thread::id{});
}

void TUdpKavor::ReceiveOne(const UdpSocket& socket, std::vector<std::uint8_t>& buffer) {
  int error_number = 0;
  const std::optional<UdpSocket::Received> got = socket.Receive(buffer, error_number);
  // Nothing waiting, or an error the socket reported (it is cleared by the
  // read): the thread goes on with the next datagram either way.
  if (!got) return;
  if (got->length > kMaxDatagramSize) return;
  std::string local = socket.LocalAddress();
  if (socket.BroadcastReceiver()) {
    // Only broadcasts are the line's: a unicast here went to an address the
    // line did not bind.
    if (!got->broadcast) return;
    local = BroadcastLocalAddress(got->local);
  }
  {
    std::lock_guard lock(peer_mutex_);
    local_address_ = std::move(local);
    peer_host_ = Ipv4Text(got->from);
    peer_port_ = ntohs(got->from.sin_port);
  }
  DeliverReceived(std::span<const std::uint8_t>(buffer.data(), got->length));
}

std::unique_ptr<UdpSocket> TUdpKavor::BindBroadcastReceiver(const Sockets& listening, std::uint16_t port) {
  // A socket bound to one address does not receive broadcasts, so devices
  // that broadcast their ID request would go unheard without this one. It
  // is an addition: when it cannot be had (another program holds the port
  // on an address of its own), the line still works with its devices'
  // addresses, and the address-bound sockets are exclusive again.
  const auto share = [&listening](bool on) {
    bool all = true;
    for (const auto& socket : listening) all = socket->ShareAddress(on) == 0 && all;
    return all;
  };
  if (share(true)) {
    try {
      return UdpSocket::BindBroadcastReceiver(port);
    } catch (const ECommError&) {
    }
  }
  share(false);
  return nullptr;
}

std::string TUdpKavor::BroadcastLocalAddress(const std::optional<in_addr>& local) const {
  if (!local) return {};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = *local;
  const std::string text = Ipv4Text(address);
  // The interface's address is one the line listens on (so frames back
  // leave from it); otherwise none is named and they leave from every one.
  std::shared_lock lock(sockets_mutex_);
  for (const auto& socket : listening_) {
    if (socket->LocalAddress() == text) return text;
  }
  return {};
}

std::string TUdpKavor::PeerHost() const {
  std::lock_guard lock(peer_mutex_);
  return peer_host_;
}

int TUdpKavor::PeerPort() const {
  std::lock_guard lock(peer_mutex_);
  return peer_port_;
}

std::string TUdpKavor::LocalAddress() const {
  std::lock_guard lock(peer_mutex_);
  return local_address_;
}

bool TUdpKavor::ReceiveFrame(std::size_t /*expected_length*/) { return false; }

bool TUdpKavor::BeginPacket(ICommDevice* /*device*/, bool data_flag, std::uint8_t /*command*/) {
  OutBuffer().Clear();
  OutBuffer().Write(MakeDatagramPrefix(data_flag));
  return true;
}

bool TUdpKavor::Send(ICommDevice* device) {
  const std::string host = device != nullptr ? device->CommHost() : kBroadcastAddress;
  const int port = device != nullptr ? device->CommPort() : device_port_.load();
  if (!ValidDestinationPort(port)) return false;
  const std::optional<sockaddr_in> to = Ipv4SocketAddress(host, static_cast<std::uint16_t>(port));
  if (!to) return false;
  const std::string local = device != nullptr ? device->CommLocalAddress() : std::string();
  const std::span<const std::uint8_t> frame = OutBuffer().Bytes();

  std::shared_lock lock(sockets_mutex_);
  const Sockets& candidates = send_via_listen_sockets_.load() ? listening_ : sending_;
  bool sent = false;
  for (const auto& socket : candidates) {
    if (!local.empty() && socket->LocalAddress() != local) continue;
    if (socket->SendTo(*to, frame) != 0) return false;
    sent = true;
    if (!local.empty()) break;  // the first socket of that address only
  }
  if (!sent) return false;
  SetLastSentSize(frame.size());
  return true;
}

bool TUdpKavor::CheckReceived(bool& data_flag) {
  TCommBuffer& in = InBuffer();
  in.Rewind();
  if (!ParseDatagramPrefix(in.Bytes(), data_flag)) return false;
  in.Seek(kDatagramPrefixSize);
  return true;
}

void TUdpKavor::TakeDeviceHost(ICommDevice* device) {
  if (device != nullptr) device->SetCommHost(PeerHost());
}

void TUdpKavor::TakeDevicePort(ICommDevice* device) {
  if (device != nullptr) device->SetCommPort(PeerPort());
}

}  // namespace kavor2::device
