// Hostile session-key exchanges and AES bodies against a real server with
// AES on: the connection is dropped or answered, the server goes on serving
// and nothing of the connection is left behind.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "hostile_server.h"
#include "platform/base64.h"
#include "xmlrpc/aes_body.h"
#include "xmlrpc/session_key.h"

namespace kavor2::xmlrpc {
namespace {

using namespace std::chrono_literals;
using rpctest::HostileServerTest;
using rpctest::RawHttpClient;

std::string Bytes(const platform::AesBlock& b) { return std::string(b.begin(), b.end()); }

// The key exchange waits this long for the proof.
constexpr auto kExchangeTimeout = 1000ms;

class SessionHostileTest : public HostileServerTest {};

TEST_F(SessionHostileTest, BadKeyExchangesDropTheConnection) {
  Start(true);
  const std::string proof = MakeKeyProof();
  const platform::AesKey other_key = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  platform::Aes128 fixed(FixedKey);
  platform::Aes128 other(other_key);
  const std::string fixed_bytes(FixedKey.begin(), FixedKey.end());
  platform::AesBlock big_count{};
  big_count[15] = 16;

  struct Case {
    const char* name;
    std::string sent;
  };
  const Case cases[] = {
      // The request's first 32 bytes are taken as the proof.
      {"encrypted call without an exchange", PostBytes(EncodeAesBody(fixed, EchoCall("early")))},
      {"proof one byte short, then silence", proof.substr(0, 31)},
      {"proof under another key", AesEncryptBytes(other, fixed_bytes)},
      {"proof of a shortened key padded with zeros", AesEncryptBytes(fixed, fixed_bytes.substr(0, 15)) +
                                                         std::string(16, '\0')},
      {"proof of the key and one byte more", AesEncryptBytes(fixed, fixed_bytes + "x").substr(0, 32)},
      {"proof whose count byte is above 15", Bytes(fixed.EncryptBlock(platform::AesBlock{})) +
                                                 Bytes(fixed.EncryptBlock(big_count))},
      {"proof with its blocks swapped", proof.substr(16) + proof.substr(0, 16)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawHttpClient client(port_);
    ASSERT_TRUE(client.Send(c.sent));
    EXPECT_TRUE(client.ClosedWithoutData());
  }
  EXPECT_EQ(executed(), 0);
  ExpectServingAndNothingLeft();
}

TEST_F(SessionHostileTest, ProofInPiecesAndProofThenSilence) {
  Start(true);
  const std::string proof = MakeKeyProof();
  {
    // Split within the exchange's wait: accepted.
    RawHttpClient client(port_);
    ASSERT_TRUE(client.Send(proof.substr(0, 5)));
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(client.Send(proof.substr(5)));
    std::string answer;
    ASSERT_TRUE(client.connection().ReadExact(kKeyExchangeMessageSize, answer, rpctest::kTestDeadline).ok());
    EXPECT_TRUE(UnwrapSessionKey(answer));
  }
  {
    // A proof and then nothing is an idle keep-alive connection: it stays
    // open past the exchange's and the request's time-outs, and serves.
    RawHttpClient client(port_);
    ASSERT_TRUE(client.ExchangeKey());
    EXPECT_EQ(client.connection().WaitForInput(kExchangeTimeout + 2 * rpctest::kShortTimeouts.head).status,
              platform::IoStatus::kTimeout);
    ASSERT_TRUE(client.PostEncrypted(EchoCall("after silence")));
    EXPECT_EQ(client.ReadDecrypted(), EchoAnswer("after silence"));
  }
  {
    // One byte past the proof begins a request head: that one is timed.
    RawHttpClient client(port_);
    ASSERT_TRUE(client.Send(proof + "P"));
    std::string answer;
    ASSERT_TRUE(client.connection().ReadExact(kKeyExchangeMessageSize, answer, rpctest::kTestDeadline).ok());
    EXPECT_TRUE(UnwrapSessionKey(answer));
    EXPECT_TRUE(client.ClosedWithoutData());
  }
  ExpectServingAndNothingLeft();
}

TEST_F(SessionHostileTest, BadBodiesAfterTheExchange) {
  Start(true);
  enum Outcome { kClosed, kFault, kAnswered };
  // Each body is made with the connection's session key.
  using Maker = std::function<std::string(const platform::Aes128&)>;
  struct Case {
    const char* name;
    Maker body;
    Outcome outcome;
  };
  auto encrypted = [](const std::string& plain) {
    return [plain](const platform::Aes128& k) { return platform::Base64Encode(AesEncryptBytes(k, plain)) + "\r\n"; };
  };
  auto with_count = [](std::uint8_t count) {
    return [count](const platform::Aes128& k) {
      platform::AesBlock last{};
      last[15] = count;
      return platform::Base64Encode(Bytes(k.EncryptBlock(last))) + "\r\n";
    };
  };
  const Case cases[] = {
      {"not Base64", [](const platform::Aes128&) { return std::string("not base64!\r\n"); }, kClosed},
      {"inside + to z but not Base64", [](const platform::Aes128&) { return std::string("QUJD:RUZH\r\n"); },
       kClosed},
      {"above z", [](const platform::Aes128&) { return std::string("QUJD{RUZH\r\n"); }, kClosed},
      {"a byte above 127", [](const platform::Aes128&) { return std::string("QUJD\xC0RUZH\r\n"); }, kClosed},
      {"Base64 broken into lines",
       [](const platform::Aes128& k) {
         return platform::Base64EncodeLines(AesEncryptBytes(k, EchoCall(std::string(200, 'w')))) + "\r\n";
       },
       kClosed},
      {"only the line end", [](const platform::Aes128&) { return std::string("\r\n"); }, kClosed},
      {"one character", [](const platform::Aes128&) { return std::string("A"); }, kClosed},
      {"less than a block", [](const platform::Aes128&) { return platform::Base64Encode("12345678") + "\r\n"; },
       kClosed},
      {"count byte 16", with_count(16), kClosed},
      {"count byte 255", with_count(255), kClosed},
      // Decrypts, but is no call: answered like any call that fails.
      {"garbage plaintext", encrypted("\x01\x02 this is not XML at all \xFF"), kFault},
      {"empty plaintext", with_count(0), kFault},
      {"bytes after the last whole block are ignored",
       [](const platform::Aes128& k) {
         return platform::Base64Encode(AesEncryptBytes(k, EchoCall("tail")) + "12345") + "\r\n";
       },
       kAnswered},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int before = executed();
    RawHttpClient client(port_);
    ASSERT_TRUE(client.ExchangeKey());
    platform::Aes128 cipher(client.session_key());
    ASSERT_TRUE(client.Post(c.body(cipher)));
    if (c.outcome == kClosed) {
      EXPECT_TRUE(client.ClosedWithoutData());
      EXPECT_EQ(executed(), before);
      continue;
    }
    auto answer = client.ReadDecrypted();
    ASSERT_TRUE(answer);
    if (c.outcome == kFault) {
      EXPECT_GT(rpctest::ParseFault(*answer).code, 0) << *answer;
      EXPECT_EQ(executed(), before);
    } else {
      EXPECT_EQ(*answer, EchoAnswer("tail"));
    }
    // The connection keeps its key and serves the next call.
    ASSERT_TRUE(client.PostEncrypted(EchoCall("next")));
    EXPECT_EQ(client.ReadDecrypted(), EchoAnswer("next"));
  }
  ExpectServingAndNothingLeft();
}

TEST_F(SessionHostileTest, EncryptedRequestSplitAtEveryByte) {
  Start(true, RequestTimeouts{10s, 10s});
  RawHttpClient client(port_);
  const std::string proof = MakeKeyProof();
  for (char byte : proof) ASSERT_TRUE(client.Send(std::string(1, byte)));
  std::string answer;
  ASSERT_TRUE(client.connection().ReadExact(kKeyExchangeMessageSize, answer, rpctest::kTestDeadline).ok());
  std::optional<platform::AesKey> key = UnwrapSessionKey(answer);
  ASSERT_TRUE(key);
  platform::Aes128 cipher(*key);
  const std::string request = PostBytes(EncodeAesBody(cipher, EchoCall("bytewise")));
  for (std::size_t i = 0; i < request.size(); ++i) {
    ASSERT_TRUE(client.Send(request.substr(i, 1)));
    if (i % 32 == 0) std::this_thread::sleep_for(1ms);
  }
  auto r = client.Read();
  ASSERT_TRUE(r);
  EXPECT_EQ(DecodeAesBody(cipher, r->body), EchoAnswer("bytewise"));
}

}  // namespace
}  // namespace kavor2::xmlrpc
