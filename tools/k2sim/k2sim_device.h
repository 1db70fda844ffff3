#pragma once
// TSimDevice: the device side of the K2 protocol, for tests and the device
// simulator. It answers this system's key exchange (the master key counter
// and its own working key in return), acknowledges data and status words,
// and builds the packets a device sends on its own: status words, data
// frames, service stream data and receipts. It uses the same header, frame
// and cipher code as the service, with the roles of sender and receiver
// swapped.
//
// Like the engine it does no I/O: packets go in as bytes and the answers
// come out as bytes. It is not thread-safe; one thread drives it.
#include <cstdint>
#include <optional>
#include <vector>

#include "device/fixed_keys.h"
#include "device/id_key_text.h"
#include "device/k2_frames.h"
#include "device/k2_header.h"
#include "platform/aes128.h"

namespace kavor2::k2sim {

using device::Bytes;
using device::ByteView;

// Status bits a device reports about itself (the low bit of each pair).
inline constexpr std::uint8_t kStatusDataAllowed = 0x20;  // the service may send data

struct TSimConfig {
  device::DeviceId Id{};           // the device's ID in stored order
  device::DeviceId LineAddress{};  // the line's address: ReverseId of its OwnId
  device::DeviceKey MasterKey = device::DefaultKey;
  bool AddressesOnWire = true;     // Ethernet: both addresses; serial: none
  std::uint8_t FramesPerPacket = 1;  // announced in every receipt it sends
  // Counters it expects and sends with first under the master key.
  std::uint32_t RxMasterCounter = 0;
  std::uint32_t TxMasterCounter = 0;
  std::uint32_t Seed = 1;  // its working keys and random values
};

class TSimDevice final : private device::IK2HeaderOwner {
 public:
  explicit TSimDevice(TSimConfig config);

  // A packet from the service: checked, decrypted and handled. Returns the
  // packets the device sends back, in order (none for a packet it refuses).
  std::vector<Bytes> Receive(ByteView packet);

  // ---- Packets the device starts ----------------------------------------------------
  // A status word with the device's own bits and its copy of the service's
  // profile bits, under the working key, asking for a receipt.
  Bytes StatusWord(std::uint8_t own_bits);
  // A data packet carrying the frames, numbered on from the last one; the
  // first carries the resync mark.
  Bytes DataPacket(const std::vector<Bytes>& frames);
  // Service stream data (FType 4) under the working key.
  Bytes ServiceStream(ByteView data);
  // A receipt for a packet of the service: `type` is ServiceReceipt or
  // DataReceipt, `payload` its code and tags. Under the working key once it
  // has one, plain otherwise.
  Bytes Receipt(std::uint8_t type, std::uint8_t pnum, const Bytes& payload);
  // Any packet: encrypted with the key the flags select (the address flags
  // are added), with the PNum given or the automatic one.
  Bytes Build(std::uint8_t dtype, device::TK2PacketFlags flags, ByteView payload,
              std::optional<std::uint8_t> pnum = std::nullopt);

  // ---- What it has seen ---------------------------------------------------------------
  // It holds a working key each way.
  bool Connected() const { return have_tx_key_ && have_rx_key_; }
  // Data frames accepted from the service, in order, each once.
  const std::vector<Bytes>& DataFrames() const { return data_frames_; }
  // Every data packet that arrived intact, resends included, as PNums.
  const std::vector<std::uint8_t>& DataPNums() const { return data_pnums_; }
  // Service stream and plain service payloads (FType other than 1).
  const std::vector<Bytes>& ServicePayloads() const { return service_payloads_; }
  // The profile byte of the service's last status word.
  std::optional<std::uint8_t> ServiceProfile() const { return service_profile_; }
  bool DisconnectReceived() const { return disconnect_received_; }
  // Receipts from the service: the PNums of positive data receipts.
  const std::vector<std::uint8_t>& DataAcks() const { return data_acks_; }
  std::size_t RefusedPackets() const { return refused_; }
  std::size_t AuthFailures() const { return auth_failures_; }

  // ---- Behaviour ----------------------------------------------------------------------
  bool AcknowledgeData = true;  // answer data packets with receipts

 private:
  // IK2HeaderOwner: the device sends as itself to the line and reads what
  // the line sends it.
  device::DeviceId HeaderDeviceId() const override { return config_.LineAddress; }
  device::DeviceId HeaderLineAddress() const override { return config_.Id; }
  bool HeaderSenderOnWire() const override { return config_.AddressesOnWire; }
  bool HeaderReceiverOnWire() const override { return config_.AddressesOnWire; }
  std::uint8_t TakeServicePNum() override { return tx_service_pnum_++; }
  std::uint8_t DataPNum() const override { return tx_data_pnum_; }
  std::uint32_t TxKeyCounter(bool working_key) const override { return working_key ? tx_work_ : tx_master_; }
  std::uint32_t RxKeyCounter(bool working_key) const override { return working_key ? rx_work_ : rx_master_; }

  device::TK2PacketFlags AddressFlags() const;
  // Working key once it has one, plain otherwise.
  device::TK2PacketFlags AnswerFlags() const;
  // Code 0 and the frames per packet it accepts.
  Bytes PositiveReceipt() const;
  void ReceiveService(const Bytes& payload, bool encrypted, std::vector<Bytes>& out);
  void ReceiveData(const Bytes& payload, std::vector<Bytes>& out);
  device::DeviceKey NextKey();
  std::uint32_t NextRandom();

  TSimConfig config_;
  device::TK2Header header_{this};
  platform::Aes128 aes_{device::DefaultKey};
  std::uint32_t random_state_;

  device::DeviceKey rx_work_key_{};  // assigned to the service; decrypts what it sends
  device::DeviceKey tx_work_key_{};  // assigned by the service; encrypts what the device sends
  bool have_rx_key_ = false;
  bool have_tx_key_ = false;
  std::uint32_t rx_master_;
  std::uint32_t tx_master_;
  std::uint32_t rx_work_ = 0;
  std::uint32_t tx_work_ = 0;

  std::uint8_t tx_service_pnum_ = 0;
  std::uint8_t tx_data_pnum_ = 0;
  bool first_data_ = true;
  bool await_sync_ = true;
  std::uint8_t expected_data_pnum_ = 0;
  std::uint8_t last_accepted_pnum_ = 0;

  std::vector<Bytes> data_frames_;
  std::vector<std::uint8_t> data_pnums_;
  std::vector<Bytes> service_payloads_;
  std::optional<std::uint8_t> service_profile_;
  std::vector<std::uint8_t> data_acks_;
  bool disconnect_received_ = false;
  std::size_t refused_ = 0;
  std::size_t auth_failures_ = 0;
};

}  // namespace kavor2::k2sim
