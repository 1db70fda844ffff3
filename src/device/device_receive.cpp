// The receive path: the checks of a received packet in their order, its
// decryption, and the handling of receipts, service packets and data
// packets. Every packet that is refused becomes a trace record; nothing here
// reads past the packet.
#include <string>
#include <utility>

#include "device/device.h"
#include "device/key_exchange.h"
#include "platform/text.h"

namespace kavor2::device {
namespace {

constexpr std::string_view kTraceDisabled = "<- прибору запрещено общение";
constexpr std::string_view kTraceBadLength = "< - неверная длина пакета";
constexpr std::string_view kTraceBadCrc = "< - ошибка CRC16";
constexpr std::string_view kTraceNotConnected = "< - пакет получен при не установленном соединении";
constexpr std::string_view kTraceAuthFailed = "< - ошибка кода аутентификации ";
constexpr std::string_view kTraceAuthCounter = " СЧРК:";
constexpr std::string_view kTraceBadHeader = "< - ошибка заголовка пакета";
constexpr std::string_view kTraceBadNumber = "< - ошибка номера пакета , (ожидаемый ";
constexpr std::string_view kTraceBadNumberCounter = " СЧРК (";
constexpr std::string_view kTraceServiceAck = "< - положительная квитанция  на сервисный пакет";
constexpr std::string_view kTraceDataAck = "< - положительная квитанция на пакет данных";
constexpr std::string_view kTraceServiceNak = "< - отрицательная квитанция на сервисный пакет";
constexpr std::string_view kTraceDataNak = "< - отрицательная квитанция на пакет данных";
constexpr std::string_view kTraceRoutesRequest = "< - запрос маршрутов ";
constexpr std::string_view kTraceRoute = "< - маршрут (";
constexpr std::string_view kTraceStatusWord = "< - пакет \"слово состояния\"";
constexpr std::string_view kTraceProfileRequest = "< - запрос профиля";
constexpr std::string_view kTraceProfile = "< - профиль";
constexpr std::string_view kTraceUnknownCommand = "< - неизвесный тип пакета";
constexpr std::string_view kTraceStreamCommand = "< - команда в сервисном потоке";
constexpr std::string_view kTraceServiceStream = "< - сервисный поток :";
constexpr std::string_view kTraceUnknownFType = "< - неизвестное значение FType пакета";
constexpr std::string_view kTraceUnknownDType = "< - неизвестный DType пакета";
constexpr std::string_view kTraceDataFrame = "< - ";

// The outcome of the header, numbering and authentication checks.
enum TReceiveResult : std::uint8_t {
  rrAccepted = 0,
  rrAuthFailed = 1,
  rrBadHeader = 2,
  rrOutOfSequence = 3,  // data packets only: decrypted, traced, not delivered
};

std::string Cp(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

std::string FrameIndexText(std::size_t index) { return "[ " + std::to_string(index) + " ] "; }

// A receipt whose tags are cut off still counts with the code it starts
// with; its tags then keep their defaults.
TK2Receipt ReadReceipt(ByteView payload) {
  if (std::optional<TK2Receipt> receipt = ParseReceipt(payload)) return *receipt;
  TK2Receipt receipt;
  receipt.Empty = payload.empty();
  if (!payload.empty()) receipt.Code = payload[0];
  return receipt;
}

}  // namespace

// ---- Records -----------------------------------------------------------------------

void TDevice::PostTrace(std::int32_t kind, TK2MessagePtr message, std::string text) {
  message->TraceText = std::move(text);
  PostDeviceData(kind, std::move(message));
}

void TDevice::TraceUnparsed(TK2MessagePtr message, std::string_view utf8_text) {
  const ByteView raw = message->Data;
  message->DType = TK2Header::PeekDType(raw);
  message->Flags = TK2Header::PeekFlags(raw);
  message->PNum = TK2Header::PeekPNum(raw);
  message->KeyCounter = 0;
  const std::int32_t kind = message->DType;
  PostTrace(kind, std::move(message), Cp(utf8_text));
}

// ---- Entry points ------------------------------------------------------------------

void TDevice::RejectDisabled(TK2MessagePtr message) {
  if (!message) return;
  std::lock_guard engine(EngineLock);
  const ByteView raw = message->Data;
  // A receipt names the packet's number and type; for a packet that is not
  // even intact those are noise, so only the trace is left.
  TTrafficCounters::Bump(Counters.PacketsIn);
  const bool whole = TK2Header::CheckLength(raw);
  const bool intact = whole && TK2Header::CheckCrc(raw);
  if (whole && !intact) CountTraffic(&TTrafficCounters::CrcErrors);
  const std::uint8_t pnum = TK2Header::PeekPNum(raw);
  const std::uint8_t dtype = TK2Header::PeekDType(raw);
  TraceUnparsed(std::move(message), kTraceDisabled);
  if (intact) PlainReceipt(kReceiptNotAllowed, pnum, dtype);
}

void TDevice::ApplyStatusWord(std::uint8_t status) {
  std::lock_guard engine(EngineLock);
  const bool stale_copy = Header.ApplyStatusWord(status);
  if (AckedServicePNum == StatusPNum && stale_copy) ProfileChanged = true;
}

void TDevice::Receive(TK2MessagePtr message) {
  if (!message) return;
  std::lock_guard engine(EngineLock);
  TTrafficCounters::Bump(Counters.PacketsIn);

  // 1-3: checks on the raw packet.
  {
    const ByteView raw = message->Data;
    if (!TK2Header::CheckLength(raw)) return TraceUnparsed(std::move(message), kTraceBadLength);
    if (!TK2Header::CheckCrc(raw)) {
      CountTraffic(&TTrafficCounters::CrcErrors);
      return TraceUnparsed(std::move(message), kTraceBadCrc);
    }
    if (!Connected) {
      const std::uint8_t dtype = TK2Header::PeekDType(raw);
      const TK2PacketFlags flags = TK2Header::PeekFlags(raw);
      const std::uint8_t pnum = TK2Header::PeekPNum(raw);
      // Before the keys are exchanged only the exchange itself may pass.
      const bool passes = dtype == ServicePackage || (dtype == ServiceReceipt && (flags & pfEncrypted) == 0);
      if (!passes) {
        TraceUnparsed(std::move(message), kTraceNotConnected);
        if (flags & (pfEncrypted | pfAckRequest)) PlainReceipt(kReceiptNoConnection, pnum, dtype);
        return;
      }
    }
  }

  // 4: header, numbering and decryption.
  const TK2HeaderResult header = Header.ReadHeader(message->Data);
  message->DType = Header.DType;
  message->Flags = Header.Flags;
  message->PNum = Header.PNum;
  message->KeyCounter = 0;
  if (header == hrTruncated || header == hrNoDevice) {
    // The flags name fields the packet cannot hold; nothing else is known.
    return PostTrace(Header.DType, std::move(message), Cp(kTraceBadHeader));
  }

  TReceiveResult result = header == hrBadVersion ? rrBadHeader : rrAccepted;
  const bool encrypted = (Header.Flags & pfEncrypted) != 0;
  const bool working = (Header.Flags & pfWorkingKey) != 0;
  if (encrypted && working) LastLiveTime = CounterNow();

  // The numbering is decided here but applied only to a packet that passes
  // its authentication: a forged sync mark must not move it.
  bool advance_numbering = false;
  if (Header.DType == DataPackage) {
    const bool sync = (Header.Flags & pfSync) != 0;
    const bool resync = (Header.Flags & pfResync) != 0;
    if (sync && (resync || AwaitSync)) {
      advance_numbering = true;
    } else if (AwaitSync || Header.PNum != ExpectedDataPNum) {
      result = rrOutOfSequence;
    } else {
      advance_numbering = true;
    }
  }

  if (encrypted) {
    message->KeyCounter = Header.KeyCounter;
    std::uint32_t counter = 0;
    if (!DecryptReceived(message->Data, counter)) result = rrAuthFailed;
    if (result == rrAccepted || result == rrOutOfSequence) {
      (working ? RxWorkCounter : RxMasterCounter) = counter + 1;
      if (working) LastRxTime = CounterNow();
    }
  }
  if (result == rrAccepted && advance_numbering) {
    ExpectedDataPNum = static_cast<std::uint8_t>(Header.PNum + 1);
    AwaitSync = false;
  }

  // 5: by the result.
  switch (result) {
    case rrAuthFailed: {
      CountTraffic(&TTrafficCounters::AuthErrors);
      const std::uint8_t pnum = Header.PNum;
      const std::uint8_t dtype = Header.DType;
      std::string trace = Cp(kTraceAuthFailed);
      trace += Cp(kTraceAuthCounter);
      trace += std::to_string(Header.KeyCounter);
      trace += ' ';
      PostTrace(dtype, std::move(message), std::move(trace));
      if (!working) {
        PlainReceipt(kReceiptMasterAuthFailed, pnum, dtype);
        MasterCounterKnown = false;
        KeyExchangeState = ksStart;
      } else if (KeyExchangeState == ksIdle) {
        KeyExchangeState = ksStart;
      }
      return;
    }
    case rrBadHeader:
      return PostTrace(Header.DType, std::move(message), Cp(kTraceBadHeader));
    case rrOutOfSequence:
      return ReceiveOutOfSequence(std::move(message));
    case rrAccepted:
      break;
  }

  switch (Header.DType) {
    case ServiceReceipt:
      return ReceiveServiceReceipt(std::move(message));
    case DataReceipt:
      return ReceiveDataReceipt(std::move(message));
    case ServicePackage:
      return ReceiveServicePackage(std::move(message));
    case DataPackage:
      return ReceiveDataPackage(std::move(message));
    default:
      return PostTrace(Header.DType, std::move(message), Cp(kTraceUnknownDType));
  }
}

// ---- Receipts ------------------------------------------------------------------------

void TDevice::ApplyReceiptTags(const TK2Receipt& receipt) {
  if (receipt.Empty) return;
  if (receipt.ResendNow) ResendNow = true;
  PeerParameter = receipt.PeerParameter;
  PeerFramesPerPacket = receipt.FramesPerPacket;
}

void TDevice::ReceiveServiceReceipt(TK2MessagePtr message) {
  const TK2Receipt receipt = ReadReceipt(message->Data);
  if (receipt.Code != kReceiptPositive) return ReceiveNegativeReceipt(std::move(message), receipt.Code);
  AckedServicePNum = message->PNum;
  ApplyReceiptTags(receipt);
  PostTrace(ServiceReceipt, std::move(message), Cp(kTraceServiceAck));
}

void TDevice::ReceiveDataReceipt(TK2MessagePtr message) {
  const TK2Receipt receipt = ReadReceipt(message->Data);
  if (receipt.Code != kReceiptPositive) return ReceiveNegativeReceipt(std::move(message), receipt.Code);

  const std::uint8_t pnum = message->PNum;
  // A receipt for the frame before the packet in flight repeats one already
  // handled; with nothing in flight a receipt acknowledges nothing.
  if (Connected && !in_flight_frames_.empty() && pnum != static_cast<std::uint8_t>(DataInFlightPNum - 1)) {
    const std::size_t offset = static_cast<std::uint8_t>(pnum - DataInFlightPNum);
    if (offset >= in_flight_frames_.size()) {
      // The device acknowledges a frame this packet does not hold: its
      // numbering is off, so the packet goes again with the resync mark.
      SendSync = true;
      SendResync = true;
    } else {
      AcknowledgeInFlight(offset + 1);
      TxDataPNum = static_cast<std::uint8_t>(pnum + 1);
      SendSync = true;
      DataSentTime = 0;
    }
  }
  ApplyReceiptTags(receipt);
  PostTrace(DataReceipt, std::move(message), Cp(kTraceDataAck));
}

void TDevice::AcknowledgeInFlight(std::size_t count) {
  for (std::size_t i = 0; i < count && i < in_flight_frames_.size(); ++i) {
    // Only the frames that were sent leave the queue, even if a clear
    // emptied it meanwhile and new frames stand at the front.
    if (!SendQueues[sqData].PopFrontIf(in_flight_frames_[i].get())) break;
  }
  in_flight_frames_.clear();
  data_resends_ = 0;
}

// A device's negative receipt. Codes 5 and 6 say the device does not (or no
// longer) hold a connection with this system: a connection this system
// still counts as up is dropped and the key exchange starts again; while
// the exchange runs it goes on by its own timer, so a device answering each
// request with a refusal does not drive it round at the rate of its
// answers. Code 7 says the device could not authenticate a master-key
// packet. Any other code on a data receipt refuses the front frame of the
// packet in flight, which is dropped so that the frames after it can go.
void TDevice::ReceiveNegativeReceipt(TK2MessagePtr message, std::uint8_t code) {
  const std::uint8_t type = message->DType;
  const bool data = type == DataReceipt;
  const std::uint8_t pnum = message->PNum;
  PostTrace(type, std::move(message), Cp(data ? kTraceDataNak : kTraceServiceNak));

  switch (code) {
    case kReceiptNotAllowed:
    case kReceiptNoConnection:
      if (Connected) {
        Reset();
        KeyExchangeState = ksStart;
      }
      if (code == kReceiptNotAllowed) PostDeviceState(kStateRefused);
      return;
    case kReceiptMasterAuthFailed:
      MasterCounterKnown = false;
      if (KeyExchangeState == ksIdle) KeyExchangeState = ksStart;
      return;
    default:
      break;
  }
  if (!data || !Connected || in_flight_frames_.empty()) return;
  const std::size_t offset = static_cast<std::uint8_t>(pnum - DataInFlightPNum);
  if (offset >= in_flight_frames_.size()) return;
  SendQueues[sqData].PopFrontIf(in_flight_frames_.front().get());
  in_flight_frames_.clear();
  data_resends_ = 0;
  SendSync = true;
  DataSentTime = 0;
}

// ---- Service packets -----------------------------------------------------------------

void TDevice::ReceiveServicePackage(TK2MessagePtr message) {
  const TK2ServiceFrame frame = ReadServiceFrame(message->Data);
  const bool ack_requested = (message->Flags & pfAckRequest) != 0;

  switch (frame.FType) {
    case ftCommand:
      break;
    case ftStreamCommand: {
      const std::vector<ByteView> frames = SplitFrames(message->Data);
      const std::optional<std::uint16_t> subscriber =
          frames.empty() ? std::nullopt : SubscriberDataRequestNumber(frames.front(), true);
      PostTrace(ServicePackage, std::move(message), Cp(kTraceStreamCommand));
      if (subscriber) QueueSubscriberData(*subscriber, true);
      return;
    }
    case ftServiceStream:
      message->Deliver = true;
      return PostTrace(DataPackage, std::move(message), Cp(kTraceServiceStream));
    default:
      PostTrace(ServicePackage, std::move(message), Cp(kTraceUnknownFType));
      Receipt(kReceiptFTypeUndefined);
      return;
  }

  switch (frame.Command) {
    case cmdMasterKeyCounterRequest:
    case cmdMasterKeyCounter:
    case cmdWorkingKeyAssignment:
      return ReceiveKeyCommand(std::move(message), frame.Command, frame.Length);
    case cmdRoutesRequest:
      PostTrace(ServicePackage, std::move(message), Cp(kTraceRoutesRequest));
      if (ack_requested) Receipt();
      return;
    case cmdRoute: {
      ReportRoute(message->Data);
      std::string trace = Cp(kTraceRoute);
      trace += std::to_string(frame.Command);
      trace += ')';
      PostTrace(ServicePackage, std::move(message), std::move(trace));
      if (ack_requested) Receipt();
      return;
    }
    case cmdStatusWord:
      // The frame reads as zeros past the payload.
      ApplyStatusWord(ParseStatusWord(message->Data).value_or(0));
      PostTrace(ServicePackage, std::move(message), Cp(kTraceStatusWord));
      if (Connected && ack_requested) Receipt();
      return;
    case cmdProfileRequest:
      PostTrace(ServicePackage, std::move(message), Cp(kTraceProfileRequest));
      if (Connected) QueueProfile();
      return;
    case cmdProfile:
      return PostTrace(ServicePackage, std::move(message), Cp(kTraceProfile));
    default:
      return PostTrace(ServicePackage, std::move(message), Cp(kTraceUnknownCommand));
  }
}

// ---- Data packets ----------------------------------------------------------------------

void TDevice::ReceiveDataPackage(TK2MessagePtr message) {
  const std::vector<ByteView> frames = SplitFrames(message->Data);
  std::uint8_t last_pnum = message->PNum;
  std::optional<std::uint16_t> subscriber;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto frame = std::make_shared<TK2Message>();
    frame->DType = DataPackage;
    frame->Flags = message->Flags;
    frame->KeyCounter = message->KeyCounter;
    // The device numbers the frames of a packet on from its PNum.
    frame->PNum = static_cast<std::uint8_t>(message->PNum + i);
    frame->Data.assign(frames[i].begin(), frames[i].end());
    frame->Deliver = true;
    std::string trace = Cp(kTraceDataFrame);
    if (frames.size() > 1) trace += FrameIndexText(i);
    last_pnum = frame->PNum;
    // Only the last frame's request is answered.
    subscriber = SubscriberDataRequestNumber(frames[i], false);
    PostTrace(DataPackage, std::move(frame), std::move(trace));
  }

  LastDataPNum = last_pnum;
  if (!frames.empty()) ExpectedDataPNum = static_cast<std::uint8_t>(last_pnum + 1);
  if (Connected && (message->Flags & pfAckRequest)) {
    Header.PNum = last_pnum;
    Receipt();
  }
  if (subscriber) QueueSubscriberData(*subscriber, false);
}

void TDevice::ReceiveOutOfSequence(TK2MessagePtr message) {
  const std::vector<ByteView> frames = SplitFrames(message->Data);
  const std::string head = Cp(kTraceBadNumber) + std::to_string(ExpectedDataPNum) + ")";
  const std::string counter = Cp(kTraceBadNumberCounter) + std::to_string(message->KeyCounter) + ") ";
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto frame = std::make_shared<TK2Message>();
    frame->DType = DataPackage;
    frame->Flags = message->Flags;
    frame->KeyCounter = message->KeyCounter;
    frame->PNum = message->PNum;
    frame->Data.assign(frames[i].begin(), frames[i].end());
    std::string trace = head;
    if (i > 0) trace += " ( " + std::to_string(i) + " ) ";
    trace += counter;
    PostTrace(DataPackage, std::move(frame), std::move(trace));
  }
  // A packet without frames is still reported.
  if (frames.empty()) PostTrace(DataPackage, std::move(message), head + counter);

  // The receipt names the last frame this system accepted, so the device
  // learns where to go on from.
  Header.PNum = LastDataPNum;
  Receipt();
}

}  // namespace kavor2::device
