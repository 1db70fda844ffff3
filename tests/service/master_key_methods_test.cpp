// The master-key methods through the server's executor: a run of calls,
// each with its answer and the list it leaves.
#include "service/master_key_methods.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/api_methods.h"
#include "service/api_answers.h"
#include "service/host_test_support.h"
#include "subscribers/subscribers_info.h"

namespace kavor2::service {
namespace {

using testing::Answer;
using testing::AnswerOf;
using testing::Call;
using testing::kCount;
using testing::kEmpty;
using testing::kNotFound;
using testing::kRange;
using testing::kType;
using testing::Param;
using testing::RecordingLog;
using testing::RecordingPoster;

const std::string kNoBraces = "12345678-1234-1234-1234-123456789ABC";
const std::string kAllZero = "{00000000-0000-0000-0000-000000000000}";
const std::string kUnregistered = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";
const std::string k32Digits = "00112233445566778899AABBCCDDEEFF";

const Answer kTypeGuid{3, "Inavlid parameter type Guid"};
const Answer kNoSubscriber{10, "Subscriber not found"};

class MasterKeyMethods : public ::testing::Test {
 protected:
  MasterKeyMethods() {
    registry_.SetWindow(&window_);
    RegisterMethods(server_, subscription_, methods_, registry_, lines_, devices_);
    const xmlrpc::TRpcResult r = Call(server_, "AddMessageSubscriber", {9000, "Desk", "Data", "State"});
    me_ = r.IsString() ? r.AsString() : std::string();
  }

  // "ID:KEY" per entry, in list order.
  std::vector<std::string> Entries() const {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list_.Count(); ++i) {
      const device::TKeyItem item = *list_.Items(i);
      out.push_back(item.GetIdText() + ":" + device::KeyToText(item.Key));
    }
    return out;
  }

  platform::EventLoop loop_;  // callback clients are made on it; it never runs here
  RecordingLog log_;
  RecordingPoster window_;
  // Before the registry: the ownership entries go before the lines.
  device::TKavorSession session_{loop_, testing::QuietLoopback()};
  subscribers::TSubscribersInfo registry_{loop_};
  TSubscriptionMethods subscription_{registry_, window_, log_};
  device::TMasterKeyList list_;
  TMasterKeyMethods methods_{list_};
  TLineMethods lines_{session_, registry_, window_};
  TDeviceMethods devices_{session_, registry_, window_};
  xmlrpc::TRpcServer server_{loop_};
  std::string me_;
};

TEST_F(MasterKeyMethods, CallsAnswersAndTheListTheyLeave) {
  ASSERT_FALSE(me_.empty());
  const std::string a = "0102030405AB:00112233000000000000000000000000";
  const std::string b = "0102030405AB:FF000000000000000000000000000000";
  const std::string c = "000000000000:00000000000000000000000000000000";
  const std::string d = "0000000000CD:" + k32Digits;

  struct Step {
    std::string method;
    std::vector<Param> params;
    Answer answer;
    std::vector<std::string> list;  // afterwards
  };
  const std::vector<Step> steps = {
      {"AddMasterKeyToList", {me_, "0102030405AB", "00112233"}, kEmpty, {a}},
      // The same ID again, in lower case: appended, the earlier one still wins.
      {"AddMasterKeyToList", {me_, "0102030405ab", "ff"}, kEmpty, {a, b}},
      // Neither text is validated: decoding stops at the first non-digit.
      {"AddMasterKeyToList", {me_, "no id", "no key"}, kEmpty, {a, b, c}},
      // Texts the conversions refuse: the range error reaches the client and
      // the list stays as it was.
      {"AddMasterKeyToList", {me_, "0000000000CD", ""}, kRange, {a, b, c}},
      {"AddMasterKeyToList", {me_, "0000000000CD", k32Digits + "0"}, kRange, {a, b, c}},
      {"AddMasterKeyToList", {me_, "012", "11"}, kRange, {a, b, c}},
      {"AddMasterKeyToList", {me_, "0000000000CD", k32Digits}, kEmpty, {a, b, c, d}},
      // The prologue.
      {"AddMasterKeyToList", {me_, "0000000000CD"}, kCount, {a, b, c, d}},
      {"AddMasterKeyToList", {me_, "0000000000CD", 5}, kType, {a, b, c, d}},
      {"AddMasterKeyToList", {kNoBraces, "0000000000CD", "11"}, kType, {a, b, c, d}},
      {"AddMasterKeyToList", {kUnregistered, "0000000000CD", "11"}, kNoSubscriber, {a, b, c, d}},
      {"DeleteMasterKeyToList", {me_}, kCount, {a, b, c, d}},
      {"DeleteMasterKeyToList", {me_, 1}, kType, {a, b, c, d}},
      {"DeleteMasterKeyToList", {kAllZero, "0102030405AB"}, kType, {a, b, c, d}},
      {"DeleteMasterKeyToList", {kUnregistered, "0102030405AB"}, kNoSubscriber, {a, b, c, d}},
      // Deletion compares the upper-case ID text exactly and takes the first.
      {"DeleteMasterKeyToList", {me_, "0102030405ab"}, kNotFound, {a, b, c, d}},
      {"DeleteMasterKeyToList", {me_, "0102030405AB"}, kEmpty, {b, c, d}},
      {"DeleteMasterKeyToList", {me_, "0102030405AB"}, kEmpty, {c, d}},
      {"DeleteMasterKeyToList", {me_, "0102030405AB"}, kNotFound, {c, d}},
      // Clearing: its own text for an unreadable or null certificate.
      {"ClearMasterKeyList", {me_, me_}, kCount, {c, d}},
      {"ClearMasterKeyList", {5}, kType, {c, d}},
      {"ClearMasterKeyList", {kNoBraces}, kTypeGuid, {c, d}},
      {"ClearMasterKeyList", {kAllZero}, kTypeGuid, {c, d}},
      {"ClearMasterKeyList", {kUnregistered}, kNoSubscriber, {c, d}},
      {"ClearMasterKeyList", {me_}, kEmpty, {}},
      {"ClearMasterKeyList", {me_}, kEmpty, {}},
      {"DeleteMasterKeyToList", {me_, "0000000000CD"}, kNotFound, {}},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    EXPECT_EQ(AnswerOf(Call(server_, s.method, s.params)), s.answer) << "step " << i << " " << s.method;
    EXPECT_EQ(Entries(), s.list) << "step " << i << " " << s.method;
  }
}

TEST_F(MasterKeyMethods, TheEarliestEntryGivesTheKey) {
  ASSERT_FALSE(me_.empty());
  ASSERT_EQ(AnswerOf(Call(server_, "AddMasterKeyToList", {me_, "0102030405AB", "11"})), kEmpty);
  ASSERT_EQ(AnswerOf(Call(server_, "AddMasterKeyToList", {me_, "0102030405AB", "22"})), kEmpty);
  const device::DeviceId id = device::TextToStoredId("0102030405AB");
  EXPECT_EQ(device::KeyToText(list_.MasterKeyFor(id)), "11000000000000000000000000000000");
  ASSERT_EQ(AnswerOf(Call(server_, "DeleteMasterKeyToList", {me_, "0102030405AB"})), kEmpty);
  EXPECT_EQ(device::KeyToText(list_.MasterKeyFor(id)), "22000000000000000000000000000000");
}

}  // namespace
}  // namespace kavor2::service
