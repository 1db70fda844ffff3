#include "device/com_kavor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <utility>

namespace kavor2::device {

using namespace serial;

namespace {

constexpr std::array<int, kBaudOrdinals> kBaudRates = {110,   300,   600,   1200,  2400,  4800,  9600,
                                                       14400, 19200, 38400, 56000, 57600, 115200};
constexpr char kNotOpenSuffix[] = " not open";
constexpr char kSystemPortPrefix[] = "/dev/ttyS";
constexpr char kComName[] = "COM";
// A search answer counts also when the read fails for want of memory: the
// answers of several devices at once can make the driver report that.
constexpr int kOutOfMemory = ENOMEM;

ISerialBusDevice* BusDevice(ICommDevice* device) { return dynamic_cast<ISerialBusDevice*>(device); }

}  // namespace

int BaudOf(int ordinal) {
  return ordinal >= 0 && ordinal < kBaudOrdinals ? kBaudRates[static_cast<std::size_t>(ordinal)] : kBaudRates.back();
}

TComKavor::TComKavor(TLines* owner, std::string port_dir, TSerialPortOpener opener)
    : TCommunicationsAbstract(owner), port_dir_(std::move(port_dir)), opener_(std::move(opener)) {}

TComKavor::~TComKavor() { Close(); }

std::string TComKavor::PortPath() const {
  const int n = com_port_.load();
  if (!port_dir_.empty()) return port_dir_ + "/" + kComName + std::to_string(n);
  return kSystemPortPrefix + std::to_string(n - 1);
}

bool TComKavor::Open() {
  Close();
  const std::string path = PortPath();
  // Port 0 has no device: /dev/ttyS-1 does not exist.
  std::unique_ptr<ISerialPort> port = opener_ ? opener_(path) : nullptr;
  if (!port) throw ECommError(path + kNotOpenSuffix);
  std::lock_guard lock(port_mutex_);
  port_ = std::move(port);
  port_->Apply(Settings());
  return true;
}

bool TComKavor::Close() {
  std::lock_guard lock(port_mutex_);
  if (port_) {
    port_->Purge();
    port_.reset();
  }
  return false;
}

bool TComKavor::IsOpen() const {
  std::lock_guard lock(port_mutex_);
  return port_ != nullptr;
}

void TComKavor::SetComPort(std::uint8_t port) {
  std::lock_guard lock(port_mutex_);
  if (!port_) com_port_ = port;
}

void TComKavor::SetComPortSpeed(int ordinal) {
  if (ordinal < 0 || ordinal >= kBaudOrdinals) return;
  speed_ = ordinal;
  ApplySettings();
}

void TComKavor::SetComPortDataBits(int bits) {
  if (bits < 5 || bits > 8) return;
  data_bits_ = bits;
  ApplySettings();
}

void TComKavor::SetComPortStopBits(TComStopBits bits) {
  stop_bits_ = bits;
  ApplySettings();
}

void TComKavor::SetComPortParity(TComParity parity) {
  parity_ = parity;
  ApplySettings();
}

TSerialSettings TComKavor::Settings() const {
  return {BaudOf(speed_.load()), data_bits_.load(), stop_bits_.load(), parity_.load()};
}

void TComKavor::ApplySettings() {
  std::lock_guard lock(port_mutex_);
  if (port_) port_->Apply(Settings());
}

void TComKavor::SetLineAddress(const DeviceId& address) {
  std::lock_guard lock(line_address_mutex_);
  line_address_ = address;
}

void TComKavor::SetSearchMode(int mode) {
  previous_search_mode_ = search_mode_.load();
  search_mode_ = mode;
}

// ---- Port access ----------------------------------------------------------------

bool TComKavor::Write(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return true;
  std::size_t put = 0;
  bool failed = false;
  {
    std::lock_guard lock(port_mutex_);
    if (!port_) {
      failed = true;
    } else {
      // The last byte alone: the driver's RTS then drops right after it.
      for (const auto piece : {bytes.first(bytes.size() - 1), bytes.last(1)}) {
        const std::optional<std::size_t> n = port_->Write(piece);
        if (!n) {
          last_system_error_ = port_->LastSystemError();
          failed = true;
          break;
        }
        put += *n;
        if (*n < piece.size()) break;
      }
    }
  }
  if (failed) {
    Purge();
    last_error_ = kErrorWrite;
    return false;
  }
  if (put < bytes.size()) {
    last_error_ = kErrorShortWrite;
    return false;
  }
  SetLastSentSize(bytes.size());
  return true;
}

std::optional<std::size_t> TComKavor::ReadPiece(std::span<std::uint8_t> into) {
  std::lock_guard lock(port_mutex_);
  if (!port_) return std::nullopt;
  const std::optional<std::size_t> n = port_->Read(into, ReadTimeOut());
  if (!n) last_system_error_ = port_->LastSystemError();
  return n;
}

void TComKavor::Purge() {
  std::lock_guard lock(port_mutex_);
  if (!port_) return;
  port_->Purge();
  std::array<std::uint8_t, kPurgePiece> drop{};
  for (int i = 0; i < kMaxPurgeReads; ++i) {
    const std::optional<std::size_t> n = port_->Read(drop, ReadTimeOut());
    if (!n || *n == 0) break;
  }
}

bool TComKavor::ReceiveFrame(std::size_t expected_length) {
  Bytes frame;
  const TFrameRead result =
      ReadFrame([this](std::span<std::uint8_t> into) { return ReadPiece(into); }, expected_length, frame);
  if (result == TFrameRead::ReadError) {
    Purge();
    last_error_ = kErrorRead;
  }
  InBuffer().Assign(frame);
  return result == TFrameRead::Ok;
}

std::optional<std::uint8_t> TComKavor::ReadReply() {
  if (!ReceiveFrame(kReplySize)) return std::nullopt;
  const ByteView reply = InBuffer().Bytes();
  if (reply[1] != ReplyCheck(check_register_, reply[0])) {
    Purge();
    return std::nullopt;
  }
  return reply[0];
}

bool TComKavor::ResendCommand() {
  const Bytes frame(OutBuffer().Bytes().begin(), OutBuffer().Bytes().end());
  return Write(frame);
}

void TComKavor::LinkFailed(ISerialBusDevice& device) {
  if (device.BusLinkConfirmed()) {
    device.SetBusLinkConfirmed(false);
  } else {
    device.SetBusLinked(false);
  }
}

// ---- Transactions -----------------------------------------------------------------

bool TComKavor::BeginPacket(ICommDevice* device, bool addressed, std::uint8_t offset) {
  ISerialBusDevice* bus = BusDevice(device);
  if (!bus) return false;
  const Bytes address = addressed && bus->BusLinkConfirmed() ? ShortAddressPart(bus->BusShortAddr())
                                                             : IdAddressPart(bus->BusId());
  const TCommandFrame frame = BuildCommandFrame(address, static_cast<std::uint8_t>(kCmdBase + offset));
  check_register_ = frame.Check;
  OutBuffer().Assign(frame.Wire);
  return Write(frame.Wire);
}

void TComKavor::SetData(std::span<const std::uint8_t> stream) { data_buffer_ = Stuff(stream); }

bool TComKavor::DataFits(const ISerialBusDevice& device) const {
  return data_buffer_.size() <= BusCapacity(device.BusStatus());
}

bool TComKavor::Poll(ICommDevice* device) {
  SetCurrentDevice(device);
  ISerialBusDevice* bus = BusDevice(device);
  if (!bus) return false;
  BeginPacket(device, true, kOffsetPoll);
  bool resend = false;
  int repeated = 0;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    // Later attempts send the last command again: the poll, or the
    // acknowledge of a repeated frame.
    if (resend) ResendCommand();
    resend = true;
    const std::optional<std::uint8_t> code = ReadReply();
    if (!code) continue;
    bus->SetBusStatus(LowNibble(*code));
    const std::uint8_t meaning = *code & kReplyMeaning;
    if (meaning == kReplyNotReady) return true;
    if (!IsData(meaning)) continue;
    if (!ReceiveFrame(0)) continue;
    const std::uint8_t expected = bus->RxToggle();
    if (meaning == expected) {
      const Bytes frame(InBuffer().Bytes().begin(), InBuffer().Bytes().end());
      if (frame.size() != frame[0]) continue;
      BeginPacket(device, true, AckFor(meaning));
      bus->SetRxToggle(OtherToggle(meaning));
      DeliverReceived(frame);
      return true;
    }
    // A frame acknowledged before (the device missed the acknowledge): it is
    // acknowledged again, not handed on, and the device's next reply awaited.
    BeginPacket(device, true, AckFor(expected));
    if (++repeated > kMaxRepeatedFrames) break;
    attempt = -1;
    resend = false;
  }
  LinkFailed(*bus);
  return false;
}

bool TComKavor::Send(ICommDevice* device) {
  ISerialBusDevice* bus = BusDevice(device);
  if (!bus) return false;
  bool first = true;
  std::optional<std::uint8_t> last_meaning;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!DataFits(*bus)) return false;  // stays queued until the device has room
    if (attempt > 0 && last_meaning == kReplyNotReady) Poll(device);
    // The announcing command again (also after a poll, which left its own
    // frame in OutBuffer): a data frame never follows another command.
    if (!first) BeginPacket(device, true, bus->TxToggle());
    first = false;
    if (!Write(data_buffer_)) continue;
    const std::optional<std::uint8_t> code = ReadReply();
    if (!code) continue;
    bus->SetBusStatus(LowNibble(*code));
    const std::uint8_t meaning = *code & kReplyMeaning;
    last_meaning = meaning;
    if (!IsAck(meaning)) continue;
    const std::uint8_t toggle = bus->TxToggle();
    bus->SetTxToggle(OtherToggle(toggle));
    if (attempt > 0 || ToggleOfAck(meaning) == toggle) return true;
    // The device expects the other toggle: the frame goes again with it,
    // announced once.
    if (!BeginPacket(device, true, bus->TxToggle())) return false;
    first = true;
  }
  if (bus->BusLinkConfirmed()) {
    bus->SetBusLinkConfirmed(false);
    return false;
  }
  bus->SetBusLinked(false);
  return true;
}

bool TComKavor::Connect(ICommDevice* device) {
  ISerialBusDevice* bus = BusDevice(device);
  if (!bus) return false;
  DeviceId line_address{};
  {
    std::lock_guard lock(line_address_mutex_);
    line_address = line_address_;
  }
  Bytes body{bus->BusShortAddr()};
  body.insert(body.end(), line_address.begin(), line_address.end());
  const Bytes frame = Stuff(BuildLengthFrame(body));
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (!BeginPacket(device, false, kOffsetConnect)) continue;
    if (!Write(frame)) continue;
    if (!ReceiveFrame(kReplySize)) {
      bus->SetBusLinked(false);
      bus->SetBusLinkConfirmed(false);
      continue;
    }
    const ByteView reply = InBuffer().Bytes();
    if (reply[1] != ReplyCheck(check_register_, reply[0])) {
      Purge();
      continue;
    }
    bus->SetBusStatus(LowNibble(reply[0]));
    if (!IsAck(reply[0] & kReplyMeaning)) return false;
    bus->SetBusLinked(true);
    return true;
  }
  return false;
}

void TComKavor::QueryAddress(std::uint8_t short_address, DeviceId& id) {
  id = NoId;
  const TCommandFrame frame =
      BuildCommandFrame(ShortAddressPart(short_address), static_cast<std::uint8_t>(kCmdBase + kOffsetQuery));
  check_register_ = frame.Check;
  OutBuffer().Assign(frame.Wire);
  if (!Write(frame.Wire)) return;
  const std::optional<std::uint8_t> code = ReadReply();
  if (!code || (*code & kReplyMeaning) != kReplyQuery) return;
  if (!ReceiveFrame(kQueryAnswerSize)) return;
  const ByteView answer = InBuffer().Bytes();
  std::copy_n(answer.begin() + kQueryAnswerIdOffset, kIdSize, id.begin());
}

void TComKavor::SearchNewDevice(DeviceId& id) {
  id = NoId;
  if (SearchMode() == 0) search_.Abort();  // a new search starts
  const int baud = BaudOf(speed_.load());
  const int search_ms = std::max(static_cast<int>(kReadTimeOut.count()),
                                 static_cast<int>(std::lround(static_cast<double>(kSearchTimeBase) / baud)));
  read_time_out_ms_ = search_ms;

  const std::optional<Bytes> probe = search_.NextProbe();
  if (!probe) {
    SetSearchMode(0);
    return;
  }
  Bytes wire{kSync, kSync};
  const std::uint8_t header[] = {kSearchAddress, kSearchCommand, CheckChain(std::array{kSearchAddress, kSearchCommand})};
  AppendStuffed(wire, header);
  AppendStuffed(wire, BuildLengthFrame(*probe));
  // One write: the answer is a single byte that may come at once.
  bool written = false;
  {
    std::lock_guard lock(port_mutex_);
    if (port_) {
      const std::optional<std::size_t> n = port_->Write(wire);
      written = n && *n == wire.size();
      if (!n) last_system_error_ = port_->LastSystemError();
    }
  }
  if (!written) {
    search_.Abort();
    SetSearchMode(0);
    return;
  }
  std::array<std::uint8_t, 1> answer{};
  const std::optional<std::size_t> got = ReadPiece(answer);
  const bool answered = (got && *got > 0) || (!got && last_system_error_.load() == kOutOfMemory);
  if (answered) Purge();  // the other answers, garbled or not
  id = search_.Answer(answered);
  SetSearchMode(search_.Active() ? 1 : 0);
}

}  // namespace kavor2::device
