// The key exchange of a device: its two time checks, the state machine the
// tick steps, the key frames this system sends, the key commands it
// receives and the decryption of received payloads.
#include "device/key_exchange.h"

#include <string>
#include <utility>

#include "device/device.h"
#include "device/k2_cipher.h"
#include "platform/text.h"

namespace kavor2::device {
namespace {

constexpr std::string_view kTraceCounterRequestReceived = "< - запрос счетчика мастер ключа";
constexpr std::string_view kTraceCounterReceived = "< - принят счетчик мастер ключа";
constexpr std::string_view kTraceWorkingKeyReceived = "< - принят рабочий ключ";
constexpr std::string_view kTraceAnswerRequested = " + запрос ответного";
constexpr std::string_view kTraceWorkingKeyRefused =
    "< - принят рабочий ключ (пакет не шифрован или не совпала длина)";
constexpr std::string_view kTraceCounterRequestSent = "- > запрос счетчика мастер ключа";
constexpr std::string_view kTraceCounterSent = "- > отправлен счетчик мастер ключа";
constexpr std::string_view kTraceWorkingKeySent = "- > присвоение рабочего ключа прибору";

constexpr std::int32_t kKeyTraceKind = ServicePackage;

}  // namespace

std::uint32_t MergeWorkCounter(bool same_key, std::uint32_t current, std::uint32_t received) {
  if (!same_key || received >= current) return received;
  return current - received > kMaxIgnoredCounterStepBack ? received : current;
}

void MaskAssignmentKey(std::vector<std::uint8_t>& payload) {
  if (payload.size() <= kFrameOffsetFType || payload[kFrameOffsetFType] != ftCommand ||
      payload.size() <= kFrameOffsetCommand || payload[kFrameOffsetCommand] != cmdWorkingKeyAssignment) {
    return;
  }
  for (std::size_t i = kAssignmentKeyOffset; i < payload.size() && i < kAssignmentKeyOffset + kKeySize; ++i) {
    payload[i] = 0;
  }
}

// ---- Time checks and the state machine ---------------------------------------

void TDevice::CheckKeyTimers() {
  std::lock_guard engine(EngineLock);
  if (Connected && MoreThanSeconds(LastRxTime, ConnectTimeOut)) {
    Reset();
    KeyExchangeState = ksIdle;
  }
  if (KeyRequestTime != 0 && MoreThanSeconds(KeyRequestTime, KeyExchangeTimeOut)) {
    KeyRequestTime = 0;
    if (KeyExchangeState == ksAwaitMasterCounter || KeyExchangeState == ksAwaitWorkingKey) {
      KeyExchangeState = ksIdle;
    }
  }
}

void TDevice::StepKeyExchange() {
  std::lock_guard engine(EngineLock);
  switch (KeyExchangeState) {
    case ksIdle:
      if (!Connected) KeyExchangeState = ksStart;
      break;
    case ksStart:
      if (MasterCounterKnown) {
        KeyExchangeState = ksAssign;
      } else {
        QueueMasterKeyCounterRequest();
        KeyExchangeState = ksAwaitMasterCounter;
      }
      break;
    case ksAwaitMasterCounter:
      if (MasterCounterKnown) KeyExchangeState = ksAssign;
      break;
    case ksAssign: {
      const bool connected = Connected;
      QueueWorkingKeyAssignment(!connected, TxWorkCounter == kMaxKeyCounter || !connected);
      KeyExchangeState = ksAwaitWorkingKey;
      break;
    }
    case ksAwaitWorkingKey:
      break;  // the step time-out ends the wait
    default:
      KeyExchangeState = ksIdle;
      break;
  }
}

// ---- Key frames sent ------------------------------------------------------------

bool TDevice::QueueMasterKeyCounterRequest() {
  return Enqueue(NewServiceMessage(pfResync | pfSync, CommandFrame(cmdMasterKeyCounterRequest),
                                   platform::Utf8ToCp1251(kTraceCounterRequestSent)),
                 sqMasterCounterRequest);
}

bool TDevice::QueueMasterKeyCounter() {
  std::lock_guard engine(EngineLock);
  return Enqueue(NewServiceMessage(pfSync, MasterKeyCounterFrame(RxMasterCounter),
                                   platform::Utf8ToCp1251(kTraceCounterSent)),
                 sqMasterCounter);
}

bool TDevice::QueueWorkingKeyAssignment(bool answer_requested, bool new_key) {
  std::lock_guard engine(EngineLock);
  TK2WorkingKeyAssignment assignment;
  assignment.AnswerRequested = answer_requested;
  assignment.MasterCounter = RxMasterCounter;
  assignment.Random = RandomValue();
  if (new_key) RxWorkCounter = 0;
  assignment.WorkCounter = RxWorkCounter;
  if (new_key) RxWorkKey = NewGuid();
  assignment.Key = RxWorkKey;
  Bytes frame = WorkingKeyAssignmentFrame(assignment);
  WipeBytes(assignment.Key);

  std::string trace = platform::Utf8ToCp1251(kTraceWorkingKeySent);
  if (answer_requested) trace += platform::Utf8ToCp1251(kTraceAnswerRequested);
  // Sent under the master key: the device has no working key of ours yet.
  return Enqueue(NewServiceMessage(pfEncrypted | pfSync, std::move(frame), std::move(trace)), sqWorkingKeyAssignment);
}

// ---- Key commands received -------------------------------------------------------

void TDevice::ReceiveKeyCommand(TK2MessagePtr message, std::uint8_t command, std::uint8_t frame_length) {
  switch (command) {
    case cmdMasterKeyCounterRequest:
      if (frame_length != kCommandFrameLength) return;  // dropped without trace
      PostTrace(kKeyTraceKind, std::move(message), platform::Utf8ToCp1251(kTraceCounterRequestReceived));
      QueueMasterKeyCounter();
      return;

    case cmdMasterKeyCounter: {
      const std::optional<std::uint32_t> counter = ParseMasterKeyCounter(message->Data);
      if (!counter) return;  // dropped without trace
      PostTrace(kKeyTraceKind, std::move(message), platform::Utf8ToCp1251(kTraceCounterReceived));
      // Only the answer to this system's own request counts; a counter out of
      // turn would move the master counter under a running exchange.
      if (KeyExchangeState == ksAwaitMasterCounter) {
        TxMasterCounter = *counter;
        MasterCounterKnown = true;
      }
      return;
    }

    case cmdWorkingKeyAssignment: {
      std::optional<TK2WorkingKeyAssignment> assignment;
      if (message->Flags & pfEncrypted) assignment = ParseWorkingKeyAssignment(message->Data);
      if (!assignment) {
        MaskAssignmentKey(message->Data);
        PostTrace(kKeyTraceKind, std::move(message), platform::Utf8ToCp1251(kTraceWorkingKeyRefused));
        return;
      }
      ReceiveWorkingKeyAssignment(std::move(message), *assignment);
      WipeBytes(assignment->Key);
      return;
    }

    default:
      return;
  }
}

void TDevice::ReceiveWorkingKeyAssignment(TK2MessagePtr message, const TK2WorkingKeyAssignment& assignment) {
  TxMasterCounter = assignment.MasterCounter;
  MasterCounterKnown = true;

  const bool same_key = assignment.Key == TxWorkKey;
  TxWorkCounter = MergeWorkCounter(same_key, TxWorkCounter, assignment.WorkCounter);
  if (!same_key) TxWorkKey = assignment.Key;

  std::string trace = platform::Utf8ToCp1251(kTraceWorkingKeyReceived);
  if (assignment.AnswerRequested) trace += platform::Utf8ToCp1251(kTraceAnswerRequested);
  // Traces reach every debugging client: they must not carry the key.
  MaskAssignmentKey(message->Data);
  PostTrace(kKeyTraceKind, std::move(message), std::move(trace));

  AnswerRequested = assignment.AnswerRequested;
  if (KeyExchangeState != ksAwaitWorkingKey && AnswerRequested) QueueWorkingKeyAssignment(false, true);

  if (!Connected) {
    LastRxTime = CounterNow();
    Connected = true;
    CountTraffic(&TTrafficCounters::Connects);
    PostDeviceState(kStateConnected);
    if (KeyExchangeState == ksIdle) {
      TxWorkCounter = kMaxKeyCounter;
      KeyExchangeState = ksStart;
    }
  }
}

// ---- Decryption ------------------------------------------------------------------

bool TDevice::DecryptReceived(std::vector<std::uint8_t>& payload, std::uint32_t& counter) {
  const bool working = (Header.Flags & pfWorkingKey) != 0;
  // ReadHeader left the counter this system expects in KeyCounter.
  counter = ReconstructCounter(Header.KeyCounter, Header.KeyNumber);
  Aes.SetKey(working ? RxWorkKey : MasterKey);
  return DecryptPayload(Aes, Header, counter, payload);
}

}  // namespace kavor2::device
