#include "k2sim/k2sim_bus.h"

#include <algorithm>

namespace kavor2::k2sim {

using namespace device::serial;
using device::Bytes;
using device::ByteView;

namespace {

constexpr std::uint8_t kSearchAnswer = 0x5A;  // any byte counts as an answer
constexpr std::size_t kShortCommandSize = 3;  // address, command, check
constexpr std::size_t kIdCommandSize = 1 + device::kIdSize + 2;
constexpr std::size_t kConnectBodySize = 1 + device::kIdSize;

}  // namespace

// ---- TSimBusDevice ------------------------------------------------------------------

TSimBusDevice::TSimBusDevice(TBusSimConfig config)
    : config_(std::move(config)), repeat_pending_(config_.RepeatFirstFrame) {}

void TSimBusDevice::Queue(Bytes packet) { outbox_.push_back(std::move(packet)); }

Bytes TSimBusDevice::Reply(std::uint8_t command_check, std::uint8_t meaning) const {
  const auto code = static_cast<std::uint8_t>(meaning | (config_.Capacity & kUnknownCapacity));
  const std::uint8_t reply[] = {code, ReplyCheck(command_check, code)};
  return Stuff(reply);
}

Bytes TSimBusDevice::PollReply(std::uint8_t command_check) {
  if (!pending_ && !outbox_.empty()) {
    pending_ = std::move(outbox_.front());
    outbox_.pop_front();
  }
  if (!pending_) return Reply(command_check, kReplyNotReady);
  Bytes out = Reply(command_check, tx_toggle_);
  AppendStuffed(out, *pending_);
  return out;
}

void TSimBusDevice::Tick() {
  if (!Connected()) {
    announced_ = false;
    return;
  }
  if (announced_) return;
  announced_ = true;
  Queue(sim_->StatusWord(kStatusDataAllowed));
}

// ---- TSimBus ------------------------------------------------------------------------

void TSimBus::Tick() {
  for (auto& d : devices_) d->Tick();
}

void TSimBus::Add(TBusSimConfig config) { devices_.push_back(std::make_unique<TSimBusDevice>(std::move(config))); }

Bytes TSimBus::Feed(ByteView raw) {
  Bytes out;
  for (std::uint8_t byte : raw) {
    if (byte == kSync) {
      // Every frame of the line starts with two sync bytes; one breaks off
      // whatever was being read.
      if (state_ == TState::Command || state_ == TState::LengthFrame) ++rejected_;
      state_ = state_ == TState::Sync ? TState::Command : TState::Sync;
      frame_.clear();
      unstuffer_.Reset();
      continue;
    }
    if (state_ == TState::Sync) state_ = TState::Idle;  // a lone sync byte
    if (state_ == TState::Idle) continue;
    Bytes unstuffed;
    unstuffer_.Feed(ByteView(&byte, 1), unstuffed);
    for (std::uint8_t b : unstuffed) Take(b, out);
  }
  return out;
}

void TSimBus::Take(std::uint8_t byte, Bytes& out) {
  frame_.push_back(byte);
  if (state_ == TState::Command) {
    const std::size_t size = frame_[0] == kIdAddressMark ? kIdCommandSize : kShortCommandSize;
    if (frame_.size() < size) return;
    const ByteView body(frame_.data(), size - 1);
    if (CheckChain(body) != frame_.back()) {
      ++rejected_;
      state_ = TState::Idle;
      return;
    }
    command_check_ = frame_.back();
    state_ = TState::Idle;
    HandleCommand(out);
    return;
  }
  // A length frame.
  if (frame_[0] < kLengthFrameOverhead) {
    ++rejected_;
    state_ = TState::Idle;
    return;
  }
  if (frame_.size() < frame_[0]) return;
  state_ = TState::Idle;
  if (!LengthFrameValid(frame_)) {
    ++rejected_;
    return;
  }
  HandleLengthFrame(out);
}

TSimBusDevice* TSimBus::ByShortAddr(std::uint8_t address) {
  for (auto& d : devices_) {
    if (d->short_addr_ == address) return d.get();
  }
  return nullptr;
}

TSimBusDevice* TSimBus::Addressed(ByteView address_part) {
  if (address_part[0] != kIdAddressMark) return ByShortAddr(address_part[0]);
  device::DeviceId id{};
  std::copy_n(address_part.begin() + 1, device::kIdSize, id.begin());
  for (auto& d : devices_) {
    if (d->Id() == id) return d.get();
  }
  return nullptr;
}

void TSimBus::HandleCommand(Bytes& out) {
  const std::size_t address_size = frame_[0] == kIdAddressMark ? 1 + device::kIdSize : 1;
  const std::uint8_t command = frame_[address_size];
  if (frame_[0] == kSearchAddress && command == kSearchCommand) {
    follow_ = TFollow::Search;
    state_ = TState::LengthFrame;
    frame_.clear();
    return;
  }
  TSimBusDevice* device = Addressed(ByteView(frame_.data(), address_size));
  frame_.clear();
  if (!device) return;  // nobody with that address: silence
  const auto offset = static_cast<std::uint8_t>(command - kCmdBase);
  switch (offset) {
    case kOffsetPoll: {
      const Bytes reply = device->PollReply(command_check_);
      out.insert(out.end(), reply.begin(), reply.end());
      return;
    }
    case kToggleA:
    case kToggleB:
      follow_ = TFollow::Data;
      target_ = device;
      toggle_ = offset;
      state_ = TState::LengthFrame;
      return;
    case kOffsetAckA:
    case kOffsetAckB: {
      if (!device->pending_) return;
      if (device->repeat_pending_) {
        // Missed: the same frame comes again at the next poll.
        device->repeat_pending_ = false;
        ++device->repeats_;
        return;
      }
      const bool same = ToggleOfAck(offset) == device->tx_toggle_;
      device->pending_.reset();
      device->tx_toggle_ = OtherToggle(device->tx_toggle_);
      // The acknowledge of the other toggle: the line had the frame already
      // and waits for what comes next, as after a poll.
      if (!same) {
        const Bytes reply = device->PollReply(command_check_);
        out.insert(out.end(), reply.begin(), reply.end());
      }
      return;
    }
    case kOffsetConnect:
      follow_ = TFollow::Connect;
      target_ = device;
      state_ = TState::LengthFrame;
      return;
    case kOffsetQuery: {
      Bytes reply = device->Reply(command_check_, kReplyQuery);
      AppendStuffed(reply, BuildLengthFrame(device->Id()));
      out.insert(out.end(), reply.begin(), reply.end());
      return;
    }
    default:
      return;
  }
}

void TSimBus::HandleLengthFrame(Bytes& out) {
  const ByteView body(frame_.data() + 1, frame_.size() - kLengthFrameOverhead);
  switch (follow_) {
    case TFollow::Search:
      ++probes_;
      for (auto& d : devices_) {
        if (!d->short_addr_ && TBusSearch::Matches(body, d->Id())) out.push_back(kSearchAnswer);
      }
      break;
    case TFollow::Connect: {
      if (body.size() != kConnectBodySize || !target_) break;
      device::DeviceId line{};
      std::copy_n(body.begin() + 1, device::kIdSize, line.begin());
      target_->short_addr_ = body[0];
      ++target_->connects_;
      if (!target_->sim_ || target_->line_address_ != line) {
        TSimConfig config;
        config.Id = target_->Id();
        config.LineAddress = line;
        config.MasterKey = target_->config_.MasterKey;
        config.AddressesOnWire = false;
        config.TxMasterCounter = target_->config_.TxMasterCounter;
        config.Seed = target_->config_.Seed;
        target_->sim_ = std::make_unique<TSimDevice>(config);
        target_->line_address_ = line;
      }
      const Bytes reply = target_->Reply(command_check_, kReplyAckA);
      out.insert(out.end(), reply.begin(), reply.end());
      break;
    }
    case TFollow::Data: {
      if (!target_) break;
      if (toggle_ == target_->rx_expected_) {
        target_->rx_expected_ = OtherToggle(toggle_);
        if (target_->sim_) {
          for (Bytes& answer : target_->sim_->Receive(frame_)) target_->Queue(std::move(answer));
        }
        const Bytes reply = target_->Reply(command_check_, AckFor(toggle_));
        out.insert(out.end(), reply.begin(), reply.end());
      } else {
        // Had it already: the acknowledge says which toggle comes next.
        const Bytes reply = target_->Reply(command_check_, AckFor(target_->rx_expected_));
        out.insert(out.end(), reply.begin(), reply.end());
      }
      break;
    }
    case TFollow::None:
      break;
  }
  follow_ = TFollow::None;
  target_ = nullptr;
  frame_.clear();
}

}  // namespace kavor2::k2sim
