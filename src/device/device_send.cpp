// The send path: the builders of the frames this system queues, the
// scheduler over the fifteen send queues, data assembly with its numbering
// and retransmission, the build of a finished packet and the trace of each
// packet handed to the line.
#include <string>
#include <utility>

#include "device/byte_writer.h"
#include "device/device.h"
#include "device/k2_cipher.h"
#include "device/key_exchange.h"
#include "platform/text.h"

namespace kavor2::device {
namespace {

constexpr std::string_view kTraceStatusWord = "- > пакет \"слово состояния\"";
constexpr std::string_view kTraceProfileRequest = "- > запрос профиля";
constexpr std::string_view kTraceProfile = "- > профиль";
constexpr std::string_view kTraceSubscriberPlain = "- > данные об абоненте (cервисный нешифрованный поток) ";
constexpr std::string_view kTraceSubscriberData = "- > данные об абоненте ";
constexpr std::string_view kTracePlainNak = "- > отрицательная нешифрованная квитанция ";
constexpr std::string_view kTracePlainAck = "- > положительная нешифрованная квитанция ";
constexpr std::string_view kTraceNak = "- > отрицательная квитанция ";
constexpr std::string_view kTraceAck = "- > положительная квитанция ";
constexpr std::string_view kTraceOnService = "на сервисный пакет";
constexpr std::string_view kTraceOnData = "на пакет даных";
constexpr std::string_view kTraceDataHead = "-> команда (";
constexpr std::string_view kTraceResync = "- > повторная синхронизация pNum";
constexpr std::string_view kTraceTimeoutResend = "- > повтор по таймауту ";
constexpr std::string_view kTraceSentFrame = " - > ";

constexpr TK2PacketFlags kWorkingKeyFlags = pfEncrypted | pfWorkingKey;

std::string Cp(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

std::string ReceiptTrace(std::string_view head, std::uint8_t receipt_type) {
  return Cp(head) + Cp(receipt_type == DataReceipt ? kTraceOnData : kTraceOnService);
}

bool IsReceiptQueue(std::size_t index) {
  return index == sqPlainReceipt || index == sqServiceReceipt || index == sqDataReceipt;
}

}  // namespace

// ---- Builders --------------------------------------------------------------------------

bool TDevice::QueueStatusWord() {
  std::lock_guard engine(EngineLock);
  return Enqueue(NewServiceMessage(kWorkingKeyFlags | pfSync | pfAckRequest, StatusWordFrame(ProfileByte()),
                                   Cp(kTraceStatusWord)),
                 sqStatusWord);
}

bool TDevice::QueueProfileRequest() {
  return Enqueue(NewServiceMessage(kWorkingKeyFlags | pfSync, CommandFrame(cmdProfileRequest), Cp(kTraceProfileRequest)),
                 sqProfile);
}

bool TDevice::QueueProfile() {
  return Enqueue(NewServiceMessage(kWorkingKeyFlags | pfSync, ProfileFrame(), Cp(kTraceProfile)), sqProfile);
}

bool TDevice::QueueSubscriberData(std::uint16_t subscriber, bool plain_stream) {
  if (plain_stream) {
    return Enqueue(NewServiceMessage(pfResync | pfSync | pfAckRequest, SubscriberDataFrame(subscriber),
                                     Cp(kTraceSubscriberPlain)),
                   sqPlainService);
  }
  TK2MessagePtr message = NewServiceMessage(kWorkingKeyFlags | pfResync | pfSync | pfAckRequest,
                                            SubscriberDataFrame(subscriber), Cp(kTraceSubscriberData));
  message->DType = DataPackage;
  return Enqueue(std::move(message), sqData);
}

bool TDevice::PlainReceipt(std::uint8_t code, std::uint8_t pnum, std::uint8_t acknowledged_dtype) {
  const std::uint8_t type = acknowledged_dtype == DataPackage ? DataReceipt : ServiceReceipt;
  TK2MessagePtr message = NewServiceMessage(0, ReceiptPayload(code),
                                            ReceiptTrace(code != kReceiptPositive ? kTracePlainNak : kTracePlainAck, type));
  message->DType = type;
  message->PNum = pnum;
  return Enqueue(std::move(message), sqPlainReceipt);
}

bool TDevice::Receipt(std::uint8_t code) {
  std::lock_guard engine(EngineLock);
  std::uint8_t type = 0;
  std::size_t queue = 0;
  if (Header.DType == ServicePackage) {
    type = ServiceReceipt;
    queue = sqServiceReceipt;
  } else if (Header.DType == DataPackage) {
    type = DataReceipt;
    queue = sqDataReceipt;
  } else {
    return false;
  }
  TK2MessagePtr message = NewServiceMessage(kWorkingKeyFlags | pfSync, ReceiptPayload(code),
                                            ReceiptTrace(code != kReceiptPositive ? kTraceNak : kTraceAck, type));
  message->DType = type;
  message->PNum = Header.PNum;
  return Enqueue(std::move(message), queue);
}

// ---- Scheduler ---------------------------------------------------------------------------

void TDevice::ScheduleNext() {
  std::lock_guard engine(EngineLock);
  PostSentTrace();
  StampPreviousPacket();

  std::size_t index = 0;
  while (index < kSendQueueCount && SendQueues[index].IsEmpty()) ++index;
  if (index == kSendQueueCount) return;

  // Only the lowest waiting queue is looked at in this call.
  TK2MessagePtr message;
  if (index == sqProfile || index == sqStatusWord) {
    if (!Connected) return;
    message = SendQueues[index].TryPopFront();
  } else if (index == sqData) {
    message = AssembleData();
  } else {
    message = SendQueues[index].TryPopFront();
  }
  if (!message) return;

  auto copy = std::make_unique<TK2Message>();
  copy->CopyFrom(*message);
  if (index == sqWorkingKeyAssignment) MaskAssignmentKey(copy->Data);
  if (IsReceiptQueue(index)) {
    Header.PNumOverride = message->PNum;
  } else if (index == sqStatusWord && (LiveState & lvRepeat)) {
    Header.PNumOverride = StatusPNum;
  }

  if (!BuildPacket(*message)) {
    // Too long for the length byte (a client's service submission): it is
    // dropped before it takes a number or a key counter.
    Header.PNumOverride = TK2Header::kNoPNumOverride;
    if (index == sqData) in_flight_frames_.clear();
    return;
  }
  if (index == sqStatusWord) StatusPNum = message->PNum;
  if (index == sqData) DataInFlightPNum = message->PNum;
  copy->PNum = message->PNum;
  copy->KeyCounter = message->KeyCounter;
  copy->Flags = message->Flags;
  LastSentCopy = std::move(copy);
  if (index == sqStatusWord && (LiveState & lvRepeat)) CountTraffic(&TTrafficCounters::Retransmissions);
  if (PushWire(std::move(message))) TTrafficCounters::Bump(Counters.PacketsOut);
  LastSentQueue = static_cast<std::uint8_t>(index);
}

void TDevice::StampPreviousPacket() {
  switch (LastSentQueue) {
    case sqMasterCounterRequest:
    case sqWorkingKeyAssignment:
      KeyRequestTime = CounterNow();
      break;
    case sqStatusWord:
      LastLiveTime = CounterNow();
      LiveState |= lvSent;
      break;
    case sqData:
      DataSentTime = CounterNow();
      break;
    default:
      break;
  }
  LastSentQueue = kNoSendQueue;
}

void TDevice::PostSentTrace() {
  if (!LastSentCopy) return;
  TK2MessagePtr copy(std::move(LastSentCopy));
  if (LastSentQueue != sqData) {
    // Plain service packets carry client service data: reported as data.
    const std::int32_t kind = LastSentQueue == sqPlainService ? std::int32_t{DataPackage} : copy->DType;
    PostDeviceData(kind, std::move(copy));
    return;
  }
  const std::vector<ByteView> frames = SplitFrames(copy->Data);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto frame = std::make_shared<TK2Message>();
    frame->DType = copy->DType;
    frame->Flags = copy->Flags;
    frame->KeyCounter = copy->KeyCounter;
    frame->PNum = static_cast<std::uint8_t>(copy->PNum + i);
    frame->Data.assign(frames[i].begin(), frames[i].end());
    frame->TraceText = Cp(kTraceSentFrame);
    if (frames.size() > 1) frame->TraceText += "[ " + std::to_string(i) + " ] ";
    PostDeviceData(DataPackage, std::move(frame));
  }
}

// ---- Data assembly -----------------------------------------------------------------------

bool TDevice::InFlightFramesAtFront() const {
  if (in_flight_frames_.empty()) return false;
  for (std::size_t i = 0; i < in_flight_frames_.size(); ++i) {
    if (SendQueues[sqData].Item(i) != in_flight_frames_[i]) return false;
  }
  return true;
}

TK2MessagePtr TDevice::AssembleData() {
  const bool in_flight = DataSentTime != 0;
  const bool due = (in_flight && MoreThanMilliseconds(DataSentTime, CommandTimeOut)) || ResendNow;
  if (!Connected || (Header.Profile & kProfileDataAllowed) == 0) return nullptr;
  if (!SendResync && in_flight && !due) return nullptr;

  DataBudget = static_cast<std::uint8_t>(MaxPayload(SenderOnWire, ReceiverOnWire, true));
  // A resend carries exactly the frames that were sent, under the same PNum;
  // it is encrypted anew because the device's key counter has moved on if
  // the first copy arrived.
  const bool resend = in_flight && InFlightFramesAtFront();
  if (!resend) {
    // A clear may have dropped the frames of the packet in flight.
    DataSentTime = 0;
    in_flight_frames_.clear();
    if (PeerParameter == 0) PeerParameter = kDefaultPeerParameter;
    if (PeerFramesPerPacket == 0) PeerFramesPerPacket = kDefaultFramesPerPacket;
    PeerParameterInForce = PeerParameter;
    FramesPerPacket = PeerFramesPerPacket;
  }
  ResendNow = false;

  auto message = std::make_shared<TK2Message>();
  if (resend) {
    if (data_resends_ >= kMaxDataResends) {
      Reset();
      KeyExchangeState = ksIdle;
      return nullptr;
    }
    ++data_resends_;
    CountTraffic(&TTrafficCounters::Retransmissions);
    for (const auto& frame : in_flight_frames_) AppendBytes(message->Data, frame->Data);
    FramesInFlight = static_cast<std::int32_t>(in_flight_frames_.size());
    BytesInFlight = static_cast<std::uint16_t>(message->Data.size());
  } else {
    const auto front = SendQueues[sqData].TryPeekFront();
    if (front && front->Data.size() > DataBudget) {
      // No packet can ever carry it, and it would hold back every frame
      // behind it.
      SendQueues[sqData].PopFrontIf(front.get());
      return nullptr;
    }
    FramesInFlight = 0;
    BytesInFlight = 0;
    data_resends_ = 0;
    for (std::size_t i = 0;; ++i) {
      const auto frame = SendQueues[sqData].Item(i);
      if (!frame || frame->Data.size() + message->Data.size() > DataBudget) break;
      ++FramesInFlight;
      BytesInFlight = static_cast<std::uint16_t>(BytesInFlight + frame->Data.size());
      AppendBytes(message->Data, frame->Data);
      in_flight_frames_.push_back(frame);
      if (FramesInFlight >= FramesPerPacket) break;
    }
    if (in_flight_frames_.empty()) return nullptr;
  }

  message->TraceText = Cp(kTraceDataHead) + std::to_string(FramesInFlight) + ")";
  if (resend) {
    SendSync = true;
    Header.PNumOverride = DataInFlightPNum;
    message->TraceText = Cp(SendResync ? kTraceResync : kTraceTimeoutResend);
  }
  message->DType = DataPackage;
  message->Flags = kWorkingKeyFlags | pfAckRequest | AddressFlags();
  if (SendResync) {
    message->Flags |= pfResync;
    SendResync = false;
    SendSync = true;
  }
  if (SendSync) {
    message->Flags |= pfSync;
    SendSync = false;
  }
  return message;
}

// ---- Build ----------------------------------------------------------------------------------

bool TDevice::BuildPacket(TK2Message& message) {
  const bool encrypted = (message.Flags & pfEncrypted) != 0;
  const bool working = (message.Flags & pfWorkingKey) != 0;
  const bool sender = (message.Flags & pfSenderAddress) && SenderOnWire;
  const bool receiver = (message.Flags & pfReceiverAddress) && ReceiverOnWire;
  if (message.Data.size() > MaxPayload(sender, receiver, encrypted)) return false;

  Header.DType = message.DType;
  Header.Flags = message.Flags;
  Bytes packet;
  if (!Header.WriteHeader(packet)) return false;
  if (encrypted) {
    Aes.SetKey(working ? TxWorkKey : MasterKey);
    AppendEncryptedPayload(Aes, Header, message.Data, packet);
    std::uint32_t& counter = working ? TxWorkCounter : TxMasterCounter;
    counter = Header.KeyCounter + 1;
    // The last counter of a working key is never used: a new key is due.
    if (working && counter == kMaxKeyCounter) KeyExchangeState = ksStart;
    WipeBytes(message.Data);
  } else {
    AppendBytes(packet, message.Data);
  }
  TK2Header::FinishPacket(packet);
  message.Data = std::move(packet);
  message.PNum = Header.PNum;
  message.Flags = Header.Flags;
  message.KeyCounter = encrypted ? Header.KeyCounter : 0;
  return true;
}

}  // namespace kavor2::device
