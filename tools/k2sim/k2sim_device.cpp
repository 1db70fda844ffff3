#include "k2sim/k2sim_device.h"

#include <array>
#include <utility>

#include "device/byte_writer.h"
#include "device/k2_cipher.h"

namespace kavor2::k2sim {
namespace {

using namespace device;

constexpr TK2PacketFlags kWorkingKeyFlags = pfEncrypted | pfWorkingKey;

// The status bits that echo the service's own profile bits.
struct EchoBit {
  std::uint8_t profile;
  std::uint8_t status;
};
constexpr std::array<EchoBit, 4> kEchoBits = {{
    {kProfileBit0, 0x04},
    {kProfileGetEvent, 0x08},
    {kProfileBit4, 0x40},
    {kProfileGetCmd, 0x80},
}};

// xorshift32: deterministic keys for a given seed.
constexpr std::uint32_t kXorShiftA = 13;
constexpr std::uint32_t kXorShiftB = 17;
constexpr std::uint32_t kXorShiftC = 5;
constexpr std::uint32_t kNonZeroSeed = 0x9E3779B9;

}  // namespace

TSimDevice::TSimDevice(TSimConfig config)
    : config_(config),
      random_state_(config.Seed != 0 ? config.Seed : kNonZeroSeed),
      rx_master_(config.RxMasterCounter),
      tx_master_(config.TxMasterCounter) {}

std::uint32_t TSimDevice::NextRandom() {
  random_state_ ^= random_state_ << kXorShiftA;
  random_state_ ^= random_state_ >> kXorShiftB;
  random_state_ ^= random_state_ << kXorShiftC;
  return random_state_;
}

DeviceKey TSimDevice::NextKey() {
  DeviceKey key{};
  for (std::size_t i = 0; i < key.size(); i += sizeof(std::uint32_t)) {
    const std::uint32_t word = NextRandom();
    for (std::size_t b = 0; b < sizeof word; ++b) key[i + b] = static_cast<std::uint8_t>(word >> (kByteBits * b));
  }
  return key;
}

TK2PacketFlags TSimDevice::AddressFlags() const {
  return config_.AddressesOnWire ? kAddressFlags : TK2PacketFlags{0};
}

TK2PacketFlags TSimDevice::AnswerFlags() const { return have_tx_key_ ? kWorkingKeyFlags : TK2PacketFlags{0}; }

Bytes TSimDevice::Build(std::uint8_t dtype, TK2PacketFlags flags, ByteView payload, std::optional<std::uint8_t> pnum) {
  header_.DType = dtype;
  header_.Flags = flags | AddressFlags();
  if (pnum) header_.PNumOverride = *pnum;
  Bytes packet;
  header_.WriteHeader(packet);
  if (flags & pfEncrypted) {
    const bool working = (flags & pfWorkingKey) != 0;
    aes_.SetKey(working ? tx_work_key_ : config_.MasterKey);
    AppendEncryptedPayload(aes_, header_, payload, packet);
    (working ? tx_work_ : tx_master_) = header_.KeyCounter + 1;
  } else {
    AppendBytes(packet, payload);
  }
  TK2Header::FinishPacket(packet);
  return packet;
}

Bytes TSimDevice::StatusWord(std::uint8_t own_bits) {
  std::uint8_t status = own_bits;
  const std::uint8_t profile = service_profile_.value_or(kInitialProfile);
  for (const EchoBit& bit : kEchoBits) {
    if (profile & bit.profile) status |= bit.status;
  }
  return Build(ServicePackage, kWorkingKeyFlags | pfSync | pfAckRequest, StatusWordFrame(status));
}

Bytes TSimDevice::DataPacket(const std::vector<Bytes>& frames) {
  Bytes payload;
  for (const Bytes& frame : frames) AppendBytes(payload, frame);
  TK2PacketFlags flags = kWorkingKeyFlags | pfAckRequest;
  if (first_data_) flags |= pfResync | pfSync;
  first_data_ = false;
  Bytes packet = Build(DataPackage, flags, payload);
  tx_data_pnum_ = static_cast<std::uint8_t>(tx_data_pnum_ + frames.size());
  return packet;
}

Bytes TSimDevice::ServiceStream(ByteView data) {
  Bytes payload{static_cast<std::uint8_t>(data.size() + 2), ftServiceStream};
  AppendBytes(payload, data);
  return Build(ServicePackage, kWorkingKeyFlags, payload);
}

Bytes TSimDevice::PositiveReceipt() const {
  return Bytes{kReceiptPositive, kReceiptTagFramesPerPacket, config_.FramesPerPacket};
}

Bytes TSimDevice::Receipt(std::uint8_t type, std::uint8_t pnum, const Bytes& payload) {
  return Build(type, AnswerFlags() | pfSync, payload, pnum);
}

std::vector<Bytes> TSimDevice::Receive(ByteView raw) {
  std::vector<Bytes> out;
  if (!TK2Header::CheckLength(raw) || !TK2Header::CheckCrc(raw)) {
    ++refused_;
    return out;
  }
  Bytes payload(raw.begin(), raw.end());
  if (header_.ReadHeader(payload) != hrOk) {
    ++refused_;
    return out;
  }
  const bool encrypted = (header_.Flags & pfEncrypted) != 0;
  if (encrypted) {
    const bool working = (header_.Flags & pfWorkingKey) != 0;
    if (working && !have_rx_key_) {
      ++auth_failures_;
      return out;
    }
    const std::uint32_t counter = ReconstructCounter(header_.KeyCounter, header_.KeyNumber);
    aes_.SetKey(working ? rx_work_key_ : config_.MasterKey);
    if (!DecryptPayload(aes_, header_, counter, payload)) {
      ++auth_failures_;
      return out;
    }
    (working ? rx_work_ : rx_master_) = counter + 1;
  }

  switch (header_.DType) {
    case ServicePackage:
      ReceiveService(payload, encrypted, out);
      break;
    case DataPackage:
      ReceiveData(payload, out);
      break;
    case DataReceipt: {
      const std::optional<TK2Receipt> receipt = ParseReceipt(payload);
      if (receipt && receipt->Code == kReceiptPositive) data_acks_.push_back(header_.PNum);
      break;
    }
    default:
      break;  // service receipts change nothing here
  }
  return out;
}

void TSimDevice::ReceiveService(const Bytes& payload, bool encrypted, std::vector<Bytes>& out) {
  const std::uint8_t pnum = header_.PNum;
  const bool ack_requested = (header_.Flags & pfAckRequest) != 0;
  const TK2ServiceFrame frame = ReadServiceFrame(payload);
  if (frame.FType != ftCommand) {
    service_payloads_.push_back(payload);
    if (ack_requested) out.push_back(Receipt(ServiceReceipt, pnum, PositiveReceipt()));
    return;
  }
  switch (frame.Command) {
    case cmdMasterKeyCounterRequest:
      out.push_back(Build(ServicePackage, pfSync, MasterKeyCounterFrame(rx_master_)));
      return;
    case cmdMasterKeyCounter:
      if (const auto counter = ParseMasterKeyCounter(payload)) tx_master_ = *counter;
      return;
    case cmdWorkingKeyAssignment: {
      const std::optional<TK2WorkingKeyAssignment> assignment = ParseWorkingKeyAssignment(payload);
      if (!encrypted || !assignment) return;
      tx_master_ = assignment->MasterCounter;
      tx_work_key_ = assignment->Key;
      tx_work_ = assignment->WorkCounter;
      have_tx_key_ = true;
      if (assignment->AnswerRequested) {
        rx_work_key_ = NextKey();
        rx_work_ = 0;
        have_rx_key_ = true;
        TK2WorkingKeyAssignment own;
        own.MasterCounter = rx_master_;
        own.Random = NextRandom();
        own.WorkCounter = rx_work_;
        own.Key = rx_work_key_;
        out.push_back(Build(ServicePackage, pfEncrypted | pfSync, WorkingKeyAssignmentFrame(own)));
      }
      return;
    }
    case cmdLogicalDisconnect:
      disconnect_received_ = true;
      return;
    case cmdStatusWord:
      if (const auto status = ParseStatusWord(payload)) service_profile_ = *status;
      break;
    case cmdProfileRequest:
      out.push_back(Build(ServicePackage, AnswerFlags() | pfSync, ProfileFrame()));
      break;
    default:
      break;
  }
  if (ack_requested) out.push_back(Receipt(ServiceReceipt, pnum, PositiveReceipt()));
}

void TSimDevice::ReceiveData(const Bytes& payload, std::vector<Bytes>& out) {
  const std::uint8_t pnum = header_.PNum;
  const TK2PacketFlags flags = header_.Flags;
  data_pnums_.push_back(pnum);
  const bool sync = (flags & pfSync) != 0;
  const bool accept = (sync && ((flags & pfResync) || await_sync_)) || (!await_sync_ && pnum == expected_data_pnum_);
  if (accept) {
    const std::vector<ByteView> frames = SplitFrames(payload);
    for (const ByteView frame : frames) data_frames_.emplace_back(frame.begin(), frame.end());
    last_accepted_pnum_ = static_cast<std::uint8_t>(pnum + (frames.empty() ? 0 : frames.size() - 1));
    expected_data_pnum_ = static_cast<std::uint8_t>(last_accepted_pnum_ + 1);
    await_sync_ = false;
  }
  if (!AcknowledgeData || (flags & pfAckRequest) == 0) return;
  out.push_back(Receipt(DataReceipt, last_accepted_pnum_, PositiveReceipt()));
}

}  // namespace kavor2::k2sim
